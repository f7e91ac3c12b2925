/*
 * hubstate.h - everything warden-hub knows: per upstream its link state, the
 * table of sessions (the same fields as warden-top's), the counters behind
 * /metrics and the events behind /api/events.  One mutex guards it all; the
 * upstream threads feed it whole change streams at a time, the HTTP threads
 * read it.  A session's bytes are counted from the advance of its counters
 * between two readings, so a record read twice (a full read after a
 * reconnect) adds nothing, and an ended session is journaled and counted as
 * ended exactly once while the hub runs.
 */
#ifndef WARDEN_HUB_HUBSTATE_H
#define WARDEN_HUB_HUBSTATE_H

#include <quelm/monitor.h>

#include "fieldfmt.h"
#include "journal.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace hub {

/* One session as the hub keeps it. */
struct Session {
    MonData_t rec;            /* latest copy; flags: the change bits it came with */
    uint64_t up = 0;          /* counters at the latest reading                   */
    uint64_t down = 0;
    bool ended = false;       /* end seen, or no longer alive                     */
    bool gone = false;        /* left the store without an end being seen         */
    double endedAt = 0;       /* monotonic time the end was noted                 */
    int32_t endWall = 0;      /* wall time of the end: endTime, else when noted   */
    double sampleAt = -1;     /* monotonic time of the latest counter reading     */
    double movedAt = 0;       /* monotonic time the counters last moved           */
    double rateUp = 0;        /* bytes per second between the last two readings   */
    double rateDown = 0;
    bool seen = false;        /* met by the full read in progress                 */
};

/* Session durations in seconds, buckets by the Prometheus convention
 * (cumulative counts, le="+Inf" is the count). */
struct Histogram {
    static constexpr double kBounds[] = {0.1, 0.5, 1, 5, 10, 30, 60, 300, 900, 3600, 14400, 86400};
    static constexpr size_t kBuckets = sizeof kBounds / sizeof kBounds[0];
    uint64_t counts[kBuckets] = {};  /* observations <= kBounds[i], not cumulated */
    uint64_t count = 0;
    double sum = 0;
    void Observe(double seconds);
};

enum class Link { Down, Up, Stale };

struct HostStats {
    uint64_t started = 0;
    std::map<int32_t, uint64_t> endedByCode;
    uint64_t bytesUp = 0;
    uint64_t bytesDown = 0;
    uint64_t reports = 0;
    uint64_t reconnects = 0;
    uint64_t badRecords = 0;
    Histogram durations;
};

struct Host {
    std::string label;
    Link link = Link::Down;
    bool everUp = false;
    std::string lastError;
    std::map<wtop::RecordKey, Session> sessions;
    std::map<wtop::RecordKey, int32_t> retired;  /* dropped ended rows: key -> startTime */
    std::set<wtop::RecordKey> retiredSeen;       /* of those, met by the full read      */
    bool inFull = false;
    HostStats stats;
    std::map<std::string, std::pair<uint64_t, uint64_t>> userBytes;  /* user -> up, down */
    std::deque<double> recentStarts;  /* monotonic start times of the last minute     */
    double rateUp = 0;                /* throughput over the rate window, bytes/second */
    double rateDown = 0;
    std::deque<std::tuple<double, uint64_t, uint64_t>> samples;  /* tick time, bytes totals */
};

struct HubConfig {
    double linger = 30;       /* seconds an ended session stays in the table */
    double rateHold = 8;      /* a rate falls to 0 after this long unmoved:
                                 longer than the proxy's 5 s report throttle  */
    double rateWindow = 10;   /* seconds a host's throughput is averaged over */
    bool perUser = false;
    size_t usersMax = 100;
    size_t eventsKept = 20000;        /* events a late client can catch up on ...  */
    size_t eventBytesKept = 4u << 20; /* ... and at most this many bytes of them   */
};

/* Filters of /api/sessions; empty means any. */
struct SessionFilter {
    std::string host;
    std::string user;
    std::string state;  /* "open" or "ended" */
};

/* Where SessionsChunk() goes on. */
struct SessionCursor {
    size_t host = 0;
    wtop::RecordKey after{};  /* the last key given, in host */
    bool begun = false;       /* "[" given */
    bool inHost = false;      /* after is set */
    bool any = false;         /* a row given: the next one needs a comma */
    bool done = false;
};

