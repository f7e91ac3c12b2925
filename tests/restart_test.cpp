// Daemon restarts while proxies report: a quick stop and start between two
// reports, SIGKILL in the middle of a flood, and a curl download through
// socks5-demo across a restart.  Every still-open session must show in the
// new store within one report of it, texts and counters whole, and a report
// made while no daemon runs must not claim success.  Real warden, real
// pipe and store; runs under quelm_isolate (private /tmp and semaphores).
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quelm/monitor.h>

#include "proxytap_internal.h"
#include "test_support.h"

namespace {

using testsupport::WaitFor;

pid_t Spawn(const std::vector<std::string> &args)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (getenv("RESTART_TEST_VERBOSE") == nullptr) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
        }
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// warden in the foreground, with a writer of its pipe held by the test so
// the collector never waits for one.  Ready once the pipe at the path has a
// reader and is the new daemon's (a killed daemon's collector may linger on
// the old pipe for a moment).
class Warden {
public:
    ~Warden() { Stop(SIGTERM); }
    bool Start()
    {
#ifdef WARDEN_BIN
        pid_ = Spawn({WARDEN_BIN, "-f"});
        if (getenv("RESTART_TEST_VERBOSE") != nullptr) fprintf(stderr, "warden %d\n", pid_);
        return WaitFor([&] {
            if (keeper_ < 0)
                keeper_ = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            struct stat a, b;
            if (keeper_ >= 0 && (fstat(keeper_, &a) != 0 || stat("/tmp/mon.fifo", &b) != 0 ||
                                 a.st_ino != b.st_ino || a.st_ino == lastPipe_)) {
                close(keeper_);
                keeper_ = -1;
            }
            if (keeper_ >= 0)
                lastPipe_ = a.st_ino;
            return keeper_ >= 0;
        });
#else
        return false;
#endif
    }
    void Stop(int sig)
    {
        if (pid_ > 0) {
            kill(pid_, sig);
            WaitExit(pid_);
        }
        pid_ = 0;
        if (keeper_ >= 0)
            close(keeper_);
        keeper_ = -1;
    }

private:
    pid_t pid_ = 0;
    int keeper_ = -1;
    ino_t lastPipe_ = 0;  // every start makes a new pipe: the last one's is not it
};

// The stored record with key, read through a reading slot opened for this
// look only (the test process never keeps a mapping across a restart).
bool Stored(uint32_t pid, uint32_t handleNum, uint16_t recordNum, MonData_t *out)
{
    MonHandle_t *h = nullptr;
    if (QxMonMemOpen("mon.mmap", 5, &h) != 0)
        return false;
    memset(out, 0, sizeof *out);
    out->pid = pid;
    out->handleNum = handleNum;
    out->recordNum = recordNum;
    const bool found = QxMonRecvData(h, out) == 0;
    QxMonClose(h);
    return found;
}

// A proxy process with one reporting handle per transport (pipe first,
// store second), driven step by step over a socket pair: each step is one
// report on one handle, answered with its result, errno and the session's
// key.  The proxy is a process of its own so that its store mapping is not
// the test's.
struct Step {
    int handle;  // 0 pipe, 1 store; -1 ends the process
    int flags;
    uint32_t countA, countB;
    char text[32];
};
struct Answer {
    int result, err;
    uint32_t pid, handleNum;
    uint16_t recordNum;
};

class Proxy {
public:
    ~Proxy() { End(); }
    bool Start()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            close(sv[0]);
            Serve(sv[1]);
        }
        close(sv[1]);
        fd_ = sv[0];
        Answer a{};
        if (read(fd_, &a, sizeof a) != static_cast<ssize_t>(sizeof a))
            return false;
        if (a.result != 0)
            ADD_FAILURE() << "open " << (a.result == -1 ? "pipe" : "store") << ": errno " << a.err;
        return a.result == 0;
    }
    Answer Report(int handle, int flags, uint32_t countA, uint32_t countB, const char *text)
    {
        Step s{handle, flags, countA, countB, {}};
        snprintf(s.text, sizeof s.text, "%s", text);
        Answer a{-2, 0, 0, 0, 0};
        if (write(fd_, &s, sizeof s) != static_cast<ssize_t>(sizeof s) ||
            read(fd_, &a, sizeof a) != static_cast<ssize_t>(sizeof a))
            a.result = -2;
        return a;
    }
    void End()
    {
        if (pid_ <= 0)
            return;
        Step s{-1, 0, 0, 0, {}};
        (void)!write(fd_, &s, sizeof s);
        WaitExit(pid_);
        close(fd_);
        pid_ = 0;
    }

