/*
 * book.cpp - the session table behind warden-top and warden-hub.  A dropped
 * row is remembered by its key and start time (the session's identity, as
 * IsNewSession reads it), and only an ended record of that start time is
 * the dropped session again: a record that is not ended is a new session
 * that was given the key.
 */
#include "book.h"

#include "fields.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace sess {

namespace {

/* True when two copies of a record differ in more than their change bits. */
bool Differs(const MonData_t &a, const MonData_t &b)
{
    MonData_t x = a, y = b;
    x.flags = y.flags = 0;
    x.seqNum = y.seqNum = 0;
    return std::memcmp(&x, &y, sizeof x) != 0;
}

/* Starts row over from rec: a new session, or the first sight of one. */
void Restart(Row &row, const MonData_t &rec, double now)
{
    static_cast<Rate &>(row) = RateStart(rec);
    row.rec = rec;
    row.ended = row.gone = false;
    row.endedAt = 0;
    row.endWall = 0;
    row.changedAt = now;
}

void MarkEnded(Row &row, double now, time_t wall)
{
    row.ended = true;
    row.endedAt = now;
    row.endWall = row.rec.endTime != 0 ? row.rec.endTime : static_cast<int32_t>(wall);
}

}  // namespace

bool Book::TakesUnknownEnd(const MonData_t &rec, time_t wall) const
{
    if (!full_ || oldEnds_)
        return true;
    const bool news = (rec.flags & (MON_FLAG_START | MON_FLAG_UPDATE | MON_FLAG_STATUS)) != 0;
    const bool recent = rec.endTime != 0 && wall - rec.endTime < linger_;
    return news || recent;
}

Outcome Book::Apply(const MonData_t &rec, double now, time_t wall)
{
    const RecordKey key = wtop::KeyOf(rec);
    const bool ended = IsEnded(rec);
    Outcome out;
    auto it = rows_.find(key);
    if (it == rows_.end()) {
        if (auto r = retired_.find(key); r != retired_.end()) {
            if (ended && r->second == rec.startTime) {
                if (full_)
                    retiredSeen_.insert(key);
                return out;  /* shown, ended and dropped already */
            }
            retired_.erase(r);
        }
        if (ended && !TakesUnknownEnd(rec, wall))
            return out;
        it = rows_.emplace(key, Row{}).first;
        Row &row = it->second;
        row.key = key;
        Restart(row, rec, now);
        out.kind = Outcome::Kind::Started;
        out.changed = true;
    } else if (IsNewSession(it->second.rec, it->second.ended, rec)) {
        Row &row = it->second;
        out.previous = row;
        if (!row.ended) {
            out.endedPrevious = true;
            out.previous.gone = true;
            MarkEnded(out.previous, now, wall);
        }
        Restart(row, rec, now);
        out.kind = Outcome::Kind::Restarted;
        out.changed = true;
    } else {
        Row &row = it->second;
        out.kind = Outcome::Kind::Updated;
        out.changed = Differs(row.rec, rec);
        out.movedA = CounterAdvance(wtop::BytesUp(row.rec), wtop::BytesUp(rec));
        out.movedB = CounterAdvance(wtop::BytesDown(row.rec), wtop::BytesDown(rec));
        if (RateAdvance(&row, row.rec, rec))
            row.changedAt = now;
        row.rec = rec;
        if (row.gone && !ended)
            row.ended = false;  /* the store holds it after all: it runs on */
        row.gone = false;
    }
    Row &row = it->second;
    if (out.kind != Outcome::Kind::Updated) {
        /* A new session's totals were all moved since it began. */
        out.movedA = wtop::BytesUp(rec);
        out.movedB = wtop::BytesDown(rec);
    }
    if (ended && !row.ended) {
        MarkEnded(row, now, wall);
        out.ended = true;
    }
    row.seen = true;
    out.row = &row;
    return out;
}

void Book::BeginFullRead()
{
    full_ = true;
    retiredSeen_.clear();
    for (auto &[key, row] : rows_)
        row.seen = false;
}

void Book::EndFullRead(double now, time_t wall, std::vector<Row *> *gone)
{
    full_ = false;
    for (auto &[key, row] : rows_) {
        if (!row.seen && !row.ended) {
            row.gone = true;
            MarkEnded(row, now, wall);
            if (gone != nullptr)
                gone->push_back(&row);
        }
        row.seen = false;
    }
    /* A dropped row that the store no longer holds cannot come back. */
    std::erase_if(retired_, [&](const auto &entry) { return retiredSeen_.count(entry.first) == 0; });
    retiredSeen_.clear();
}

void Book::CancelFullRead()
{
    full_ = false;
    retiredSeen_.clear();
    for (auto &[key, row] : rows_)
        row.seen = false;
}

void Book::Tick(double now, double hold, std::vector<RecordKey> *dropped, std::vector<Row *> *idled)
{
    for (auto it = rows_.begin(); it != rows_.end();) {
        Row &row = it->second;
        if (row.ended && now - row.endedAt >= linger_) {
            retired_[it->first] = row.rec.startTime;
            if (dropped != nullptr)
                dropped->push_back(it->first);
            it = rows_.erase(it);
            continue;
        }
        if (!row.ended && now - row.changedAt >= hold) {
            if (idled != nullptr && (row.rateA > 0 || row.rateB > 0))
                idled->push_back(&row);
            row.rateA = row.rateB = 0;
        }
        ++it;
    }
}

const Row *Book::Find(const RecordKey &key) const
{
    const auto it = rows_.find(key);
    return it == rows_.end() ? nullptr : &it->second;
}

size_t Book::OpenCount() const
{
    return static_cast<size_t>(std::count_if(rows_.begin(), rows_.end(), [](const auto &e) { return !e.second.ended; }));
}

}  // namespace sess
