/*
 * table.h - warden-top's model of the sessions it shows: one row per record
 * key, fed from the daemon's change stream and from periodic full reads.
 * An ended row stays for a linger time (drawn dimmed) and is then dropped; a
 * row that a full read no longer finds has vanished from the store without
 * an end being seen and ends as "gone".  Rates come from the proxy's own
 * counters and event times, so they depend neither on this host's clock nor
 * on when a record happens to arrive.
 */
#ifndef WARDEN_TOP_TABLE_H
#define WARDEN_TOP_TABLE_H

#include "fieldfmt.h"
#include "fields.h"

#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wtop {

/* The table's columns are fields of the one table of meanings. */
using Column = Field;

std::span<const Column> LiveColumns();   /* every column, status last      */
std::span<const Column> PlainColumns();  /* the same without the two rates */

struct Row {
    MonData_t rec;          /* latest copy; flags: the change bits it came with */
    RecordKey key;
    bool ended = false;     /* end seen, or the record is no longer alive       */
    bool gone = false;      /* left the store without an end being seen         */
    double endedAt = 0;     /* monotonic time the end was first seen            */
    double changedAt = 0;   /* monotonic time the counters last moved           */
    uint64_t sampleA = 0;   /* byte totals and proxy event time of the rate sample */
    uint64_t sampleB = 0;
    int32_t sampleTime = 0;
    double rateA = -1;      /* bytes per second; negative while unknown         */
    double rateB = -1;
    bool seen = false;      /* met by the full read in progress                 */
};

/* How cells are written: the live table abbreviates byte counts and shows
 * clock times only; plain text (exact) gives them in full, and escapes the
 * spaces inside texts so that its lines split on white space. */
struct CellStyle {
    time_t wallNow;
    bool exact;
};

/* The text of one cell, always Printable(); in exact style without spaces
 * except in the status column. */
std::string CellText(const Row &row, Column c, const CellStyle &style);

/* True when filter (case-insensitive) occurs in the row's key, addresses,
 * user, destination, state or status; an empty filter matches every row. */
bool RowMatches(const Row &row, std::string_view filter, const CellStyle &style);

class SessionTable {
public:
    /* linger: seconds an ended row stays before it is dropped. */
    explicit SessionTable(double linger) : linger_(linger) {}

    /* Feeds one record as a stream delivered it.  Outside a full read every
     * record is taken.  Within one, an ended record that is not in the
     * table is taken only when it brings news (change bits other than end)
     * or ended less than the linger time ago, and never when it was already
     * shown and dropped. */
    void Apply(const MonData_t &rec, double now, time_t wallNow);

    /* Brackets the records of a stream read with the all flag set.  At its
     * end, every open row that the read did not deliver is marked gone. */
    void BeginFullRead();
    void EndFullRead(double now);
    /* Ends a full read that failed half-way: nothing is marked gone. */
    void CancelFullRead();

    /* Once a second: zeroes the rate of a row whose counters have not moved
     * for a while, and drops ended rows older than the linger time. */
    void Tick(double now);

    /* The rows that match filter, sorted by column c (then by key). */
    std::vector<const Row *> View(Column c, bool descending, std::string_view filter,
                                  const CellStyle &style) const;

    size_t Size() const { return rows_.size(); }
    size_t OpenCount() const;

private:
    double linger_;
    bool full_ = false;
    std::map<RecordKey, Row> rows_;
    std::map<RecordKey, int32_t> retired_;  /* dropped ended rows: key -> endTime */
    std::set<RecordKey> retiredSeen_;       /* of those, met by this full read   */
};

/* Width of each column for these rows: the widest cell or heading, cut to
 * the column's cap when capped. */
std::vector<size_t> ColumnWidths(const std::vector<std::vector<std::string>> &cells,
                                 std::span<const Column> columns, bool capped);

/* One line of the table: cells padded to their widths (numbers to the
 * right), two spaces apart; the last column is not padded. */
std::string FormatLine(const std::vector<std::string> &cells, std::span<const Column> columns,
                       const std::vector<size_t> &widths);

/* The cells of each row, in column order. */
std::vector<std::vector<std::string>> Cells(const std::vector<const Row *> &rows,
                                            std::span<const Column> columns, const CellStyle &style);

/* The headings, in column order. */
std::vector<std::string> Headings(std::span<const Column> columns);

/* What the rows shown add up to. */
struct Totals {
    size_t sessions = 0;
    uint64_t up = 0;
    uint64_t down = 0;
    double upRate = 0;    /* bytes per second of the open rows with a rate known */
    double downRate = 0;
};

Totals Sum(const std::vector<const Row *> &rows);

/* "1 session", "2 sessions": n and the noun, plural when n is not 1. */
std::string Count(size_t n, const char *noun);

/* The totals as a line of cells for columns: "total (N sessions)" under
 * the key, the sums under the byte counts and the rates, nothing elsewhere
 * (the summary line counts the open sessions). */
std::vector<std::string> TotalsCells(const Totals &totals, std::span<const Column> columns,
                                     const CellStyle &style);

/* A whole plain-text table: a heading line and one line per row, each
 * ending in a newline; nothing is cut. */
std::string RenderPlain(const std::vector<const Row *> &rows, std::span<const Column> columns,
                        const CellStyle &style);

}  // namespace wtop

#endif /* WARDEN_TOP_TABLE_H */
