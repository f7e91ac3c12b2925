/*
 * metrics.h - the hub's Prometheus text exposition: free functions of the
 * host data they are given; the caller holds whatever lock guards it.
 */
#ifndef WARDEN_HUB_METRICS_H
#define WARDEN_HUB_METRICS_H

#include "host.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hub {

/* What /metrics tells besides the hosts. */
struct MetricsExtra {
    bool perUser = false;        /* the per-user byte counters are kept */
    uint64_t scrapes = 0;        /* this scrape included                */
    uint64_t journalErrors = 0;
};

/* The whole exposition, every family with its HELP and TYPE lines. */
std::string MetricsText(const std::vector<Host> &hosts, const MetricsExtra &extra);

/* A Prometheus label value, escaped. */
std::string LabelValue(const std::string &v);

}  // namespace hub

#endif /* WARDEN_HUB_METRICS_H */
