/*
 * hubstate.h - everything warden-hub knows: per upstream its link state, the
 * table of sessions (the session library's, by the same rules as
 * warden-top's), the counters behind /metrics and the events behind
 * /api/events.  One mutex guards it all; the upstream threads feed it whole
 * change streams at a time, the HTTP threads read it.  A session's bytes are counted from the advance of its counters
 * between two readings, so a record read twice (a full read after a
 * reconnect) adds nothing, and an ended session is journaled and counted as
 * ended exactly once while the hub runs.
 */
#ifndef WARDEN_HUB_HUBSTATE_H
#define WARDEN_HUB_HUBSTATE_H

#include <quelm/monitor.h>

#include "host.h"
#include "journal.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace hub {

struct HubConfig {
    double linger = 30;       /* seconds an ended session stays in the table */
    double rateHold = sess::kRateHold;  /* a rate falls to 0 after this long unmoved */
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
    void CountEndLocked(Host &h, const Session &s);
    void CountUserLocked(Host &h, const Session &s, uint64_t dUp, uint64_t dDown);
    void EmitLocked(const char *type, const std::string &json);
    void EmitSessionLocked(const char *type, const Host &h, const Session &s);
    void EmitTotalsLocked();

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

}  // namespace hub

#endif /* WARDEN_HUB_HUBSTATE_H */
