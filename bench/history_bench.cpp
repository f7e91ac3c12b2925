// history_bench - the history worker's SQLite writes and the hub's summary
// query.  Rows per second of the worker's flush (one transaction of
// upserts, the indexes it creates) against a raw baseline: one transaction
// of prepared plain INSERTs of the same rows into the same table.  Then
// /api/history/summary's query over 1,000,000 stored sessions.  Runs
// itself under quelm_isolate, in a private /tmp.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <cstdio>
#include <functional>
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

std::vector<HistoryRow_t> Rows(size_t n, uint32_t pidBase)
{
    std::vector<HistoryRow_t> rows(n);
    for (size_t i = 0; i < n; ++i) {
        HistoryRow_t &r = rows[i];
        r.key = {pidBase + static_cast<uint32_t>(i / 1000), 1, static_cast<uint32_t>(i % 1000 + 1),
                 1790000000 + static_cast<int64_t>(i) * 3};
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

// The hub's summary over a million stored sessions.
void BM_SummaryOverAMillion(benchmark::State &state)
{
    static bool filled = false;
    if (!filled) {
        Reset();
        std::unique_ptr<HistorySink> sink(HistoryMakeSqlite(kDb));
        std::string err;
        sink->Open(&err);
        for (uint32_t part = 0; part < 10; ++part)
            if (!sink->Write("bench", Rows(100000, 100000 + part * 1000), &err)) {
                state.SkipWithError(err.c_str());
                return;
            }
        filled = true;
    }
    std::string err;
    auto db = hub::HistoryOpen(kDb, &err);
    if (!db) {
        state.SkipWithError(err.c_str());
        return;
    }
    hub::HistoryParams params;
    if (state.range(0) != 0) { // the page's usual question: the last day
        params["from"] = std::to_string(1790000000 + 3 * 1000000 - 86400);
    }
    for (auto _ : state) {
        const hub::HistoryReply r = hub::HistorySummary(*db, params);
        if (r.status != 200)
            state.SkipWithError(r.body.c_str());
        benchmark::DoNotOptimize(r.body.size());
    }
}

// ---- the collector's ingest with the worker on and off ----

constexpr int kLive = 100000;     // live sessions in the store
constexpr int kUpdates = 200000;  // update reports per timed round

bool Until(const std::function<bool()> &cond, int ms = 60000)
{
    for (int i = 0; i < ms / 5; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// A warden holding kLive sessions, with or without the history worker.
struct Daemon {
    pid_t pid = 0;
    MonHandle_t *pipe = nullptr;
    int probe = -1;  // another writer's descriptor of the pipe: FIONREAD tells what is unread
    const ShelfHeader_t *hdr = nullptr;
    size_t hdrSize = 4096;

    bool Start(bool history)
    {
        for (const char *f : {"/tmp/ingest.db", "/tmp/ingest.db-wal", "/tmp/ingest.db-shm", "/tmp/ingest.db.spool"})
            unlink(f);
        pid = fork();
        if (pid == 0) {
            const int log = open("/tmp/warden.log", O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(log, 2);
            std::vector<const char *> args = {WARDEN_BIN, "-f", "--capacity", "100000"};
            if (history)
                args.insert(args.end(), {"--history", "/tmp/ingest.db"});
            args.push_back(nullptr);
            execv(WARDEN_BIN, const_cast<char *const *>(args.data()));
            _exit(127);
        }
        if (!Until([&] { return (probe = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }))
            return false;
        if (QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &pipe) != 0)
            return false;
        const int fd = open("/tmp/mon.mmap", O_RDONLY);
        hdr = static_cast<const ShelfHeader_t *>(mmap(nullptr, hdrSize, PROT_READ, MAP_SHARED, fd, 0));
        close(fd);
        for (int i = 1; i <= kLive; ++i)
            Send(static_cast<uint32_t>(i), MON_FLAG_START, 0);
        return Until([&] { return __atomic_load_n(&hdr->putCount, __ATOMIC_RELAXED) >= kLive; });
    }
    void Send(uint32_t handle, uint32_t flags, uint32_t count)
    {
        MonData_t rec;
        memset(&rec, 0, sizeof rec);
        rec.pid = 1;  // never checked for life: the handle number is not the detached one, but pid 1 lives
        rec.handleNum = handle;
        rec.recordNum = 1;
        rec.flags = flags;
        rec.startTime = rec.eventTime = static_cast<int32_t>(time(nullptr));
        rec.countA = count;
        rec.countB = count * 3;
        snprintf(rec.text2, sizeof rec.text2, "host-%u.example:443", handle % 5000);
        snprintf(rec.text1, sizeof rec.text1, "user%u", handle % 1000);
        while (QxMonSendData(pipe, &rec) < 0)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    bool Drained() const
    {
        int unread = 0;
        return ioctl(probe, FIONREAD, &unread) == 0 && unread == 0;
    }
    void Stop()
    {
        if (pipe != nullptr)
            QxMonClose(pipe);
        pipe = nullptr;
        if (probe >= 0)
            close(probe);
        probe = -1;
        if (hdr != nullptr)
            munmap(const_cast<ShelfHeader_t *>(hdr), hdrSize);
        hdr = nullptr;
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the workers' last flush
        }
        pid = 0;
    }
};

// Update reports per second the collector takes in (from the writer's first
// send until the pipe is empty), 100,000 sessions live.  Arg 1: with the
// history worker writing them into SQLite every 2 s.
void BM_CollectorIngest(benchmark::State &state)
{
    Daemon d;
    if (!d.Start(state.range(0) != 0)) {
        state.SkipWithError("warden did not start");
        d.Stop();
        return;
    }
    uint32_t round = 0;
    for (auto _ : state) {
        ++round;
        for (int i = 0; i < kUpdates; ++i)
            d.Send(static_cast<uint32_t>(i % kLive + 1), MON_FLAG_UPDATE, round * 1000 + static_cast<uint32_t>(i));
        Until([&] { return d.Drained(); });
    }
    state.SetItemsProcessed(state.iterations() * kUpdates);
    d.Stop();
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

}  // namespace

BENCHMARK(BM_PgWorkerFlush)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PgCopy)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CollectorIngest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_CollectorIngest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime()->Name("BM_CollectorIngest_again");
BENCHMARK(BM_RawInserts)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WorkerFlush)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WorkerRefresh)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SummaryOverAMillion)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);

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
