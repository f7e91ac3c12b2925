/*
 * fields.h - what each part of a monitor record means to warden-top, and
 * what each of its outputs calls it: the key of a --json object, the label
 * of a line of `get`, the heading and --sort name of a table column.  One
 * table, so that the outputs cannot drift apart, and one set of accessors,
 * the only code that knows which slot of MonData_t holds what.
 */
#ifndef WARDEN_SESSION_FIELDS_H
#define WARDEN_SESSION_FIELDS_H

#include <quelm/monitor.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wtop {

enum class Field {
    Key, Pid, Handle, Record, Link, Sequence, ClientTag, Flags, State,
    Started, Age, Last, Ended,
    Client, Resolved, Outbound, User, Destination, Command, Proxy, Text5,
    Code1, Code2, Codes,
    Up, UpRate, Down, DownRate,
    Status, StatusText, Data,
};

struct FieldInfo {
    Field id;
    const char *json;     /* key in a --json object; null: not written there   */
    const char *label;    /* label of its line in `get`; null: not shown there */
    const char *heading;  /* table heading; null: not a column                 */
    const char *sortName; /* name --sort accepts (columns only)                */
    bool right;           /* a number: aligned to the right in the table       */
    size_t cap;           /* widest the live table draws it; 0 = the rest      */
};

/* Every field, in the order the JSON object and `get` list them. */
std::span<const FieldInfo> Fields();
const FieldInfo &Info(Field f);

/* The column whose --sort name is name. */
std::optional<Field> ColumnByName(std::string_view name);

/* The address block that holds an address field (Client, Resolved,
 * Outbound), else null. */
const unsigned char *AddrOf(const MonData_t &rec, Field f);

/* The raw text of a text field (User, Destination, Command, Proxy, Text5,
 * StatusText): up to its NUL or the field's end, not yet printable; "" for
 * any other field. */
std::string TextOf(const MonData_t &rec, Field f);

/* The session's byte totals: client to destination (up) and back (down).
 * Every reading of the record's counters goes through these two. */
uint64_t BytesUp(const MonData_t &rec);
uint64_t BytesDown(const MonData_t &rec);

}  // namespace wtop

#endif /* WARDEN_SESSION_FIELDS_H */
