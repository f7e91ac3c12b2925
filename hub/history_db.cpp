/*
 * history_db.cpp - the two databases the hub reads history from: an SQLite
 * file, opened read-only (warden writes it in WAL mode, so reading never
 * blocks the writer), and PostgreSQL through libpq.  One connection each,
 * used by one HTTP thread at a time, and spare ones for running the queries
 * of one request at once; a PostgreSQL connection that broke is made again
 * at the next query.
 */
#include "history.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <charconv>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace hub {

namespace {

constexpr int kBusyMs = 2000;

// Connections kept for running a request's queries at once: the first
// query runs on the calling thread through the reader's own connection,
// every further one on a thread of its own with a spare connection (kept
// for the next request).  A database answers one query on one core, and a
// summary's groups walk separate indexes.
template <class Conn>
class Spares {
public:
    using Open = std::function<Conn(std::string *)>;
    using Run = std::function<bool(Conn, HistoryQuery &, std::string *)>;
    using Close = std::function<void(Conn)>;
    Spares(Open open, Run run, Close close) : open_(open), run_(run), close_(close) {}
    ~Spares()
    {
        for (Conn c : spare_)
            close_(c);
    }
    // first runs a query through the reader's own connection.
    bool RunAll(std::vector<HistoryQuery> &qs, const std::function<bool(HistoryQuery &, std::string *)> &first,
                std::string *error)
    {
        if (qs.empty())
            return true;
        std::vector<Conn> conns;
        {
            std::lock_guard<std::mutex> hold(lock_);
            while (conns.size() + 1 < qs.size() && !spare_.empty()) {
                conns.push_back(spare_.back());
                spare_.pop_back();
            }
        }
        std::string ignored;  // no spare: that query runs in turn below
        while (conns.size() + 1 < qs.size()) {
            const Conn c = open_(&ignored);
            if (!c)
                break;
            conns.push_back(c);
        }
        std::vector<std::string> errors(qs.size());
        std::vector<char> ok(qs.size(), 0);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < conns.size(); ++i)
            threads.emplace_back([&, i] { ok[i + 1] = run_(conns[i], qs[i + 1], &errors[i + 1]); });
        ok[0] = first(qs[0], &errors[0]);
        for (std::thread &t : threads)
            t.join();
        for (size_t i = conns.size() + 1; i < qs.size(); ++i)
            ok[i] = first(qs[i], &errors[i]);
        {
            std::lock_guard<std::mutex> hold(lock_);
            spare_.insert(spare_.end(), conns.begin(), conns.end());
        }
        for (size_t i = 0; i < qs.size(); ++i)
            if (!ok[i]) {
                *error = errors[i];
                return false;
            }
        return true;
    }

private:
    Open open_;
    Run run_;
    Close close_;
    std::vector<Conn> spare_;
    std::mutex lock_;
};

// Opens path read-only for one reader; null with *error.
sqlite3 *OpenSqlite(const std::string &path, std::string *error)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        *error = "cannot open " + path + ": " + sqlite3_errmsg(db);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyMs);
    // A summary walks whole indexes: a larger cache, the file mapped
    // rather than read, and the sorts of GROUP BY kept in memory.
    sqlite3_exec(db, "PRAGMA cache_size=-65536; PRAGMA mmap_size=268435456; PRAGMA temp_store=MEMORY",
                 nullptr, nullptr, nullptr);
    return db;
}

bool RunSqlite(sqlite3 *db, const std::string &sql, const std::vector<std::string> &params,
               std::vector<std::vector<std::string>> *rows, std::string *error)
{
    sqlite3_stmt *q = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr) != SQLITE_OK) {
        *error = std::string("history: ") + sqlite3_errmsg(db);
        return false;
    }
    // A number goes in as a number: an expression such as the hour of
    // the start has no type of its own, and only an integer lets SQLite
    // seek its index (a text column still compares it as text).
    for (size_t i = 0; i < params.size(); ++i) {
        int64_t v = 0;
        const std::string &p = params[i];
        const auto r = std::from_chars(p.data(), p.data() + p.size(), v, 10);
        if (!p.empty() && r.ec == std::errc() && r.ptr == p.data() + p.size() && std::to_string(v) == p)
            sqlite3_bind_int64(q, static_cast<int>(i + 1), v);
        else
            sqlite3_bind_text(q, static_cast<int>(i + 1), p.c_str(), -1, SQLITE_TRANSIENT);
    }
    int rc;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int c = 0; c < sqlite3_column_count(q); ++c) {
            const unsigned char *t = sqlite3_column_text(q, c);
            row.emplace_back(t != nullptr ? reinterpret_cast<const char *>(t) : "");
        }
        rows->push_back(std::move(row));
    }
    if (rc != SQLITE_DONE)
        *error = std::string("history: ") + sqlite3_errmsg(db);
    sqlite3_finalize(q);
    return rc == SQLITE_DONE;
}

