// Viewers against the collector, each figure taken in this one run:
//   ingest:  update frames over 300 sessions written into /tmp/mon.fifo as
//            fast as the collector takes them, with 0 viewers, 4 viewers at
//            the default setting (one child each), and 4 and 64 viewers
//            served by the fan-out (--viewers 64), every viewer asking for
//            its change stream again the moment the last one ended;
//   latency: from a put to its arrival at a viewer that keeps asking, at
//            the default setting and through the fan-out (99th percentile);
//   memory:  the fan-out's resident memory per extra idle viewer.
// Ingest figures are compared with the no-viewer ingest of the same run.
// The program re-runs itself under quelm_isolate, so it never meets a real
// warden, its pipe, store or port.
#include <quelm/monitor.h>

#include <benchmark/benchmark.h>

#include "bench_common.h"
#include "records.h"
#include "warden_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int kSessions = 300;       // keys the ingest updates
constexpr int kUpdates = 100000;     // update frames per ingest run
constexpr int kLatencySamples = 100; // puts timed per latency run
constexpr int kIdleViewers = 64;     // viewers connected for the memory figure

// A session of this process, key (9, num).
MonData_t Session(uint16_t num, uint32_t flags)
{
    return testsupport::TypicalRecord(static_cast<uint32_t>(getpid()), 9, num, flags);
}

using testsupport::AppendFrame;

using testsupport::WriteAll;

using testsupport::ViewerPortListening;

template <class F> void Until(F cond)
{
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (!cond()) {
        if (Clock::now() > end) {
            fprintf(stderr, "viewers_bench: gave up waiting\n");
            exit(1);
        }
        usleep(1000);
    }
}

using testsupport::ConnectViewer;

// A viewer's side of one connection: stream requests, buffered frame reads.
class ViewerConn : public FrameReader {
public:
    explicit ViewerConn(int fd) : FrameReader(fd), fd_(fd) {}
    int Fd() const { return fd_; }
    bool Ask()
    {
        static const unsigned char req[4] = {0, 2, 2, 0};
        return write(fd_, req, sizeof req) == 4;
    }

private:
    int fd_;
};

// ---- the daemon ----

class Warden {
public:
    void Start(const std::vector<const char *> &extra)
    {
        Stop();
        unlink("/tmp/mon.pid");
        std::vector<std::string> args(extra.begin(), extra.end());
        if (!daemon_.Start({args, 0, {}, true, nullptr})) {
            fprintf(stderr, "viewers_bench: warden did not come up:\n%s", daemon_.Log().c_str());
            exit(1);
        }
        Until([this] { return (writer_ = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; });
        const int fd = open("/tmp/mon.mmap", O_RDONLY);
        header_ = static_cast<const ShelfHeader_t *>(
            mmap(nullptr, SHELF_MMAP_SIZE, PROT_READ, MAP_SHARED, fd, 0));
        close(fd);
    }
    void Stop()
    {
        if (header_ == nullptr)
            return;
        daemon_.Stop(SIGTERM, true);
        Until([] { return !ViewerPortListening(); });
        close(writer_);
        munmap(const_cast<ShelfHeader_t *>(header_), SHELF_MMAP_SIZE);
        header_ = nullptr;
    }
    uint32_t PutCount() const { return __atomic_load_n(&header_->putCount, __ATOMIC_ACQUIRE); }
    uint32_t Slot(int s) const { return __atomic_load_n(&header_->clientPid[s], __ATOMIC_ACQUIRE); }
    int Writer() const { return writer_; }
    // Writes frames and waits until the last one (a start) is stored.
    void PutAndWait(const Bytes &frames)
    {
        const uint32_t want = PutCount() + 1;
        WriteAll(writer_, frames.data(), frames.size());
        Until([&] { return PutCount() >= want; });
    }

private:
    testsupport::Warden daemon_;
    int writer_ = -1;
    const ShelfHeader_t *header_ = nullptr;
};

Warden warden;

// Forks n viewers that ask for their change stream again the moment the
// last one ended, until killed.  Returns their PIDs once all are served.
std::vector<pid_t> TightViewers(int n)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            int fd = -1;
            Until([&] { return (fd = ConnectViewer()) >= 0; });
            ViewerConn c(fd);
            const unsigned char *p;
            for (;;) {
                if (!c.Ask())
                    _exit(1);
                int len;
                while ((len = c.Next(&p)) > 0) {
                }
                if (len < 0)
                    _exit(1);
            }
        }
        pids.push_back(pid);
    }
    return pids;
}

