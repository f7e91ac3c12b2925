/*
 * history_pg.cpp - the history worker's PostgreSQL database, through libpq.
 * Several wardens may write into one database, each under its own host
 * name; the schema is created or migrated under an advisory lock so that
 * two of them starting at once do not race.  A flush is one transaction: a
 * COPY into a staging table and one upsert from it.
 */
#include "history.h"

#include <libpq-fe.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char *kConnectTimeout = "5";
constexpr const char *kSchemaLock = "SELECT pg_advisory_xact_lock(2026122201)";

const char *const kCreateV1 =
    "CREATE TABLE warden_sessions ("
    " id BIGSERIAL PRIMARY KEY,"
    " host TEXT NOT NULL, pid BIGINT NOT NULL, handle BIGINT NOT NULL,"
    " record INTEGER NOT NULL, start_time BIGINT NOT NULL, end_time BIGINT,"
    " duration BIGINT NOT NULL, client TEXT NOT NULL, destination TEXT NOT NULL,"
    " resolved TEXT NOT NULL, username TEXT NOT NULL, proxy TEXT NOT NULL,"
    " command TEXT NOT NULL, status INTEGER NOT NULL, status_text TEXT NOT NULL,"
    " bytes_up BIGINT NOT NULL, bytes_down BIGINT NOT NULL,"
    " last_update BIGINT NOT NULL, link_record INTEGER NOT NULL,"
    " UNIQUE (host, pid, handle, record, start_time));"
    // The summary's sums are read from the indexes alone (covering).
    "CREATE INDEX warden_sessions_start ON warden_sessions (start_time) INCLUDE (bytes_up, bytes_down);"
    "CREATE INDEX warden_sessions_end ON warden_sessions (end_time);"
    "CREATE INDEX warden_sessions_hour ON warden_sessions ((start_time / 3600)) INCLUDE (bytes_up, bytes_down);"
    "CREATE INDEX warden_sessions_user ON warden_sessions (username, start_time) INCLUDE (bytes_up, bytes_down);"
    "CREATE INDEX warden_sessions_dest ON warden_sessions (destination, start_time) INCLUDE (bytes_up, bytes_down);"
    "INSERT INTO warden_schema (version) VALUES (1);";

// Version 2: the summary's covering indexes hold ended sessions only, so
// that an open session's refresh (new totals at every interval) adds no
// entry to them; a session enters them once, when it ends.  The hour index
// holds start_time too: without it PostgreSQL reads the table for every
// entry.
const char *const kMigrateV2 =
    "DROP INDEX warden_sessions_start; DROP INDEX warden_sessions_hour;"
    "DROP INDEX warden_sessions_user; DROP INDEX warden_sessions_dest;"
    "CREATE INDEX warden_sessions_start ON warden_sessions (start_time);"
    "CREATE INDEX warden_sessions_ended ON warden_sessions (start_time) INCLUDE (bytes_up, bytes_down)"
    " WHERE end_time IS NOT NULL;"
    "CREATE INDEX warden_sessions_hour ON warden_sessions ((start_time / 3600), start_time)"
    " INCLUDE (bytes_up, bytes_down) WHERE end_time IS NOT NULL;"
    "CREATE INDEX warden_sessions_user ON warden_sessions (username, start_time) INCLUDE (bytes_up, bytes_down)"
    " WHERE end_time IS NOT NULL;"
    "CREATE INDEX warden_sessions_dest ON warden_sessions (destination, start_time) INCLUDE (bytes_up, bytes_down)"
    " WHERE end_time IS NOT NULL;"
    "INSERT INTO warden_schema (version) VALUES (2);";

#define LATER(c) c " = CASE WHEN excluded.last_update >= s.last_update THEN excluded." c " ELSE s." c " END"
const char *const kConflict =
    " ON CONFLICT (host, pid, handle, record, start_time) DO UPDATE SET "
    LATER("client") ", " LATER("destination") ", " LATER("resolved") ", " LATER("username") ", "
    LATER("proxy") ", " LATER("command") ", " LATER("status") ", " LATER("status_text") ", "
    LATER("link_record") ","
    " end_time = GREATEST(s.end_time, excluded.end_time),"
    " duration = COALESCE(GREATEST(s.end_time, excluded.end_time),"
    "                     GREATEST(s.last_update, excluded.last_update)) - s.start_time,"
    " bytes_up = GREATEST(s.bytes_up, excluded.bytes_up),"
    " bytes_down = GREATEST(s.bytes_down, excluded.bytes_down),"
    " last_update = GREATEST(s.last_update, excluded.last_update)";
