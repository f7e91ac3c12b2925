// What reporting costs a proxy under load: the socksload generator against
// socks5-demo and examples/threaded_proxy, each started twice (reporting to
// a warden, and with --no-monitor), taking turns round by round (the order
// alternates), medians of the rounds.  Per proxy kind:
//   - short sessions (greeting, CONNECT, 100 bytes, close; 8 clients at once):
//     sessions per second, reporting over plain, and the CPU a session adds,
//     from the proxy's and warden's processes' own accounting (their CPU-time
//     clocks, in nanoseconds; warden's main process and its workers);
//   - one bulk transfer of 2 GiB (PROXYLOAD_BULK_MIB to change it): speed,
//     reporting over plain, and the CPU per GiB of the same processes,
//     reporting over plain (the robust half: speed depends on what else
//     the machine's cores are doing).
// Always runs inside quelm_isolate, so a warden on the machine is never
// touched.  PROXYLOAD_ROUNDS sets the rounds (default 9), PROXYLOAD_SESSIONS
// the short sessions a round (default 3000).  The CPU a short session adds
// is also given over the proxy, warden and the load generator together, and
// over the whole machine: the kernel's loopback work lands in one of those.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "socksload.h"
#include "warden_fixture.h"

namespace {

constexpr uint64_t kShortBytes = 100;
constexpr int kShortClients = 8;
constexpr uint64_t kShortSessions = 3000;

long Env(const char *name, long dflt)
{
    const char *v = getenv(name);
    return v != nullptr && atol(v) > 0 ? atol(v) : dflt;
}

using testsupport::Spawn;

// Seconds of CPU pid has used, all its threads together, those that have
// ended included: the process's CPU-time clock, kept in nanoseconds by the
// scheduler (utime and stime of /proc/PID/stat come in 10 ms ticks, too
// coarse for a few microseconds a session over a few thousand sessions).
double Cpu(pid_t pid)
{
    clockid_t clock;
    struct timespec ts;
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0)
        return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// pid and its children (warden's workers), as they are now.
std::vector<pid_t> Tree(pid_t pid)
{
    std::vector<pid_t> out{pid};
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t c;
    while (f >> c)
        out.push_back(c);
    return out;
}

// Seconds of CPU the whole machine has been busy (user, nice, system,
// interrupts and softirqs; not idle, iowait or what the hypervisor took),
// from /proc/stat's ticks.  On loopback the kernel bills a packet's work to
// whichever process happens to run, so only the sum over everything is free
// of that sharing; its ticks are coarse, hence PROXYLOAD_SESSIONS.
double MachineBusy()
{
    std::ifstream f("/proc/stat");
    std::string cpu;
    double v[7] = {};
    f >> cpu;
    for (double &x : v)
        f >> x;
    const double busy = v[0] + v[1] + v[2] + v[5] + v[6];
    return busy / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double CpuOf(const std::vector<pid_t> &pids)
{
    double sum = 0;
    for (pid_t p : pids)
        sum += Cpu(p);
    return sum;
}

bool Listening(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool WaitListening(uint16_t port)
{
    for (int i = 0; i < 500; ++i) {
        if (Listening(port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

struct Kind {
    const char *name;
    pid_t pid[2];     // reporting, plain
    uint16_t port[2];
};

// `proxyload_bench --sessions PORT COUNT`: only COUNT short sessions through
// the SOCKS5 server at 127.0.0.1:PORT, to a source of its own, for profiling
// a proxy someone else started (under callgrind or strace, say); not
// isolated, since the proxy and its warden are the caller's.
int DriveOnly(uint16_t port, uint64_t count)
{
    socksload::Source source;
    if (!source.Start())
        return 1;
    socksload::Proxy p;
    p.port = port;
    const socksload::ShortResult s =
        socksload::RunShort(p, source.port(), kShortBytes, kShortClients, 0, count);
    printf("%llu sessions, %llu failed, %.3f s\n", static_cast<unsigned long long>(s.sessions),
           static_cast<unsigned long long>(s.failures), s.seconds);
    return s.failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "--sessions") == 0)
        return DriveOnly(static_cast<uint16_t>(atoi(argv[2])), strtoull(argv[3], nullptr, 10));
    if (RunIsolated(argc, argv, QUELM_ISOLATE, "proxyload_bench") != 0)
        return 1;
    const std::string bin = QUELM_BINARY_DIR;
    const int rounds = static_cast<int>(Env("PROXYLOAD_ROUNDS", 9));
    const uint64_t bulk = static_cast<uint64_t>(Env("PROXYLOAD_BULK_MIB", 2048)) << 20;
    const uint64_t shortSessions = static_cast<uint64_t>(Env("PROXYLOAD_SESSIONS", kShortSessions));

    // The pipe is held from the moment warden makes it, for the whole run.
    // The fixture's own readiness check opens a writer and closes it again;
    // a pipe whose last writer left sends the collector into its 3-second
    // rest before it reads again, and the first round's reports would wait
    // in the pipe through it.
    testsupport::Warden daemon;
    testsupport::WardenStart how;
    how.waitReady = false;
    const bool started = daemon.Start(how);
    const pid_t warden = daemon.Pid();
    int keeper = -1;
    testsupport::WaitFor([&] {
        keeper = started ? open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC) : -1;
        struct stat st;
        if (keeper >= 0 && (fstat(keeper, &st) != 0 || !S_ISFIFO(st.st_mode))) {
            close(keeper);
            keeper = -1;
        }
        return keeper >= 0 || !started;
    }, 20000);
    const bool served =
        keeper >= 0 && testsupport::WaitFor([&] { return daemon.Count("warden serves: ") > 0; }, 20000);
    Kind kinds[2] = {
        {"socks5-demo",
         {Spawn({bin + "/examples/socks5-demo", "--listen", "127.0.0.1:1080"}),
          Spawn({bin + "/examples/socks5-demo", "--listen", "127.0.0.1:1081", "--no-monitor"})},
         {1080, 1081}},
        {"threaded_proxy",
         {Spawn({bin + "/examples/threaded_proxy", "1082"}),
          Spawn({bin + "/examples/threaded_proxy", "1083", "--no-monitor"})},
         {1082, 1083}},
    };
    socksload::Source source;
    bool ready = served && source.Start();
    for (const Kind &k : kinds)
        for (uint16_t port : k.port)
            ready = ready && WaitListening(port);
    if (!ready) {
        fprintf(stderr, "proxyload_bench: warden, a proxy or the source did not start\n");
    } else {
        const std::vector<pid_t> wardenTree = Tree(warden);
        for (int r = 0; r < rounds; ++r) {
            for (const Kind &k : kinds) {
                const std::string n = k.name;
                double rate[2], cpu[2], cpuAll[2], cpuMachine[2], speed[2], bulkCpu[2];
                for (int i = 0; i < 2; ++i) {
                    const int m = (r % 2 == 0) ? i : 1 - i;  // who goes first alternates
                    std::vector<pid_t> counted{k.pid[m]};
                    if (m == 0)
                        counted.insert(counted.end(), wardenTree.begin(), wardenTree.end());
                    socksload::Proxy p;
                    p.port = k.port[m];
                    std::vector<pid_t> all{k.pid[m], getpid()};
                    all.insert(all.end(), wardenTree.begin(), wardenTree.end());
                    const double c0 = CpuOf(counted), a0 = CpuOf(all), w0 = MachineBusy();
                    const socksload::ShortResult s =
                        socksload::RunShort(p, source.port(), kShortBytes, kShortClients, 0,
                                            shortSessions);
                    const double done = static_cast<double>(s.sessions ? s.sessions : 1);
                    cpu[m] = (CpuOf(counted) - c0) / done;
                    cpuAll[m] = (CpuOf(all) - a0) / done;
                    cpuMachine[m] = (MachineBusy() - w0) / done;
                    rate[m] = static_cast<double>(s.sessions) / s.seconds;
                    if (s.failures != 0)
                        fprintf(stderr, "%s: %llu short sessions failed\n", k.name,
                                static_cast<unsigned long long>(s.failures));
                    const double b0 = CpuOf(counted);
                    const socksload::BulkResult b = socksload::RunBulk(p, source.port(), bulk);
                    bulkCpu[m] = (CpuOf(counted) - b0) / (static_cast<double>(bulk) / (1 << 30));
                    speed[m] = b.ok ? static_cast<double>(b.bytes) / b.seconds : 0;
                }
                results[n + " short sessions/s, reporting / plain"].push_back(rate[0] / rate[1]);
                results[n + " short sessions/s, plain"].push_back(rate[1]);
                results[n + " CPU us a short session adds"].push_back((cpu[0] - cpu[1]) * 1e6);
                results[n + " CPU us per short session, plain"].push_back(cpu[1] * 1e6);
                results[n + " CPU us a short session adds, with the load generator"].push_back(
                    (cpuAll[0] - cpuAll[1]) * 1e6);
                results[n + " CPU us a short session adds, whole machine"].push_back(
                    (cpuMachine[0] - cpuMachine[1]) * 1e6);
                results[n + " bulk speed, reporting / plain"].push_back(
                    speed[1] > 0 ? speed[0] / speed[1] : 0);
                results[n + " bulk MiB/s, plain"].push_back(speed[1] / (1 << 20));
                results[n + " bulk CPU s per GiB, reporting / plain"].push_back(
                    bulkCpu[1] > 0 ? bulkCpu[0] / bulkCpu[1] : 0);
            }
            fprintf(stderr, "round %d of %d done\n", r + 1, rounds);
        }
        printf("%-56s %10s %21s\n", "median of rounds", "value", "(lowest .. highest)");
        for (const auto &kv : results) {
            const auto [lo, hi] = std::minmax_element(kv.second.begin(), kv.second.end());
            printf("%-56s %10.3f (%8.3f .. %8.3f)\n", kv.first.c_str(), Median(kv.first), *lo, *hi);
        }
    }
    source.Stop();
    for (const Kind &k : kinds)
        for (pid_t p : k.pid) {
            kill(p, SIGTERM);
            waitpid(p, nullptr, 0);
        }
    daemon.Stop();
    if (keeper >= 0)
        close(keeper);
    return ready ? 0 : 1;
}
