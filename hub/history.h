/*
 * history.h - warden-hub's reading side of the session history that warden's
 * database worker writes (table warden_sessions, see warden(8)).  It knows
 * no HTTP library: a request's query parameters go in as a map, a status
 * code and a JSON body come out, so that any HTTP layer can serve it.
 */
#ifndef WARDEN_HUB_HISTORY_H
#define WARDEN_HUB_HISTORY_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hub {

struct HistoryReply {
    int status = 200;  /* 200, 400 for a bad parameter, 503 when the database is away */
    std::string body;  /* JSON ({"error": "..."} unless 200) */
};

using HistoryParams = std::map<std::string, std::string>;

/* A query and, once run, its rows. */
struct HistoryQuery {
    std::string sql;
    std::vector<std::string> params;
    std::vector<std::vector<std::string>> rows;
};

/* One database connection's worth of queries: SQL text with positional
 * parameters written as "?", every value and every result as text. */
class HistoryDb {
public:
    virtual ~HistoryDb() = default;
    /* The rows of sql; false with *error when the database refused. */
    virtual bool Query(const std::string &sql, const std::vector<std::string> &params,
                       std::vector<std::vector<std::string>> *rows, std::string *error) = 0;
    /* Runs every query, into its rows; a backend that can runs them at
     * once, each on a connection of its own (this one runs them in turn).
     * false with *error when one of them failed. */
    virtual bool QueryAll(std::vector<HistoryQuery> *queries, std::string *error);
};

/* source: an SQLite file, or a libpq connection string ("dbname=... host=...",
 * "postgresql://..."), which is what tells them apart.  Null with *error when
 * the SQLite file cannot be opened; a PostgreSQL server that cannot be
 * reached now still gives a reader (*error says why; queries answer 503
 * until it is back). */
std::unique_ptr<HistoryDb> HistoryOpen(const std::string &source, std::string *error);

/* True when source names a PostgreSQL database rather than an SQLite file. */
bool HistoryIsPostgres(const std::string &source);

/*
 * /api/history: the sessions matching the filters, newest first.
 * Parameters (all optional): user (exact), client and destination (exact,
 * or the host part before ":port"), status (a number), host (a warden's
 * name), from and to (seconds since the epoch: sessions that started at or
 * after from and before to), limit (1 to 1000, default 100) and offset
 * (paging).  Body: {"rows": [...], "limit": L, "offset": O, "next": N or
 * null}, each row an object with the columns of warden_sessions.
 */
HistoryReply HistorySessions(HistoryDb &db, const HistoryParams &params);

/*
 * /api/history/summary: over the same filters, sessions and bytes per user
 * and per destination (the 100 largest by bytes) and per hour of start:
 * {"users": [{"user", "sessions", "bytes_up", "bytes_down"}...],
 *  "destinations": [...], "hours": [{"hour": epoch seconds, ...}...]}.
 */
HistoryReply HistorySummary(HistoryDb &db, const HistoryParams &params);

}  // namespace hub

#endif  // WARDEN_HUB_HISTORY_H
