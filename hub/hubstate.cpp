/*
 * hubstate.cpp - the hub's model of its upstreams: each host's table of
 * sessions (sess::Book, the rules warden-top shows by), the counters that
 * only ever grow and the events.  What the table reports of a record is
 * counted here: bytes from the advance of a session's counters since its
 * last reading, a start when a session first enters the table, an end once,
 * when it is first noted.  A row dropped after its linger time is
 * remembered by the table for as long as the store still hands it out, so
 * a later full read neither counts nor journals it again.  The metrics and
 * JSON forms are free functions below this file (metrics.h, jsonforms.h).
 */
#include "hubstate.h"

#include "jsonforms.h"
#include "metrics.h"
#include "recjson.h"

#include <algorithm>

namespace hub {

namespace {

using wtop::RecordKey;
using json = nlohmann::ordered_json;
using Kind = sess::Outcome::Kind;

const char *const kOtherUser = "(other)";

}  // namespace

HubState::HubState(std::vector<std::string> labels, HubConfig config, Journal *journal)
    : config_(config), journal_(journal)
{
    hosts_.reserve(labels.size());
    for (std::string &label : labels)
        hosts_.emplace_back(std::move(label), config_.linger);
}

void HubState::EmitLocked(const char *type, const std::string &data)
{
    ++seq_;
    std::string frame = "id: " + std::to_string(seq_) + "\nevent: " + type + "\ndata: " + data + "\n\n";
    eventBytes_ += frame.size();
    events_.emplace_back(seq_, std::move(frame));
    while (events_.size() > 1 && (events_.size() > config_.eventsKept || eventBytes_ > config_.eventBytesKept)) {
        eventBytes_ -= events_.front().second.size();
        events_.pop_front();
    }
    eventsCv_.notify_all();
}

void HubState::EmitSessionLocked(const char *type, const Host &h, const Session &s)
{
    EmitLocked(type, wtop::JsonLine(SessionJson(h.label, h.link != Link::Up, s)));
}

void HubState::EmitTotalsLocked()
{
    EmitLocked("totals", wtop::JsonLine(hub::TotalsJson(hosts_, std::time(nullptr))));
}

void HubState::Connected(size_t host)
{
    std::lock_guard<std::mutex> lock(mu_);
    Host &h = hosts_.at(host);
    if (h.everUp)
        ++h.stats.reconnects;
    h.everUp = true;
    h.link = Link::Up;
    h.lastError.clear();
    EmitTotalsLocked();
}

void HubState::Disconnected(size_t host, const std::string &why)
{
    std::lock_guard<std::mutex> lock(mu_);
    Host &h = hosts_.at(host);
    h.link = h.everUp ? Link::Stale : Link::Down;
    h.lastError = why;
    h.book.CancelFullRead();
    EmitTotalsLocked();
}

void HubState::BadRecord(size_t host)
{
    std::lock_guard<std::mutex> lock(mu_);
    ++hosts_.at(host).stats.badRecords;
}

void HubState::CountUserLocked(Host &h, const Session &s, uint64_t dUp, uint64_t dDown)
{
    if (!config_.perUser || (dUp == 0 && dDown == 0))
        return;
    std::string user = UserOf(s.rec);
    if (users_.count(user) == 0) {
        if (users_.size() < config_.usersMax)
            users_.insert(user);
        else
            user = kOtherUser;
    }
    auto &b = h.userBytes[user];
    b.first += dUp;
    b.second += dDown;
}

void HubState::CountEndLocked(Host &h, const Session &s)
{
    ++h.stats.endedByCode[s.rec.status];
    const double duration = s.rec.startTime != 0 ? std::max(0, s.endWall - s.rec.startTime) : 0;
    h.stats.durations.Observe(duration);
    /* Queued: the journal's own thread writes it, off this lock. */
    if (journal_ != nullptr)
        journal_->Enqueue(JournalLine(h.label, s));
}

void HubState::ApplyLocked(Host &h, const MonData_t &rec, double now, time_t wall)
{
    ++h.stats.reports;
    const sess::Outcome o = h.book.Apply(rec, now, wall);
    if (o.kind == Kind::Skipped)
        return;  /* shown, ended and dropped already */
    if (o.endedPrevious) {
        /* The key was given to a new session before the old one's end came. */
        CountEndLocked(h, o.previous);
        EmitSessionLocked("end", h, o.previous);
    }
    const Session &s = *o.row;
    const bool started = o.kind != Kind::Updated;
    if (started) {
        ++h.stats.started;
        if (!sess::IsEnded(rec))
            h.recentStarts.push_back(now);
    }
    h.stats.bytesUp += o.movedA;
    h.stats.bytesDown += o.movedB;
    CountUserLocked(h, s, o.movedA, o.movedB);

    const char *type = "update";
    if (o.ended) {
        CountEndLocked(h, s);
        type = "end";
    } else if (started) {
        type = "start";
    } else if ((rec.flags & MON_FLAG_STATUS) != 0) {
        type = "status";
    }
    if (o.changed || o.ended)
        EmitSessionLocked(type, h, s);
}

void HubState::BeginStream(size_t host, bool full)
{
    std::lock_guard<std::mutex> lock(mu_);
    Host &h = hosts_.at(host);
    if (full)
        h.book.BeginFullRead();
    else
        h.book.CancelFullRead();
}

void HubState::Apply(size_t host, const MonData_t *recs, size_t count, double now, time_t wall)
{
    std::lock_guard<std::mutex> lock(mu_);
    Host &h = hosts_.at(host);
    for (size_t i = 0; i < count; ++i)
        ApplyLocked(h, recs[i], now, wall);
}

void HubState::EndStream(size_t host, double now, time_t wall)
{
    std::lock_guard<std::mutex> lock(mu_);
    Host &h = hosts_.at(host);
    if (!h.book.InFullRead())
        return;
    /* Open sessions the store no longer holds ended without a word. */
    std::vector<Session *> gone;
    h.book.EndFullRead(now, wall, &gone);
    for (const Session *s : gone) {
        CountEndLocked(h, *s);
        EmitSessionLocked("end", h, *s);
    }
}

void HubState::ApplyStream(size_t host, const std::vector<MonData_t> &recs, bool full, double now, time_t wall)
{
    BeginStream(host, full);
    Apply(host, recs.data(), recs.size(), now, wall);
    EndStream(host, now, wall);
}

void HubState::Tick(double now, time_t /*wall*/)
{
    std::lock_guard<std::mutex> lock(mu_);
    for (Host &h : hosts_) {
        /* Reports of a busy session come every 5 s at most, so a host's
         * throughput is averaged over a window longer than that. */
        h.samples.emplace_back(now, h.stats.bytesUp, h.stats.bytesDown);
        while (h.samples.size() > 2 && std::get<0>(h.samples[1]) <= now - config_.rateWindow)
            h.samples.pop_front();
        const auto &[t0, up0, down0] = h.samples.front();
        if (now > t0) {
            h.rateUp = static_cast<double>(h.stats.bytesUp - up0) / (now - t0);
            h.rateDown = static_cast<double>(h.stats.bytesDown - down0) / (now - t0);
        }
        while (!h.recentStarts.empty() && h.recentStarts.front() < now - 60)
            h.recentStarts.pop_front();
        std::vector<RecordKey> dropped;
        std::vector<Session *> idled;
        h.book.Tick(now, config_.rateHold, &dropped, &idled);
        for (const RecordKey &key : dropped) {
            json gone;
            gone["host"] = h.label;
            gone["key"] = wtop::KeyText(key);
            EmitLocked("remove", wtop::JsonLine(gone));
        }
        for (const Session *s : idled)
            EmitSessionLocked("update", h, *s);
    }
    EmitTotalsLocked();
}

std::string HubState::TotalsJson()
{
    std::lock_guard<std::mutex> lock(mu_);
    return wtop::JsonLine(hub::TotalsJson(hosts_, std::time(nullptr)));
}

std::string HubState::Metrics()
{
    std::lock_guard<std::mutex> lock(mu_);
    ++scrapes_;
    MetricsExtra extra;
    extra.perUser = config_.perUser;
    extra.scrapes = scrapes_;
    extra.journalErrors = journal_ != nullptr ? journal_->Errors() : 0;
    return MetricsText(hosts_, extra);
}

std::string HubState::SessionsJson(const SessionFilter &filter, time_t /*wall*/, uint64_t *seq)
{
    *seq = LastEvent();
    std::string out;
    SessionCursor cursor;
    while (SessionsChunk(filter, &cursor, 1000, &out)) {
    }
    return out;
}

bool HubState::SessionsChunk(const SessionFilter &filter, SessionCursor *cursor, size_t rows, std::string *out)
{
    if (cursor->done)
        return false;
    if (!cursor->begun) {
        *out += "[";
        cursor->begun = true;
    }
    /* Copies of the rows under the lock (a memcpy each), their JSON after
     * it: the lock is held for microseconds, not for the formatting. */
    struct Row {
        size_t host;
        bool stale;
        Session s;
    };
    std::vector<Row> taken;
    taken.reserve(rows);
    std::vector<std::string> labels;
    bool more = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const Host &h : hosts_)
            labels.push_back(h.label);
        for (; cursor->host < hosts_.size() && taken.size() < rows; ++cursor->host, cursor->inHost = false) {
            const Host &h = hosts_[cursor->host];
            if (!filter.host.empty() && filter.host != h.label)
                continue;
            auto it = cursor->inHost ? h.book.Rows().upper_bound(cursor->after) : h.book.Rows().begin();
            for (; it != h.book.Rows().end() && taken.size() < rows; ++it) {
                const Session &s = it->second;
                cursor->after = it->first;
                cursor->inHost = true;
                if (!filter.user.empty() && filter.user != UserOf(s.rec))
                    continue;
                if (!filter.state.empty() && filter.state != (s.ended ? "ended" : "open"))
                    continue;
                taken.push_back({cursor->host, h.link != Link::Up, s});
            }
            if (it != h.book.Rows().end()) {
                more = true;  /* this host goes on in the next piece */
                break;
            }
        }
        more = more || cursor->host < hosts_.size();
    }
    for (const Row &r : taken) {
        if (cursor->any)
            *out += ",\n";
        cursor->any = true;
        *out += wtop::JsonLine(SessionJson(labels[r.host], r.stale, r.s));
    }
    if (!more) {
        *out += "]\n";
        cursor->done = true;
    }
    return true;
}