class SqliteDb final : public HistoryDb {
public:
    ~SqliteDb() override { sqlite3_close(db_); }
    bool Open(const std::string &path, std::string *error)
    {
        path_ = path;
        db_ = OpenSqlite(path, error);
        return db_ != nullptr;
    }
    bool Query(const std::string &sql, const std::vector<std::string> &params,
               std::vector<std::vector<std::string>> *rows, std::string *error) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        return RunSqlite(db_, sql, params, rows, error);
    }
    bool QueryAll(std::vector<HistoryQuery> *queries, std::string *error) override
    {
        return spares_.RunAll(
            *queries, [this](HistoryQuery &q, std::string *e) { return Query(q.sql, q.params, &q.rows, e); },
            error);
    }

private:
    std::string path_;
    sqlite3 *db_ = nullptr;
    std::mutex lock_;
    Spares<sqlite3 *> spares_{[this](std::string *e) { return OpenSqlite(path_, e); },
                              [](sqlite3 *d, HistoryQuery &q, std::string *e) {
                                  return RunSqlite(d, q.sql, q.params, &q.rows, e);
                              },
                              [](sqlite3 *d) { sqlite3_close(d); }};
};

class PostgresDb final : public HistoryDb {
public:
    explicit PostgresDb(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    ~PostgresDb() override
    {
        if (conn_ != nullptr)
            PQfinish(conn_);
    }
    bool Connect(std::string *error)
    {
        if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK)
            return true;
        if (conn_ != nullptr)
            PQfinish(conn_);
        conn_ = PQconnectdb(conninfo_.c_str());
        if (PQstatus(conn_) == CONNECTION_OK)
            return true;
        *error = std::string("history: ") + OneLine(PQerrorMessage(conn_));
        return false;
    }
    bool Query(const std::string &sql, const std::vector<std::string> &params,
               std::vector<std::vector<std::string>> *rows, std::string *error) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!Connect(error))
            return false;
        return Run(conn_, sql, params, rows, error);
    }
    bool QueryAll(std::vector<HistoryQuery> *queries, std::string *error) override
    {
        {
            // The server away: no spare connection is tried.
            std::lock_guard<std::mutex> hold(lock_);
            if (!Connect(error))
                return false;
        }
        return spares_.RunAll(
            *queries, [this](HistoryQuery &q, std::string *e) { return Query(q.sql, q.params, &q.rows, e); },
            error);
    }

private:
    static std::string OneLine(const char *text)
    {
        std::string out;
        for (const char *p = text; p != nullptr && *p != '\0'; ++p)
            out += *p == '\n' ? ' ' : *p;
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        return out;
    }
    static bool Run(PGconn *conn, const std::string &sql, const std::vector<std::string> &params,
                    std::vector<std::vector<std::string>> *rows, std::string *error)
    {
        // The queries are written with "?"; libpq numbers its parameters.
        std::string text;
        int n = 0;
        for (char c : sql)
            text += c == '?' ? "$" + std::to_string(++n) : std::string(1, c);
        std::vector<const char *> values;
        for (const std::string &p : params)
            values.push_back(p.c_str());
        PGresult *r = PQexecParams(conn, text.c_str(), static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0);
        const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
        if (ok) {
            for (int i = 0; i < PQntuples(r); ++i) {
                std::vector<std::string> row;
                for (int c = 0; c < PQnfields(r); ++c)
                    row.emplace_back(PQgetisnull(r, i, c) ? "" : PQgetvalue(r, i, c));
                rows->push_back(std::move(row));
            }
        } else {
            *error = std::string("history: ") + OneLine(PQerrorMessage(conn));
        }
        PQclear(r);
        return ok;
    }
    std::string conninfo_;
    PGconn *conn_ = nullptr;
    std::mutex lock_;
    // A spare whose connection broke is made again before it is used.
    Spares<PGconn *> spares_{[this](std::string *) -> PGconn * {
                                 PGconn *c = PQconnectdb(conninfo_.c_str());
                                 if (PQstatus(c) == CONNECTION_OK)
                                     return c;
                                 PQfinish(c);
                                 return nullptr;
                             },
                             [](PGconn *c, HistoryQuery &q, std::string *e) {
                                 if (PQstatus(c) != CONNECTION_OK)
                                     PQreset(c);
                                 return Run(c, q.sql, q.params, &q.rows, e);
                             },
                             [](PGconn *c) { PQfinish(c); }};
};

}  // namespace

bool HistoryIsPostgres(const std::string &source)
{
    return source.rfind("postgresql://", 0) == 0 || source.rfind("postgres://", 0) == 0 ||
           source.find('=') != std::string::npos;
}

std::unique_ptr<HistoryDb> HistoryOpen(const std::string &source, std::string *error)
{
    if (HistoryIsPostgres(source)) {
        // A server that is away now may be back by the first request.
        auto db = std::make_unique<PostgresDb>(source);
        (void)db->Connect(error);
        return db;
    }
    auto db = std::make_unique<SqliteDb>();
    if (!db->Open(source, error))
        return nullptr;
    return db;
}

}  // namespace hub
