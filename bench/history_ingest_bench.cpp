// history_ingest_bench - what the history worker costs the collector.  A
// warden holds 100,000 live sessions (--capacity 100000) and takes a paced
// 20,000 update reports per second, with the worker writing into SQLite
// (--history, every 2 s) and without it, in alternating rounds of one run.
//
// Ingest at that rate is measured as
//   - the collector's CPU per report: its tasks' run time from
//     /proc/PID/task/*/schedstat over the paced window, divided by the
//     reports sent in it (the worker's own CPU is told beside it);
//   - whether all of them are taken in without lag: the pipe's unread bytes
//     sampled every 5 ms (max), and the time from the last report until the
//     pipe is empty;
// and, with the worker on, the rows behind the store: every second the
// bench reads the file and counts the sessions whose row lacks the latest
// update already sent, and the age of the oldest such update.  After the
// window it tells how long until every row holds its session's last
// update.  A secondary figure is the collector's maximum rate: 200,000
// reports sent as fast as the pipe takes them, until it is empty.
//
// A control round runs warden without the worker beside a process that
// burns CPU at niceness 10 in bursts (0.4 s every 2 s), as the worker does:
// what any background work of that size costs the collector, the store
// untouched.  (A core that is busy when a report arrives wakes the
// collector at once, for fewer reports per read; an idle one is slower to
// wake, and more reports wait to be read together.)
//
// Usage: history_ingest_bench [rounds] [seconds per window]; runs itself
// under quelm_isolate, in a private /tmp.
#include <sqlite3.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <dirent.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "warden_fixture.h"
#include <quelm/monitor.h>