#undef LATER

constexpr size_t kCopyChunk = 1 << 20;  // bytes handed to libpq at a time

const char *const kCreateStage =
    "CREATE TEMP TABLE IF NOT EXISTS warden_stage (host TEXT, pid BIGINT, handle BIGINT,"
    " record INTEGER, start_time BIGINT, end_time BIGINT, duration BIGINT, client TEXT,"
    " destination TEXT, resolved TEXT, username TEXT, proxy TEXT, command TEXT, status INTEGER,"
    " status_text TEXT, bytes_up BIGINT, bytes_down BIGINT, last_update BIGINT, link_record INTEGER)"
    " ON COMMIT DELETE ROWS";
const char *const kCopyStage =
    "COPY warden_stage (host, pid, handle, record, start_time, end_time, duration, client, destination,"
    " resolved, username, proxy, command, status, status_text, bytes_up, bytes_down, last_update,"
    " link_record) FROM STDIN";
const char *const kInsertFromStage =
    "INSERT INTO warden_sessions AS s (host, pid, handle, record, start_time, end_time, duration,"
    " client, destination, resolved, username, proxy, command, status, status_text, bytes_up,"
    " bytes_down, last_update, link_record) SELECT host, pid, handle, record, start_time, end_time,"
    " duration, client, destination, resolved, username, proxy, command, status, status_text,"
    " bytes_up, bytes_down, last_update, link_record FROM warden_stage";

/* A text in COPY's text format: backslash, tab, newline and CR escaped. */
void CopyText(std::string *out, const std::string &text)
{
    for (char c : text) {
        switch (c) {
        case '\\': *out += "\\\\"; break;
        case '\t': *out += "\\t"; break;
        case '\n': *out += "\\n"; break;
        case '\r': *out += "\\r"; break;
        default: *out += c;
        }
    }
}

/* One row as a line of COPY text; the end of a running session is NULL. */
void StageLine(const std::string &host, const HistoryRow_t &r, std::string *out)
{
    char nums[160];
    CopyText(out, host);
    const int64_t duration = (r.end != 0 ? r.end : r.lastUpdate) - r.key.start;
    snprintf(nums, sizeof nums, "\t%" PRIu32 "\t%" PRIu32 "\t%" PRIu32 "\t%" PRId64 "\t", r.key.pid,
             r.key.handle, r.key.record, r.key.start);
    *out += nums;
    if (r.end != 0)
        *out += std::to_string(r.end);
    else
        *out += "\\N";
    *out += "\t" + std::to_string(duration);
    for (const std::string *t : {&r.client, &r.destination, &r.resolved, &r.user, &r.proxy, &r.command}) {
        *out += '\t';
        CopyText(out, *t);
    }
    *out += "\t" + std::to_string(r.status) + "\t";
    CopyText(out, r.statusText);
    snprintf(nums, sizeof nums, "\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t%" PRIu32 "\n",
             static_cast<int64_t>(r.bytesUp), static_cast<int64_t>(r.bytesDown), r.lastUpdate, r.linkRecord);
    *out += nums;
}

/* libpq's message on one line: its "\n" and doubled blanks folded. */
std::string OneLine(const char *text)
{
    std::string out;
    for (const char *p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        const char c = *p == '\n' || *p == '\t' ? ' ' : *p;
        if (c == ' ' && (out.empty() || out.back() == ' '))
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

/* The first line of the password file, or false with *error. */
bool ReadPassword(const std::string &path, std::string *password, std::string *error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read the password file " + path + ": " + strerror(errno);
        return false;
    }
    char buf[1024];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n < 0) {
        *error = "cannot read the password file " + path + ": " + strerror(errno);
        return false;
    }
    buf[n] = '\0';
    password->assign(buf, strcspn(buf, "\r\n"));
    return true;
}

class PgSink final : public HistorySink {
public:
    explicit PgSink(const HistorySettings_t &s) : s_(s) {}
    ~PgSink() override { Close(); }

