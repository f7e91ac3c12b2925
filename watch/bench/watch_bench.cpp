// watch_bench - what watching costs a real server: Debian's microsocks run
// twice side by side, plain and with libquelm-watch.so preloaded (a warden
// of this tree collecting the reports), under the same load in interleaved
// rounds: short sessions (greeting, CONNECT, 100 bytes, close) from 8
// clients, and one 2 GiB transfer.  Then the cost of one interposed call, on
// a descriptor that is not watched and on a watched session's socket.
// Runs itself under quelm_isolate.
//
//   watch_bench [--rounds N] [--seconds S] [--bulk-mib M] [--warden 0|1]
#include "../../bench/bench_common.h"
#include "../../bench/socksload.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

namespace {

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

pid_t Spawn(std::vector<std::string> args, const char *preload, bool umask0 = false)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 1);
        dup2(null, 2);
        if (umask0)
            umask(0);
        if (preload != nullptr)
            setenv("LD_PRELOAD", preload, 1);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool WaitPort(uint16_t port)
{
    for (int i = 0; i < 500; ++i) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in.sin_port = htons(port);
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) == 0;
        close(fd);
        if (ok)
            return true;
        usleep(10000);
    }
    return false;
}

// ---- the per-call cost, measured in a child with and without the preload

double PerCall(int fd, bool readSide, int peer, long n)
{
    char byte = 'x', drain[65536];
    const double t0 = Now();
    for (long i = 0; i < n; ++i) {
        if (readSide) {
            (void)!read(fd, &byte, 0);  // a zero-byte read: the call, no data
        } else {
            (void)!write(fd, &byte, 1);
            if ((i & 1023) == 1023)
                while (recv(peer, drain, sizeof drain, MSG_DONTWAIT) > 0) {}
        }
    }
    return (Now() - t0) / static_cast<double>(n) * 1e9;
}

// Child: prints "unwatched-ns watched-ns" for n calls each.  The watched
// socket is the accepted end of a loopback connection that has gone through
// a SOCKS5 handshake, so that its writes are counted as a session's bytes.
int CallsChild(long n)
{
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const double unwatched = PerCall(null, false, -1, n);
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof in;
    if (bind(lfd, reinterpret_cast<sockaddr *>(&in), len) != 0 || listen(lfd, 1) != 0 ||
        getsockname(lfd, reinterpret_cast<sockaddr *>(&in), &len) != 0)
        return 1;
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(client, reinterpret_cast<sockaddr *>(&in), sizeof in) != 0)
        return 1;
    const int server = accept(lfd, nullptr, nullptr);
    const unsigned char hello[] = {5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, 0, 80};
    const unsigned char reply[] = {5, 0, 5, 0, 0, 1, 127, 0, 0, 1, 0, 80};
    unsigned char buf[64];
    (void)!write(client, hello, sizeof hello);
    (void)!read(server, buf, sizeof hello);
    (void)!write(server, reply, sizeof reply);
    (void)!read(client, buf, sizeof reply);
    const double watched = PerCall(server, false, client, n);
    printf("%.1f %.1f\n", unwatched, watched);
    return 0;
}

