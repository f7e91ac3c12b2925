/*
 * history.cpp - the database worker's loop.  Every interval it drains the
 * store's change stream through slot 3 (batches of records under one hold
 * of the hash lock, as the viewer server does), folds what changed into one
 * pending row per session record, and writes those rows in one transaction.
 * The first pass after a start reads every record, so the sessions that
 * changed while no worker ran are written too.  When the database cannot
 * be written the rows go to the spool, and while the spool holds rows every
 * new row goes there behind them, so the database sees them in order.
 */
#include "history.h"

#include "historyspool.h"
#include "supervise.h"
#include "wardenlog.h"

#include "Shelf_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
#include <unordered_map>

namespace {

// Message numbers of the worker's lines (the limiter allows one line a
// second per number, so the kinds of line do not share one).
constexpr int kMsgHistoryError = 60;  // the database refused or is away
constexpr int kMsgHistorySpool = 61;  // the spool is full: rows dropped
constexpr int kMsgHistoryBack = 62;   // the database is written again
constexpr int kDrainBatch = 64;       // records per hold of the hash lock (128 KiB copied)
constexpr size_t kReplayRows = 2000;  // spooled rows per replayed transaction
constexpr size_t kReplayPerFlush = 100000; // the drain must not wait behind a huge spool
constexpr int64_t kRetryFirstMs = 1000;
// A server back from a restart is written again within 10 s; one failed
// connect per 10 s costs nothing.
constexpr int64_t kRetryCapMs = 10000;
constexpr int kPurgeBatch = 500;      // rows per retention delete
constexpr int kPurgeBatchesPerTick = 20;
constexpr int64_t kPurgeEveryMs = 60000;
constexpr int kWorkerNice = 10;       // the worker's scheduling niceness

volatile sig_atomic_t stopNoted = 0;

void NoteStop(int)
{
    stopNoted = 1;
}

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct KeyHash {
    size_t operator()(const HistoryKey_t &k) const
    {
        uint64_t h = 1469598103934665603ull;
        for (uint64_t v : {uint64_t{k.pid}, uint64_t{k.handle}, uint64_t{k.record},
                           static_cast<uint64_t>(k.start)})
            h = (h ^ v) * 1099511628211ull;
        return static_cast<size_t>(h);
    }
};
using Pending = std::unordered_map<HistoryKey_t, HistoryRow_t, KeyHash>;

/* The word this worker keeps in a record's clientTag: which row the record
 * is written to (a hash of the row's key, never 0). */
uint32_t RowTag(const HistoryKey_t &k)
{
    const uint64_t h = KeyHash()(k);
    return static_cast<uint32_t>(h ^ (h >> 32)) | 1u;
}

MonData_t drainBuf[kDrainBatch];

class Worker {
public:
    Worker(MonHandle_t *store, HistorySink *sink) : store_(store), sink_(sink), parent_(getppid()) {}

    void Run()
    {
        const HistorySettings_t &s = historySettings;
        std::string err;
        if (!spool_.Open(s.spoolPath, s.spoolLimitBytes, &err))
            Problem(err + "; rows that cannot be written are dropped");
        const int64_t intervalMs = static_cast<int64_t>(s.intervalSeconds) * 1000;
        int64_t nextFlush = NowMs() + intervalMs;
        bool all = true; // the first pass reads every record
        while (stopNoted == 0 && StoreOurs()) {
            Drain(all);
            all = false;
            const int64_t now = NowMs();
            if (now >= nextFlush) {
                Flush();
                Retain();
                // A steady beat: the time a flush takes is not added to the
                // interval, so rows trail the store by at most an interval
                // plus one flush.
                nextFlush = std::max(nextFlush + intervalMs, NowMs());
            }
            const int64_t wait = nextFlush - NowMs();
            if (wait > 0 && stopNoted == 0)
                (void)poll(nullptr, 0, static_cast<int>(wait));
        }
        // Stopped: what changed since the last flush is written before the end.
        if (StoreOurs())
            Drain(false);
        Flush();
        sink_->Close();
    }

private:
    /* True while the main process that forked this worker lives.  Once it
     * is gone a new warden may have reset the store file under the mapping:
     * reading it then would take (and hide) the new daemon's changes. */
    bool StoreOurs() const { return getppid() == parent_; }

