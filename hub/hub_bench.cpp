// Load benchmark of warden-hub with 10,000 live sessions upstream and 1,000
// changes a second, fed by hub-fake-upstream (the viewer protocol from a
// synthetic table), each figure beside a baseline taken in the same run:
//   cpu:     the hub's CPU share of one core, against a raw viewer thread
//            that drains the same change stream at the same interval and
//            only decodes it;
//   scrape:  GET /metrics latency, against GET /healthz on the same server
//            (the HTTP round trip alone); GET /api/sessions (10,000 rows)
//            for scale;
//   memory:  the hub's resident size with 10,000 sessions against a hub
//            with none, per session and beyond the 2060-byte record.
// Aims: scrape under 100 ms, hub under 10% of one core, under 4 KiB per
// session beyond the record.  The program re-runs itself under
// quelm_isolate, so the fake upstream's port 5051 is its own.
#include <quelm/monitor.h>

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSessions = 10000;
constexpr int kChangesPerSecond = 1000;
constexpr double kCpuSeconds = 10.0;

std::vector<pid_t> children;

pid_t Spawn(std::vector<std::string> args, bool quiet = true)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (quiet) {
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
        }
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    children.push_back(pid);
    return pid;
}

void StopAll()
{
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        kill(*it, SIGTERM);
        waitpid(*it, nullptr, 0);
    }
    children.clear();
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/* utime + stime of pid, all threads, in seconds. */
double CpuSeconds(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream in(s.substr(s.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

/* VmRSS of pid in bytes. */
double Rss(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) * 1024;
    return 0;
}

/* The value of an unlabelled or labelled series in a metrics text, or -1. */
double Sample(const std::string &text, const std::string &series)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, series.size() + 1, series + " ") == 0)
            return std::stod(line.substr(series.size() + 1));
    return -1;
}

bool WaitFor(const std::function<bool()> &cond, double seconds)
{
    for (const double end = Now() + seconds; Now() < end; usleep(50000))
        if (cond())
            return true;
    return false;
}

std::string dir;       /* where the programs are */
pid_t hubPid = 0;
pid_t emptyHubPid = 0;

/* Starts the fake upstream and two hubs: one watching the 10,000 sessions
 * on 127.0.0.1, one watching an empty upstream on 127.0.0.2. */
bool Setup()
{
    Spawn({dir + "/hub-fake-upstream", "--listen", "127.0.0.1", "--sessions", std::to_string(kSessions),
           "--changes-per-second", std::to_string(kChangesPerSecond), "--churn", "2"});
    Spawn({dir + "/hub-fake-upstream", "--listen", "127.0.0.2", "--sessions", "0"});
    usleep(300000);
    hubPid = Spawn({dir + "/warden-hub", "--upstream", "127.0.0.1", "--listen", "127.0.0.1:9051",
                    "--journal", "/tmp/bench-journal.jsonl"});
    emptyHubPid = Spawn({dir + "/warden-hub", "--upstream", "127.0.0.2", "--listen", "127.0.0.1:9052"});
    httplib::Client c("127.0.0.1", 9051);
    return WaitFor([&] {
        auto r = c.Get("/metrics");
        return r && Sample(r->body, "warden_sessions_active{host=\"127.0.0.1:5051\"}") >= kSessions * 0.95;
    }, 60);
}

void BM_Scrape(benchmark::State &state, const char *path)
{
    httplib::Client c("127.0.0.1", 9051);
    c.set_keep_alive(true);
    size_t bytes = 0;
    for (auto _ : state) {
        auto r = c.Get(path);
        if (!r || r->status != 200) {
            state.SkipWithError("request failed");
            break;
        }
        bytes = r->body.size();
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
}

/* A raw viewer: drains the fake upstream's change stream once a second and
 * decodes it, nothing more.  Its thread's CPU time over the same window is
 * the baseline of the hub's. */
void BM_Cpu(benchmark::State &state)
{
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        double rawCpu = 0;
        std::thread raw([&] {
            MonHandle_t *h = nullptr;
            if (QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &h) != 0)
                return;
            MonData_t rec;
            /* The first reads hand out every session: not measured. */
            while (QxMonRecvNextData(h, 1, &rec) > 0) {}
            while (QxMonRecvNextData(h, 0, &rec) > 0) {}
            struct timespec a, b;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
            double next = Now();
            while (!stop) {
                while (QxMonRecvNextData(h, 0, &rec) > 0) {}
                next += 1.0;
                std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, next - Now())));
            }
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
            rawCpu = static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
            QxMonClose(h);
        });
        const double c0 = CpuSeconds(hubPid), t0 = Now();
        std::this_thread::sleep_for(std::chrono::duration<double>(kCpuSeconds));
        const double c1 = CpuSeconds(hubPid), t1 = Now();
        stop = true;
        raw.join();
        state.SetIterationTime(t1 - t0);
        state.counters["hub_cpu_pct"] = 100 * (c1 - c0) / (t1 - t0);
        state.counters["raw_cpu_pct"] = 100 * rawCpu / (t1 - t0);
        state.counters["ratio"] = rawCpu > 0 ? (c1 - c0) / rawCpu : 0;
    }
}

void BM_Memory(benchmark::State &state)
{
    for (auto _ : state) {
        const double full = Rss(hubPid), empty = Rss(emptyHubPid);
        const double perSession = (full - empty) / kSessions;
        state.counters["rss_MiB"] = full / 1048576;
        state.counters["empty_rss_MiB"] = empty / 1048576;
        state.counters["per_session_B"] = perSession;
        state.counters["beyond_record_B"] = perSession - static_cast<double>(sizeof(MonData_t));
    }
}

}  // namespace

int main(int argc, char **argv)
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = '\0';
    if (getenv("QUELM_ISOLATED") == nullptr) {
        std::vector<char *> args{const_cast<char *>(QUELM_ISOLATE), self};
        for (int i = 1; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(QUELM_ISOLATE, args.data());
        perror("hub_bench: " QUELM_ISOLATE);
        return 1;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    signal(SIGPIPE, SIG_IGN);
    dir = self;
    dir = dir.substr(0, dir.rfind('/'));
    if (!Setup()) {
        std::fprintf(stderr, "hub_bench: the hub did not take in %d sessions\n", kSessions);
        StopAll();
        return 1;
    }
    benchmark::RegisterBenchmark("Memory/per_session", BM_Memory)->Iterations(1);
    benchmark::RegisterBenchmark("Scrape/metrics", BM_Scrape, "/metrics")->Iterations(200)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Scrape/healthz", BM_Scrape, "/healthz")->Iterations(200)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Scrape/api_sessions", BM_Scrape, "/api/sessions")->Iterations(10)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Cpu/hub_vs_raw_viewer", BM_Cpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("Memory/per_session_after_api", BM_Memory)->Iterations(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    StopAll();
    return 0;
}