bool Calls(const char *self, const char *preload, long n, double *unwatched, double *watched)
{
    int p[2];
    if (pipe(p) != 0)
        return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        if (preload != nullptr)
            setenv("LD_PRELOAD", preload, 1);
        const std::string count = std::to_string(n);
        execl(self, self, "--calls-child", count.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(p[1]);
    char out[128] = {};
    (void)!read(p[0], out, sizeof out - 1);
    close(p[0]);
    int status;
    waitpid(pid, &status, 0);
    return sscanf(out, "%lf %lf", unwatched, watched) == 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--calls-child") == 0)
        return CallsChild(atol(argv[2]));
    if (RunIsolated(argc, argv, QUELM_ISOLATE, "watch_bench") != 0)
        return 1;
    int rounds = 3;
    double seconds = 2;
    uint64_t bulkMiB = 2048;
    bool withWarden = true;  // --warden 0: the reports find no daemon (the interposition alone)
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0)
            rounds = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--bulk-mib") == 0)
            bulkMiB = strtoull(argv[i + 1], nullptr, 10);
        else if (strcmp(argv[i], "--warden") == 0)
            withWarden = atoi(argv[i + 1]) != 0;
    }
    signal(SIGPIPE, SIG_IGN);
    const char *lib = WATCH_LIBRARY;
    pid_t warden = withWarden ? Spawn({WARDEN_BIN, "-f"}, nullptr, true) : 0;
    int keeper = -1;
    for (int i = 0; withWarden && i < 500 && keeper < 0; ++i, usleep(10000))
        keeper = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (withWarden && keeper < 0) {
        fprintf(stderr, "watch_bench: warden did not start\n");
        return 1;
    }
    pid_t plain = Spawn({"microsocks", "-i", "127.0.0.1", "-p", "1080"}, nullptr);
    pid_t watched = Spawn({"microsocks", "-i", "127.0.0.1", "-p", "1081"}, lib);
    socksload::Source source;
    if (!source.Start() || !WaitPort(1080) || !WaitPort(1081)) {
        fprintf(stderr, "watch_bench: the servers did not start\n");
        return 1;
    }
    socksload::Proxy proxies[2];
    proxies[1].port = 1081;
    const char *names[2] = {"plain", "watched"};
    printf("microsocks plain (:1080) and with libquelm-watch.so (:1081), %d rounds\n", rounds);
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 2; ++k) {
            // Alternate which goes first, so neither always gets the warm cache.
            const int w = (r + k) % 2;
            const auto s = socksload::RunShort(proxies[w], source.port(), 100, 8, seconds, 0);
            const double rate = s.seconds > 0 ? static_cast<double>(s.sessions) / s.seconds : 0;
            results[std::string("short.") + names[w]].push_back(rate);
            printf("  round %d short %-7s %9.0f sessions/s (%llu failed)\n", r + 1, names[w], rate,
                   static_cast<unsigned long long>(s.failures));
        }
        for (int k = 0; k < 2; ++k) {
            const int w = (r + k) % 2;
            const auto b = socksload::RunBulk(proxies[w], source.port(), bulkMiB << 20);
            const double mibs = b.ok && b.seconds > 0 ? static_cast<double>(b.bytes) / b.seconds / 1048576 : 0;
            results[std::string("bulk.") + names[w]].push_back(mibs);
            printf("  round %d bulk  %-7s %9.1f MiB/s%s\n", r + 1, names[w], mibs, b.ok ? "" : " (failed)");
        }
        double u0, w0, u1, w1;
        const long n = 2000000;
        if (Calls(argv[0], nullptr, n, &u0, &w0) && Calls(argv[0], lib, n, &u1, &w1)) {
            results["call.unwatched"].push_back(u1 - u0);
            results["call.watched"].push_back(w1 - w0);
        }
    }
    printf("summary (medians):\n");
    printf("  short sessions: watched/plain %.3f (%.0f vs %.0f sessions/s)\n",
           Median("short.watched") / Median("short.plain"), Median("short.watched"), Median("short.plain"));
    printf("  2 GiB transfer: watched/plain %.3f (%.1f vs %.1f MiB/s)\n",
           Median("bulk.watched") / Median("bulk.plain"), Median("bulk.watched"), Median("bulk.plain"));
    printf("  interposed write(): %+.1f ns on an unwatched descriptor, %+.1f ns on a watched session\n",
           Median("call.unwatched"), Median("call.watched"));
    kill(plain, SIGTERM);
    kill(watched, SIGTERM);
    if (warden > 0)
        kill(warden, SIGTERM);
    for (pid_t p : {plain, watched, warden})
        if (p > 0)
            waitpid(p, nullptr, 0);
    if (keeper >= 0)
        close(keeper);
    return 0;
}
