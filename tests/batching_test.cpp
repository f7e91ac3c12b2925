// Fewer writes and fewer lock rounds per session, seen from outside with a
// real daemon: a short session of a proxy that drives due reports reaches
// the store as one report, a longer one shows once its join window is over,
// and a burst of reports that piled up in the pipe (the collector stopped)
// is stored whole, one refused report among them costing only itself.
// Runs under quelm_isolate (private /tmp and semaphores).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include <quelm/monitor.h>

#include "proxytap_internal.h"
#include "test_support.h"
#include "warden_fixture.h"

namespace {

using testsupport::WaitFor;

class Batching : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Every refused report is told.
        ASSERT_TRUE(warden_.Start({{}, 0, {"QUELM_LOG_REPEATS=1"}, false}));
        ASSERT_TRUE(WaitFor([&] {
            keeper_ = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return keeper_ >= 0;
        }));
        ASSERT_EQ(QxMonMemOpen("mon.mmap", 4, &reader_), 0);
        ASSERT_EQ(QxSocksMonOpen("batching", MON_TRANSPORT_FIFO, &tap_), 0);
    }
    void TearDown() override
    {
        if (collector_ > 0)
            kill(collector_, SIGCONT);
        if (tap_ != nullptr)
            QxSocksMonClose(tap_);
        if (reader_ != nullptr)
            QxMonClose(reader_);
        warden_.Stop();
        if (keeper_ >= 0)
            close(keeper_);
    }
    // Every record the reading slot is told of, by record number, merged.
    void Drain()
    {
        MonData_t r;
        while (QxMonRecvNextData(reader_, 0, &r) == 1) {
            MonData_t &seen = seen_[r.recordNum];
            const uint32_t bits = seen.flags | r.flags;
            seen = r;
            seen.flags = bits;
        }
    }
    int Report(int flags, uint32_t a, uint32_t b, const char *text = "")
    {
        MonConnInfo_t c;
        memset(&c, 0, sizeof c);
        snprintf(c.text1, sizeof c.text1, "%s", text);
        c.runCountA = a;
        c.runCountB = b;
        return QxSocksMonReport(tap_, flags, &c, nullptr, 0, nullptr, 0,
                                flags & MON_FLAG_STATUS ? "succeeded" : nullptr);
    }
    uint16_t RecordNum() const { return static_cast<ProxyTap_t *>(tap_->priv)->recordCounter; }

    testsupport::Warden warden_;
    pid_t collector_ = 0;
    int keeper_ = -1;
    MonHandle_t *reader_ = nullptr;
    MonHandle_t *tap_ = nullptr;
    std::map<uint16_t, MonData_t> seen_;
};

TEST_F(Batching, ShortSessionOfADueDrivingProxyIsOneReport)
{
    EXPECT_EQ(QxSocksMonDueIn(tap_), -1);  // nothing held; the process now drives due reports
    ASSERT_EQ(Report(MON_FLAG_START, 0, 0, "short"), MON_REPORT_HELD);
    EXPECT_EQ(Report(MON_FLAG_STATUS, 10, 0), MON_REPORT_HELD);
    EXPECT_EQ(Report(MON_FLAG_UPDATE, 60, 900), MON_REPORT_HELD);
    EXPECT_EQ(QxSocksMonDueIn(tap_), 1);
    const uint16_t shortOne = RecordNum();
    EXPECT_EQ(Report(MON_FLAG_END, 60, 900), MON_REPORT_SENT);
    ASSERT_TRUE(WaitFor([&] {
        Drain();
        return seen_.count(shortOne) != 0;
    }));
    const MonData_t &r = seen_[shortOne];
    EXPECT_EQ(+r.flags & 0xfu, MON_FLAG_START | MON_FLAG_UPDATE | MON_FLAG_STATUS | MON_FLAG_END);
    EXPECT_STREQ(r.text1, "short");
    EXPECT_STREQ(r.statusText, "succeeded");
    EXPECT_EQ(+r.countA, 60u);
    EXPECT_EQ(+r.countB, 900u);

    // A session that outlives the window shows without ending, through the
    // proxy's own due-report call, and its later reports go out at once.
    ASSERT_EQ(Report(MON_FLAG_START | MON_FLAG_STATUS, 1, 2, "long"), MON_REPORT_HELD);
    const uint16_t longOne = RecordNum();
    ASSERT_TRUE(WaitFor([&] { return QxSocksMonDueIn(tap_) == 0; }));
    EXPECT_EQ(QxSocksMonSendDue(tap_), 1);
    EXPECT_EQ(Report(MON_FLAG_UPDATE, 5, 6), MON_REPORT_SENT);
    ASSERT_TRUE(WaitFor([&] {
        Drain();
        return seen_.count(longOne) != 0 && seen_[longOne].countA == 5;
    }));
    EXPECT_EQ(+seen_[longOne].flags & MON_FLAG_END, 0u);
    EXPECT_STREQ(seen_[longOne].text1, "long");
}

// The collector stopped while 300 one-report sessions and one report the
// store must refuse pile up in the pipe; once it runs on, it takes them in
// by the read and stores them by the batch: every session is there, whole.
TEST_F(Batching, BurstThatPiledUpIsStoredWhole)
{
    const std::vector<pid_t> children = testsupport::Children(warden_.Pid());
    collector_ = children.empty() ? 0 : children[0];  // forked first
    ASSERT_GT(collector_, 0);
    ASSERT_EQ(kill(collector_, SIGSTOP), 0);

    // Without free reports a session's start and status wait for its end.
    ASSERT_EQ(QxSocksMonSetThrottle(tap_, 0, 60), 0);
    MonHandle_t *raw = nullptr;
    ASSERT_EQ(QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &raw), 0);
    constexpr int kSessions = 300;
    uint16_t first = 0;
    for (int i = 0; i < kSessions; ++i) {
        const std::string text = "burst " + std::to_string(i);
        ASSERT_EQ(Report(MON_FLAG_START | MON_FLAG_STATUS, 0, 0, text.c_str()), MON_REPORT_HELD);
        if (i == 0)
            first = RecordNum();
        ASSERT_EQ(Report(MON_FLAG_END, static_cast<uint32_t>(i), 7, ""), MON_REPORT_SENT) << i;
        if (i == kSessions / 2) {
            MonData_t stray;  // an update of a session no store has heard of
            memset(&stray, 0, sizeof stray);
            stray.pid = 1;
            stray.handleNum = 77;
            stray.recordNum = 1;
            stray.flags = MON_FLAG_UPDATE;
            ASSERT_GT(QxMonSendData(raw, &stray), 0);
        }
    }
    QxMonClose(raw);
    ASSERT_EQ(kill(collector_, SIGCONT), 0);
    collector_ = 0;

    ASSERT_TRUE(WaitFor([&] {
        Drain();
        int ended = 0;
        for (auto &kv : seen_)
            ended += (kv.second.flags & MON_FLAG_END) != 0;
        return ended >= kSessions;
    })) << seen_.size() << " sessions stored";
    for (int i = 0; i < kSessions; ++i) {
        const MonData_t &r = seen_[static_cast<uint16_t>(first + i)];
        EXPECT_EQ(+r.flags & 0xfu, MON_FLAG_START | MON_FLAG_STATUS | MON_FLAG_END) << i;
        EXPECT_EQ(std::string(r.text1), "burst " + std::to_string(i));
        EXPECT_EQ(+r.countA, static_cast<uint32_t>(i));
    }
    EXPECT_TRUE(WaitFor([this] {
        return warden_.Log().find("QxMonSendData() to shared mem failed") != std::string::npos;
    })) << warden_.Log();
}

}  // namespace
