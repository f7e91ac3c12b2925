/*
 * metrics.cpp - the Prometheus text exposition of the hub's counters.  The
 * names follow the Prometheus conventions (base units, _total for counters)
 * and stay as they are: dashboards and alerts are written against them.
 */
#include "metrics.h"

#include <cstdio>
#include <cstdlib>

namespace hub {

namespace {

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

}  // namespace

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

std::string MetricsText(const std::vector<Host> &hosts, const MetricsExtra &extra)
{
    std::string out;
    out.reserve(4096 + hosts.size() * 2048);
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
    for (const Host &h : hosts)
        sample("warden_up", hostLabel(h), h.link == Link::Up ? "1" : "0");
    family("warden_sessions_active", "gauge", "Sessions the proxy is relaying now (last known while the link is down).");
    for (const Host &h : hosts) {
        sample("warden_sessions_active", hostLabel(h), std::to_string(h.book.OpenCount()));
    }
    family("warden_sessions_started_total", "counter", "Sessions seen starting.");
    for (const Host &h : hosts)
        sample("warden_sessions_started_total", hostLabel(h), std::to_string(h.stats.started));
    family("warden_sessions_ended_total", "counter", "Sessions seen ending, by SOCKS reply code.");
    for (const Host &h : hosts)
        for (const auto &[code, n] : h.stats.endedByCode)
            sample("warden_sessions_ended_total", hostLabel(h) + ",code=\"" + std::to_string(code) + "\"",
                   std::to_string(n));
    family("warden_relayed_bytes_total", "counter", "Bytes relayed by the proxy, by direction.");
    for (const Host &h : hosts) {
        sample("warden_relayed_bytes_total", hostLabel(h) + ",direction=\"to_destination\"",
               std::to_string(h.stats.bytesUp));
        sample("warden_relayed_bytes_total", hostLabel(h) + ",direction=\"to_client\"",
               std::to_string(h.stats.bytesDown));
    }
    family("warden_session_duration_seconds", "histogram", "Duration of ended sessions.");
    for (const Host &h : hosts) {
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
    for (const Host &h : hosts)
        sample("warden_reports_received_total", hostLabel(h), std::to_string(h.stats.reports));
    family("warden_bad_records_total", "counter", "Records from the daemon that could not be decoded.");
    for (const Host &h : hosts)
        sample("warden_bad_records_total", hostLabel(h), std::to_string(h.stats.badRecords));
    if (extra.perUser) {
        family("warden_user_relayed_bytes_total", "counter",
               "Bytes relayed per user name and direction; users past the cap are summed as \"(other)\".");
        for (const Host &h : hosts) {
            for (const auto &[user, b] : h.userBytes) {
                const std::string l = hostLabel(h) + ",user=\"" + LabelValue(user) + "\"";
                sample("warden_user_relayed_bytes_total", l + ",direction=\"to_destination\"", std::to_string(b.first));
                sample("warden_user_relayed_bytes_total", l + ",direction=\"to_client\"", std::to_string(b.second));
            }
        }
    }
    family("warden_hub_reconnects_total", "counter", "Times the hub connected to the daemon again after losing it.");
    for (const Host &h : hosts)
        sample("warden_hub_reconnects_total", hostLabel(h), std::to_string(h.stats.reconnects));
    family("warden_hub_scrapes_total", "counter", "Requests for /metrics, this one included.");
    sample("warden_hub_scrapes_total", "", std::to_string(extra.scrapes));
    family("warden_hub_journal_errors_total", "counter", "Journal lines that could not be written.");
    sample("warden_hub_journal_errors_total", "", std::to_string(extra.journalErrors));
    return out;
}

}  // namespace hub
