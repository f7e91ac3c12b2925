// Capacity benchmark of the warden daemon: the same figures with 382 live
// sessions (the default store), 10,000 and 100,000 (warden --capacity), so
// each larger store is compared with the default one in the same run:
//   ingest:  update reports through /tmp/mon.fifo into the store;
//   connect: a viewer's connect (fork, store attach, seeding) and first
//            reply (a keyed read);
//   idle:    a change-stream request when nothing changed, end to end over
//            TCP, and the store's part of it alone (a reader attached to
//            the daemon's store in this process);
//   drain:   the first change stream after connecting, every record changed;
//   rss:     the resident memory of the daemon's processes.
// With CAPACITY_BENCH_VIEWERS=N (N > 4) the daemon runs with --viewers N, so
// the figures are those of the fan-out, which seeds a new viewer from the
// records it keeps instead of forking a process that walks the store.
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
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int kSizes[] = {382, 10000, 100000};

// --viewers value for the daemon, or null for the default (a child per viewer).
const char *fanoutViewers = nullptr;
constexpr int kUpdates = 20000; // update reports per ingest run

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Until(const std::function<bool()> &cond, const char *what)
{
    const auto end = Clock::now() + std::chrono::seconds(120);
    while (!cond()) {
        if (Clock::now() > end) {
            fprintf(stderr, "capacity_bench: %s\n", what);
            exit(1);
        }
        usleep(200);
    }
}

// ---- frames ----

// A session of this process (alive for the whole run), key (handle, 0).
MonData_t Session(uint32_t handle, uint32_t flags)
{
    return testsupport::TypicalRecord(static_cast<uint32_t>(getpid()), handle, 0, flags);
}

using testsupport::AppendFrame;

using testsupport::WriteAll;

