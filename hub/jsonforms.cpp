/*
 * jsonforms.cpp - the JSON the hub serves and journals.  A session's own
 * fields come from the record's JSON form (warden-top --json writes the
 * same); the hub adds its host, state, totals and rates.
 */
#include "jsonforms.h"

#include "fields.h"
#include "recjson.h"

#include <algorithm>

namespace hub {

namespace {

using json = nlohmann::ordered_json;

double RateOf(const Session &s, double rate)
{
    return s.ended || rate < 0 ? 0 : rate;
}

}  // namespace

std::string UserOf(const MonData_t &rec)
{
    return wtop::TextOf(rec, wtop::Field::User);
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

json SessionJson(const std::string &label, bool stale, const Session &s)
{
    json j;
    j["host"] = label;
    json rec = wtop::RecordJson(s.rec);
    for (auto &[k, v] : rec.items())
        j[k] = std::move(v);
    j["state"] = s.ended ? "ended" : "open";
    j["bytes_up"] = wtop::BytesUp(s.rec);
    j["bytes_down"] = wtop::BytesDown(s.rec);
    j["rate_up"] = RateOf(s, s.rateA);
    j["rate_down"] = RateOf(s, s.rateB);
    j["gone"] = s.gone;
    j["stale"] = stale;
    return j;
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
    j["key"] = wtop::KeyText(wtop::KeyOf(r));
    j["user"] = UserOf(r);
    j["client"] = addr(r.addrA);
    j["destination"] = wtop::FieldText(r.text2, sizeof r.text2);
    j["resolved"] = addr(r.addrB);
    j["start_time"] = r.startTime != 0 ? json(Rfc3339(r.startTime)) : json(nullptr);
    j["end_time"] = Rfc3339(s.endWall);
    j["duration_seconds"] = r.startTime != 0 ? std::max<int64_t>(0, int64_t{s.endWall} - r.startTime) : 0;
    j["bytes_up"] = wtop::BytesUp(r);
    j["bytes_down"] = wtop::BytesDown(r);
    j["status"] = r.status;
    j["status_text"] = wtop::FieldText(r.statusText, sizeof r.statusText);
    j["gone"] = s.gone;
    return wtop::JsonLine(j);
}

json TotalsJson(const std::vector<Host> &hosts, time_t now)
{
    json list = json::array();
    json all;
    uint64_t active = 0, total = 0, perMinute = 0;
    double rateUp = 0, rateDown = 0;
    std::map<int32_t, uint64_t> failures;
    for (const Host &h : hosts) {
        const uint64_t open = h.book.OpenCount();
        const uint64_t rows = h.book.Rows().size();
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
        j["sessions"] = rows;
        j["per_minute"] = h.recentStarts.size();
        j["rate_up"] = h.rateUp;
        j["rate_down"] = h.rateDown;
        j["bytes_up"] = h.stats.bytesUp;
        j["bytes_down"] = h.stats.bytesDown;
        j["failures"] = f;
        list.push_back(j);
        active += open;
        total += rows;
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
    t["time"] = static_cast<int64_t>(now);
    t["hosts"] = list;
    t["all"] = all;
    return t;
}

}  // namespace hub
