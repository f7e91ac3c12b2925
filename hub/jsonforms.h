/*
 * jsonforms.h - the hub's JSON forms of what it keeps: a session's row of
 * /api/sessions and of the events, the totals of /api/totals and of the
 * totals event, and a journal line.  Free functions of the data they are
 * given; the caller holds whatever lock guards it.
 */
#ifndef WARDEN_HUB_JSONFORMS_H
#define WARDEN_HUB_JSONFORMS_H

#include "host.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace hub {

/* A session's row; label: its host's, stale: that host's link is not up.
 * An unknown rate and the rate of an ended session are 0. */
nlohmann::ordered_json SessionJson(const std::string &label, bool stale, const Session &s);

/* Per-host and overall totals at wall time now. */
nlohmann::ordered_json TotalsJson(const std::vector<Host> &hosts, time_t now);

/* A journal line for an ended session of host (no newline). */
std::string JournalLine(const std::string &host, const Session &s);

/* t as RFC 3339 in UTC, "2026-01-02T03:04:05Z"; the number itself when the
 * time cannot be broken down. */
std::string Rfc3339(int64_t t);

/* The user a session's record names ("" for none), raw. */
std::string UserOf(const MonData_t &rec);

}  // namespace hub

#endif /* WARDEN_HUB_JSONFORMS_H */
