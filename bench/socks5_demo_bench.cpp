// What reporting costs the reference proxy: a large download and a stream of
// short connections through socks5-demo while warden collects its reports,
// against the same proxy started with --no-monitor.  The two proxies take
// turns download by download and connection by connection, so that whatever
// else the machine is doing weighs on both alike.  Then, when strace is
// installed, the system calls per short session of each proxy, counted by
// strace -c on all its threads after the timed runs.  Always runs inside
// quelm_isolate, so a warden on the machine is never touched.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <quelm/monitor.h>

#include "warden_fixture.h"

namespace {

constexpr uint16_t kMonitoredPort = 1080;  // socks5-demo reporting to warden
constexpr uint16_t kPlainPort = 1081;      // socks5-demo --no-monitor
constexpr uint64_t kDownloadBytes = 256ull << 20;
constexpr int kShortCycles = 500;  // connect-request-close cycles per proxy and iteration
constexpr int kDownloadPairs = 9;  // downloads per proxy
constexpr int kShortIterations = 5;

constexpr int kStraceSessions = 200;  // short sessions counted per proxy
constexpr const char *kStrace = "/usr/bin/strace";

pid_t proxyPid[2];      // monitored, plain
uint16_t downloadPort;  // sender of kDownloadBytes per connection
uint16_t shortPort;     // sender of a 3-byte answer per connection
std::vector<pid_t> started;

// Per mode (0 monitored, 1 plain): the rate of every iteration, and the
// monitored/plain ratio of each iteration, whose median the summary gives.
struct Tally {
    std::vector<double> ratios;
    double seconds[2] = {};
    double work[2] = {};  // bytes or cycles

    void Add(const double sec[2], double workEach) {
        ratios.push_back(sec[1] / sec[0]);
        for (int m = 0; m < 2; ++m) seconds[m] += sec[m], work[m] += workEach;
    }
    double Median() const {
        std::vector<double> r = ratios;
        std::sort(r.begin(), r.end());
        return r.empty() ? 0 : r[r.size() / 2];
    }
    double Rate(int mode) const { return work[mode] / seconds[mode]; }
};
Tally downloads, shorts;

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

#ifdef WARDEN_BIN
testsupport::Warden warden;
#endif

pid_t Spawn(const std::vector<std::string> &args) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    started.push_back(pid);
    return pid;
}

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A forked sender: accepts one connection at a time and writes `bytes`
// bytes to it, then closes.  Returns its port.
uint16_t StartSender(uint64_t bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof in;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr *>(&in), len) < 0 || listen(fd, 128) < 0) return 0;
    getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len);
    const pid_t pid = fork();
    if (pid == 0) {
        static char block[1 << 18];
        memset(block, 'x', sizeof block);
        for (;;) {
            const int c = accept(fd, nullptr, nullptr);
            if (c < 0) continue;
            for (uint64_t left = bytes; left > 0;) {
                const ssize_t w = write(c, block, left < sizeof block ? left : sizeof block);
                if (w <= 0) break;
                left -= static_cast<uint64_t>(w);
            }
            close(c);
        }
    }
    close(fd);
    started.push_back(pid);
    return ntohs(in.sin_port);
}

// Opens a CONNECT through the proxy on proxyPort to 127.0.0.1:target; the
// socket positioned at the relayed stream, or -1.
int SocksConnect(uint16_t proxyPort, uint16_t target) {
    const int fd = Connect(proxyPort);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const uint8_t hello[3] = {5, 1, 0};
    const uint8_t req[10] = {5, 1, 0, 1, 127, 0, 0, 1, static_cast<uint8_t>(target >> 8),
                             static_cast<uint8_t>(target & 0xff)};
    uint8_t m[2], rep[10];
    if (write(fd, hello, 3) != 3 || recv(fd, m, 2, MSG_WAITALL) != 2 || m[1] != 0 ||
        write(fd, req, 10) != 10 || recv(fd, rep, 10, MSG_WAITALL) != 10 || rep[1] != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Bytes until end of file, or -1 on a read error.
int64_t Drain(int fd) {
    static char buf[1 << 18];
    int64_t total = 0;
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0) total += r;
    return r < 0 ? -1 : total;
}

constexpr uint16_t kProxyPort[2] = {kMonitoredPort, kPlainPort};

// One download through each proxy per iteration, the first alternating.
void BM_Download(benchmark::State &state) {
    int turn = 0;
    for (auto _ : state) {
        double sec[2] = {};
        for (int k = 0; k < 2; ++k, ++turn) {
            const int mode = turn % 2;
            const double t0 = Now();
            const int fd = SocksConnect(kProxyPort[mode], downloadPort);
            const int64_t got = fd >= 0 ? Drain(fd) : -1;
            if (fd >= 0) close(fd);
            sec[mode] = Now() - t0;
            if (got != static_cast<int64_t>(kDownloadBytes)) {
                state.SkipWithError("download through the proxy came up short");
                return;
            }
        }
        ++turn;  // the other proxy goes first next time
        downloads.Add(sec, static_cast<double>(kDownloadBytes));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * kDownloadBytes));
    state.counters["monitored_MiB/s"] = downloads.Rate(0) / 1048576.0;
    state.counters["plain_MiB/s"] = downloads.Rate(1) / 1048576.0;
    state.counters["ratio"] = downloads.Median();
}