namespace {

constexpr int kLive = 100000;       // live sessions in the store
constexpr int kRate = 20000;        // paced update reports per second
constexpr int kWarmupSeconds = 3;   // paced, before the window opens
constexpr int kBurst = 200000;      // reports of the maximum-rate figure
constexpr const char *kDb = "/tmp/ingest.db";

int64_t NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool Until(const std::function<bool()> &cond, int ms = 60000)
{
    for (int i = 0; i < ms / 5; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

using testsupport::ChildHolding;
using testsupport::ReadFile;

// Nanoseconds on the CPU of every thread of pid (schedstat's first field).
int64_t RunNs(pid_t pid)
{
    int64_t sum = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        sum += atoll(ReadFile(dir + "/" + e->d_name + "/schedstat").c_str());
    }
    closedir(d);
    return sum;
}

// The voluntary context switches of pid: how often the collector slept,
// on the pipe or on the store's lock.
long Sleeps(pid_t pid)
{
    const std::string s = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = s.find("voluntary_ctxt_switches:");
    return at == std::string::npos ? -1 : atol(s.c_str() + at + 24);
}

// Session h's update number seq carries seq as its first total: the row
// then tells which update it holds.  Updates go round the sessions, so
// session h gets h, h + kLive, h + 2 kLive, ...
int Handle(int64_t seq) { return static_cast<int>((seq - 1) % kLive) + 1; }

struct Warden {
    testsupport::Warden daemon;
    pid_t pid = 0, collector = 0, worker = 0;
    MonHandle_t *pipe = nullptr;
    int probe = -1;  // another writer's descriptor of the pipe: FIONREAD tells what is unread
    bool history = false;
    sqlite3 *db = nullptr;

    bool Start(bool withHistory)
    {
        history = withHistory;
        for (const char *s : {"", "-wal", "-shm", ".spool"})
            unlink((std::string(kDb) + s).c_str());
        testsupport::WardenStart how;
        how.args = {"--capacity", "100000"};
        if (withHistory)
            how.args.insert(how.args.end(), {"--history", kDb});
        if (!daemon.Start(how)) {
            fprintf(stderr, "%s", daemon.Log().c_str());
            return false;
        }
        pid = daemon.Pid();
        probe = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (probe < 0 || fstat(probe, &st) != 0 || !S_ISFIFO(st.st_mode))
            return false;
        if (QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &pipe) != 0)
            return false;
        for (int h = 1; h <= kLive; ++h)
            Send(h, MON_FLAG_START, 0);
        if (!Until([&] { return Drained(); }))
            return false;
        collector = ChildHolding(pid, "mon.fifo");
        if (collector == 0)
            return false;
        if (!withHistory)
            return true;
        // Steady state: the worker's first pass has written every session.
        if (!Until([&] { return Count() == kLive; }, 120000))
            return false;
        worker = ChildHolding(pid, "ingest.db");
        return worker != 0;
    }
    void Send(int handle, uint32_t flags, int64_t seq)
    {
        MonData_t rec;
        memset(&rec, 0, sizeof rec);
        rec.pid = 1;  // never checked for life: pid 1 lives
        rec.handleNum = static_cast<uint32_t>(handle);
        rec.recordNum = 1;
        rec.flags = flags;
        rec.startTime = rec.eventTime = static_cast<int32_t>(time(nullptr));
        rec.countA = static_cast<uint32_t>(seq);
        rec.countB = static_cast<uint32_t>(seq * 3);
        snprintf(rec.text2, sizeof rec.text2, "host-%d.example:443", handle % 5000);
        snprintf(rec.text1, sizeof rec.text1, "user%d", handle % 1000);
        while (QxMonSendData(pipe, &rec) < 0)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    int Unread() const
    {
        int unread = 0;
        return ioctl(probe, FIONREAD, &unread) == 0 ? unread : -1;
    }
    bool Drained() const { return Unread() == 0; }
    bool OpenDb()
    {
        if (db != nullptr)
            return true;
        if (sqlite3_open_v2(kDb, &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            db = nullptr;
            return false;
        }
        sqlite3_busy_timeout(db, 2000);
        return true;
    }
    long Count()
    {
        if (!OpenDb())
            return -1;
        sqlite3_stmt *q = nullptr;
        long n = -1;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM warden_sessions", -1, &q, nullptr) == SQLITE_OK &&
            sqlite3_step(q) == SQLITE_ROW)
            n = sqlite3_column_int64(q, 0);
        sqlite3_finalize(q);
        return n;
    }
    // The update each session's row holds (index: handle), from one read.
    bool Stored(std::vector<int64_t> *held)
    {
        if (!OpenDb())
            return false;
        held->assign(kLive + 1, 0);
        sqlite3_stmt *q = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT handle, bytes_up FROM warden_sessions WHERE pid = 1", -1, &q,
                               nullptr) != SQLITE_OK)
            return false;
        while (sqlite3_step(q) == SQLITE_ROW) {
            const int64_t h = sqlite3_column_int64(q, 0);
            if (h >= 1 && h <= kLive)
                (*held)[static_cast<size_t>(h)] = sqlite3_column_int64(q, 1);
        }
        sqlite3_finalize(q);
        return true;
    }
    void Stop()
    {
        if (db != nullptr)
            sqlite3_close(db);
        db = nullptr;
        if (pipe != nullptr)
            QxMonClose(pipe);
        pipe = nullptr;
        if (probe >= 0)
            close(probe);
        probe = -1;
        daemon.Stop();
        pid = 0;
    }
};

// The control's CPU burner: busy for busyMs of every periodMs, niceness 10.
pid_t Burner(int busyMs, int periodMs)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    (void)setpriority(PRIO_PROCESS, 0, 10);
    for (;;) {
        const int64_t until = NowNs() + static_cast<int64_t>(busyMs) * 1000000;
        while (NowNs() < until) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(periodMs - busyMs));
    }
}

enum class Mode { kOff, kOn, kControl };
const char *Name(Mode m) { return m == Mode::kOn ? "on" : m == Mode::kOff ? "off" : "control"; }

struct Round {
    double cpuNsPerReport = 0, workerNsPerReport = 0, sleepsPerReport = 0;
    double sentRate = 0, maxUnreadKiB = 0, drainMs = 0;
    double behindMax = 0, behindMedian = 0, ageMaxMs = 0, catchUpMs = -1;
    double maxRate = 0;
    bool ok = false;
};

