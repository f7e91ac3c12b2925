/*
 * fieldfmt.h - turns the fields of a monitor record into text for warden-top:
 * address blocks, record keys, texts, byte counts, ages and clock times.
 * Nothing here trusts the record: an address block that does not follow the
 * proxy convention is shown as hex, never guessed at, and every text comes out
 * printable (valid UTF-8 kept, anything else escaped as \xHH).
 */
#ifndef WARDEN_SESSION_FIELDFMT_H
#define WARDEN_SESSION_FIELDFMT_H

#include <quelm/monitor.h>

#include <compare>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace wtop {

/* The record key, (pid, handleNum, recordNum), in this host's byte order. */
struct RecordKey {
    uint32_t pid;       /* reporting process              */
    uint32_t handle;    /* reporting handle in the process */
    uint16_t record;    /* record within the handle        */
    auto operator<=>(const RecordKey &) const = default;
};

/* The key of rec, and the link key (all zero: no link). */
RecordKey KeyOf(const MonData_t &rec);
RecordKey LinkOf(const MonData_t &rec);

/* "<pid,handle-in-hex,record>", exactly as MonKeyStr prints it. */
std::string KeyText(const RecordKey &key);

/* Parses a key in the text form above; the angle brackets may be left out
 * (they need quoting in a shell).  false for anything else, including a part
 * out of its range (pid and handle 32 bits, record 16 bits). */
bool ParseKey(std::string_view text, RecordKey *key);

/* Decodes one MON_ADDR_SIZE-byte address block: "1.2.3.4:80",
 * "[::1]:80" ("[fe80::1%2]:22" with a scope), nullopt for a block of zeros,
 * and for any other block "?" followed by its first 8 bytes in hex and
 * "...": a family other than AF_INET/AF_INET6, a non-zero sin_zero, or
 * non-zero bytes after the sockaddr. */
std::optional<std::string> AddrDecode(const unsigned char *block);

/* AddrDecode's text, or "-" when there is no address. */
std::string AddrText(const unsigned char *block);

/* The text stored in a field of size bytes: up to its NUL, or the whole
 * field when the writer left no NUL.  Raw bytes, not yet printable. */
std::string FieldText(const char *field, size_t size);

/* text made safe for a terminal: printable ASCII and valid UTF-8 sequences
 * are kept; control characters, C1 controls, invalid UTF-8 and the backslash
 * are escaped (\xHH, \\); spaces too unless keepSpace, so that a plain-text
 * table stays splittable on white space. */
std::string Printable(std::string_view text, bool keepSpace);

/* Width of a Printable() text on a terminal, counting one column per code
 * point. */
size_t DisplayWidth(std::string_view text);

/* text cut to at most width columns (code points), with "~" as its last
 * column when something was cut. */
std::string FitWidth(std::string_view text, size_t width);

/* 1024-based short form: "512", "1.5K", "12.3M", "4.0G". */
std::string HumanBytes(double bytes);

/* A duration in seconds as "45s", "3m05s", "2h03m", "3d04h"; "-" when
 * negative. */
std::string HumanAge(long long seconds);

/* A time() value in local time as "HH:MM:SS" (short) or
 * "YYYY-MM-DDTHH:MM:SS"; "-" for 0. */
std::string ClockText(int32_t t, bool withDate);

/* The first bytes of rec's data area in hex (at most MON_DATA_MAX). */
std::string DataHex(const MonData_t &rec);

}  // namespace wtop

#endif /* WARDEN_SESSION_FIELDFMT_H */
