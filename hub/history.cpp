/*
 * history.cpp - the history queries: filters from the request's parameters
 * into one WHERE clause with positional parameters (never a value spliced
 * into the SQL), the rows into JSON.  The same SQL runs on SQLite and on
 * PostgreSQL; the backends (history_db.cpp) only execute it.
 */
#include "history.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstdint>
#include <cstdlib>

namespace hub {

namespace {

using nlohmann::json;

constexpr int kDefaultLimit = 100;
constexpr int kMaxLimit = 1000;
constexpr int kSummaryTop = 100;

const char *const kColumns[] = {"id", "host", "pid", "handle", "record", "start_time", "end_time",
                                "duration", "client", "destination", "resolved", "username",
                                "proxy", "command", "status", "status_text", "bytes_up",
                                "bytes_down", "last_update"};
const bool kNumeric[] = {true, false, true, true, true, true, true, true, false, false,
                         false, false, false, false, true, false, true, true, true};

HistoryReply Error(int status, const std::string &message)
{
    return {status, json{{"error", message}}.dump() + "\n"};
}

bool Integer(const std::string &text, int64_t lo, int64_t hi, int64_t *out)
{
    int64_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v, 10);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

/* A numeric column's text as a JSON number; NULL ("") as null. */
json Number(const std::string &text)
{
    if (text.empty())
        return nullptr;
    int64_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v, 10);
    if (r.ec == std::errc() && r.ptr == text.data() + text.size())
        return v;
    return std::strtod(text.c_str(), nullptr); // a sum PostgreSQL gives as numeric
}

/* LIKE pattern that matches text exactly, with '\' as the escape. */
std::string LikeLiteral(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

struct Where {
    std::string sql;  /* " WHERE ..." or "" */
    int64_t from = -1, to = -1;  /* the time range asked for, -1: none */
    std::vector<std::string> params;
    std::string error;

    void Add(const std::string &clause, std::vector<std::string> values)
    {
        sql += sql.empty() ? " WHERE " : " AND ";
        sql += clause;
        for (auto &v : values)
            params.push_back(std::move(v));
    }
};

const std::string *Param(const HistoryParams &p, const char *name)
{
    const auto it = p.find(name);
    return it == p.end() || it->second.empty() ? nullptr : &it->second;
}

Where Filters(const HistoryParams &p)
{
    Where w;
    if (const std::string *v = Param(p, "host"))
        w.Add("host = ?", {*v});
    if (const std::string *v = Param(p, "user"))
        w.Add("username = ?", {*v});
    // An address or destination matches whole, or by its host part.
    for (const auto &[name, column] : {std::pair{"client", "client"}, std::pair{"destination", "destination"}})
        if (const std::string *v = Param(p, name))
            w.Add(std::string("(") + column + " = ? OR " + column + " LIKE ? ESCAPE '\\')",
                  {*v, LikeLiteral(*v) + ":%"});
    int64_t n = 0;
    if (const std::string *v = Param(p, "status")) {
        if (!Integer(*v, INT32_MIN, INT32_MAX, &n))
            w.error = "status must be a number, not '" + *v + "'";
        else
            w.Add("status = ?", {*v});
    }
    for (const auto &[name, op] : {std::pair{"from", ">="}, std::pair{"to", "<"}}) {
        if (const std::string *v = Param(p, name)) {
            if (!Integer(*v, 0, INT64_MAX / 2, &n))
                w.error = std::string(name) + " must be seconds since the epoch, not '" + *v + "'";
            else {
                w.Add(std::string("start_time ") + op + " ?", {std::to_string(n)});
                (std::string(name) == "from" ? w.from : w.to) = n;
            }
        }
    }
    return w;
}

/* One group of the summary as a query: key is the column (or expression)
 * the rows are grouped by, top asks for the kSummaryTop largest by bytes
 * instead of every group in key order.  Ended sessions are summed from the
 * indexes that hold them alone (warden(8)); the few open ones are read
 * through the end index and added. */
HistoryQuery Group(const Where &w, const std::string &key, bool top)
{
    HistoryQuery q;
    std::string parts;
    for (const char *state : {"end_time IS NOT NULL", "end_time IS NULL"}) {
        Where part = w;
        part.Add(state, {});
        parts += std::string(parts.empty() ? "" : " UNION ALL ") + "SELECT " + key +
                 " AS k, COUNT(*) AS n, SUM(bytes_up) AS u, SUM(bytes_down) AS d FROM warden_sessions" +
                 part.sql + " GROUP BY " + key;
        q.params.insert(q.params.end(), part.params.begin(), part.params.end());
    }
    q.sql = "SELECT k, SUM(n), SUM(u), SUM(d) FROM (" + parts + ") AS parts GROUP BY k ORDER BY " +
            (top ? "SUM(u) + SUM(d) DESC, k LIMIT " + std::to_string(kSummaryTop) : std::string("k"));
    return q;
}

json Groups(const HistoryQuery &q, const char *name, bool top)
{
    json out = json::array();
    for (const auto &r : q.rows) {
        json g;
        g[name] = top ? json(r[0]) : Number(r[0]);
        g["sessions"] = Number(r[1]);
        g["bytes_up"] = Number(r[2]);
        g["bytes_down"] = Number(r[3]);
        out.push_back(std::move(g));
    }
    return out;
}

}  // namespace

HistoryReply HistorySessions(HistoryDb &db, const HistoryParams &p)
{
    Where w = Filters(p);
    if (!w.error.empty())
        return Error(400, w.error);
    int64_t limit = kDefaultLimit, offset = 0;
    if (const std::string *v = Param(p, "limit"); v != nullptr && !Integer(*v, 1, kMaxLimit, &limit))
        return Error(400, "limit must be a number from 1 to " + std::to_string(kMaxLimit));
    if (const std::string *v = Param(p, "offset"); v != nullptr && !Integer(*v, 0, INT32_MAX, &offset))
        return Error(400, "offset must be a number from 0");
    std::string sql = "SELECT ";
    for (size_t i = 0; i < std::size(kColumns); ++i)
        sql += std::string(i == 0 ? "" : ", ") + kColumns[i];
    // One row more than asked tells whether a next page exists.
    sql += " FROM warden_sessions" + w.sql + " ORDER BY start_time DESC, id DESC LIMIT " +
           std::to_string(limit + 1) + " OFFSET " + std::to_string(offset);
    std::vector<std::vector<std::string>> rows;
    std::string error;
    if (!db.Query(sql, w.params, &rows, &error))
        return Error(503, error);
    json out = {{"rows", json::array()}, {"limit", limit}, {"offset", offset}, {"next", nullptr}};
    if (static_cast<int64_t>(rows.size()) > limit) {
        rows.pop_back();
        out["next"] = offset + limit;
    }
    for (const auto &r : rows) {
        json row;
        for (size_t i = 0; i < std::size(kColumns) && i < r.size(); ++i) {
            const char *name = kColumns[i];
            row[std::string(name) == "username" ? "user" : name] = kNumeric[i] ? Number(r[i]) : json(r[i]);
        }
        out["rows"].push_back(std::move(row));
    }
    return {200, out.dump() + "\n"};
}

HistoryReply HistorySummary(HistoryDb &db, const HistoryParams &p)
{
    Where w = Filters(p);
    if (!w.error.empty())
        return Error(400, w.error);
    // The same range on the hour, which the hour index can seek to (its
    // first column is the hour, not the start itself).
    Where hours = w;
    if (w.from >= 0)
        hours.Add("start_time / 3600 >= ?", {std::to_string(w.from / 3600)});
    if (w.to >= 0)
        hours.Add("start_time / 3600 <= ?", {std::to_string(w.to / 3600)});
    // Each group walks an index of its own: the database runs them at once
    // where it can.  The hour is grouped on as its index is written.
    std::vector<HistoryQuery> q = {Group(w, "username", true), Group(w, "destination", true),
                                   Group(hours, "start_time / 3600", false)};
    std::string error;
    if (!db.QueryAll(&q, &error))
        return Error(503, error);
    for (auto &r : q[2].rows)
        if (!r.empty())
            r[0] = std::to_string(std::strtoll(r[0].c_str(), nullptr, 10) * 3600);
    json out;
    out["users"] = Groups(q[0], "user", true);
    out["destinations"] = Groups(q[1], "destination", true);
    out["hours"] = Groups(q[2], "hour", false);
    return {200, out.dump() + "\n"};
}

bool HistoryDb::QueryAll(std::vector<HistoryQuery> *queries, std::string *error)
{
    for (HistoryQuery &q : *queries)
        if (!Query(q.sql, q.params, &q.rows, error))
            return false;
    return true;
}

}  // namespace hub