// kShortCycles connections through each proxy per iteration, alternating
// connection by connection.
void BM_ShortConnections(benchmark::State &state) {
    for (auto _ : state) {
        double sec[2] = {};
        for (int i = 0; i < 2 * kShortCycles; ++i) {
            const int mode = i % 2;
            const double t0 = Now();
            const int fd = SocksConnect(kProxyPort[mode], shortPort);
            const int64_t got = fd >= 0 ? Drain(fd) : -1;
            if (fd >= 0) close(fd);
            sec[mode] += Now() - t0;
            if (got != 3) {
                state.SkipWithError("short connection through the proxy failed");
                return;
            }
        }
        shorts.Add(sec, kShortCycles);
    }
    state.SetItemsProcessed(state.iterations() * 2 * kShortCycles);
    state.counters["monitored/s"] = shorts.Rate(0);
    state.counters["plain/s"] = shorts.Rate(1);
    state.counters["ratio"] = shorts.Median();
}

bool WaitListening(uint16_t port) {
    for (int i = 0; i < 500; ++i) {
        const int fd = Connect(port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        usleep(10000);
    }
    return false;
}

// Starts warden, the senders and both proxies; false when one is missing.
bool StartAll(const std::string &proxyBin) {
#ifndef WARDEN_BIN
    fprintf(stderr, "socks5_demo_bench: warden is not built\n");
    return false;
#else
    // The test keeps a writer on the pipe, so the collector never waits for one.
    const int keeper = warden.Start({{}, 0, {}, true, nullptr})
                           ? open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC)
                           : -1;
    if (keeper < 0) {
        fprintf(stderr, "socks5_demo_bench: warden did not start:\n%s", warden.Log().c_str());
        return false;
    }
    downloadPort = StartSender(kDownloadBytes);
    shortPort = StartSender(3);
    // SOCKS5_DEMO_ARGS: more arguments for the monitored proxy, one word
    // each, e.g. "--report-free 0 --report-interval 1".
    std::vector<std::string> monitored = {proxyBin, "--listen",
                                          "127.0.0.1:" + std::to_string(kMonitoredPort)};
    if (const char *extra = getenv("SOCKS5_DEMO_ARGS")) {
        std::istringstream words(extra);
        for (std::string w; words >> w;) monitored.push_back(w);
    }
    proxyPid[0] = Spawn(monitored);
    proxyPid[1] =
        Spawn({proxyBin, "--no-monitor", "--listen", "127.0.0.1:" + std::to_string(kPlainPort)});
    const bool ok = downloadPort != 0 && shortPort != 0 && WaitListening(kMonitoredPort) &&
                    WaitListening(kPlainPort);
    usleep(200000);  // the monitored proxy has taken the pipe; the keeper may go
    close(keeper);
    return ok;
#endif
}