    /* Takes every record with changes for slot 3 into pending_. */
    void Drain(bool all)
    {
        std::vector<HistoryKey_t> fresh;
        for (;;) {
            const int n = quelm::ShelfGetChanged(store_, all ? 1 : 0, drainBuf, kDrainBatch);
            if (n < 0)
                return;
            for (int i = 0; i < n; ++i) {
                const MonData_t &rec = drainBuf[i];
                const HistoryRow_t row = HistoryRowFrom(rec, (rec.flags & MON_FLAG_END) != 0);
                auto it = pending_.find(row.key);
                if (it == pending_.end())
                    pending_.emplace(row.key, row);
                else
                    HistoryMerge(&it->second, row);
                if ((all || (rec.flags & MON_FLAG_START) != 0) && rec.clientTag != RowTag(row.key))
                    fresh.push_back(row.key);
            }
            if (n < kDrainBatch)
                break;
        }
        // A keyed read stores the caller's tag in the record: the store then
        // tells which row each of its records is written to.
        for (const HistoryKey_t &k : fresh) {
            MonData_t probe;
            memset(&probe, 0, sizeof probe);
            probe.pid = k.pid;
            probe.handleNum = k.handle;
            probe.recordNum = static_cast<uint16_t>(k.record);
            probe.clientTag = RowTag(k);
            (void)QxMonRecvData(store_, &probe);
        }
    }

    /* Writes (or spools) the pending rows. */
    void Flush()
    {
        std::vector<HistoryRow_t> rows;
        rows.reserve(pending_.size());
        for (auto &kv : pending_)
            rows.push_back(std::move(kv.second));
        pending_.clear();
        const bool ready = Ready();
        if (!spool_.Empty() || !ready) {
            Spool(rows);
            if (ready)
                Replay();
            return;
        }
        if (rows.empty())
            return;
        std::string err;
        if (!sink_->Write(historySettings.host, rows, &err)) {
            Lost(err);
            Spool(rows);
        }
    }

    /* True when the database is open, opening it if a retry is due. */
    bool Ready()
    {
        if (open_)
            return true;
        const int64_t now = NowMs();
        if (now < retryAt_)
            return false;
        std::string err;
        if (!sink_->Open(&err)) {
            Lost(err);
            return false;
        }
        open_ = true;
        retryMs_ = 0;
        if (!problem_.empty()) {
            QxLogUpdate(WardenLog(), 3, kMsgHistoryBack,
                        "history: the database is written again (%llu bytes of rows in the spool)",
                        static_cast<unsigned long long>(spool_.Size()));
            problem_.clear();
        }
        return true;
    }

    /* The database failed: close it, say why once, and wait before the next
     * try, longer each time, so that a server that is away costs nothing. */
    void Lost(const std::string &why)
    {
        sink_->Close();
        open_ = false;
        retryMs_ = retryMs_ == 0 ? kRetryFirstMs : std::min(retryMs_ * 2, kRetryCapMs);
        retryAt_ = NowMs() + retryMs_;
        Problem(why);
    }

    void Problem(const std::string &why)
    {
        if (why == problem_)
            return;
        problem_ = why;
        QxLogUpdate(WardenLog(), 1, kMsgHistoryError, "history: %s", why.c_str());
    }

