// pipe_attack_test.cpp - one broken or hostile writer on /tmp/mon.fifo must
// not cost the other writers their reports.  Each test runs a real warden
// (foreground, private /tmp under quelm_isolate), lets a bad writer do what
// it does, has good writers report, and looks the good reports up in the
// store the daemon fills.
#include <quelm/monitor.h>

#include <gtest/gtest.h>

#include "records.h"
#include "test_support.h"
#include "warden_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;

constexpr const char *kFifo = "/tmp/mon.fifo";

using testsupport::WaitFor;

MonData_t Report(uint32_t handle, uint16_t num)
{
    MonData_t r = testsupport::OwnRecord(handle, num, MON_FLAG_START);
    testsupport::SetText(r.text1, "user %u", num);
    testsupport::SetText(r.text2, "host-%u.example:443", handle);
    return r;
}

using testsupport::Framed;

// Bytes that look like nothing in particular, from a fixed seed, with frame
// starts planted in them that pass the cheap checks (a length in bounds and
// type byte 3) but not the decoder.
Bytes Garbage(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<unsigned char>(seed >> 16);
    }
    for (size_t at = 17; at + 3 < n; at += 701) {
        b[at] = 0x01;
        b[at + 1] = 0x20;
        b[at + 2] = MON_MSG_TYPE;
    }
    return b;
}

// One write, whole: good writers put a frame into the pipe with one write.
void Write(int fd, const Bytes &b)
{
    ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size())) << strerror(errno);
}

class PipeAttack : public testing::Test {
protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override
    {
        ASSERT_TRUE(warden_.Start({{}, 0, {}, true, nullptr})) << Log();
        ASSERT_EQ(QxMonMemOpen("mon.mmap", MON_SLOT_PROXY, &store_), 0);
    }

    void TearDown() override
    {
        for (int fd : writers_)
            close(fd);
        if (store_ != nullptr)
            QxMonClose(store_);
        // Every process of the daemon's tree comes back to this subreaper.
        warden_.Stop(SIGTERM, true);
    }

