/*
 * historyspool.h - the history worker's spool: rows that could not be
 * written wait in a local file, one text line per row, appended in the order
 * they were due and replayed in that order once the database is back.  The
 * file is bounded; rows past the bound are dropped and counted.
 */
#ifndef WARDEN_HISTORYSPOOL_H
#define WARDEN_HISTORYSPOOL_H

#include "history.h"

#include <cstdint>
#include <string>
#include <vector>

class HistorySpool {
public:
    HistorySpool() = default;
    HistorySpool(const HistorySpool &) = delete;
    HistorySpool &operator=(const HistorySpool &) = delete;
    ~HistorySpool();

    /* Opens (creating, mode 0600) the spool at path without following a
     * symbolic link; a file that is not a regular file is refused.  Rows
     * left by an earlier run stay and are replayed.  false with *error. */
    bool Open(const std::string &path, uint64_t limitBytes, std::string *error);

    /* Appends rows in order.  Rows that would take the file past its limit
     * are dropped: their count is added to dropped() and returned. */
    uint64_t Append(const std::vector<HistoryRow_t> &rows);

    /* True when no row waits. */
    bool Empty() const { return size_ == 0; }
    uint64_t Size() const { return size_; }
    uint64_t Dropped() const { return dropped_; }

    /* Reads up to max rows from *offset on (0: the start), advancing it;
     * an empty result means the end was reached. */
    std::vector<HistoryRow_t> Read(uint64_t *offset, size_t max);

    /* Empties the file once everything in it was written. */
    void Clear();

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    uint64_t limit_ = 0;
    uint64_t dropped_ = 0;
};

/* One row as a spool line (ending in a newline) and back; false for a line
 * that does not hold a row. */
std::string HistorySpoolLine(const HistoryRow_t &row);
bool HistorySpoolParse(const std::string &line, HistoryRow_t *row);

#endif /* WARDEN_HISTORYSPOOL_H */