    void Spool(const std::vector<HistoryRow_t> &rows)
    {
        if (rows.empty() || spool_.Append(rows) == 0)
            return;
        QxLogUpdate(WardenLog(), 1, kMsgHistorySpool,
                    "history: the spool %s is full (limit %llu bytes): %llu rows dropped so far",
                    historySettings.spoolPath.c_str(),
                    static_cast<unsigned long long>(historySettings.spoolLimitBytes),
                    static_cast<unsigned long long>(spool_.Dropped()));
    }

    /* Writes spooled rows in the order they were spooled, a transaction per
     * chunk; empties the spool once all of it is in. */
    void Replay()
    {
        size_t done = 0;
        while (open_ && done < kReplayPerFlush) {
            uint64_t next = replayAt_;
            std::vector<HistoryRow_t> chunk = spool_.Read(&next, kReplayRows);
            if (chunk.empty()) {
                spool_.Clear();
                replayAt_ = 0;
                return;
            }
            // One statement may not touch a row twice: fold repeats first.
            Pending folded;
            std::vector<HistoryKey_t> order;
            for (HistoryRow_t &r : chunk) {
                auto it = folded.find(r.key);
                if (it == folded.end()) {
                    order.push_back(r.key);
                    folded.emplace(r.key, std::move(r));
                } else {
                    HistoryMerge(&it->second, r);
                }
            }
            std::vector<HistoryRow_t> rows;
            for (const HistoryKey_t &k : order)
                rows.push_back(std::move(folded[k]));
            std::string err;
            if (!sink_->Write(historySettings.host, rows, &err)) {
                Lost(err);
                return;
            }
            replayAt_ = next;
            done += chunk.size();
        }
    }

    /* Deletes ended rows older than --history-keep, in small batches, so
     * that a large backlog never holds the database for long. */
    void Retain()
    {
        const int days = historySettings.keepDays;
        if (days <= 0 || !open_ || NowMs() < purgeAt_)
            return;
        const int64_t cutoff = static_cast<int64_t>(time(nullptr)) - static_cast<int64_t>(days) * 86400;
        long deleted = kPurgeBatch;
        for (int i = 0; i < kPurgeBatchesPerTick && deleted == kPurgeBatch; ++i) {
            std::string err;
            deleted = sink_->Purge(cutoff, kPurgeBatch, &err);
            if (deleted < 0) {
                Lost(err);
                return;
            }
        }
        // More left: go on at the next flush rather than in a minute.
        purgeAt_ = deleted == kPurgeBatch ? 0 : NowMs() + kPurgeEveryMs;
    }

    MonHandle_t *store_;
    HistorySink *sink_;
    HistorySpool spool_;
    Pending pending_;
    bool open_ = false;
    int64_t retryAt_ = 0;
    int64_t retryMs_ = 0;
    int64_t purgeAt_ = 0;
    uint64_t replayAt_ = 0;
    std::string problem_;
    pid_t parent_;
};

} // namespace

void MonHistoryServer(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = NoteStop; // no SA_RESTART: the wait ends at once
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        sigaction(s, &sa, nullptr);

    // History is background work: when the CPU is short the collector,
    // which must keep the pipe drained, goes first.  The worker merges what
    // it missed into its pending rows, so falling behind loses nothing.
    (void)setpriority(PRIO_PROCESS, 0, kWorkerNice);

    MonHandle_t *store = nullptr;
    if (QxMonMemOpen("mon.mmap", MON_SLOT_TAGGER, &store) < 0) {
        QxLogUpdate(WardenLog(), 1, kMsgHistoryError, "history: cannot open the store as slot %d: %m",
                    MON_SLOT_TAGGER);
        return;
    }
    // The worker serves from here on: a database that is away is its own
    // business (spool, retries), never a failed start of the worker.
    WorkerStarted();
    std::unique_ptr<HistorySink> sink(historySettings.dbName.empty()
                                          ? HistoryMakeSqlite(historySettings.sqlitePath)
                                          : HistoryMakePostgres(historySettings));
    Worker(store, sink.get()).Run();
    QxMonClose(store);
}
