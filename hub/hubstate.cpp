/*
 * hubstate.cpp - the hub's model of its upstreams.  Counters only ever grow:
 * bytes are added from the advance of a session's counters since its last
 * reading, a session is counted as started when it first enters the table
 * and as ended once, when its end is first noted; a row dropped after its
 * linger time is remembered (key and start time) for as long as the store
 * still hands it out, so that a later full read neither counts nor journals
 * it again.
 */
#include "hubstate.h"

#include "counters.h"
#include "recjson.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace hub {

namespace {

using wtop::KeyOf;
using wtop::RecordKey;
using json = nlohmann::ordered_json;

const char *const kOtherUser = "(other)";

const char *LinkName(Link l)
{
    switch (l) {
    case Link::Up:
        return "up";
    case Link::Stale:
        return "stale";
    case Link::Down:
        break;
    }
    return "down";
}

bool IsEnded(const MonData_t &rec)
{
    return (rec.flags & MON_FLAG_END) != 0 || rec.endTime != 0;
}

/* True when two copies of a record differ in more than their change bits. */
bool Differs(const MonData_t &a, const MonData_t &b)
{
    MonData_t x = a, y = b;
    x.flags = y.flags = 0;
    x.seqNum = y.seqNum = 0;
    return std::memcmp(&x, &y, sizeof x) != 0;
}

/* v in the shortest form that reads back the same (bucket bounds: "0.1"). */
std::string Number(double v)
{
    char buf[40];
    for (int digits = 6; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
        if (std::strtod(buf, nullptr) == v)
            break;
    }
    return buf;
}

std::string User(const MonData_t &rec)
{
    return wtop::FieldText(rec.text1, sizeof rec.text1);
}

}  // namespace

void Histogram::Observe(double seconds)
{
    for (size_t i = 0; i < kBuckets; ++i) {
        if (seconds <= kBounds[i]) {
            ++counts[i];
            break;
        }
    }
    ++count;
    sum += seconds;
}