bool HubState::AnyUp() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return std::any_of(hosts_.begin(), hosts_.end(), [](const Host &h) { return h.link == Link::Up; });
}

bool HubState::WaitEvents(uint64_t since, std::chrono::milliseconds wait, std::vector<std::string> *out,
                          uint64_t *last, bool *reset, size_t maxBytes)
{
    std::unique_lock<std::mutex> lock(mu_);
    eventsCv_.wait_for(lock, wait, [&] { return stopped_ || seq_ != since; });
    if (stopped_)
        return false;
    /* A client behind the kept events, or one that knew another run of the
     * hub (its events numbered past ours), reads the table again. */
    *reset = since > seq_ || (!events_.empty() && events_.front().first > since + 1);
    if (*reset) {
        *last = seq_;
        return true;
    }
    /* The oldest event after since, then as many as maxBytes allow. */
    auto it = std::lower_bound(events_.begin(), events_.end(), since + 1,
                               [](const auto &e, uint64_t id) { return e.first < id; });
    size_t bytes = 0;
    *last = since;
    for (; it != events_.end() && (bytes == 0 || bytes + it->second.size() <= maxBytes); ++it) {
        bytes += it->second.size();
        out->push_back(it->second);
        *last = it->first;
    }
    if (it == events_.end())
        *last = seq_;
    return true;
}

uint64_t HubState::WaitNewer(uint64_t since, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(mu_);
    eventsCv_.wait_for(lock, wait, [&] { return stopped_ || seq_ != since; });
    return seq_;
}

uint64_t HubState::LastEvent() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return seq_;
}

void HubState::Stop()
{
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    eventsCv_.notify_all();
}

bool HubState::FindSession(size_t host, const RecordKey &key, Session *out) const
{
    std::lock_guard<std::mutex> lock(mu_);
    const Session *s = hosts_.at(host).book.Find(key);
    if (s == nullptr)
        return false;
    *out = *s;
    return true;
}

HostStats HubState::Stats(size_t host) const
{
    std::lock_guard<std::mutex> lock(mu_);
    return hosts_.at(host).stats;
}

}  // namespace hub