void StopAll(const std::vector<pid_t> &pids)
{
    for (pid_t p : pids)
        kill(p, SIGKILL);
    for (pid_t p : pids)
        waitpid(p, nullptr, 0);
}

// ---- ingest ----

Bytes Starts()
{
    Bytes f;
    for (int s = 0; s < kSessions; ++s)
        AppendFrame(&f, Session(static_cast<uint16_t>(s), MON_FLAG_START));
    return f;
}

Bytes Updates()
{
    Bytes f;
    for (int i = 0; i < kUpdates; ++i) {
        MonData_t r = Session(static_cast<uint16_t>(i % kSessions), MON_FLAG_UPDATE);
        r.countB = static_cast<uint32_t>(i);
        AppendFrame(&f, r);
    }
    AppendFrame(&f, Session(kSessions, MON_FLAG_START)); // counted: marks the end
    return f;
}

// args: viewers asking in tight loops; fan-out (1) or default setting (0).
void BM_Ingest(benchmark::State &state)
{
    const int viewers = static_cast<int>(state.range(0));
    const bool fanout = state.range(1) != 0;
    if (fanout)
        warden.Start({"--viewers", "64"});
    else
        warden.Start({});
    warden.PutAndWait(Starts());
    const std::vector<pid_t> pids = TightViewers(viewers);
    usleep(200000); // every viewer connected and streaming
    const Bytes frames = Updates();
    double total = 0;
    for (auto _ : state) {
        const uint32_t want = warden.PutCount() + 1;
        const auto t0 = Clock::now();
        WriteAll(warden.Writer(), frames.data(), frames.size());
        while (warden.PutCount() < want)
            usleep(50);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(s);
        total += s;
    }
    StopAll(pids);
    warden.Stop();
    const std::string name = "ingest/" + std::to_string(viewers) + (fanout ? "/fanout" : "/default");
    results[name].push_back(kUpdates * static_cast<double>(state.iterations()) / total);
    state.SetItemsProcessed(state.iterations() * kUpdates);
}

// ---- put-to-viewer latency ----

// A viewer in a thread of this process keeps asking; the main thread puts a
// new session now and then and notes when the viewer first saw it.
void BM_Latency(benchmark::State &state)
{
    const bool fanout = state.range(0) != 0;
    if (fanout)
        warden.Start({"--viewers", "64"});
    else
        warden.Start({});
    std::vector<std::atomic<int64_t>> seen(kLatencySamples);
    for (auto &s : seen)
        s.store(0);
    std::atomic<bool> stop{false};
    const auto base = Clock::now();
    std::thread viewer([&] {
        int fd = -1;
        Until([&] { return (fd = ConnectViewer()) >= 0; });
        ViewerConn c(fd);
        const unsigned char *p;
        while (!stop.load()) {
            c.Ask();
            int len;
            while ((len = c.Next(&p)) > 0) {
                MonData_t r;
                if (ParcelGetDataChecked(&r, p, static_cast<size_t>(len)) >= 0 && r.handleNum == 9 &&
                    r.recordNum < kLatencySamples && seen[r.recordNum].load() == 0)
                    seen[r.recordNum].store((Clock::now() - base).count());
            }
            if (len < 0)
                break;
        }
        close(fd);
    });
    usleep(200000);
    std::vector<double> ms;
    for (auto _ : state) {
        ms.clear();
        for (int i = 0; i < kLatencySamples; ++i)
            seen[i].store(0);
        for (int i = 0; i < kLatencySamples; ++i) {
            Bytes f;
            AppendFrame(&f, Session(static_cast<uint16_t>(i), MON_FLAG_START));
            const int64_t t0 = (Clock::now() - base).count();
            WriteAll(warden.Writer(), f.data(), f.size());
            Until([&] { return seen[i].load() != 0; });
            ms.push_back(static_cast<double>(seen[i].load() - t0) / 1e6);
            usleep(static_cast<useconds_t>(2000 + (i * 7919) % 30000)); // puts at odd moments
        }
        // Each sample is a new start: end them all for the next round.
        Bytes ends;
        for (int i = 0; i < kLatencySamples; ++i)
            AppendFrame(&ends, Session(static_cast<uint16_t>(i), MON_FLAG_END));
        AppendFrame(&ends, Session(kSessions + 1, MON_FLAG_START));
        warden.PutAndWait(ends);
    }
    stop.store(true);
    viewer.join();
    warden.Stop();
    std::sort(ms.begin(), ms.end());
    const double p99 = ms[static_cast<size_t>(ms.size() * 99 / 100)];
    const double p50 = ms[ms.size() / 2];
    state.counters["p50_ms"] = p50;
    state.counters["p99_ms"] = p99;
    results[fanout ? "latency_p99/fanout" : "latency_p99/default"].push_back(p99);
}