// One round: seeds the sessions, paces kRate reports per second for warm-up
// plus window seconds, then the maximum-rate burst.
Round RunRound(Mode mode, int window)
{
    const bool history = mode == Mode::kOn;
    Round out;
    Warden w;
    if (!w.Start(history)) {
        fprintf(stderr, "warden did not start (history %d)\n", history ? 1 : 0);
        w.Stop();
        return out;
    }
    const int64_t total = static_cast<int64_t>(kRate) * (kWarmupSeconds + window);
    std::vector<int64_t> sentAt(static_cast<size_t>(total) + 1, 0);
    std::atomic<int64_t> sent{0};
    std::atomic<bool> done{false};
    std::atomic<int> maxUnread{0};
    std::vector<double> behind;
    double ageMax = 0;

    // Watches the pipe's backlog while the paced reports flow.
    std::thread watch([&] {
        while (!done.load()) {
            const int u = w.Unread();
            if (u > maxUnread.load())
                maxUnread.store(u);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // Counts the rows behind once a second (history on).
    std::thread rows([&] {
        if (!history)
            return;
        std::vector<int64_t> held;
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const int64_t last = sent.load(std::memory_order_acquire);
            const int64_t t = NowNs();
            if (!w.Stored(&held))
                continue;
            long n = 0;
            for (int h = 1; h <= kLive; ++h) {
                // The first update this row lacks, if any was sent.
                const int64_t lacks = held[static_cast<size_t>(h)] == 0 ? h : held[static_cast<size_t>(h)] + kLive;
                if (lacks > last)
                    continue;
                ++n;
                ageMax = std::max(ageMax, (t - sentAt[static_cast<size_t>(lacks)]) / 1e6);
            }
            behind.push_back(static_cast<double>(n));
        }
    });

    const pid_t burner = mode == Mode::kControl ? Burner(400, 2000) : 0;
    const int64_t start = NowNs();
    const int64_t windowFrom = static_cast<int64_t>(kRate) * kWarmupSeconds;
    int64_t cpu0 = 0, work0 = 0, t0 = 0;
    long sleeps0 = 0;
    for (int64_t seq = 1; seq <= total; ++seq) {
        if (seq == windowFrom + 1) {
            t0 = NowNs();
            cpu0 = RunNs(w.collector);
            work0 = history ? RunNs(w.worker) : 0;
            sleeps0 = Sleeps(w.collector);
        }
        // Reports are sent in steps of 1 ms: 20 due together.
        if ((seq - 1) % (kRate / 1000) == 0) {
            const int64_t due = start + (seq - 1) * 1000000000 / kRate;
            struct timespec ts = {static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        }
        sentAt[static_cast<size_t>(seq)] = NowNs();
        w.Send(Handle(seq), MON_FLAG_UPDATE, seq);
        sent.store(seq, std::memory_order_release);
    }
    const int64_t t1 = NowNs();
    Until([&] { return w.Drained(); });
    const int64_t t2 = NowNs();
    const int64_t cpu1 = RunNs(w.collector);
    const int64_t work1 = history ? RunNs(w.worker) : 0;
    const long sleeps1 = Sleeps(w.collector);
    if (burner > 0) {
        kill(burner, SIGKILL);
        waitpid(burner, nullptr, 0);
    }
    done.store(true);
    watch.join();
    rows.join();

    const double reports = static_cast<double>(total - windowFrom);
    out.sentRate = reports / ((t1 - t0) / 1e9);
    out.cpuNsPerReport = (cpu1 - cpu0) / reports;
    out.workerNsPerReport = (work1 - work0) / reports;
    out.sleepsPerReport = (sleeps1 - sleeps0) / reports;
    out.maxUnreadKiB = maxUnread.load() / 1024.0;
    out.drainMs = (t2 - t1) / 1e6;
    if (history) {
        std::sort(behind.begin(), behind.end());
        if (!behind.empty()) {
            out.behindMax = behind.back();
            out.behindMedian = behind[behind.size() / 2];
        }
        out.ageMaxMs = ageMax;
        // Until every row holds its session's last update.
        std::vector<int64_t> held;
        bool caught = false;
        for (int i = 0; i < 600 && !caught; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!w.Stored(&held))
                continue;
            caught = true;
            for (int64_t seq = total; seq > total - kLive && seq > 0 && caught; --seq)
                caught = held[static_cast<size_t>(Handle(seq))] >= seq;
        }
        out.catchUpMs = caught ? (NowNs() - t1) / 1e6 : -1;
    }

    // The maximum rate: as fast as the pipe takes them, until it is empty.
    const int64_t b0 = NowNs();
    for (int64_t i = 1; i <= kBurst; ++i)
        w.Send(Handle(total + i), MON_FLAG_UPDATE, total + i);
    Until([&] { return w.Drained(); });
    out.maxRate = kBurst / ((NowNs() - b0) / 1e9);
    out.ok = true;
    w.Stop();
    return out;
}

double MedianOf(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (RunIsolated(argc, argv, QUELM_ISOLATE, "history_ingest_bench") != 0)
        return 1;
    const int rounds = argc > 1 ? atoi(argv[1]) : 3;
    const int window = argc > 2 ? atoi(argv[2]) : 10;
    std::vector<Round> off, on, control;
    for (int r = 0; r < rounds; ++r) {
        // Rotating, so that the machine's other load falls on every mode.
        const Mode order[3][3] = {{Mode::kOff, Mode::kOn, Mode::kControl},
                                  {Mode::kOn, Mode::kControl, Mode::kOff},
                                  {Mode::kControl, Mode::kOff, Mode::kOn}};
        for (Mode mode : order[r % 3]) {
            const Round x = RunRound(mode, window);
            if (!x.ok)
                return 1;
            const bool history = mode == Mode::kOn;
            printf("round %d history %-7s: collector %6.0f ns/report (%.3f sleeps/report), sent %6.0f/s,"
                   " pipe max %6.0f KiB, drained %5.1f ms after the last",
                   r + 1, Name(mode), x.cpuNsPerReport, x.sleepsPerReport, x.sentRate, x.maxUnreadKiB,
                   x.drainMs);
            if (history)
                printf("; worker %6.0f ns/report; rows behind median %6.0f max %6.0f, oldest %5.0f ms,"
                       " all stored %5.0f ms after the last",
                       x.workerNsPerReport, x.behindMedian, x.behindMax, x.ageMaxMs, x.catchUpMs);
            printf("; max rate %6.0f/s\n", x.maxRate);
            fflush(stdout);
            (mode == Mode::kOn ? on : mode == Mode::kOff ? off : control).push_back(x);
        }
    }
    auto med = [](const std::vector<Round> &v, double Round::*f) {
        std::vector<double> x;
        for (const Round &r : v)
            x.push_back(r.*f);
        return MedianOf(x);
    };
    const double cpuOff = med(off, &Round::cpuNsPerReport), cpuOn = med(on, &Round::cpuNsPerReport);
    const double maxOff = med(off, &Round::maxRate), maxOn = med(on, &Round::maxRate);
    printf("\nSummary (medians of %d rounds, %d s windows at %d reports/s, %d live sessions):\n", rounds, window,
           kRate, kLive);
    printf("  collector CPU per report  off %6.0f ns  on %6.0f ns  ingest ratio on/off %.3f  (aim >= 0.95)\n",
           cpuOff, cpuOn, cpuOff / cpuOn);
    const double cpuControl = med(control, &Round::cpuNsPerReport);
    printf("  control (burner, no worker)    %6.0f ns  ratio control/off %.3f; on/control %.3f\n", cpuControl,
           cpuOff / cpuControl, cpuControl / cpuOn);
    printf("  sleeps per report         off %.3f  on %.3f  control %.3f\n", med(off, &Round::sleepsPerReport),
           med(on, &Round::sleepsPerReport), med(control, &Round::sleepsPerReport));
    printf("  pipe backlog max          off %6.0f KiB on %6.0f KiB\n", med(off, &Round::maxUnreadKiB),
           med(on, &Round::maxUnreadKiB));
    printf("  worker CPU per report     %6.0f ns\n", med(on, &Round::workerNsPerReport));
    printf("  rows behind (sampled 1/s) median %6.0f  max %6.0f  oldest update not stored %5.0f ms\n",
           med(on, &Round::behindMedian), med(on, &Round::behindMax), med(on, &Round::ageMaxMs));
    printf("  all rows stored           %5.0f ms after the last report\n", med(on, &Round::catchUpMs));
    printf("  max rate (secondary)      off %6.0f/s  on %6.0f/s  ratio %.3f\n", maxOff, maxOn, maxOn / maxOff);
    return 0;
}