int Connect()
{
    const int fd = testsupport::ConnectViewer();
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool Request(int fd, std::initializer_list<unsigned char> payload)
{
    Bytes f{0, static_cast<unsigned char>(payload.size())};
    f.insert(f.end(), payload);
    return WriteAll(fd, f.data(), f.size());
}

bool KeyedRequest(int fd, const MonData_t &key)
{
    Bytes f{0, 1 + MON_KEY_SIZE, 1};
    const auto *k = reinterpret_cast<const unsigned char *>(&key);
    f.insert(f.end(), k, k + MON_KEY_SIZE);
    return WriteAll(fd, f.data(), f.size());
}

// ---- the daemon, holding `sessions` live records ----

class Daemon {
public:
    // Makes sure a daemon holding `sessions` live sessions runs.
    void Hold(int sessions)
    {
        if (sessions == sessions_)
            return;
        Stop();
        std::vector<std::string> args;
        if (sessions != 382)
            args.insert(args.end(), {"--capacity", std::to_string(sessions)});
        if (fanoutViewers != nullptr)
            args.insert(args.end(), {"--viewers", fanoutViewers});
        if (!daemon_.Start({args, 0, {}, true, nullptr})) {
            fprintf(stderr, "capacity_bench: warden did not come up:\n%s", daemon_.Log().c_str());
            exit(1);
        }
        writer_ = open("/tmp/mon.fifo", O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        fcntl(writer_, F_SETFL, 0);
        const int fd = open("/tmp/mon.mmap", O_RDONLY);
        header_ = static_cast<const ShelfHeader_t *>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
        close(fd);
        if (fanoutViewers == nullptr)
            Until([this] { return Slot(6) == 0; }, "the probe viewer never left");
        Bytes all;
        for (int i = 1; i <= sessions; ++i)
            AppendFrame(&all, Session(static_cast<uint32_t>(i), MON_FLAG_START));
        WriteAll(writer_, all.data(), all.size());
        Until([&] { return Load(&header_->putCount) >= static_cast<uint32_t>(sessions); },
              "the store never took every session");
        if (Load(&header_->hashCount) != static_cast<uint32_t>(sessions)) {
            fprintf(stderr, "capacity_bench: the store holds %u sessions, not %d\n",
                    Load(&header_->hashCount), sessions);
            exit(1);
        }
        sessions_ = sessions;
    }

    void Stop()
    {
        daemon_.Stop(SIGTERM, true);
        Until([] { return !testsupport::ViewerPortListening(); }, "the daemon did not stop");
        sessions_ = 0;
        if (writer_ >= 0)
            close(writer_);
        writer_ = -1;
        if (header_ != nullptr)
            munmap(const_cast<ShelfHeader_t *>(header_), 4096);
        header_ = nullptr;
    }

    uint32_t PutCount() const { return Load(&header_->putCount); }
    uint32_t Slot(int s) const { return Load(&header_->clientPid[s]); }
    int Writer() const { return writer_; }
    pid_t Pid() const { return daemon_.Pid(); }

    // Resident kilobytes of the main process and its children (the
    // collector, the viewer server), shared store pages counted once per
    // process that touched them, as the kernel reports them.
    double ResidentKiB() const
    {
        double total = 0;
        std::vector<pid_t> pids{daemon_.Pid(), static_cast<pid_t>(Slot(0))};
        for (pid_t p : pids) {
            const std::string path = "/proc/" + std::to_string(p) + "/status";
            FILE *f = fopen(path.c_str(), "r");
            if (f == nullptr)
                continue;
            char line[256];
            long kb = 0;
            while (fgets(line, sizeof line, f) != nullptr)
                if (sscanf(line, "VmRSS: %ld kB", &kb) == 1)
                    total += static_cast<double>(kb);
            fclose(f);
        }
        return total;
    }

private:
    static uint32_t Load(const uint32_t *p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
    testsupport::Warden daemon_;
    int sessions_ = 0;
    int writer_ = -1;
    const ShelfHeader_t *header_ = nullptr;
};

Daemon subject;

std::string Name(const char *figure, int sessions) { return std::string(figure) + "/" + std::to_string(sessions); }

// kUpdates update reports over the stored sessions, then one start of a
// stored session (no new record) whose sequence number marks the end.
void BM_Ingest(benchmark::State &state)
{
    const int sessions = static_cast<int>(state.range(0));
    subject.Hold(sessions);
    Bytes batch;
    for (int i = 0; i < kUpdates; ++i)
        AppendFrame(&batch, Session(static_cast<uint32_t>(i % sessions + 1), MON_FLAG_UPDATE));
    AppendFrame(&batch, Session(1, MON_FLAG_START));
    for (auto _ : state) {
        const uint32_t want = subject.PutCount() + 1;
        const auto t0 = Clock::now();
        WriteAll(subject.Writer(), batch.data(), batch.size());
        Until([&] { return subject.PutCount() >= want; }, "ingest stalled");
        const double s = Seconds(Clock::now() - t0);
        state.SetIterationTime(s);
        results[Name("ingest", sessions)].push_back((kUpdates + 1) / s);
    }
    state.counters["reports/s"] = benchmark::Counter(static_cast<double>(kUpdates + 1) * state.iterations(),
                                                     benchmark::Counter::kIsRate);
}

// One viewer's life: connect and a first keyed reply, the seeded drain, then
// nothing-changed stream requests.
void BM_Viewer(benchmark::State &state)
{
    const int sessions = static_cast<int>(state.range(0));
    subject.Hold(sessions);
    const MonData_t key = Session(1, 0);
    for (auto _ : state) {
        subject.Hold(sessions);
        // A viewer child holds slot 6 until it has gone; the fan-out holds it
        // for good.
        if (fanoutViewers == nullptr)
            Until([] { return subject.Slot(6) == 0; }, "the last viewer never left");
        auto t0 = Clock::now();
        const int fd = Connect();
        FrameReader in(fd);
        const unsigned char *reply = nullptr;
        if (fd < 0 || !KeyedRequest(fd, key) || in.Next(&reply) <= 0) {
            state.SkipWithError("no keyed reply");
            break;
        }
        const double connect = Seconds(Clock::now() - t0);

        t0 = Clock::now();
        if (!Request(fd, {2, 0}) || ReadStream(in) != sessions) {
            state.SkipWithError("the drain missed records");
            break;
        }
        const double drain = Seconds(Clock::now() - t0);

        constexpr int kIdle = 200;
        t0 = Clock::now();
        for (int i = 0; i < kIdle; ++i) {
            if (!Request(fd, {2, 0}) || ReadStream(in) != 0) {
                state.SkipWithError("an idle stream was not empty");
                break;
            }
        }
        const double idle = Seconds(Clock::now() - t0) / kIdle;
        close(fd);
        state.SetIterationTime(connect);
        results[Name("connect", sessions)].push_back(connect);
        results[Name("drain", sessions)].push_back(drain);
        results[Name("idle", sessions)].push_back(idle);
        results[Name("rss", sessions)].push_back(subject.ResidentKiB());
    }
}

// The store's own answer to a nothing-changed stream step, without the
// network: a reader on slot 7 of the daemon's store, drained once.
void BM_StoreIdle(benchmark::State &state)
{
    const int sessions = static_cast<int>(state.range(0));
    subject.Hold(sessions);
    MonHandle_t *reader = nullptr;
    if (QxMonMemOpen("mon.mmap", 7, &reader) != 0) {
        state.SkipWithError("no store handle");
        return;
    }
    MonData_t rec;
    int drained = 0;
    while (QxMonRecvNextData(reader, 0, &rec) == 1)
        ++drained;
    (void)drained;
    constexpr int kSteps = 5000;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kSteps; ++i) {
            rec.clientTag = 0;
            if (QxMonRecvNextData(reader, 0, &rec) != 0) {
                state.SkipWithError("a record changed");
                break;
            }
        }
        const double s = Seconds(Clock::now() - t0) / kSteps;
        state.SetIterationTime(s);
        results[Name("storeidle", sessions)].push_back(s);
    }
    QxMonClose(reader);
}

void PrintSummary()
{
    printf("\nMedians (382 = default store, others with --capacity):\n");
    printf("%-10s %14s %12s %12s %14s %14s %10s\n", "sessions", "ingest rep/s", "connect ms", "idle us",
           "store idle us", "drain ms", "rss MiB");
    for (int n : kSizes)
        printf("%-10d %14.0f %12.2f %12.1f %14.2f %14.2f %10.1f\n", n, Median(Name("ingest", n)),
               Median(Name("connect", n)) * 1e3, Median(Name("idle", n)) * 1e6,
               Median(Name("storeidle", n)) * 1e6, Median(Name("drain", n)) * 1e3, Median(Name("rss", n)) / 1024);
    const double base = Median(Name("ingest", 382));
    const double idleBase = Median(Name("idle", 382));
    for (int n : {10000, 100000}) {
        if (base > 0)
            printf("ingest at %d vs 382: %.2fx (aim at 100000: >= 0.7)\n", n, Median(Name("ingest", n)) / base);
        if (idleBase > 0)
            printf("idle stream at %d vs 382: %.2fx, the store's part %.2fx (aim at 100000: <= 2)\n", n,
                   Median(Name("idle", n)) / idleBase,
                   Median(Name("storeidle", n)) / Median(Name("storeidle", 382)));
    }
    printf("connect at 100000: %.1f ms (aim: < 300 ms)\n", Median(Name("connect", 100000)) * 1e3);
}

} // namespace

int main(int argc, char **argv)
{
    if (getenv("QUELM_ISOLATED") == nullptr)
        return RunIsolated(argc, argv, QUELM_ISOLATE, "capacity_bench");
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    signal(SIGPIPE, SIG_IGN);
    fanoutViewers = getenv("CAPACITY_BENCH_VIEWERS");

    // Grouped by size, in order: each store is filled once.
    for (int n : kSizes) {
        benchmark::RegisterBenchmark("Ingest", BM_Ingest)->ArgName("sessions")->Arg(n)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("Viewer", BM_Viewer)->ArgName("sessions")->Arg(n)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("StoreIdle", BM_StoreIdle)->ArgName("sessions")->Arg(n)->Iterations(5)->UseManualTime()->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    subject.Stop();
    PrintSummary();
    benchmark::Shutdown();
    return 0;
}