    bool Open(std::string *error) override
    {
        Close();
        std::string password;
        if (!s_.dbPasswordFile.empty() && !ReadPassword(s_.dbPasswordFile, &password, error))
            return false;
        const char *keys[8];
        const char *values[8];
        int n = 0;
        auto add = [&](const char *k, const std::string &v) {
            if (!v.empty()) {
                keys[n] = k;
                values[n++] = v.c_str();
            }
        };
        add("dbname", s_.dbName);
        add("host", s_.dbHost);
        add("port", s_.dbPort);
        add("password", password);
        keys[n] = "connect_timeout";
        values[n++] = kConnectTimeout;
        keys[n] = "application_name";
        values[n++] = "warden";
        keys[n] = nullptr;
        values[n] = nullptr;
        conn_ = PQconnectdbParams(keys, values, 0);
        if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK)
            return Fail(error, "cannot connect");
        // The server's notices ("already exists, skipping") are not the log's business.
        PQsetNoticeProcessor(conn_, [](void *, const char *) {}, nullptr);
        if (!Exec("BEGIN", error) || !Exec(kSchemaLock, error) ||
            !Exec("CREATE TABLE IF NOT EXISTS warden_schema (version INTEGER NOT NULL)", error))
            return false;
        PGresult *r = PQexec(conn_, "SELECT COALESCE(MAX(version), 0) FROM warden_schema");
        if (PQresultStatus(r) != PGRES_TUPLES_OK) {
            PQclear(r);
            return Fail(error, "cannot read the schema version");
        }
        const int version = atoi(PQgetvalue(r, 0, 0));
        PQclear(r);
        if (version > kHistorySchemaVersion) {
            *error = HistoryNewerSchemaText("database " + s_.dbName, version);
            Close();
            return false;
        }
        // Version 0 is an empty database; later versions migrate step by
        // step, each in this one transaction under the lock.
        if (version == 0 && !Exec(kCreateV1, error))
            return false;
        if (version < 2 && !Exec(kMigrateV2, error))
            return false;
        return Exec("COMMIT", error) && Exec(kCreateStage, error);
    }

    bool Write(const std::string &host, const std::vector<HistoryRow_t> &rows,
               std::string *error) override
    {
        if (conn_ == nullptr && !Open(error))
            return false;
        // The rows go in with COPY into the connection's staging table, and
        // one INSERT ... SELECT upserts them all: far cheaper than as many
        // parameters.  The staging table empties itself at the commit.
        if (!Exec("BEGIN", error) || !Exec(kCopyStage, error, PGRES_COPY_IN))
            return false;
        std::string data;
        for (const HistoryRow_t &r : rows) {
            StageLine(host, r, &data);
            if (data.size() >= kCopyChunk) {
                if (PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1)
                    return Fail(error, "cannot copy rows");
                data.clear();
            }
        }
        if ((!data.empty() && PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1) ||
            PQputCopyEnd(conn_, nullptr) != 1)
            return Fail(error, "cannot copy rows");
        bool copied = true;
        for (PGresult *r; (r = PQgetResult(conn_)) != nullptr; PQclear(r))
            copied = copied && PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!copied)
            return Fail(error, "cannot copy rows");
        const std::string upsert = std::string(kInsertFromStage) + kConflict;
        return Exec(upsert.c_str(), error) && Exec("COMMIT", error);
    }

    long Purge(int64_t cutoff, int limit, std::string *error) override
    {
        if (conn_ == nullptr && !Open(error))
            return -1;
        const std::string c = std::to_string(cutoff), l = std::to_string(limit);
        const char *params[] = {c.c_str(), l.c_str()};
        PGresult *r = PQexecParams(conn_,
                                   "DELETE FROM warden_sessions WHERE id IN (SELECT id FROM warden_sessions"
                                   " WHERE end_time < $1::bigint LIMIT $2::int)",
                                   2, nullptr, params, nullptr, nullptr, 0);
        if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            PQclear(r);
            Fail(error, "cannot delete old rows");
            return -1;
        }
        const long deleted = atol(PQcmdTuples(r));
        PQclear(r);
        return deleted;
    }

    void Close() override
    {
        if (conn_ != nullptr)
            PQfinish(conn_);
        conn_ = nullptr;
    }

private:
    bool Exec(const char *sql, std::string *error, ExecStatusType want = PGRES_COMMAND_OK)
    {
        PGresult *r = PQexec(conn_, sql);
        const ExecStatusType st = PQresultStatus(r);
        PQclear(r);
        if (st == want || st == PGRES_TUPLES_OK)
            return true;
        return Fail(error, "statement failed");
    }

    bool Fail(std::string *error, const char *what)
    {
        *error = std::string("PostgreSQL database ") + s_.dbName + ": " + what + ": " +
                 (conn_ != nullptr ? OneLine(PQerrorMessage(conn_)) : "out of memory");
        Close();
        return false;
    }

    const HistorySettings_t &s_;
    PGconn *conn_ = nullptr;
};

} // namespace

HistorySink *HistoryMakePostgres(const HistorySettings_t &s)
{
    return new PgSink(s);
}