private:
    pid_t pid_ = 0;
    int fd_ = -1;

    [[noreturn]] static void Serve(int fd)
    {
        signal(SIGPIPE, SIG_IGN);
        MonHandle_t *h[2] = {nullptr, nullptr};
        Answer a{};
        a.result = QxSocksMonOpen("", MON_TRANSPORT_FIFO, &h[0]) == 0 ? 0 : -1;
        a.err = errno;
        if (a.result == 0 && QxSocksMonOpen("", MON_TRANSPORT_STORE, &h[1]) != 0) {
            a.result = -3;
            a.err = errno;
        }
        // Every report is sent: the throttle is not what is under test.
        for (MonHandle_t *x : h)
            if (x != nullptr)
                QxSocksMonSetThrottle(x, 0, 0);
        (void)!write(fd, &a, sizeof a);
        MonConnInfo_t conn;
        Step s;
        while (read(fd, &s, sizeof s) == static_cast<ssize_t>(sizeof s) && s.handle >= 0) {
            memset(&conn, 0, sizeof conn);
            snprintf(conn.text1, sizeof conn.text1, "%s", s.text);
            snprintf(conn.text4, sizeof conn.text4, "restart_test");
            conn.runCountA = s.countA;
            conn.runCountB = s.countB;
            errno = 0;
            a.result = QxSocksMonPut(h[s.handle], s.flags, &conn, 0, nullptr, 0,
                                     "succeeded");
            a.err = errno;
            const auto *tap = static_cast<ProxyTap_t *>(h[s.handle]->priv);
            a.pid = tap->pid;
            a.handleNum = tap->handleNum;
            a.recordNum = tap->recordCounter;
            (void)!write(fd, &a, sizeof a);
        }
        for (MonHandle_t *x : h)
            if (x != nullptr)
                QxSocksMonClose(x);
        _exit(0);
    }
};

// The record of answer a's session holds text and the counters given.
::testing::AssertionResult Shows(const Answer &a, const char *text, uint32_t countA,
                                 uint32_t countB)
{
    MonData_t r;
    if (!Stored(a.pid, a.handleNum, a.recordNum, &r))
        return ::testing::AssertionFailure() << "session " << a.handleNum << "/" << a.recordNum
                                             << " not in the store";
    if (strcmp(r.text1, text) != 0 || strcmp(r.text4, "restart_test") != 0 ||
        r.countA != countA || r.countB != countB)
        return ::testing::AssertionFailure()
               << "stored text1=\"" << r.text1 << "\" countA=" << r.countA
               << " countB=" << r.countB << ", wanted \"" << text << "\" " << countA << " "
               << countB;
    return ::testing::AssertionSuccess();
}

class Restart : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifndef WARDEN_BIN
        GTEST_SKIP() << "warden is not built";
#endif
        ASSERT_TRUE(warden.Start());
        ASSERT_TRUE(proxy.Start());
    }
    Warden warden;
    Proxy proxy;
};

// Stop and start within a fraction of a second between two reports, for a
// session on each transport; then the daemon stopped for a while, where a
// report must fail rather than vanish, and a new session after it.
TEST_F(Restart, QuickRestartBetweenTwoReportsKeepsBothTransports)
{
    Answer s[2];
    for (int t = 0; t < 2; ++t) {
        s[t] = proxy.Report(t, MON_FLAG_START | MON_FLAG_STATUS, 100, 200, "before");
        ASSERT_GE(s[t].result, 0) << "transport " << t;
        ASSERT_TRUE(WaitFor([&] { return Shows(s[t], "before", 100, 200); })) << t;
    }

    warden.Stop(SIGTERM);
    ASSERT_TRUE(warden.Start());  // well within 0.2 s of the stop on an idle machine

    for (int t = 0; t < 2; ++t) {
        const Answer a = proxy.Report(t, MON_FLAG_UPDATE, 150, 260, "after");
        EXPECT_GE(a.result, 0) << "transport " << t << " errno " << a.err;
        // One report is enough: it reaches the new store with the texts
        // and the totals of the whole session.
        EXPECT_TRUE(WaitFor([&] { return Shows(s[t], "after", 150, 260); })) << t;
    }

    // Down: a report is not stored, and says so.
    warden.Stop(SIGTERM);
    for (int t = 0; t < 2; ++t) {
        const Answer a = proxy.Report(t, MON_FLAG_UPDATE, 170, 280, "while down");
        EXPECT_EQ(a.result, -1) << "transport " << t << " claimed a report no daemon took";
    }
    ASSERT_TRUE(warden.Start());
    for (int t = 0; t < 2; ++t) {
        const Answer a = proxy.Report(t, MON_FLAG_UPDATE, 180, 290, "back");
        EXPECT_GE(a.result, 0) << t;
        EXPECT_TRUE(WaitFor([&] { return Shows(s[t], "back", 180, 290); })) << t;
        const Answer n = proxy.Report(t, MON_FLAG_START, 5, 6, "new");
        EXPECT_GE(n.result, 0) << t;
        EXPECT_NE(n.recordNum, s[t].recordNum);
        EXPECT_TRUE(WaitFor([&] { return Shows(n, "new", 5, 6); })) << t;
    }
}

