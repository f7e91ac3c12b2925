/*
 * history_sqlite.cpp - the history worker's SQLite database: one file in
 * WAL mode (readers such as warden-hub never block the writer), one
 * transaction of prepared upserts per flush.
 */
#include "history.h"

#include <sqlite3.h>

#include <cstdio>

namespace {

constexpr int kBusyMs = 5000; // a reader's lock is waited for this long

const char *const kCreateV1 =
    "CREATE TABLE warden_sessions ("
    " id INTEGER PRIMARY KEY,"
    " host TEXT NOT NULL, pid INTEGER NOT NULL, handle INTEGER NOT NULL,"
    " record INTEGER NOT NULL, start_time INTEGER NOT NULL, end_time INTEGER,"
    " duration INTEGER NOT NULL, client TEXT NOT NULL, destination TEXT NOT NULL,"
    " resolved TEXT NOT NULL, username TEXT NOT NULL, proxy TEXT NOT NULL,"
    " command TEXT NOT NULL, status INTEGER NOT NULL, status_text TEXT NOT NULL,"
    " bytes_up INTEGER NOT NULL, bytes_down INTEGER NOT NULL,"
    " last_update INTEGER NOT NULL, link_record INTEGER NOT NULL,"
    " UNIQUE (host, pid, handle, record, start_time));"
    "CREATE INDEX warden_sessions_start ON warden_sessions (start_time, bytes_up, bytes_down);"
    "CREATE INDEX warden_sessions_end ON warden_sessions (end_time);"
    "CREATE INDEX warden_sessions_hour ON warden_sessions ((start_time / 3600), bytes_up, bytes_down);"
    "CREATE INDEX warden_sessions_user ON warden_sessions (username, start_time, bytes_up, bytes_down);"
    "CREATE INDEX warden_sessions_dest ON warden_sessions (destination, start_time, bytes_up, bytes_down);"
    "INSERT INTO warden_schema (version) VALUES (1);";

// Version 2: the summary's covering indexes hold ended sessions only.  An
// open session's row is rewritten at every interval with new totals; were
// the totals in four indexes, each refresh would rewrite four index entries
// too.  Now a refresh rewrites the row and its entry in the end index
// alone, and a session enters the summary's indexes once, when it ends; the
// summary reads the open sessions (at most a store's worth) through the end
// index.  (An index of open sessions with their totals would be rewritten
// at every refresh: it tripled a refresh's cost.)  The hour index holds
// start_time as well, so that the hours are read from it alone.
const char *const kMigrateV2 =
    "DROP INDEX warden_sessions_start; DROP INDEX warden_sessions_hour;"
    "DROP INDEX warden_sessions_user; DROP INDEX warden_sessions_dest;"
    "CREATE INDEX warden_sessions_start ON warden_sessions (start_time);"
    "CREATE INDEX warden_sessions_ended ON warden_sessions (start_time, bytes_up, bytes_down)"
    " WHERE end_time IS NOT NULL;"
    "CREATE INDEX warden_sessions_hour ON warden_sessions ((start_time / 3600), start_time, bytes_up, bytes_down)"
    " WHERE end_time IS NOT NULL;"
    "CREATE INDEX warden_sessions_user ON warden_sessions (username, start_time, bytes_up, bytes_down)"
    " WHERE end_time IS NOT NULL;"
    "CREATE INDEX warden_sessions_dest ON warden_sessions (destination, start_time, bytes_up, bytes_down)"
    " WHERE end_time IS NOT NULL;"
    "INSERT INTO warden_schema (version) VALUES (2);";

// Totals and the end never go back; the texts follow the later report.
#define LATER(c) c " = CASE WHEN excluded.last_update >= last_update THEN excluded." c " ELSE " c " END"
const char *const kUpsert =
    "INSERT INTO warden_sessions (host, pid, handle, record, start_time, end_time, duration,"
    " client, destination, resolved, username, proxy, command, status, status_text,"
    " bytes_up, bytes_down, last_update, link_record)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19)"
    " ON CONFLICT (host, pid, handle, record, start_time) DO UPDATE SET "
    LATER("client") ", " LATER("destination") ", " LATER("resolved") ", " LATER("username") ", "
    LATER("proxy") ", " LATER("command") ", " LATER("status") ", " LATER("status_text") ", "
    LATER("link_record") ","
    " end_time = COALESCE(MAX(end_time, excluded.end_time), end_time, excluded.end_time),"
    " duration = COALESCE(MAX(end_time, excluded.end_time), end_time, excluded.end_time,"
    "                     MAX(last_update, excluded.last_update)) - start_time,"
    " bytes_up = MAX(bytes_up, excluded.bytes_up),"
    " bytes_down = MAX(bytes_down, excluded.bytes_down),"
    " last_update = MAX(last_update, excluded.last_update)";
#undef LATER

// A running session's row at its refresh, when the row is there, still
// open and not newer: the same result as the upsert, but only the row is
// rewritten (the end index is left alone, and the summary's indexes hold
// no open row).  Numbered as the upsert, so one binding serves both (?6
// and ?7, the end and the duration, are bound and not used).
const char *const kRefresh =
    "UPDATE warden_sessions SET client = ?8, destination = ?9, resolved = ?10, username = ?11,"
    " proxy = ?12, command = ?13, status = ?14, status_text = ?15,"
    " bytes_up = MAX(bytes_up, ?16), bytes_down = MAX(bytes_down, ?17), last_update = ?18,"
    " duration = ?18 - start_time, link_record = ?19"
    " WHERE host = ?1 AND pid = ?2 AND handle = ?3 AND record = ?4 AND start_time = ?5"
    " AND end_time IS NULL AND last_update <= ?18";

const char *const kPurge =
    "DELETE FROM warden_sessions WHERE id IN (SELECT id FROM warden_sessions"
    " WHERE end_time IS NOT NULL AND end_time < ?1 LIMIT ?2)";

class SqliteSink final : public HistorySink {
public:
    explicit SqliteSink(const std::string &path) : path_(path) {}
    ~SqliteSink() override { Close(); }