std::string Rfc3339(int64_t t)
{
    const time_t when = static_cast<time_t>(t);
    struct tm tm;
    if (gmtime_r(&when, &tm) == nullptr)
        return std::to_string(t);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string LabelValue(const std::string &v)
{
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string JournalLine(const std::string &host, const Session &s)
{
    const MonData_t &r = s.rec;
    const auto addr = [](const unsigned char *block) {
        const auto text = wtop::AddrDecode(block);
        return text ? json(*text) : json(nullptr);
    };
    json j;
    j["host"] = host;
    j["key"] = wtop::KeyText(KeyOf(r));
    j["user"] = User(r);
    j["client"] = addr(r.addrA);
    j["destination"] = wtop::FieldText(r.text2, sizeof r.text2);
    j["resolved"] = addr(r.addrB);
    j["start_time"] = r.startTime != 0 ? json(Rfc3339(r.startTime)) : json(nullptr);
    j["end_time"] = Rfc3339(s.endWall);
    j["duration_seconds"] = r.startTime != 0 ? std::max<int64_t>(0, int64_t{s.endWall} - r.startTime) : 0;
    j["bytes_up"] = CountUp(r);
    j["bytes_down"] = CountDown(r);
    j["status"] = r.status;
    j["status_text"] = wtop::FieldText(r.statusText, sizeof r.statusText);
    j["gone"] = s.gone;
    return wtop::JsonLine(j);
}

HubState::HubState(std::vector<std::string> labels, HubConfig config, Journal *journal)
    : config_(config), journal_(journal)
{
    hosts_.resize(labels.size());
    for (size_t i = 0; i < labels.size(); ++i)
        hosts_[i].label = std::move(labels[i]);
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

/* A session's row of /api/sessions and of the events; stale: its host's
 * link is not up.  Needs no lock: it reads only what it is given. */
static json SessionJson(const std::string &label, bool stale, const Session &s)
{
    json j;
    j["host"] = label;
    json rec = wtop::RecordJson(s.rec);
    for (auto &[k, v] : rec.items())
        j[k] = std::move(v);
    j["state"] = s.ended ? "ended" : "open";
    j["bytes_up"] = CountUp(s.rec);
    j["bytes_down"] = CountDown(s.rec);
    j["rate_up"] = s.rateUp;
    j["rate_down"] = s.rateDown;
    j["gone"] = s.gone;
    j["stale"] = stale;
    return j;
}

json HubState::SessionJsonLocked(const Host &h, const Session &s) const
{
    return SessionJson(h.label, h.link != Link::Up, s);
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
    EmitLocked("totals", wtop::JsonLine(TotalsLocked()));
}

void HubState::Disconnected(size_t host, const std::string &why)
{
    std::lock_guard<std::mutex> lock(mu_);
    Host &h = hosts_.at(host);
    h.link = h.everUp ? Link::Stale : Link::Down;
    h.lastError = why;
    h.inFull = false;
    EmitLocked("totals", wtop::JsonLine(TotalsLocked()));
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
    std::string user = User(s.rec);
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

void HubState::EndLocked(Host &h, Session &s, double now, time_t wall)
{
    s.ended = true;
    s.endedAt = now;
    s.endWall = s.rec.endTime != 0 ? s.rec.endTime : static_cast<int32_t>(wall);
    s.rateUp = s.rateDown = 0;
    ++h.stats.endedByCode[s.rec.status];
    const double duration = s.rec.startTime != 0 ? std::max(0, s.endWall - s.rec.startTime) : 0;
    h.stats.durations.Observe(duration);
    /* Queued: the journal's own thread writes it, off this lock. */
    if (journal_ != nullptr)
        journal_->Enqueue(JournalLine(h.label, s));
}

void HubState::ApplyLocked(Host &h, const MonData_t &rec, double now, time_t wall)
{
    const RecordKey key = KeyOf(rec);
    ++h.stats.reports;
    auto it = h.sessions.find(key);
    if (it != h.sessions.end() && it->second.ended && rec.startTime != it->second.rec.startTime) {
        /* The key was given to a new session. */
        h.sessions.erase(it);
        it = h.sessions.end();
    }
    const bool endedRec = IsEnded(rec);
    bool isNew = false;
    if (it == h.sessions.end()) {
        if (auto r = h.retired.find(key); r != h.retired.end()) {
            if (r->second == rec.startTime) {
                if (h.inFull)
                    h.retiredSeen.insert(key);
                return;  /* shown, ended and dropped already */
            }
            h.retired.erase(r);
        }
        it = h.sessions.emplace(key, Session{}).first;
        std::memset(&it->second.rec, 0, sizeof it->second.rec);
        isNew = true;
        ++h.stats.started;
        if (!endedRec)
            h.recentStarts.push_back(now);
    }
    Session &s = it->second;
    s.seen = true;
    const bool changed = isNew || Differs(s.rec, rec);
    const uint64_t up = CountUp(rec), down = CountDown(rec);
    const uint64_t dUp = CounterAdvance(s.up, up), dDown = CounterAdvance(s.down, down);
    h.stats.bytesUp += dUp;
    h.stats.bytesDown += dDown;
    if (dUp != 0 || dDown != 0) {
        if (s.sampleAt >= 0 && now > s.sampleAt) {
            s.rateUp = static_cast<double>(dUp) / (now - s.sampleAt);
            s.rateDown = static_cast<double>(dDown) / (now - s.sampleAt);
        }
        s.movedAt = now;
    }
    s.sampleAt = now;
    s.up = up;
    s.down = down;
    s.rec = rec;
    CountUserLocked(h, s, dUp, dDown);

    const char *type = "update";
    if (endedRec && !s.ended) {
        EndLocked(h, s, now, wall);
        type = "end";
    } else if (isNew) {
        type = "start";
    } else if ((rec.flags & MON_FLAG_STATUS) != 0) {
        type = "status";
    }
    if (changed || std::strcmp(type, "end") == 0)
        EmitLocked(type, wtop::JsonLine(SessionJsonLocked(h, s)));
}

void HubState::BeginStream(size_t host, bool full)
{
    std::lock_guard<std::mutex> lock(mu_);
    Host &h = hosts_.at(host);
    h.inFull = full;
    if (full) {
        for (auto &[key, s] : h.sessions)
            s.seen = false;
        h.retiredSeen.clear();
    }
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
    if (!h.inFull)
        return;
    h.inFull = false;
    /* Open sessions the store no longer holds ended without a word. */
    for (auto &[key, s] : h.sessions) {
        if (!s.seen && !s.ended) {
            s.gone = true;
            EndLocked(h, s, now, wall);
            EmitLocked("end", wtop::JsonLine(SessionJsonLocked(h, s)));
        }
    }
    /* A dropped row the store no longer holds cannot come back. */
    for (auto it = h.retired.begin(); it != h.retired.end();)
        it = h.retiredSeen.count(it->first) != 0 ? std::next(it) : h.retired.erase(it);
    h.retiredSeen.clear();
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
        for (auto it = h.sessions.begin(); it != h.sessions.end();) {
            Session &s = it->second;
            if (s.ended && now - s.endedAt >= config_.linger) {
                json gone;
                gone["host"] = h.label;
                gone["key"] = wtop::KeyText(it->first);
                EmitLocked("remove", wtop::JsonLine(gone));
                h.retired[it->first] = s.rec.startTime;
                it = h.sessions.erase(it);
                continue;
            }
            if (!s.ended && (s.rateUp != 0 || s.rateDown != 0) && now - s.movedAt >= config_.rateHold) {
                s.rateUp = s.rateDown = 0;
                EmitLocked("update", wtop::JsonLine(SessionJsonLocked(h, s)));
            }
            ++it;
        }
    }
    EmitLocked("totals", wtop::JsonLine(TotalsLocked()));
}

json HubState::TotalsLocked() const
{
    json hosts = json::array();
    json all;
    uint64_t active = 0, total = 0, perMinute = 0;
    double rateUp = 0, rateDown = 0;
    std::map<int32_t, uint64_t> failures;
    for (const Host &h : hosts_) {
        uint64_t open = 0;
        for (const auto &[key, s] : h.sessions)
            open += s.ended ? 0 : 1;
        json f = json::object();
        for (const auto &[code, n] : h.stats.endedByCode) {
            if (code != 0) {
                f[std::to_string(code)] = n;
                failures[code] += n;
            }
        }
        json j;
        j["host"] = h.label;
        j["state"] = LinkName(h.link);
        j["error"] = h.lastError;
        j["active"] = open;
        j["sessions"] = h.sessions.size();
        j["per_minute"] = h.recentStarts.size();
        j["rate_up"] = h.rateUp;
        j["rate_down"] = h.rateDown;
        j["bytes_up"] = h.stats.bytesUp;
        j["bytes_down"] = h.stats.bytesDown;
        j["failures"] = f;
        hosts.push_back(j);
        active += open;
        total += h.sessions.size();
        perMinute += h.recentStarts.size();
        rateUp += h.rateUp;
        rateDown += h.rateDown;
    }
    json f = json::object();
    for (const auto &[code, n] : failures)
        f[std::to_string(code)] = n;
    all["active"] = active;
    all["sessions"] = total;
    all["per_minute"] = perMinute;
    all["rate_up"] = rateUp;
    all["rate_down"] = rateDown;
    all["failures"] = f;
    json t;
    t["time"] = static_cast<int64_t>(std::time(nullptr));
    t["hosts"] = hosts;
    t["all"] = all;
    return t;
}

std::string HubState::TotalsJson()
{
    std::lock_guard<std::mutex> lock(mu_);
    return wtop::JsonLine(TotalsLocked());
}

std::string HubState::Metrics()
{
    std::lock_guard<std::mutex> lock(mu_);
    ++scrapes_;
    std::string out;
    out.reserve(4096 + hosts_.size() * 2048);
    const auto family = [&](const char *name, const char *type, const char *help) {
        out += "# HELP ";
        out += name;
        out += ' ';
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += ' ';
        out += type;
        out += '\n';
    };
    const auto sample = [&](const std::string &name, const std::string &labels, const std::string &value) {
        out += name;
        if (!labels.empty())
            out += "{" + labels + "}";
        out += ' ';
        out += value;
        out += '\n';
    };
    const auto hostLabel = [](const Host &h) { return "host=\"" + LabelValue(h.label) + "\""; };

    family("warden_up", "gauge", "Whether the hub is connected to the warden daemon (1) or not (0).");
    for (const Host &h : hosts_)
        sample("warden_up", hostLabel(h), h.link == Link::Up ? "1" : "0");
    family("warden_sessions_active", "gauge", "Sessions the proxy is relaying now (last known while the link is down).");
    for (const Host &h : hosts_) {
        uint64_t open = 0;
        for (const auto &[key, s] : h.sessions)
            open += s.ended ? 0 : 1;
        sample("warden_sessions_active", hostLabel(h), std::to_string(open));
    }
    family("warden_sessions_started_total", "counter", "Sessions seen starting.");
    for (const Host &h : hosts_)
        sample("warden_sessions_started_total", hostLabel(h), std::to_string(h.stats.started));
    family("warden_sessions_ended_total", "counter", "Sessions seen ending, by SOCKS reply code.");
    for (const Host &h : hosts_)
        for (const auto &[code, n] : h.stats.endedByCode)
            sample("warden_sessions_ended_total", hostLabel(h) + ",code=\"" + std::to_string(code) + "\"",
                   std::to_string(n));
    family("warden_relayed_bytes_total", "counter", "Bytes relayed by the proxy, by direction.");
    for (const Host &h : hosts_) {
        sample("warden_relayed_bytes_total", hostLabel(h) + ",direction=\"to_destination\"",
               std::to_string(h.stats.bytesUp));
        sample("warden_relayed_bytes_total", hostLabel(h) + ",direction=\"to_client\"",
               std::to_string(h.stats.bytesDown));
    }
    family("warden_session_duration_seconds", "histogram", "Duration of ended sessions.");
    for (const Host &h : hosts_) {
        const Histogram &d = h.stats.durations;
        uint64_t cumulative = 0;
        for (size_t i = 0; i < Histogram::kBuckets; ++i) {
            cumulative += d.counts[i];
            sample("warden_session_duration_seconds_bucket", hostLabel(h) + ",le=\"" + Number(Histogram::kBounds[i]) + "\"",
                   std::to_string(cumulative));
        }
        sample("warden_session_duration_seconds_bucket", hostLabel(h) + ",le=\"+Inf\"", std::to_string(d.count));
        sample("warden_session_duration_seconds_sum", hostLabel(h), Number(d.sum));
        sample("warden_session_duration_seconds_count", hostLabel(h), std::to_string(d.count));
    }
    family("warden_reports_received_total", "counter", "Session records received from the daemon.");
    for (const Host &h : hosts_)
        sample("warden_reports_received_total", hostLabel(h), std::to_string(h.stats.reports));
    family("warden_bad_records_total", "counter", "Records from the daemon that could not be decoded.");
    for (const Host &h : hosts_)
        sample("warden_bad_records_total", hostLabel(h), std::to_string(h.stats.badRecords));
    if (config_.perUser) {
        family("warden_user_relayed_bytes_total", "counter",
               "Bytes relayed per user name and direction; users past the cap are summed as \"(other)\".");
        for (const Host &h : hosts_) {
            for (const auto &[user, b] : h.userBytes) {
                const std::string l = hostLabel(h) + ",user=\"" + LabelValue(user) + "\"";
                sample("warden_user_relayed_bytes_total", l + ",direction=\"to_destination\"", std::to_string(b.first));
                sample("warden_user_relayed_bytes_total", l + ",direction=\"to_client\"", std::to_string(b.second));
            }
        }
    }
    family("warden_hub_reconnects_total", "counter", "Times the hub connected to the daemon again after losing it.");
    for (const Host &h : hosts_)
        sample("warden_hub_reconnects_total", hostLabel(h), std::to_string(h.stats.reconnects));
    family("warden_hub_scrapes_total", "counter", "Requests for /metrics, this one included.");
    sample("warden_hub_scrapes_total", "", std::to_string(scrapes_));
    family("warden_hub_journal_errors_total", "counter", "Journal lines that could not be written.");
    sample("warden_hub_journal_errors_total", "", std::to_string(journal_ != nullptr ? journal_->Errors() : 0));
    return out;
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
            auto it = cursor->inHost ? h.sessions.upper_bound(cursor->after) : h.sessions.begin();
            for (; it != h.sessions.end() && taken.size() < rows; ++it) {
                const Session &s = it->second;
                cursor->after = it->first;
                cursor->inHost = true;
                if (!filter.user.empty() && filter.user != User(s.rec))
                    continue;
                if (!filter.state.empty() && filter.state != (s.ended ? "ended" : "open"))
                    continue;
                taken.push_back({cursor->host, h.link != Link::Up, s});
            }
            if (it != h.sessions.end()) {
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
    const Host &h = hosts_.at(host);
    const auto it = h.sessions.find(key);
    if (it == h.sessions.end())
        return false;
    *out = it->second;
    return true;
}

HostStats HubState::Stats(size_t host) const
{
    std::lock_guard<std::mutex> lock(mu_);
    return hosts_.at(host).stats;
}

}  // namespace hub
