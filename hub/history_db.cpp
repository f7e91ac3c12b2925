/*
 * history_db.cpp - the two databases the hub reads history from: an SQLite
 * file, opened read-only (warden writes it in WAL mode, so reading never
 * blocks the writer), and PostgreSQL through libpq.  One connection each,
 * used by one HTTP thread at a time; a PostgreSQL connection that broke is
 * made again at the next query.
 */
#include "history.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <charconv>
#include <cstdint>
#include <mutex>

namespace hub {

namespace {

constexpr int kBusyMs = 2000;

class SqliteDb final : public HistoryDb {
public:
    ~SqliteDb() override { sqlite3_close(db_); }
    bool Open(const std::string &path, std::string *error)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            *error = "cannot open " + path + ": " + sqlite3_errmsg(db_);
            return false;
        }
        sqlite3_busy_timeout(db_, kBusyMs);
        // A summary walks whole indexes: a larger cache, the file mapped
        // rather than read, and the sorts of GROUP BY kept in memory.
        sqlite3_exec(db_, "PRAGMA cache_size=-65536; PRAGMA mmap_size=268435456; PRAGMA temp_store=MEMORY",
                     nullptr, nullptr, nullptr);
        return true;
    }
    bool Query(const std::string &sql, const std::vector<std::string> &params,
               std::vector<std::vector<std::string>> *rows, std::string *error) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        sqlite3_stmt *q = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &q, nullptr) != SQLITE_OK) {
            *error = std::string("history: ") + sqlite3_errmsg(db_);
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
            *error = std::string("history: ") + sqlite3_errmsg(db_);
        sqlite3_finalize(q);
        return rc == SQLITE_DONE;
    }

private:
    sqlite3 *db_ = nullptr;
    std::mutex lock_;
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
        // The queries are written with "?"; libpq numbers its parameters.
        std::string text;
        int n = 0;
        for (char c : sql)
            text += c == '?' ? "$" + std::to_string(++n) : std::string(1, c);
        std::vector<const char *> values;
        for (const std::string &p : params)
            values.push_back(p.c_str());
        PGresult *r = PQexecParams(conn_, text.c_str(), static_cast<int>(values.size()), nullptr,
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
            *error = std::string("history: ") + OneLine(PQerrorMessage(conn_));
        }
        PQclear(r);
        return ok;
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
    std::string conninfo_;
    PGconn *conn_ = nullptr;
    std::mutex lock_;
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
