/*
 * book.h - the table of sessions a viewer keeps: one row per record key,
 * fed from the daemon's change stream and from periodic full reads, by the
 * rules of rules.h.  An ended row stays for a linger time and is then
 * dropped, but its key and start time are remembered for as long as the
 * store still hands the record out, so that a later full read neither shows
 * nor counts it again.  A row that a full read no longer finds has left the
 * store without an end being seen and ends as "gone"; met again open, it
 * runs on (its end is then noted once more when it comes).  warden-top draws
 * these rows; warden-hub counts, journals and serves what Apply reports.
 */
#ifndef WARDEN_SESSION_BOOK_H
#define WARDEN_SESSION_BOOK_H

#include "fieldfmt.h"
#include "rules.h"

#include <quelm/monitor.h>

#include <ctime>
#include <map>
#include <set>
#include <vector>

namespace sess {

using wtop::RecordKey;

/* One session as the table keeps it; the rate fields are its Rate. */
struct Row : Rate {
    MonData_t rec;          /* latest copy; flags: the change bits it came with */
    RecordKey key{};
    bool ended = false;     /* end seen, or the record is no longer alive       */
    bool gone = false;      /* left the store without an end being seen         */
    double endedAt = 0;     /* monotonic time the end was first seen            */
    int32_t endWall = 0;    /* wall time of the end: endTime, else when seen    */
    double changedAt = 0;   /* monotonic time the counters last moved           */
    bool seen = false;      /* met by the full read in progress                 */
};

/* What one record did to the table. */
struct Outcome {
    enum class Kind {
        Skipped,    /* a dropped ended session the store still holds: nothing */
        Started,    /* a key not in the table: a new row                      */
        Restarted,  /* a new session under a key in the table (IsNewSession)  */
        Updated,    /* news of the session the row holds                      */
    };
    Kind kind = Kind::Skipped;
    Row *row = nullptr;      /* the row now, valid until the table changes   */
    Row previous;            /* Restarted: the session the key held before */
    bool endedPrevious = false;  /* that session was open: it ends here, its
                                    end unseen (previous is ended and gone) */
    bool ended = false;      /* this record ended the row's session         */
    bool changed = false;    /* more than the change bits differ from before */
    uint64_t movedA = 0;     /* bytes the record's totals advanced           */
    uint64_t movedB = 0;
};

class Book {
public:
    /* linger: seconds an ended row stays before it is dropped.  A full read
     * delivers the ended records the store still keeps; a viewer that shows
     * what is happening (oldEnds false) takes one that is not in the table
     * only when it brings news (change bits other than end) or ended less
     * than the linger time ago, while one that accounts for every session
     * (oldEnds true) takes them all. */
    Book(double linger, bool oldEnds) : linger_(linger), oldEnds_(oldEnds) {}

    /* Feeds one record as a stream delivered it; now: monotonic seconds,
     * wall: time(). */
    Outcome Apply(const MonData_t &rec, double now, time_t wall);

    /* Brackets the records of a stream read with the all flag set.  At its
     * end, every open row that the read did not deliver is ended and gone:
     * those rows are appended to *gone (may be null). */
    void BeginFullRead();
    void EndFullRead(double now, time_t wall, std::vector<Row *> *gone);
    /* Ends a full read that failed half-way: nothing is marked gone. */
    void CancelFullRead();
    bool InFullRead() const { return full_; }

    /* Once a second: drops ended rows older than the linger time (their keys
     * appended to *dropped) and zeroes the rates of open rows whose counters
     * have not moved for hold seconds (those whose rate was above 0 are
     * appended to *idled).  Either list may be null. */
    void Tick(double now, double hold, std::vector<RecordKey> *dropped, std::vector<Row *> *idled);

    const std::map<RecordKey, Row> &Rows() const { return rows_; }
    const Row *Find(const RecordKey &key) const;
    size_t OpenCount() const;

private:
    bool TakesUnknownEnd(const MonData_t &rec, time_t wall) const;

    double linger_;
    bool oldEnds_;
    bool full_ = false;
    std::map<RecordKey, Row> rows_;
    std::map<RecordKey, int32_t> retired_;  /* dropped ended rows: key -> startTime */
    std::set<RecordKey> retiredSeen_;       /* of those, met by this full read      */
};

}  // namespace sess

#endif /* WARDEN_SESSION_BOOK_H */
