/*
 * table.h - warden-top's view of the sessions it shows: the session table
 * of the session library (one row per record key; ended rows linger, drawn
 * dimmed, then go; rows a full read misses end as "gone"; rates from the
 * proxy's own counters and event times), sorted, filtered and written as
 * cells.
 */
#ifndef WARDEN_TOP_TABLE_H
#define WARDEN_TOP_TABLE_H

#include "book.h"
#include "fieldfmt.h"
#include "fields.h"

#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wtop {

/* The table's columns are fields of the one table of meanings. */
using Column = Field;

std::span<const Column> LiveColumns();   /* every column, status last      */
std::span<const Column> PlainColumns();  /* the same without the two rates */

/* A row of the table: one session, kept by the session rules. */
using Row = sess::Row;

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
    /* linger: seconds an ended row stays before it is dropped.  The table
     * shows what is happening: a full read brings an ended record it does
     * not hold in only with news or when it ended less than linger ago. */
    explicit SessionTable(double linger) : book_(linger, false) {}

    /* Feeds one record as a stream delivered it (the rules of sess::Book). */
    void Apply(const MonData_t &rec, double now, time_t wallNow);

    /* Brackets the records of a stream read with the all flag set.  At its
     * end, every open row that the read did not deliver is marked gone. */
    void BeginFullRead() { book_.BeginFullRead(); }
    void EndFullRead(double now) { book_.EndFullRead(now, wall_, nullptr); }
    /* Ends a full read that failed half-way: nothing is marked gone. */
    void CancelFullRead() { book_.CancelFullRead(); }

    /* Once a second: zeroes the rate of a row whose counters have not moved
     * for sess::kRateHold, and drops ended rows older than the linger time. */
    void Tick(double now) { book_.Tick(now, sess::kRateHold, nullptr, nullptr); }

    /* The rows that match filter, sorted by column c (then by key). */
    std::vector<const Row *> View(Column c, bool descending, std::string_view filter,
                                  const CellStyle &style) const;

    size_t Size() const { return book_.Rows().size(); }
    size_t OpenCount() const { return book_.OpenCount(); }

private:
    sess::Book book_;
    time_t wall_ = 0;  /* the wall time of the latest record fed */
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