// SIGKILL of the daemon's main process in the middle of 300 reports of one
// session per transport, started again at once: the reports lost with the
// killed daemon's pipe and store are made good by the next one.
TEST_F(Restart, SigkillDuringAFloodLosesNothingOfTheSession)
{
    Answer s[2];
    for (int t = 0; t < 2; ++t) {
        s[t] = proxy.Report(t, MON_FLAG_START, 0, 0, "flood 0");
        ASSERT_GE(s[t].result, 0);
    }
    int failed = 0;
    for (uint32_t i = 1; i <= 300; ++i) {
        if (i == 120) {
            warden.Stop(SIGKILL);
            ASSERT_TRUE(warden.Start());
        }
        const std::string text = "flood " + std::to_string(i);
        for (int t = 0; t < 2; ++t) {
            const Answer a = proxy.Report(t, MON_FLAG_UPDATE, i, 2 * i, text.c_str());
            if (a.result < 0 && ++failed < 4)
                ADD_FAILURE() << "report " << i << " on transport " << t << ": errno " << a.err;
        }
    }
    EXPECT_LE(failed, 8) << "reports kept failing after the new daemon was up";
    for (int t = 0; t < 2; ++t)
        EXPECT_TRUE(WaitFor([&] { return Shows(s[t], "flood 300", 300, 600); })) << t;
    for (int t = 0; t < 2; ++t) {
        const Answer n = proxy.Report(t, MON_FLAG_START, 1, 1, "after the flood");
        EXPECT_GE(n.result, 0);
        EXPECT_TRUE(WaitFor([&] { return Shows(n, "after the flood", 1, 1); })) << t;
    }
}

// A one-connection HTTP/1.0 server on loopback that sends its body slowly
// (32 KiB pieces, a pause after each) and reports the bytes it received
// and sent: the totals the proxy's record must end with.
class SlowHttp {
public:
    ~SlowHttp() { Stop(); }
    bool Start(size_t bodySize, useconds_t pause)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int p[2];
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0 ||
            pipe2(p, O_CLOEXEC) != 0)
            return false;
        port = ntohs(a.sin_port);
        pid_ = fork();
        if (pid_ == 0) {
            close(p[0]);
            const int c = accept(fd, nullptr, nullptr);
            unsigned long long in = 0, sent = 0;
            std::string req;
            char buf[4096];
            ssize_t r;
            while (req.find("\r\n\r\n") == std::string::npos && (r = read(c, buf, sizeof buf)) > 0) {
                req.append(buf, static_cast<size_t>(r));
                in += static_cast<unsigned long long>(r);
            }
            const std::string all = "HTTP/1.0 200 OK\r\nContent-Length: " +
                                    std::to_string(bodySize) + "\r\n\r\n" +
                                    std::string(bodySize, 'x');
            for (size_t off = 0; off < all.size(); off += static_cast<size_t>(r)) {
                r = write(c, all.data() + off, std::min<size_t>(32768, all.size() - off));
                if (r <= 0)
                    break;
                sent += static_cast<unsigned long long>(r);
                usleep(pause);
            }
            shutdown(c, SHUT_WR);
            while ((r = read(c, buf, sizeof buf)) > 0)
                in += static_cast<unsigned long long>(r);
            char line[64];
            const int n = snprintf(line, sizeof line, "%llu %llu\n", in, sent);
            (void)!write(p[1], line, static_cast<size_t>(n));
            _exit(0);
        }
        close(fd);
        close(p[1]);
        results_ = p[0];
        return pid_ > 0;
    }
    // The bytes received and sent, once the connection is over.
    bool Counts(unsigned long long *in, unsigned long long *sent)
    {
        char line[64] = {};
        const ssize_t r = read(results_, line, sizeof line - 1);
        return r > 0 && sscanf(line, "%llu %llu", in, sent) == 2;
    }
    void Stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            WaitExit(pid_);
        }
        pid_ = 0;
        if (results_ >= 0)
            close(results_);
        results_ = -1;
    }
    uint16_t port = 0;

