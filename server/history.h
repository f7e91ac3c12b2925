/*
 * history.h - the daemon's third worker, the "database" worker: it reads the
 * store's change stream as the slot-3 reader and writes one row per session
 * record into an SQLite file (--history FILE) or a PostgreSQL database
 * (-n DBNAME, -s, -p, -w), batched per interval in one transaction.  While
 * the database is away the rows wait in a bounded spool file and are
 * replayed in order once it is back.  Rows are upserts on a unique key per
 * session record, so a re-sent report or a restart never doubles a row.
 */
#ifndef WARDEN_HISTORY_H
#define WARDEN_HISTORY_H

#include <quelm/monitor.h>

#include <cstdint>
#include <string>
#include <vector>

/* What the command line asked of the worker; the main process fills it
 * before forking and the worker reads its copy. */
struct HistorySettings_t {
    std::string sqlitePath;      // --history FILE; empty: no SQLite
    std::string dbName;          // -n / --dbname; empty: no PostgreSQL
    std::string dbHost;          // -s / --dbhost; empty: libpq's default
    std::string dbPort;          // -p / --dbport; empty: libpq's default
    std::string dbPasswordFile;  // -w / --dbpasswd: a file holding the password
    std::string host;            // --history-host; empty: this machine's name
    std::string spoolPath;       // --history-spool; empty: derived
    int intervalSeconds = 2;     // --history-interval
    int keepDays = 0;            // --history-keep; 0: rows are kept for ever
    uint64_t spoolLimitBytes = 64ull << 20;  // --history-spool-limit (MiB on the command line)
};
extern HistorySettings_t historySettings;

/* True when the command line asked for a history worker. */
bool HistoryWanted(void);

/* Checks the history options after parsing: one kind of database only, -s,
 * -p and -w only with -n, a readable password file.  false after printing
 * one line to standard error that says what is wrong. */
bool HistoryCheckSettings(void);

/* Body of the worker process; returns when it is stopped (SIGINT from the
 * main process) after a last flush, or when the store cannot be opened. */
void MonHistoryServer(void);

/* The unique key of a row besides the host. */
struct HistoryKey_t {
    uint32_t pid;
    uint32_t handle;
    uint32_t record;
    int64_t start;
    bool operator==(const HistoryKey_t &o) const {
        return pid == o.pid && handle == o.handle && record == o.record && start == o.start;
    }
};

/* One row of the table warden_sessions, as the worker writes it. */
struct HistoryRow_t {
    HistoryKey_t key;
    int64_t end = 0;         // 0 while the session runs
    int64_t lastUpdate = 0;  // time of the latest report
    uint32_t linkRecord = 0; // the next record of the session's ring, 0 for none
    std::string client, destination, resolved, user, proxy, command, statusText;
    int32_t status = 0;
    uint64_t bytesUp = 0;    // client to destination
    uint64_t bytesDown = 0;  // destination to client
};

/* The row a store record stands for; ended tells that the record has ended
 * (its end time, or the time of its last report, closes the row). */
HistoryRow_t HistoryRowFrom(const MonData_t &rec, bool ended);

/* Folds newer into row as the databases' upsert does: byte totals and the
 * end time never go back, the rest follows the later report. */
void HistoryMerge(HistoryRow_t *row, const HistoryRow_t &newer);

/* Text form of a 260-byte address block: "a.b.c.d:port", "[v6]:port", ""
 * for no address, a short hex form otherwise. */
std::string HistoryAddress(const unsigned char *block);

/* A database the worker writes into.  Every call returns false with a
 * one-line *error when the database refused or is away; the worker then
 * closes it and opens it again later. */
class HistorySink {
public:
    virtual ~HistorySink() = default;
    /* Connects and creates or migrates the schema. */
    virtual bool Open(std::string *error) = 0;
    /* Upserts rows (no key twice) in one transaction. */
    virtual bool Write(const std::string &host, const std::vector<HistoryRow_t> &rows,
                       std::string *error) = 0;
    /* Deletes up to limit ended rows whose end is before cutoff: the count
     * deleted, or -1. */
    virtual long Purge(int64_t cutoff, int limit, std::string *error) = 0;
    virtual void Close() = 0;
};

/* The schema version this warden writes; a newer one is refused. */
constexpr int kHistorySchemaVersion = 2;

// The one line both databases give for a schema newer than this warden's:
// what names the database ("database NAME" or the file's path).
std::string HistoryNewerSchemaText(const std::string &what, int version);

HistorySink *HistoryMakeSqlite(const std::string &path);
HistorySink *HistoryMakePostgres(const HistorySettings_t &s);

#endif /* WARDEN_HISTORY_H */
