// Daemon restarts while proxies report: a quick stop and start between two
// reports, SIGKILL in the middle of a flood (the curl download across a
// restart is restart_demo_test).  Every still-open session must show in the
// new store within one report of it, texts and counters whole, and a report
// made while no daemon runs must not claim success.  Real warden, real
// pipe and store; runs under quelm_isolate (private /tmp and semaphores).
#include "restart_support.h"

namespace {

using namespace restartsupport;

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

}  // namespace