private:
    pid_t pid_ = 0;
    int results_ = -1;
};

// The records of socks5-demo's sessions in the store: every record, read
// through a reading slot opened for this look only.
std::vector<MonData_t> DemoRecords()
{
    std::vector<MonData_t> out;
    MonHandle_t *h = nullptr;
    if (QxMonMemOpen("mon.mmap", 5, &h) != 0)
        return out;
    MonData_t r;
    while (QxMonRecvNextData(h, 1, &r) == 1)
        if (strcmp(r.text4, "socks5-demo") == 0)
            out.push_back(r);
    QxMonClose(h);
    return out;
}

bool CanConnect(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// A curl download through socks5-demo while warden is stopped and started
// again at once: the session shows in the new store while it still runs,
// and ends there with the very byte counts the server saw.
TEST(RestartDemo, CurlDownloadAcrossAQuickRestartEndsWithCurlsTotals)
{
    const char *curlBin = "/usr/bin/curl";
    const std::string demo = QUELM_BINARY_DIR "/examples/socks5-demo";
    if (access(curlBin, X_OK) != 0 || access(demo.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no curl or socks5-demo";
#ifndef WARDEN_BIN
    GTEST_SKIP() << "warden is not built";
#endif
    Warden warden;
    SlowHttp http;
    constexpr size_t kBody = 1536 * 1024;
    ASSERT_TRUE(warden.Start());
    ASSERT_TRUE(http.Start(kBody, 40 * 1000));  // about 2 s for the body
    struct Child {
        pid_t pid = 0;
        ~Child()
        {
            if (pid > 0) {
                kill(pid, SIGTERM);
                WaitExit(pid);
            }
        }
    } proxy, curl;
    constexpr uint16_t kPort = 1090;
    proxy.pid = Spawn({demo, "--listen", "127.0.0.1:" + std::to_string(kPort),
                       "--report-interval", "1"});
    ASSERT_TRUE(WaitFor([&] { return CanConnect(kPort); }));
    curl.pid = Spawn({curlBin, "-sS", "--max-time", "30", "-x",
                      "socks5h://127.0.0.1:" + std::to_string(kPort), "-o", "/tmp/restart.bin",
                      "http://127.0.0.1:" + std::to_string(http.port) + "/slow"});
    ASSERT_TRUE(WaitFor([&] {
        auto r = DemoRecords();
        return r.size() == 1 && QxMonTotalB(&r[0]) > 0;
    })) << "the download did not show before the restart";
    const int32_t started = DemoRecords()[0].startTime;

    warden.Stop(SIGTERM);
    ASSERT_TRUE(warden.Start());
    EXPECT_TRUE(WaitFor([&] {
        auto r = DemoRecords();
        return r.size() == 1 && (r[0].flags & MON_FLAG_END) == 0;
    })) << "the running download did not reach the new daemon";

    ASSERT_EQ(WaitExit(curl.pid), 0);
    curl.pid = 0;
    unsigned long long in = 0, sent = 0;
    ASSERT_TRUE(http.Counts(&in, &sent));
    struct stat st;
    ASSERT_EQ(stat("/tmp/restart.bin", &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), kBody);
    std::vector<MonData_t> r;
    ASSERT_TRUE(WaitFor([&] {
        r = DemoRecords();
        return r.size() == 1 && (r[0].flags & MON_FLAG_END) != 0;
    })) << "the download's end did not reach the new store";
    EXPECT_EQ(QxMonTotalA(&r[0]), in);
    EXPECT_EQ(QxMonTotalB(&r[0]), sent);
    EXPECT_EQ(+r[0].startTime, started);
    EXPECT_STREQ(r[0].statusText, "succeeded");
}

}  // namespace