// ---- memory per idle viewer ----

long RssKiB(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    fclose(f);
    return kib;
}

void BM_IdleMemory(benchmark::State &state)
{
    warden.Start({"--viewers", "100"});
    warden.PutAndWait(Starts());
    const pid_t fan = static_cast<pid_t>(warden.Slot(MON_SLOT_VIEWER_FIRST));
    // One viewer first, so the per-viewer figure leaves out what any
    // serving costs (the cache of records, the code touched).
    std::vector<int> fds;
    auto connectAndRead = [&] {
        const int fd = ConnectViewer();
        fds.push_back(fd);
        ViewerConn c(fd);
        const unsigned char *p;
        c.Ask();
        while (c.Next(&p) > 0) {
        }
    };
    connectAndRead();
    for (auto _ : state) {
        const long before = RssKiB(fan);
        for (int i = 0; i < kIdleViewers; ++i)
            connectAndRead();
        const long after = RssKiB(fan);
        state.counters["KiB_per_viewer"] = static_cast<double>(after - before) / kIdleViewers;
        results["idle_KiB_per_viewer"].push_back(static_cast<double>(after - before) / kIdleViewers);
        for (size_t i = 1; i < fds.size(); ++i)
            close(fds[i]);
        fds.resize(1);
        usleep(100000);
    }
    close(fds[0]);
    warden.Stop();
}

void PrintSummary()
{
    const double none = Median("ingest/0/default");
    printf("\nSummary (medians of this run):\n");
    printf("  %-34s %9.0f frames/s\n", "ingest, no viewer", none);
    for (const char *k : {"ingest/4/default", "ingest/4/fanout", "ingest/64/fanout"})
        if (!results[k].empty())
            printf("  %-34s %9.0f frames/s  ratio %.2f  (aim >= 0.80)\n", k, Median(k),
                   Median(k) / none);
    for (const char *k : {"latency_p99/default", "latency_p99/fanout"})
        if (!results[k].empty())
            printf("  %-34s %9.1f ms  (aim < 250)\n", k, Median(k));
    if (!results["idle_KiB_per_viewer"].empty())
        printf("  %-34s %9.1f KiB  (aim < 64)\n", "fan-out memory per idle viewer",
               Median("idle_KiB_per_viewer"));
}

} // namespace

int main(int argc, char **argv)
{
    if (getenv("QUELM_ISOLATED") == nullptr)
        return RunIsolated(argc, argv, QUELM_ISOLATE, "viewers_bench");
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    signal(SIGPIPE, SIG_IGN);

    const auto ms = benchmark::kMillisecond;
    // Three repetitions of every figure, interleaved, compared by medians.
    benchmark::RegisterBenchmark("Ingest", BM_Ingest)
        ->ArgNames({"viewers", "fanout"})
        ->Args({0, 0})->Args({4, 0})->Args({4, 1})->Args({64, 1})
        ->Iterations(2)->Repetitions(3)->UseManualTime()->Unit(ms);
    benchmark::RegisterBenchmark("Latency", BM_Latency)->ArgName("fanout")->Arg(0)->Arg(1)
        ->Iterations(1)->Repetitions(3)->Unit(ms);
    benchmark::RegisterBenchmark("IdleMemory", BM_IdleMemory)->Iterations(1)->Repetitions(3)->Unit(ms);

    std::vector<char *> flags{argv[0], const_cast<char *>("--benchmark_enable_random_interleaving=true")};
    for (int i = 1; i < argc; ++i)
        flags.push_back(argv[i]);
    int count = static_cast<int>(flags.size());
    flags.push_back(nullptr);
    benchmark::Initialize(&count, flags.data());
    benchmark::RunSpecifiedBenchmarks();
    warden.Stop();
    PrintSummary();
    benchmark::Shutdown();
    return 0;
}