class HubState {
public:
    /* labels: one per upstream, in order; journal may be null. */
    HubState(std::vector<std::string> labels, HubConfig config, Journal *journal);

    size_t HostCount() const { return hosts_.size(); }

    /* Link changes, from the upstream threads. */
    void Connected(size_t host);
    void Disconnected(size_t host, const std::string &why);

    /* Feeds the records of one change stream (full: read with the all flag,
     * after which every open session it did not deliver has gone), in
     * pieces: BeginStream, Apply as often as needed, EndStream. */
    void BeginStream(size_t host, bool full);
    void Apply(size_t host, const MonData_t *recs, size_t count, double now, time_t wall);
    void EndStream(size_t host, double now, time_t wall);
    /* The three above for a whole stream at once. */
    void ApplyStream(size_t host, const std::vector<MonData_t> &recs, bool full, double now, time_t wall);

    /* A record an upstream sent that could not be decoded. */
    void BadRecord(size_t host);

    /* Once a second: rates, throughput, dropping lingering rows; sends the
     * totals event. */
    void Tick(double now, time_t wall);

    /* The Prometheus text exposition; counts the scrape. */
    std::string Metrics();

    /* Matching sessions as a JSON array; *seq: the last event already
     * reflected in it. */
    std::string SessionsJson(const SessionFilter &filter, time_t wall, uint64_t *seq);

    /* The same array in pieces, each taking the lock once for at most rows
     * sessions, so that a large table never holds up /metrics or the
     * upstreams: appends the next piece to *out, false once the array was
     * closed.  A table read this way mixes moments; a reader that applies
     * the events after LastEvent() taken before the first piece ends up
     * right all the same. */
    bool SessionsChunk(const SessionFilter &filter, SessionCursor *cursor, size_t rows, std::string *out);

    /* Per-host and overall totals, as in the totals event. */
    std::string TotalsJson();

    /* True when at least one upstream is connected. */
    bool AnyUp() const;

    /* Events after since, as SSE frames.  Waits up to wait for one; false
     * once Stop() was called.  *reset: events after since were already
     * dropped, the client must read the table again. */
    bool WaitEvents(uint64_t since, std::chrono::milliseconds wait, std::vector<std::string> *out,
                    uint64_t *last, bool *reset, size_t maxBytes = SIZE_MAX);
    /* Waits up to wait for an event after since; the last event's number. */
    uint64_t WaitNewer(uint64_t since, std::chrono::milliseconds wait);
    uint64_t LastEvent() const;

    void Stop();

    /* For the tests: a copy of a host's session or stats. */
    bool FindSession(size_t host, const wtop::RecordKey &key, Session *out) const;
    HostStats Stats(size_t host) const;

private:
    void ApplyLocked(Host &h, const MonData_t &rec, double now, time_t wall);
    void EndLocked(Host &h, Session &s, double now, time_t wall);
    void CountUserLocked(Host &h, const Session &s, uint64_t dUp, uint64_t dDown);
    void EmitLocked(const char *type, const std::string &json);
    nlohmann::ordered_json TotalsLocked() const;
    nlohmann::ordered_json SessionJsonLocked(const Host &h, const Session &s) const;

    mutable std::mutex mu_;
    std::condition_variable eventsCv_;
    std::vector<Host> hosts_;
    HubConfig config_;
    Journal *journal_;
    std::set<std::string> users_;  /* users with counters of their own */
    uint64_t scrapes_ = 0;
    std::deque<std::pair<uint64_t, std::string>> events_;
    size_t eventBytes_ = 0;
    uint64_t seq_ = 0;
    bool stopped_ = false;
};

/* A journal line for an ended session of host (no newline). */
std::string JournalLine(const std::string &host, const Session &s);

/* t as RFC 3339 in UTC, "2026-01-02T03:04:05Z". */
std::string Rfc3339(int64_t t);

/* A Prometheus label value, escaped. */
std::string LabelValue(const std::string &v);

}  // namespace hub

#endif /* WARDEN_HUB_HUBSTATE_H */
