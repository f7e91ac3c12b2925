/*
 * host.h - what the hub keeps of one watched warden: its link, its table of
 * sessions (the session library's, the same rules as warden-top's) and the
 * counters behind /metrics.  Plain data, guarded by HubState's mutex; the
 * metrics and JSON forms read it, HubState alone changes it.
 */
#ifndef WARDEN_HUB_HOST_H
#define WARDEN_HUB_HOST_H

#include "book.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <tuple>

namespace hub {

/* One session as the hub keeps it: a row of the session table. */
using Session = sess::Row;

/* Session durations in seconds, buckets by the Prometheus convention
 * (cumulative counts, le="+Inf" is the count). */
struct Histogram {
    static constexpr double kBounds[] = {0.1, 0.5, 1, 5, 10, 30, 60, 300, 900, 3600, 14400, 86400};
    static constexpr size_t kBuckets = sizeof kBounds / sizeof kBounds[0];
    uint64_t counts[kBuckets] = {};  /* observations <= kBounds[i], not cumulated */
    uint64_t count = 0;
    double sum = 0;
    /* Counts one duration; never fails. */
    void Observe(double seconds);
};

enum class Link { Down, Up, Stale };

/* "up", "down" or "stale". */
const char *LinkName(Link l);

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
    /* linger: seconds an ended session stays in the table.  The hub accounts
     * for every session, so a full read's old ends are taken too. */
    Host(std::string name, double linger) : label(std::move(name)), book(linger, true) {}

    std::string label;
    Link link = Link::Down;
    bool everUp = false;
    std::string lastError;
    sess::Book book;
    HostStats stats;
    std::map<std::string, std::pair<uint64_t, uint64_t>> userBytes;  /* user -> up, down */
    std::deque<double> recentStarts;  /* monotonic start times of the last minute     */
    double rateUp = 0;                /* throughput over the rate window, bytes/second */
    double rateDown = 0;
    std::deque<std::tuple<double, uint64_t, uint64_t>> samples;  /* tick time, bytes totals */
};

}  // namespace hub

#endif /* WARDEN_HUB_HOST_H */