// System calls by name that the proxy of mode made (all its threads) during
// kStraceSessions short sessions, from strace -c; empty when strace could
// not attach.
std::map<std::string, long> CountSyscalls(int mode) {
    std::map<std::string, long> calls;
    const std::string out = "/tmp/strace" + std::to_string(mode);
    const pid_t tracer = fork();
    if (tracer == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        const std::string pid = std::to_string(proxyPid[mode]);
        execl(kStrace, kStrace, "-f", "-c", "-q", "-o", out.c_str(), "-p", pid.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    usleep(500000);  // attached to every thread before the first session
    bool ok = true;
    for (int i = 0; i < kStraceSessions && ok; ++i) {
        const int fd = SocksConnect(kProxyPort[mode], shortPort);
        ok = fd >= 0 && Drain(fd) == 3;
        if (fd >= 0) close(fd);
    }
    usleep(300000);  // the last session's thread has ended
    kill(tracer, SIGINT);
    int status = 0;
    waitpid(tracer, &status, 0);
    FILE *f = fopen(out.c_str(), "r");
    if (!ok || f == nullptr) {
        if (f != nullptr) fclose(f);
        return calls;
    }
    char line[256];
    // "% time  seconds  usecs/call  calls  [errors]  syscall": calls is the
    // fourth column, the name the last.
    while (fgets(line, sizeof line, f) != nullptr) {
        std::istringstream in(line);
        std::vector<std::string> cols;
        for (std::string w; in >> w;) cols.push_back(w);
        if (cols.size() < 5 || cols[0].find_first_not_of("0123456789.") != std::string::npos)
            continue;
        calls[cols.back()] = strtol(cols[3].c_str(), nullptr, 10);
    }
    fclose(f);
    return calls;
}

// Counts the sessions warden holds: every record in the store, ended or not.
int StoredRecords() {
    MonHandle_t *h = nullptr;
    if (QxMonMemOpen("mon.mmap", 5, &h) != 0) return -1;
    MonData_t rec;
    memset(&rec, 0, sizeof rec);
    int n = 0;
    while (QxMonRecvNextData(h, 1, &rec) == 1) ++n;
    QxMonClose(h);
    return n;
}

}  // namespace

int main(int argc, char **argv) {
    if (getenv("QUELM_ISOLATED") == nullptr) {
        if (getenv("SOCKS5_BENCH_REEXEC") != nullptr) {
            fprintf(stderr, "socks5_demo_bench: cannot isolate; refusing to touch a real warden\n");
            return 1;
        }
        setenv("SOCKS5_BENCH_REEXEC", "1", 1);
        char self[PATH_MAX] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
        std::vector<char *> args = {const_cast<char *>(QUELM_ISOLATE), self};
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(QUELM_ISOLATE, args.data());
        perror("socks5_demo_bench: cannot run " QUELM_ISOLATE);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string proxyBin;
    if (const char *env = getenv("SOCKS5_DEMO")) {
        proxyBin = env;
    } else {
        char self[PATH_MAX] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
        proxyBin = self;
        proxyBin = proxyBin.substr(0, proxyBin.rfind('/')) + "/../examples/socks5-demo";
    }
    if (access(proxyBin.c_str(), X_OK) != 0) {
        fprintf(stderr, "socks5_demo_bench: no socks5-demo at %s (set SOCKS5_DEMO)\n", proxyBin.c_str());
        return 1;
    }
    if (!StartAll(proxyBin)) return 1;

    benchmark::RegisterBenchmark("Download256MiB/interleaved", BM_Download)
        ->Iterations(kDownloadPairs)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("ShortConnections500/interleaved", BM_ShortConnections)
        ->Iterations(kShortIterations)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    if (!downloads.ratios.empty())
        printf("\ndownload throughput: monitored %.0f MiB/s, no-monitor %.0f MiB/s; ratio %.3f "
               "(median of %zu pairs), %.3f overall\n",
               downloads.Rate(0) / 1048576.0, downloads.Rate(1) / 1048576.0, downloads.Median(),
               downloads.ratios.size(), downloads.Rate(0) / downloads.Rate(1));
    if (!shorts.ratios.empty())
        printf("short connections:   monitored %.0f/s, no-monitor %.0f/s; ratio %.3f "
               "(median of %zu rounds of %d each), %.3f overall\n",
               shorts.Rate(0), shorts.Rate(1), shorts.Median(), shorts.ratios.size(), kShortCycles,
               shorts.Rate(0) / shorts.Rate(1));
    printf("records in warden's store at the end: %d\n", StoredRecords());

    if (access(kStrace, X_OK) == 0) {
        std::map<std::string, long> calls[2];
        for (int mode = 0; mode < 2; ++mode) calls[mode] = CountSyscalls(mode);
        if (calls[0].empty() || calls[1].empty()) {
            printf("system calls per session: strace could not count them\n");
        } else {
            auto per = [](const std::map<std::string, long> &m, const char *name) {
                double n = 0;
                for (auto &kv : m)
                    if (name == nullptr ? kv.first != "total" : kv.first == name) n += kv.second;
                return n / kStraceSessions;
            };
            printf("system calls per short session (%d sessions, strace -f -c): monitored %.1f, "
                   "no-monitor %.1f, reporting %.1f; of these monitored/no-monitor: "
                   "writev %.1f/%.1f, rt_sigaction %.1f/%.1f, rt_sigprocmask %.1f/%.1f, "
                   "getpid %.1f/%.1f\n",
                   kStraceSessions, per(calls[0], nullptr), per(calls[1], nullptr),
                   per(calls[0], nullptr) - per(calls[1], nullptr), per(calls[0], "writev"),
                   per(calls[1], "writev"), per(calls[0], "rt_sigaction"),
                   per(calls[1], "rt_sigaction"), per(calls[0], "rt_sigprocmask"),
                   per(calls[1], "rt_sigprocmask"), per(calls[0], "getpid"),
                   per(calls[1], "getpid"));
        }
    }
    for (pid_t pid : started) kill(pid, SIGTERM);
    for (pid_t pid : started) waitpid(pid, nullptr, 0);
#ifdef WARDEN_BIN
    warden.Stop();
#endif
    return 0;
}