    // A writer of its own on the pipe (a proxy, good or bad), blocking.
    int Writer()
    {
        const int fd = open(kFifo, O_WRONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        writers_.push_back(fd);
        return fd;
    }

    bool Stored(const MonData_t &r) { return ShelfDataPtr(store_, &r) != nullptr; }

    // How many of the reports are in the store once it stops growing or all
    // are there (at most ms).
    size_t StoredOf(const std::vector<MonData_t> &reports, int ms = 5000)
    {
        size_t n = 0;
        WaitFor([&] {
            n = 0;
            for (const MonData_t &r : reports)
                n += Stored(r) ? 1 : 0;
            return n == reports.size();
        }, ms);
        return n;
    }

    std::string Log() { return warden_.Log(); }

    testsupport::Warden warden_;
    std::string log_;
    MonHandle_t *store_ = nullptr;
    std::vector<int> writers_;
};

TEST_F(PipeAttack, GarbageFromOneWriterCostsAnotherWriterNothing)
{
    const int bad = Writer();
    const int good = Writer();
    std::vector<MonData_t> reports;
    // Garbage, then good reports, twice over; the garbage of the second
    // round falls within the logging interval of the first.
    for (uint32_t round = 0; round < 2; ++round) {
        Write(bad, Garbage(4000, 7 + round));
        for (uint16_t i = 0; i < 20; ++i) {
            reports.push_back(Report(100 + round, i));
            Write(good, Framed(reports.back()));
        }
    }
    EXPECT_EQ(StoredOf(reports), reports.size()) << Log();
    // Counted and logged once, not per byte or per frame.
    EXPECT_TRUE(WaitFor([this] { return warden_.Count("bytes of the pipe that were no whole report") > 0; },
                        3000));
    EXPECT_EQ(warden_.Count("ChuteGetNext: skipped 4000 bytes"), 1u) << Log();
    EXPECT_EQ(warden_.Count("skipped"), 1u) << Log();
}

TEST_F(PipeAttack, HeaderPromisingMoreThanItSendsCostsNoLaterReport)
{
    const int liar = Writer();
    Bytes promise = {2000 >> 8, 2000 & 0xff};
    const Bytes some = Garbage(22, 3);
    promise.insert(promise.end(), some.begin(), some.end());
    Write(liar, promise); // and keeps the pipe open
    const int other = Writer();
    std::vector<MonData_t> reports;
    for (uint16_t i = 0; i < 40; ++i) {
        reports.push_back(Report(200, i));
        Write(other, Framed(reports.back()));
    }
    EXPECT_EQ(StoredOf(reports), reports.size()) << Log();
}

TEST_F(PipeAttack, TruncatedFrameThenGoodFramesOfTheSameWriter)
{
    const int w = Writer();
    MonData_t big = Report(300, 999);
    memset(big.text3, 'x', sizeof big.text3 - 1);
    memset(big.data, 0x33, sizeof big.data);
    big.dataLen = MON_DATA_MAX;
    Bytes cut = Framed(big);
    cut.resize(cut.size() / 2);
    Write(w, cut);
    std::vector<MonData_t> reports;
    for (uint16_t i = 0; i < 5; ++i) {
        reports.push_back(Report(300, i));
        Write(w, Framed(reports.back()));
    }
    EXPECT_EQ(StoredOf(reports), reports.size()) << Log();
    EXPECT_FALSE(Stored(big));
}

// A proxy that stops in the middle of its largest frame and keeps the pipe
// open, while 30 other proxies (processes of their own, reporting through
// the library) report.  The first 5 alone are too few bytes to complete the
// frame the staller began: they must be stored before the other 25 even
// start, so the unfinished frame has to be given up after the stall bound.
TEST_F(PipeAttack, WriterStoppingMidFrameDoesNotStallThirtyOthers)
{
    const int staller = Writer();
    MonData_t largest = Report(400, 0);
    memset(largest.addrA, 1, sizeof largest.addrA);
    memset(largest.addrB, 2, sizeof largest.addrB);
    memset(largest.addrC, 3, sizeof largest.addrC);
    memset(largest.data, 4, sizeof largest.data);
    largest.dataLen = MON_DATA_MAX;
    for (char *t : {largest.text3, largest.text4, largest.statusText})
        memset(t, 't', MON_TEXT_SIZE - 1);
    Bytes half = Framed(largest);
    ASSERT_GT(half.size(), 1000u + 5 * 150u) << half.size();
    half.resize(100);
    Write(staller, half);

    int release[2], go[2];
    ASSERT_EQ(pipe(release), 0);
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> proxies;
    for (int i = 0; i < 30; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(release[1]);
            close(go[1]);
            char c;
            if (i >= 5 && read(go[0], &c, 1) != 1)
                _exit(4);
            MonHandle_t *tap = nullptr;
            if (QxSocksMonOpen("mon.fifo", MON_TRANSPORT_FIFO, &tap) != 0)
                _exit(2);
            MonConnInfo_t conn;
            memset(&conn, 0, sizeof conn);
            snprintf(conn.text1, sizeof conn.text1, "proxy %d", i);
            strcpy(conn.text3, "CONNECT");
            if (QxSocksMonPut(tap, MON_FLAG_START, &conn, 0, nullptr, 0, nullptr) <= 0)
                _exit(3);
            // Stay alive (a live reporter) until the count is taken.
            (void)read(release[0], &c, 1);
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        proxies.push_back(pid);
    }
    close(release[0]);
    close(go[0]);
    auto storedOf = [this](const std::vector<pid_t> &pids, int ms) {
        size_t n = 0;
        WaitFor([&] {
            n = 0;
            for (pid_t pid : pids) {
                MonData_t key;
                memset(&key, 0, sizeof key);
                key.pid = static_cast<uint32_t>(pid);
                key.recordNum = 1; // the first record of the first handle
                n += Stored(key) ? 1 : 0;
            }
            return n == pids.size();
        }, ms);
        return n;
    };
    const std::vector<pid_t> first(proxies.begin(), proxies.begin() + 5);
    EXPECT_EQ(storedOf(first, 4000), 5u) << Log();
    const Bytes goAll(25, 'g');
    Write(go[1], goAll);
    EXPECT_EQ(storedOf(proxies, 8000), proxies.size()) << Log();
    close(release[1]);
    close(go[1]);
    for (pid_t pid : proxies) {
        int status = -1;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

}  // namespace