    bool Open(std::string *error) override
    {
        Close();
        // No symbolic link is followed: the file may sit in a shared directory.
        const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW;
        if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK)
            return Fail(error, "cannot open");
        sqlite3_busy_timeout(db_, kBusyMs);
        if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error))
            return false;
        if (!Exec("BEGIN IMMEDIATE; CREATE TABLE IF NOT EXISTS warden_schema (version INTEGER NOT NULL)",
                  error))
            return false;
        int version = 0;
        sqlite3_stmt *q = nullptr;
        if (sqlite3_prepare_v2(db_, "SELECT MAX(version) FROM warden_schema", -1, &q, nullptr) != SQLITE_OK)
            return Fail(error, "cannot read the schema version");
        if (sqlite3_step(q) == SQLITE_ROW)
            version = sqlite3_column_int(q, 0);
        sqlite3_finalize(q);
        if (version > kHistorySchemaVersion) {
            *error = HistoryNewerSchemaText(path_, version);
            Close();
            return false;
        }
        // Version 0 is an empty file; later versions migrate step by step,
        // each in this one transaction.
        if (version == 0 && !Exec(kCreateV1, error))
            return false;
        if (version < 2 && !Exec(kMigrateV2, error))
            return false;
        if (!Exec("COMMIT", error))
            return false;
        if (sqlite3_prepare_v2(db_, kUpsert, -1, &upsert_, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db_, kRefresh, -1, &refresh_, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db_, kPurge, -1, &purge_, nullptr) != SQLITE_OK)
            return Fail(error, "cannot prepare");
        return true;
    }

    bool Write(const std::string &host, const std::vector<HistoryRow_t> &rows,
               std::string *error) override
    {
        if (db_ == nullptr && !Open(error))
            return false;
        if (!Exec("BEGIN IMMEDIATE", error))
            return false;
        for (const HistoryRow_t &r : rows) {
            // An open session is most likely a refresh of its row; when
            // that changed nothing (no row yet, or ended, or newer), the
            // upsert decides.
            if (r.end == 0) {
                Bind(refresh_, host, r);
                if (sqlite3_step(refresh_) != SQLITE_DONE) {
                    Fail(error, "cannot write a row into");
                    return false;
                }
                if (sqlite3_changes(db_) == 1)
                    continue;
            }
            Bind(upsert_, host, r);
            if (sqlite3_step(upsert_) != SQLITE_DONE) {
                Fail(error, "cannot write a row into");
                return false;
            }
        }
        sqlite3_reset(upsert_);
        sqlite3_reset(refresh_);
        return Exec("COMMIT", error);
    }

    // Binds r to the upsert or the refresh (numbered alike).
    static void Bind(sqlite3_stmt *s, const std::string &host, const HistoryRow_t &r)
    {
        sqlite3_reset(s);
        sqlite3_bind_text(s, 1, host.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 2, r.key.pid);
        sqlite3_bind_int64(s, 3, r.key.handle);
        sqlite3_bind_int64(s, 4, r.key.record);
        sqlite3_bind_int64(s, 5, r.key.start);
        if (r.end != 0)
            sqlite3_bind_int64(s, 6, r.end);
        else
            sqlite3_bind_null(s, 6);
        sqlite3_bind_int64(s, 7, (r.end != 0 ? r.end : r.lastUpdate) - r.key.start);
        const std::string *texts[] = {&r.client, &r.destination, &r.resolved, &r.user, &r.proxy, &r.command};
        for (int i = 0; i < 6; ++i)
            sqlite3_bind_text(s, 8 + i, texts[i]->c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 14, r.status);
        sqlite3_bind_text(s, 15, r.statusText.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 16, static_cast<sqlite3_int64>(r.bytesUp));
        sqlite3_bind_int64(s, 17, static_cast<sqlite3_int64>(r.bytesDown));
        sqlite3_bind_int64(s, 18, r.lastUpdate);
        sqlite3_bind_int64(s, 19, r.linkRecord);
    }

    long Purge(int64_t cutoff, int limit, std::string *error) override
    {
        if (db_ == nullptr && !Open(error))
            return -1;
        sqlite3_reset(purge_);
        sqlite3_bind_int64(purge_, 1, cutoff);
        sqlite3_bind_int(purge_, 2, limit);
        if (sqlite3_step(purge_) != SQLITE_DONE) {
            Fail(error, "cannot delete old rows from");
            return -1;
        }
        sqlite3_reset(purge_);
        return sqlite3_changes(db_);
    }

    void Close() override
    {
        sqlite3_finalize(upsert_);
        sqlite3_finalize(refresh_);
        sqlite3_finalize(purge_);
        upsert_ = refresh_ = purge_ = nullptr;
        if (db_ != nullptr)
            sqlite3_close(db_);
        db_ = nullptr;
    }

private:
    bool Exec(const char *sql, std::string *error)
    {
        char *msg = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK)
            return true;
        *error = "SQLite " + path_ + ": " + (msg != nullptr ? msg : sqlite3_errmsg(db_));
        sqlite3_free(msg);
        Close();
        return false;
    }

    bool Fail(std::string *error, const char *what)
    {
        *error = std::string("SQLite: ") + what + " " + path_ + ": " +
                 (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
        Close();
        return false;
    }

    std::string path_;
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *upsert_ = nullptr;
    sqlite3_stmt *refresh_ = nullptr;
    sqlite3_stmt *purge_ = nullptr;
};

} // namespace

HistorySink *HistoryMakeSqlite(const std::string &path)
{
    return new SqliteSink(path);
}
