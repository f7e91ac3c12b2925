// history_bench - the history worker's writes and the hub's summary query.
// Rows per second of the worker's flush (one transaction of upserts, the
// indexes it creates) against a raw baseline: one transaction of prepared
// plain INSERTs of the same rows into the same table (SQLite), one COPY
// (PostgreSQL).  A refresh of open sessions' rows, what every interval
// costs.  Then /api/history/summary over 1,000,000 stored sessions, in
// SQLite and in PostgreSQL, its groups one at a time and at once.  Runs
// itself under quelm_isolate, in a private /tmp.  The collector's ingest
// with the worker on and off is history_ingest_bench.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <fcntl.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_common.h"
#include "../tests/history_support.h"  // the private PostgreSQL server of the tests

#include <libpq-fe.h>
// The daemon's and the hub's headers share a name: both by path.
#include "../hub/history.h"
#include "../server/history.h"

namespace {

constexpr const char *kDb = "/tmp/history-bench.db";

// n ended sessions, one every 3 s from startBase on.
std::vector<HistoryRow_t> Rows(size_t n, uint32_t pidBase, int64_t startBase = 1790000000)
{
    std::vector<HistoryRow_t> rows(n);
    for (size_t i = 0; i < n; ++i) {
        HistoryRow_t &r = rows[i];
        r.key = {pidBase + static_cast<uint32_t>(i / 1000), 1, static_cast<uint32_t>(i % 1000 + 1),
                 startBase + static_cast<int64_t>(i) * 3};
        r.end = r.key.start + 5 + static_cast<int64_t>(i % 50);
        r.lastUpdate = r.end;
        r.client = "10.0." + std::to_string(i % 250) + "." + std::to_string(i % 199) + ":4" + std::to_string(i % 1000);
        r.destination = "host-" + std::to_string(i % 5000) + ".example:443";
        r.resolved = "192.0.2." + std::to_string(i % 250) + ":443";
        r.user = "user" + std::to_string(i % 1000);
        r.proxy = "socks5-demo";
        r.command = "CONNECT";
        r.statusText = "succeeded";
        r.bytesUp = 1000 + i % 7777;
        r.bytesDown = 50000 + i % 99991;
    }
    return rows;
}

void Reset()
{
    for (const char *s : {"", "-wal", "-shm"})
        unlink((std::string(kDb) + s).c_str());
}

// The worker's flush: every row an upsert, in one transaction.
void BM_WorkerFlush(benchmark::State &state)
{
    const auto rows = Rows(static_cast<size_t>(state.range(0)), 1000);
    for (auto _ : state) {
        state.PauseTiming();
        Reset();
        std::unique_ptr<HistorySink> sink(HistoryMakeSqlite(kDb));
        std::string err;
        if (!sink->Open(&err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        state.ResumeTiming();
        if (!sink->Write("bench", rows, &err))
            state.SkipWithError(err.c_str());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The raw baseline: the same table and indexes, one transaction of plain
// prepared INSERTs (no conflict handling).
void BM_RawInserts(benchmark::State &state)
{
    const auto rows = Rows(static_cast<size_t>(state.range(0)), 1000);
    for (auto _ : state) {
        state.PauseTiming();
        Reset();
        {
            std::unique_ptr<HistorySink> sink(HistoryMakeSqlite(kDb)); // creates the schema
            std::string err;
            sink->Open(&err);
        }
        sqlite3 *db = nullptr;
        sqlite3_open(kDb, &db);
        sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
        sqlite3_stmt *q = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO warden_sessions (host, pid, handle, record, start_time, end_time,"
                           " duration, client, destination, resolved, username, proxy, command, status,"
                           " status_text, bytes_up, bytes_down, last_update, link_record) VALUES"
                           " (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                           -1, &q, nullptr);
        state.ResumeTiming();
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (const HistoryRow_t &r : rows) {
            sqlite3_reset(q);
            sqlite3_bind_text(q, 1, "bench", -1, SQLITE_STATIC);
            sqlite3_bind_int64(q, 2, r.key.pid);
            sqlite3_bind_int64(q, 3, r.key.handle);
            sqlite3_bind_int64(q, 4, r.key.record);
            sqlite3_bind_int64(q, 5, r.key.start);
            sqlite3_bind_int64(q, 6, r.end);
            sqlite3_bind_int64(q, 7, r.end - r.key.start);
            const std::string *t[] = {&r.client, &r.destination, &r.resolved, &r.user, &r.proxy, &r.command};
            for (int i = 0; i < 6; ++i)
                sqlite3_bind_text(q, 8 + i, t[i]->c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int64(q, 14, r.status);
            sqlite3_bind_text(q, 15, r.statusText.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int64(q, 16, static_cast<sqlite3_int64>(r.bytesUp));
            sqlite3_bind_int64(q, 17, static_cast<sqlite3_int64>(r.bytesDown));
            sqlite3_bind_int64(q, 18, r.lastUpdate);
            sqlite3_bind_int64(q, 19, 0);
            sqlite3_step(q);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        state.PauseTiming();
        sqlite3_finalize(q);
        sqlite3_close(db);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A refresh of rows already stored: what every interval costs for open
// sessions whose counters moved.
void BM_WorkerRefresh(benchmark::State &state)
{
    auto rows = Rows(static_cast<size_t>(state.range(0)), 1000);
    for (auto &r : rows)
        r.end = 0; // open sessions: only theirs are refreshed
    Reset();
    std::unique_ptr<HistorySink> sink(HistoryMakeSqlite(kDb));
    std::string err;
    sink->Open(&err);
    sink->Write("bench", rows, &err);
    for (auto _ : state) {
        for (auto &r : rows) {
            r.bytesDown += 1000;
            r.lastUpdate += 1;
        }
        if (!sink->Write("bench", rows, &err))
            state.SkipWithError(err.c_str());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A million stored sessions for the summary: 900,000 ended and the 100,000
// of a full store still open (those the summary reads from the table).
bool FillMillion(HistorySink *sink, std::string *err)
{
    if (!sink->Open(err))
        return false;
    for (uint32_t part = 0; part < 10; ++part) {
        auto rows = Rows(100000, 100000 + part * 1000, 1790000000 + part * 300000);
        if (part == 9)
            for (auto &r : rows)
                r.end = 0;
        if (!sink->Write("bench", rows, err))
            return false;
    }
    return true;
}

// Passes every query to another reader one at a time: the summary as a
// backend that cannot run its queries at once gives it.
class OneAtATime final : public hub::HistoryDb {
public:
    explicit OneAtATime(hub::HistoryDb &db) : db_(db) {}
    bool Query(const std::string &sql, const std::vector<std::string> &params,
               std::vector<std::vector<std::string>> *rows, std::string *error) override
    {
        return db_.Query(sql, params, rows, error);
    }

private:
    hub::HistoryDb &db_;
};

double ProcessCpuMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The summary's time (real: what a client waits) and the CPU of all the
// process's threads per summary.  Arg 0: 0 for all sessions, 1 for the
// page's usual question, the last day; arg 1: 1 to run the groups at once.
void Summary(benchmark::State &state, hub::HistoryDb &db)
{
    hub::HistoryParams params;
    if (state.range(0) != 0)
        params["from"] = std::to_string(1790000000 + 3 * 1000000 - 86400);
    OneAtATime serial(db);
    hub::HistoryDb &use = state.range(1) != 0 ? db : serial;
    (void)hub::HistorySummary(use, params); // connections opened, pages mapped
    const double cpu0 = ProcessCpuMs();
    for (auto _ : state) {
        const hub::HistoryReply r = hub::HistorySummary(use, params);
        if (r.status != 200)
            state.SkipWithError(r.body.c_str());
        benchmark::DoNotOptimize(r.body.size());
    }
    state.counters["cpu_ms"] = (ProcessCpuMs() - cpu0) / static_cast<double>(state.iterations());
}

void BM_SummaryOverAMillion(benchmark::State &state)
{
    static bool filled = false;
    std::string err;
    if (!filled) {
        Reset();
        std::unique_ptr<HistorySink> sink(HistoryMakeSqlite(kDb));
        if (!FillMillion(sink.get(), &err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        filled = true;
    }
    auto db = hub::HistoryOpen(kDb, &err);
    if (!db) {
        state.SkipWithError(err.c_str());
        return;
    }
    Summary(state, *db);
}

// ---- PostgreSQL: the worker's flush against one COPY ----

hist::PgServer *pgServer = nullptr;

bool PgReady()
{
    if (pgServer != nullptr)
        return true;
    if (!hist::PgServer::Available())
        return false;
    pgServer = new hist::PgServer;
    if (!pgServer->Create()) {
        delete pgServer;
        pgServer = nullptr;
        return false;
    }
    return true;
}

HistorySettings_t PgSettings()
{
    HistorySettings_t s;
    s.dbName = "wardendb";
    s.dbHost = pgServer->dir;
    s.dbPort = std::to_string(pgServer->port);
    return s;
}

void PgTruncate()
{
    PGconn *c = PQconnectdb(pgServer->ConnInfo().c_str());
    PQclear(PQexec(c, "TRUNCATE warden_sessions"));
    PQfinish(c);
}

void BM_PgWorkerFlush(benchmark::State &state)
{
    if (!PgReady()) {
        state.SkipWithError("no private PostgreSQL server");
        return;
    }
    setenv("PGUSER", "warden", 1);
    setenv("PGPASSWORD", pgServer->password.c_str(), 1);
    const HistorySettings_t settings = PgSettings();
    const auto rows = Rows(static_cast<size_t>(state.range(0)), 1000);
    std::unique_ptr<HistorySink> sink(HistoryMakePostgres(settings));
    std::string err;
    if (!sink->Open(&err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        PgTruncate();
        state.ResumeTiming();
        if (!sink->Write("bench", rows, &err))
            state.SkipWithError(err.c_str());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The raw baseline: the same rows into the same table with one COPY.
void BM_PgCopy(benchmark::State &state)
{
    if (!PgReady()) {
        state.SkipWithError("no private PostgreSQL server");
        return;
    }
    const auto rows = Rows(static_cast<size_t>(state.range(0)), 1000);
    PGconn *c = PQconnectdb(pgServer->ConnInfo().c_str());
    for (auto _ : state) {
        state.PauseTiming();
        PgTruncate();
        std::string data;
        for (const HistoryRow_t &r : rows) {
            char line[1024];
            snprintf(line, sizeof line,
                     "bench\t%u\t%u\t%u\t%lld\t%lld\t%lld\t%s\t%s\t%s\t%s\t%s\t%s\t%d\t%s\t%llu\t%llu\t%lld\t0\n",
                     r.key.pid, r.key.handle, r.key.record, static_cast<long long>(r.key.start),
                     static_cast<long long>(r.end), static_cast<long long>(r.end - r.key.start), r.client.c_str(),
                     r.destination.c_str(), r.resolved.c_str(), r.user.c_str(), r.proxy.c_str(), r.command.c_str(),
                     r.status, r.statusText.c_str(), static_cast<unsigned long long>(r.bytesUp),
                     static_cast<unsigned long long>(r.bytesDown), static_cast<long long>(r.lastUpdate));
            data += line;
        }
        state.ResumeTiming();
        PQclear(PQexec(c, "COPY warden_sessions (host, pid, handle, record, start_time, end_time, duration,"
                          " client, destination, resolved, username, proxy, command, status, status_text,"
                          " bytes_up, bytes_down, last_update, link_record) FROM STDIN"));
        PQputCopyData(c, data.data(), static_cast<int>(data.size()));
        PQputCopyEnd(c, nullptr);
        PGresult *r = PQgetResult(c);
        if (PQresultStatus(r) != PGRES_COMMAND_OK)
            state.SkipWithError(PQerrorMessage(c));
        PQclear(r);
        while ((r = PQgetResult(c)) != nullptr)
            PQclear(r);
    }
    PQfinish(c);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The same summary from PostgreSQL, over the same million sessions.
void BM_PgSummaryOverAMillion(benchmark::State &state)
{
    if (!PgReady()) {
        state.SkipWithError("no private PostgreSQL server");
        return;
    }
    static bool filled = false;
    std::string err;
    if (!filled) {
        setenv("PGUSER", "warden", 1);
        setenv("PGPASSWORD", pgServer->password.c_str(), 1);
        std::unique_ptr<HistorySink> sink(HistoryMakePostgres(PgSettings()));
        if (!sink->Open(&err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        PgTruncate();
        if (!FillMillion(sink.get(), &err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        PGconn *c = PQconnectdb(pgServer->ConnInfo().c_str());
        PQclear(PQexec(c, "VACUUM ANALYZE warden_sessions"));
        PQfinish(c);
        filled = true;
    }
    auto db = hub::HistoryOpen(pgServer->ConnInfo(), &err);
    Summary(state, *db);
}

}  // namespace

BENCHMARK(BM_PgWorkerFlush)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PgCopy)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RawInserts)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WorkerFlush)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WorkerRefresh)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SummaryOverAMillion)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_PgSummaryOverAMillion)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

int main(int argc, char **argv)
{
    if (RunIsolated(argc, argv, QUELM_ISOLATE, "history_bench") != 0)
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete pgServer;  // stops the private server
    return 0;
}
