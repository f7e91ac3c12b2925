// proxytap_test.cpp - the reporting client, seen from the other end of its
// transports: a pipe whose reader is this test (every frame is observable),
// and a store this test opened as the daemon (slot 0) with a viewer slot 6.
// The clock is the module's seam, so the throttle window is crossed without
// sleeping.  Runs under quelm_isolate: /tmp and IPC are private.

#include "Chute_internal.h"
#include "Shelf_internal.h"
#include "proxytap_internal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const bool kLogToStderr = [] {
    setenv("QUELM_DEBUG", "", 1);
    setenv("QUELM_LOG_STDERR", "1", 1);
    return true;
}();

time_t fakeNow = 1000000;
time_t FakeTime(time_t *t) {
    if (t != nullptr) *t = fakeNow;
    return fakeNow;
}

int allocsLeft = -1;  // allocations that succeed before one fails; -1: never fails
void *CountedCalloc(size_t n, size_t size) {
    if (allocsLeft == 0) return nullptr;
    if (allocsLeft > 0) --allocsLeft;
    return calloc(n, size);
}

constexpr int kStart = 0x1, kUpdate = 0x2, kStatus = 0x4, kEnd = 0x8, kExtra = 0x40000000;

MonConnInfo_t Conn(const char *text1 = "", uint32_t runA = 0, uint32_t runB = 0,
                   unsigned char addrB = 0) {
    MonConnInfo_t c;
    memset(&c, 0, sizeof c);
    snprintf(c.text1, sizeof c.text1, "%s", text1);
    c.runCountA = runA;
    c.runCountB = runB;
    c.addrB[0] = addrB;
    return c;
}

ProxyTap_t *Tap(MonHandle_t *h) { return static_cast<ProxyTap_t *>(h->priv); }

struct Key {
    uint32_t pid, handleNum;
    uint16_t recordNum;
    bool operator==(const Key &) const = default;
};
Key KeyOf(const MonData_t &r) { return {r.pid, r.handleNum, r.recordNum}; }
Key LinkOf(const MonData_t &r) { return {r.linkPid, r.linkHandleNum, r.linkRecordNum}; }
void PrintTo(const Key &k, std::ostream *os) {
    *os << "<" << k.pid << "," << k.handleNum << "," << k.recordNum << ">";
}

bool AllZero(const void *p, size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

// ---- the pipe, read by the test ----

int readerFd = -1;

// Opens the test's end of /tmp/mon.fifo (non-blocking, so an empty pipe ends
// a read instead of waiting).  The file is never removed: the writer's
// descriptor is kept by the pipe module for the life of the process.
void OpenReader() {
    if (readerFd >= 0) return;
    ASSERT_TRUE(mkfifo(CHUTE_PATH, 0666) == 0 || errno == EEXIST);
    readerFd = open(CHUTE_PATH, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(readerFd, 0);
}

void CloseReader() {
    close(readerFd);
    readerFd = -1;
}

// Every frame waiting in the pipe, decoded.
std::vector<MonData_t> Frames() {
    std::vector<MonData_t> out;
    unsigned char buf[MON_MSG_MAX];
    for (;;) {
        const int n = ChuteRecv(readerFd, sizeof buf, buf);
        if (n <= 0) break;
        MonData_t rec;
        EXPECT_EQ(ParcelGetDataChecked(&rec, buf, static_cast<size_t>(n)), n);
        out.push_back(rec);
    }
    return out;
}

class PipeTap : public testing::Test {
protected:
    void SetUp() override {
        sys_->now = FakeTime;
        sys_->alloc = CountedCalloc;
        allocsLeft = -1;
        fakeNow = 1000000;
        OpenReader();
        Frames();
        ASSERT_EQ(QxSocksMonOpen("proxy", MON_TRANSPORT_FIFO, &h_), 0);
        Tap(h_)->joinMs = 0;  // these cases are about the throttle; joining has its own test
    }
    void TearDown() override {
        if (h_ != nullptr) QxSocksMonClose(h_);
        if (readerFd < 0) OpenReader();
        Frames();
    }
    int Put(int flags, MonConnInfo_t c, const void *data = nullptr, unsigned len = 0,
            int status = 0, const char *statusText = nullptr) {
        return QxSocksMonPut(h_, flags, &c, len, data, status, statusText);
    }
    quelm::SeamOverride<ProxyTapSys_t> sys_{proxyTapSys};  // restored after each case
    MonHandle_t *h_ = nullptr;
};

TEST_F(PipeTap, FirstFourReportsGoOutThenOneInFiveSeconds) {
    ASSERT_GT(Put(kStart, Conn("alice")), 0);
    for (uint32_t a = 1; a <= 3; ++a) EXPECT_GT(Put(kUpdate, Conn("", a * 10)), 0);
    EXPECT_EQ(Frames().size(), 4u);

    // The fifth, a second later, is held back; so is a sixth 4 s after the fourth.
    fakeNow += 1;
    MonConnInfo_t held = Conn("", 40);
    snprintf(held.text2, sizeof held.text2, "held");
    EXPECT_EQ(QxSocksMonPut(h_, kStatus, &held, 0, nullptr, 7, "busy"), 0);
    fakeNow += 3;
    EXPECT_EQ(Put(kUpdate, Conn("", 50)), 0);
    EXPECT_TRUE(Frames().empty());

    // Five seconds after the fourth: sent, carrying what was held back,
    // the status bit included.
    fakeNow += 1;
    const int sent = Put(kUpdate, Conn("", 60));
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);
    unsigned char msg[MON_MSG_MAX];
    EXPECT_EQ(sent, 2 + ParcelPutData(&f[0], msg));
    EXPECT_EQ(f[0].countA, 60u);
    EXPECT_STREQ(f[0].text1, "alice");
    EXPECT_STREQ(f[0].text2, "held");
    EXPECT_EQ(f[0].status, 7);
    EXPECT_STREQ(f[0].statusText, "busy");
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kUpdate | kStatus));
    EXPECT_EQ(f[0].eventTime, fakeNow);

    // An end is never held back.
    EXPECT_EQ(Put(kEnd, Conn("", 60)), 0);
    EXPECT_EQ(Frames().size(), 1u);
}

TEST_F(PipeTap, EndSendsEveryRecordWithOneEndTimeAndClearsTheSession) {
    ASSERT_GT(Put(kStart, Conn("alice")), 0);
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 0, 0, 1)), 0);
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 0, 0, 2)), 0);
    // Held back, but ended all the same.
    for (int i = 0; i < 4; ++i) Put(kExtra | kUpdate, Conn("", 0, 0, 2));
    std::vector<MonData_t> begun = Frames();
    ASSERT_EQ(begun.size(), 6u);

    fakeNow += 42;
    EXPECT_EQ(Put(kEnd, Conn()), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(KeyOf(f[0]), KeyOf(begun[0]));
    EXPECT_EQ(KeyOf(f[1]), KeyOf(begun[1]));
    EXPECT_EQ(KeyOf(f[2]), KeyOf(begun[2]));
    for (const MonData_t &r : f) {
        EXPECT_TRUE(r.flags & kEnd);
        EXPECT_EQ(r.endTime, fakeNow);
    }
    EXPECT_TRUE(AllZero(&Tap(h_)->session.rec, sizeof(MonData_t)));
    EXPECT_EQ(Tap(h_)->session.next, nullptr);

    // A start right after a complete end sends just itself.
    ASSERT_GT(Put(kStart, Conn("bob")), 0);
    f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kStart));
    EXPECT_EQ(f[0].recordNum, begun[2].recordNum + 1);
}

TEST_F(PipeTap, StartWhileLiveEndsTheOldSessionFirst) {
    ASSERT_GT(Put(kStart, Conn("alice", 70)), 0);
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 80, 0, 1)), 0);
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 90, 0, 2)), 0);
    const uint16_t first = Frames().front().recordNum;

    ASSERT_GT(Put(kStart, Conn("bob", 5)), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(f[i].flags & kEnd);
        EXPECT_EQ(f[i].recordNum, first + i);
    }
    const MonData_t &fresh = f[3];
    EXPECT_EQ(fresh.recordNum, first + 3);
    EXPECT_EQ(fresh.flags, static_cast<uint32_t>(kStart));
    EXPECT_STREQ(fresh.text1, "bob");
    EXPECT_EQ(fresh.countA, 5u);
    EXPECT_EQ(LinkOf(fresh), (Key{0, 0, 0}));
    EXPECT_EQ(fresh.startTime, fakeNow);
    EXPECT_EQ(fresh.eventTime, fakeNow);
    EXPECT_EQ(fresh.pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(fresh.handleNum, Tap(h_)->handleNum);
}

TEST_F(PipeTap, AdditionalRecordsFormARingAndAreChosenBySecondAddress) {
    ASSERT_GT(Put(kStart, Conn("alice")), 0);
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 0, 0, 1)), 0);
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 0, 0, 1)), 0);  // the same record again
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 0, 0, 2)), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 4u);
    const MonData_t &s = f[0];
    EXPECT_EQ(f[1].flags, static_cast<uint32_t>(kExtra | kUpdate | kStart));  // creates it
    EXPECT_EQ(f[2].flags, static_cast<uint32_t>(kExtra | kUpdate));
    EXPECT_EQ(KeyOf(f[1]), KeyOf(f[2]));
    EXPECT_EQ(f[1].recordNum, s.recordNum + 1);
    EXPECT_EQ(f[3].recordNum, s.recordNum + 2);
    EXPECT_STREQ(f[1].text1, "alice");  // begun as a copy of the session record
    EXPECT_EQ(LinkOf(f[1]), KeyOf(s));

    ASSERT_EQ(Put(kEnd, Conn()), 0);
    f = Frames();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(LinkOf(f[0]), KeyOf(f[1]));  // S -> R1
    EXPECT_EQ(LinkOf(f[1]), KeyOf(f[2]));  // R1 -> R2
    EXPECT_EQ(LinkOf(f[2]), KeyOf(f[0]));  // R2 -> S
}

TEST_F(PipeTap, CountersFollowRunningCountersByDifferencesAcrossAWrap) {
    ASSERT_GT(Put(kStart, Conn("", 100, 7)), 0);
    ASSERT_GT(Put(kUpdate, Conn("", 250, 9)), 0);
    std::vector<MonData_t> f = Frames();
    EXPECT_EQ(f.back().countA, 250u);
    EXPECT_EQ(f.back().countB, 9u);

    // Split between the session and an additional record.
    ASSERT_GT(Put(kStart, Conn("", 100)), 0);
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 250, 0, 1)), 0);
    f = Frames();
    EXPECT_EQ(f[f.size() - 2].countA, 100u);
    EXPECT_EQ(f.back().countA, 150u);

    // A running counter that wraps past 2^32 still moves by its difference.
    ASSERT_GT(Put(kStart, Conn("", 0xfffffff0u)), 0);
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 0x10, 0, 1)), 0);
    f = Frames();
    EXPECT_EQ(f[f.size() - 2].countA, 0xfffffff0u);
    EXPECT_EQ(f.back().countA, 0x20u);
}

TEST_F(PipeTap, TextsAreCutEmptyTextsKeepTheOldAndDataStopsAt512) {
    MonConnInfo_t c = Conn();
    memset(c.text1, 'a', sizeof c.text1);  // no NUL anywhere in the field
    memset(c.text5, 'e', sizeof c.text5);
    snprintf(c.text3, sizeof c.text3, "three");
    c.code2 = 0x12;
    c.code1 = 0x34;
    memset(c.addrA, 0xa, sizeof c.addrA);
    memset(c.addrC, 0xc, sizeof c.addrC);
    memset(c.reserved5, 0xff, sizeof c.reserved5);  // never read
    const std::string longStatus(300, 's');
    std::vector<unsigned char> data(600);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
    ASSERT_GT(QxSocksMonPut(h_, kStart | kStatus, &c, 600, data.data(), 3, longStatus.c_str()), 0);
    MonData_t r = Frames().back();
    EXPECT_EQ(std::string(r.text1), std::string(127, 'a'));
    EXPECT_EQ(std::string(r.text5), std::string(63, 'e'));
    EXPECT_EQ(std::string(r.statusText), std::string(127, 's'));
    EXPECT_STREQ(r.text3, "three");
    EXPECT_EQ(r.code2, 0x12);
    EXPECT_EQ(r.code1, 0x34);
    EXPECT_EQ(r.addrA[259], 0xa);
    EXPECT_EQ(r.addrC[0], 0xc);
    EXPECT_EQ(r.dataLen, 512);
    EXPECT_EQ(memcmp(r.data, data.data(), 512), 0);
    // The record itself keeps its bounds (the encoder would hide a breach).
    const MonData_t &kept = Tap(h_)->session.rec;
    EXPECT_EQ(kept.dataLen, 512);
    EXPECT_EQ(kept.text1[sizeof kept.text1 - 1], '\0');
    EXPECT_EQ(kept.text5[sizeof kept.text5 - 1], '\0');
    EXPECT_TRUE(AllZero(kept.pad, sizeof kept.pad));

    // Empty texts, no data and a null status text change nothing; a given
    // text replaces the old one whole.
    MonConnInfo_t next = Conn();
    snprintf(next.text3, sizeof next.text3, "3");
    ASSERT_GT(QxSocksMonPut(h_, kStatus, &next, 0, nullptr, 4, nullptr), 0);
    r = Frames().back();
    EXPECT_EQ(std::string(r.text1), std::string(127, 'a'));
    EXPECT_EQ(std::string(r.statusText), std::string(127, 's'));
    EXPECT_STREQ(r.text3, "3");
    EXPECT_TRUE(AllZero(r.text3 + 1, sizeof r.text3 - 1));
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.dataLen, 512);
    EXPECT_TRUE(AllZero(r.addrA, sizeof r.addrA));  // addresses are always taken
}

TEST_F(PipeTap, BadHandlesAreRefusedAndLogged) {
    EXPECT_EQ(QxSocksMonPut(nullptr, kStart, nullptr, 0, nullptr, 0, nullptr), -1);
    EXPECT_EQ(QxSocksMonClose(nullptr), -1);

    MonHandle_t fake;
    memset(&fake, 0, sizeof fake);
    fake.magic = MON_MAGIC_DEAD;
    MonConnInfo_t c = Conn();
    testing::internal::CaptureStderr();
    EXPECT_EQ(QxSocksMonPut(&fake, kStart, &c, 0, nullptr, 0, nullptr), -1);
    EXPECT_EQ(QxSocksMonClose(&fake), -1);
    EXPECT_EQ(QxMonSendData(h_, &Tap(h_)->session.rec), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("QxSocksMonPut: bad handle=0x"), std::string::npos) << log;
    EXPECT_NE(log.find("QxSocksMonClose: bad handle=0x"), std::string::npos) << log;
    EXPECT_NE(log.find("QxMonSendData: invalid handle"), std::string::npos) << log;
    EXPECT_EQ(QxMonRecvData(h_, &Tap(h_)->session.rec), -1);

    // The generic close ends a live session like the reporting close.
    ASSERT_GT(Put(kStart, Conn("alice")), 0);
    Frames();
    EXPECT_EQ(QxMonClose(h_), 0);
    h_ = nullptr;
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_TRUE(f[0].flags & kEnd);

    // A handle of no known transport opens, fails every send, closes.
    MonHandle_t *none = nullptr;
    ASSERT_EQ(QxSocksMonOpen("proxy", 3, &none), 0);
    EXPECT_EQ(QxSocksMonPut(none, kStart, &c, 0, nullptr, 0, nullptr), -1);
    EXPECT_EQ(QxSocksMonClose(none), 0);
}

TEST_F(PipeTap, FailedAllocationsLeaveNothingBehindAndLoseNoCounts) {
    MonHandle_t *other = reinterpret_cast<MonHandle_t *>(1);
    allocsLeft = 1;  // the handle, not its private part
    testing::internal::CaptureStderr();
    EXPECT_EQ(QxSocksMonOpen("proxy", MON_TRANSPORT_FIFO, &other), -1);
    EXPECT_EQ(other, nullptr);

    allocsLeft = -1;
    ASSERT_GT(Put(kStart, Conn("", 10)), 0);
    allocsLeft = 0;
    EXPECT_EQ(Put(kExtra | kUpdate, Conn("", 30, 0, 1)), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("QxSocksMonOpen: malloc() handle failed"), std::string::npos) << log;
    EXPECT_NE(log.find("QxSocksMonPut: malloc() MonDataNode_t failed"), std::string::npos) << log;

    // The 20 the failed report brought are not lost.
    allocsLeft = -1;
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 30, 0, 1)), 0);
    EXPECT_EQ(Frames().back().countA, 20u);
}

TEST_F(PipeTap, VanishedReaderCostsAReportNotTheProxy) {
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, nullptr), 0);
    sigset_t maskBefore;
    ASSERT_EQ(sigprocmask(SIG_BLOCK, nullptr, &maskBefore), 0);

    CloseReader();
    errno = 0;
    EXPECT_EQ(Put(kStart, Conn("alice")), -1);  // still alive to see it
    EXPECT_EQ(errno, EPIPE);

    struct sigaction after;
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, SIG_DFL);
    sigset_t maskAfter, pending;
    ASSERT_EQ(sigprocmask(SIG_BLOCK, nullptr, &maskAfter), 0);
    EXPECT_EQ(sigismember(&maskAfter, SIGPIPE), sigismember(&maskBefore, SIGPIPE));
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);

    // The start that was lost still reaches the next reader: its start bit
    // travels with the next report sent, so the record can be created.
    OpenReader();
    ASSERT_GT(Put(kUpdate, Conn("", 5)), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kStart | kUpdate));
    EXPECT_STREQ(f[0].text1, "alice");
}

// The guard looks at SIGPIPE's disposition at every write: a proxy that
// ignored it first and then takes it back (default action, or a handler of
// its own) is still neither killed nor handed the signal.  In a child, whose
// death would be the failure.
volatile sig_atomic_t handlerRuns = 0;
void CountPipe(int) { handlerRuns = handlerRuns + 1; }

TEST_F(PipeTap, GuardFollowsChangesOfTheSigpipeDisposition) {
    CloseReader();
    const pid_t pid = fork();
    if (pid == 0) {
        MonConnInfo_t c = Conn("grace");
        struct sigaction sa = {};
        sigemptyset(&sa.sa_mask);
        int bad = 0;
        for (void (*disp)(int) : {SIG_IGN, SIG_DFL, CountPipe, SIG_IGN, SIG_DFL}) {
            sa.sa_handler = disp;
            sigaction(SIGPIPE, &sa, nullptr);
            errno = 0;
            if (QxSocksMonPut(h_, kStart, &c, 0, nullptr, 0, nullptr) != -1 || errno != EPIPE) ++bad;
            struct sigaction now;
            sigaction(SIGPIPE, nullptr, &now);
            if (now.sa_handler != disp) ++bad;
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE)) ++bad;
        }
        _exit(bad == 0 && handlerRuns == 0 ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    OpenReader();
}

// The process ID in a record's key is asked once per process: a forked
// child's sessions carry the child's ID, not the parent's remembered one.
TEST_F(PipeTap, SessionsOfAForkedChildCarryTheChildsProcessId) {
    ASSERT_GT(Put(kStart, Conn("parent")), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        MonHandle_t *h = nullptr;
        MonConnInfo_t c = Conn("child");
        const bool ok = QxSocksMonOpen("proxy", MON_TRANSPORT_FIFO, &h) == 0 &&
                        QxSocksMonPut(h, kStart | kEnd, &c, 0, nullptr, 0, nullptr) == 0;
        _exit(ok && QxSocksMonClose(h) == 0 ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(Put(kEnd, Conn("")), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].pid, static_cast<uint32_t>(getpid()));
    EXPECT_STREQ(f[1].text1, "child");
    EXPECT_EQ(f[1].pid, static_cast<uint32_t>(pid));
    EXPECT_EQ(f[2].pid, static_cast<uint32_t>(getpid()));
}

TEST_F(PipeTap, NewSessionAfterAFailedEndStartsFromACleanRecord) {
    MonConnInfo_t c = Conn("alice", 500, 600);
    snprintf(c.text5, sizeof c.text5, "five");
    ASSERT_GT(QxSocksMonPut(h_, kStart | kStatus, &c, 3, "xyz", 9, "busy"), 0);
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", 700, 600, 1)), 0);
    const uint16_t first = Frames().front().recordNum;

    CloseReader();
    EXPECT_EQ(Put(kEnd, Conn("", 700, 600)), -1);
    OpenReader();

    fakeNow += 60;
    MonConnInfo_t fresh = Conn("", 20, 30);
    snprintf(fresh.text2, sizeof fresh.text2, "bob");
    ASSERT_GT(Put(kStart, fresh), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);  // the old session is not flushed again
    const MonData_t &r = f[0];
    EXPECT_EQ(r.recordNum, first + 2);
    EXPECT_EQ(r.flags, static_cast<uint32_t>(kStart));
    EXPECT_EQ(r.countA, 20u);
    EXPECT_EQ(r.countB, 30u);
    EXPECT_EQ(r.status, 0);
    EXPECT_STREQ(r.statusText, "");
    EXPECT_STREQ(r.text1, "");
    EXPECT_STREQ(r.text5, "");
    EXPECT_STREQ(r.text2, "bob");
    EXPECT_EQ(r.dataLen, 0);
    EXPECT_EQ(r.endTime, 0);
    EXPECT_EQ(r.startTime, fakeNow);
    EXPECT_EQ(LinkOf(r), (Key{0, 0, 0}));
    EXPECT_EQ(Tap(h_)->session.next, nullptr);
}

TEST_F(PipeTap, FullPipeLosesOneReportWithoutBlocking) {
    ASSERT_GE(fcntl(readerFd, F_SETPIPE_SZ, 4096), 0);
    int rc = 0;
    int reports = 0;
    errno = 0;
    while (reports < 1000 && (rc = Put(kStart, Conn("flood"))) > 0) ++reports;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(reports, 0);

    Frames();
    ASSERT_GT(Put(kUpdate, Conn("", 1)), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kStart | kUpdate));
    ASSERT_GE(fcntl(readerFd, F_SETPIPE_SZ, 65536), 0);
}

constexpr uint64_t kGiB = 1ull << 30;

TEST_F(PipeTap, TotalsPastFourGiBKeepTheirHighWordsInText5) {
    // 32-bit running counters that wrap twice, 3 GiB a step: the library's
    // totals follow them, the frames carry the low words in the counters
    // and the high words in text5.
    MonConnInfo_t c = Conn("alice");
    snprintf(c.text5, sizeof c.text5, "mine");
    ASSERT_GT(QxSocksMonPut(h_, kStart, &c, 0, nullptr, 0, nullptr), 0);
    Frames();
    uint64_t runA = 0;
    std::vector<MonData_t> f;
    for (int step = 1; step <= 3; ++step) {
        runA += 3 * kGiB;
        ASSERT_GT(Put(kUpdate, Conn("", static_cast<uint32_t>(runA), 5)), 0);
        f = Frames();
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[0].countA, static_cast<uint32_t>(runA));
        EXPECT_EQ(QxMonTotalA(&f[0]), runA) << "step " << step;
        EXPECT_EQ(QxMonTotalB(&f[0]), 5u);
    }
    EXPECT_STREQ(f[0].text5, "#qx64 2 0");  // 9 GiB: high word 2

    // A new additional record starts at zero and must not take the session's
    // high words with the copy of its texts.
    ASSERT_GT(Put(kExtra | kUpdate, Conn("", static_cast<uint32_t>(runA + 10), 5, 1)), 0);
    f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(QxMonTotalA(&f[0]), 10u);
    EXPECT_STREQ(f[0].text5, "");

    // Below 4 GiB text5 stays the proxy's own.
    ASSERT_GT(QxSocksMonPut(h_, kStart, &c, 0, nullptr, 0, nullptr), 0);
    ASSERT_GT(Put(kUpdate, Conn("", 4000)), 0);
    f = Frames();
    EXPECT_STREQ(f.back().text5, "mine");
    EXPECT_EQ(QxMonTotalA(&f.back()), 4000u);
}

TEST_F(PipeTap, SixtyFourBitCountersAndThirtyTwoBitOnesMixInOneSession) {
    MonConnInfo_t c = Conn("bob");
    MonCounts_t counts = {(5ull << 32) + 7, (1ull << 40) + 3};
    ASSERT_EQ(QxSocksMonReport(h_, kStart, &c, &counts, 0, nullptr, 0, nullptr), MON_REPORT_SENT);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(QxMonTotalA(&f[0]), (5ull << 32) + 7);
    EXPECT_EQ(QxMonTotalB(&f[0]), (1ull << 40) + 3);
    EXPECT_STREQ(f[0].text5, "#qx64 5 256");

    // The old call's 32-bit counter goes on from the low word the 64-bit
    // one reached.
    ASSERT_GT(Put(kUpdate, Conn("", 7 + 100, 3)), 0);
    f = Frames();
    EXPECT_EQ(QxMonTotalA(&f[0]), (5ull << 32) + 107);
    EXPECT_EQ(QxMonTotalB(&f[0]), (1ull << 40) + 3);
}

TEST(Totals, OnlyAWellFormedTagAddsHighWords) {
    MonData_t r;
    memset(&r, 0, sizeof r);
    r.countA = 1;
    r.countB = 2;
    const std::pair<const char *, bool> cases[] = {
        {"#qx64 3 4", true},   {"#qx64 3", false},       {"#qx64 3 4x", false},
        {"#qx64  3 4", false}, {"#qx64 3 4 ", false},    {"qx64 3 4", false},
        {"#qx64 4294967296 1", false}, {"#qx64 4294967295 0", true}, {"", false},
    };
    for (const auto &[text, tagged] : cases) {
        memset(r.text5, 0, sizeof r.text5);
        snprintf(r.text5, sizeof r.text5, "%s", text);
        if (tagged) {
            EXPECT_GT(QxMonTotalA(&r), 1u) << text;
        } else {
            EXPECT_EQ(QxMonTotalA(&r), 1u) << text;
            EXPECT_EQ(QxMonTotalB(&r), 2u) << text;
        }
    }
    snprintf(r.text5, sizeof r.text5, "#qx64 4294967295 7");
    EXPECT_EQ(QxMonTotalA(&r), 0xffffffff00000001ull);
    EXPECT_EQ(QxMonTotalB(&r), (7ull << 32) + 2);
    // A tag that fills the field to its last byte with no NUL is refused.
    memset(r.text5, '9', sizeof r.text5);
    memcpy(r.text5, "#qx64 1 ", 8);
    EXPECT_EQ(QxMonTotalB(&r), 2u);
    EXPECT_EQ(QxMonTotalA(nullptr), 0u);
}

TEST_F(PipeTap, ReportTellsHeldBackFromSent) {
    MonConnInfo_t c = Conn("carol");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(QxSocksMonReport(h_, i == 0 ? kStart : kUpdate, &c, nullptr, 0, nullptr, 0,
                                   nullptr),
                  MON_REPORT_SENT);
    EXPECT_EQ(QxSocksMonReport(h_, kUpdate, &c, nullptr, 0, nullptr, 0, nullptr), MON_REPORT_HELD);
    EXPECT_EQ(Frames().size(), 4u);
    EXPECT_EQ(QxSocksMonReport(h_, kEnd, &c, nullptr, 0, nullptr, 0, nullptr), MON_REPORT_SENT);
    EXPECT_EQ(Frames().size(), 1u);

    CloseReader();
    errno = 0;
    EXPECT_EQ(QxSocksMonReport(h_, kStart, &c, nullptr, 0, nullptr, 0, nullptr), -1);
    EXPECT_EQ(errno, EPIPE);
    OpenReader();
    EXPECT_EQ(QxSocksMonReport(h_, kEnd, &c, nullptr, 0, nullptr, 0, nullptr), MON_REPORT_SENT);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kStart | kEnd));
    errno = 0;
    EXPECT_EQ(QxSocksMonReport(nullptr, kUpdate, &c, nullptr, 0, nullptr, 0, nullptr), -1);
}

TEST_F(PipeTap, SendDueDeliversWhatTheThrottleHeldOnceItsTimeHasCome) {
    ASSERT_EQ(QxSocksMonSetThrottle(h_, 1, 2), 0);
    ASSERT_GT(Put(kStart, Conn("dave")), 0);
    Frames();
    EXPECT_EQ(QxSocksMonDueIn(h_), -1);  // nothing held
    EXPECT_EQ(QxSocksMonSendDue(h_), 0);
    EXPECT_EQ(Put(kUpdate, Conn("", 10)), 0);  // held: one free report only
    // A new additional record has its own free report.
    EXPECT_GT(Put(kExtra | kUpdate, Conn("", 15, 0, 1)), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].countA, 5u);
    EXPECT_EQ(QxSocksMonDueIn(h_), 2);

    fakeNow += 1;
    EXPECT_EQ(QxSocksMonDueIn(h_), 1);
    EXPECT_EQ(QxSocksMonSendDue(h_), 0);
    EXPECT_TRUE(Frames().empty());

    fakeNow += 1;
    EXPECT_EQ(QxSocksMonDueIn(h_), 0);
    EXPECT_EQ(QxSocksMonSendDue(h_), 1);
    f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].countA, 10u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kUpdate));
    EXPECT_EQ(f[0].eventTime, fakeNow - 2);  // when the counters were taken, not sent
    EXPECT_EQ(QxSocksMonDueIn(h_), -1);
    EXPECT_EQ(QxSocksMonSendDue(h_), 0);

    // Interval 0: nothing is held back.
    ASSERT_EQ(QxSocksMonSetThrottle(h_, 0, 0), 0);
    EXPECT_GT(Put(kUpdate, Conn("", 11)), 0);
    EXPECT_EQ(Frames().size(), 1u);

    // An end whose send failed is retried by the next call that is due.
    CloseReader();
    EXPECT_EQ(Put(kEnd, Conn("", 12)), -1);
    OpenReader();
    EXPECT_EQ(QxSocksMonDueIn(h_), 0);
    EXPECT_EQ(QxSocksMonSendDue(h_), 2);
    f = Frames();
    ASSERT_EQ(f.size(), 2u);
    for (const MonData_t &r : f) EXPECT_TRUE(r.flags & kEnd);
    EXPECT_EQ(QxSocksMonSendDue(h_), 0);

    MonHandle_t fake = {};
    fake.magic = MON_MAGIC_FIFO;
    errno = 0;
    EXPECT_EQ(QxSocksMonSendDue(&fake), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(QxSocksMonSetThrottle(nullptr, 1, 1), -1);
    EXPECT_EQ(QxSocksMonDueIn(nullptr), -1);
}

// Without free reports, a record's first send waits an interval from its
// start: a session shorter than that costs one frame, its end, which carries
// every bit that was held back.
TEST_F(PipeTap, WithoutFreeReportsAShortSessionIsOneFrame) {
    ASSERT_EQ(QxSocksMonSetThrottle(h_, 0, 2), 0);
    EXPECT_EQ(QxSocksMonReport(h_, kStart, nullptr, nullptr, 0, nullptr, 0, nullptr), -1);
    MonConnInfo_t c = Conn("heidi", 3, 4);
    EXPECT_EQ(QxSocksMonReport(h_, kStart, &c, nullptr, 0, nullptr, 0, nullptr), MON_REPORT_HELD);
    EXPECT_EQ(QxSocksMonReport(h_, kStatus, &c, nullptr, 0, nullptr, 0, "ok"), MON_REPORT_HELD);
    EXPECT_EQ(QxSocksMonDueIn(h_), 2);
    EXPECT_TRUE(Frames().empty());
    EXPECT_EQ(QxSocksMonReport(h_, kEnd, &c, nullptr, 0, nullptr, 0, nullptr), MON_REPORT_SENT);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kStart | kStatus | kEnd));
    EXPECT_STREQ(f[0].statusText, "ok");

    // A longer one is sent once the interval from its start has passed.
    ASSERT_EQ(QxSocksMonReport(h_, kStart, &c, nullptr, 0, nullptr, 0, nullptr), MON_REPORT_HELD);
    fakeNow += 2;
    EXPECT_EQ(QxSocksMonDueIn(h_), 0);
    EXPECT_EQ(QxSocksMonSendDue(h_), 1);
    f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kStart));
}

TEST_F(PipeTap, RecordsOfEveryHandleCarryTheStartBitToANewReader) {
    // Two sessions delivered to the first reader; the reader goes (a daemon
    // that stops); one handle finds out; a new reader comes.
    MonHandle_t *other = nullptr;
    ASSERT_EQ(QxSocksMonOpen("proxy", MON_TRANSPORT_FIFO, &other), 0);
    ASSERT_EQ(QxSocksMonSetThrottle(h_, 0, 0), 0);
    ASSERT_EQ(QxSocksMonSetThrottle(other, 0, 0), 0);
    MonConnInfo_t c = Conn("erin");
    ASSERT_GT(QxSocksMonPut(h_, kStart, &c, 0, nullptr, 0, nullptr), 0);
    ASSERT_GT(QxSocksMonPut(other, kStart, &c, 0, nullptr, 0, nullptr), 0);
    ASSERT_GT(Put(kUpdate, Conn("", 1)), 0);
    EXPECT_EQ(Frames().size(), 3u);

    CloseReader();
    EXPECT_EQ(Put(kUpdate, Conn("", 2)), -1);
    OpenReader();

    // The other handle's send is the first to reach the new reader: it goes
    // out as it was and once more with the start bit, as the store refused
    // the first.  Later sends of either handle carry the start bit once.
    MonConnInfo_t u = Conn("", 3);
    ASSERT_GT(QxSocksMonPut(other, kUpdate, &u, 0, nullptr, 0, nullptr), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kUpdate));
    EXPECT_EQ(f[1].flags, static_cast<uint32_t>(kStart | kUpdate));
    EXPECT_EQ(KeyOf(f[0]), KeyOf(f[1]));

    ASSERT_GT(Put(kUpdate, Conn("", 4)), 0);
    ASSERT_GT(Put(kUpdate, Conn("", 5)), 0);
    f = Frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kStart | kUpdate));
    EXPECT_EQ(f[0].countA, 4u);
    EXPECT_EQ(f[0].startTime, fakeNow);
    EXPECT_EQ(f[1].flags, static_cast<uint32_t>(kUpdate));
    ASSERT_GT(QxSocksMonPut(other, kUpdate, &u, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(Frames().at(0).flags, static_cast<uint32_t>(kUpdate));
    QxSocksMonClose(other);
}

TEST_F(PipeTap, TheStartTimeSurvivesAReaderThatCameLater) {
    ASSERT_EQ(QxSocksMonSetThrottle(h_, 0, 0), 0);
    ASSERT_GT(Put(kStart, Conn("frank")), 0);
    const time_t began = fakeNow;
    Frames();
    CloseReader();
    fakeNow += 30;
    EXPECT_EQ(Put(kUpdate, Conn("", 9)), -1);
    fakeNow += 30;
    OpenReader();
    ASSERT_GT(Put(kUpdate, Conn("", 10)), 0);
    std::vector<MonData_t> f = Frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].flags, static_cast<uint32_t>(kStart | kUpdate));
    EXPECT_EQ(f[0].startTime, began);
    EXPECT_EQ(f[0].eventTime, fakeNow);
}

// The block is the sockaddr itself, then zeros to the end (a block that
// was all 0xee before).
template <class Sockaddr>
void ExpectBlockOf(const Sockaddr &sa) {
    unsigned char block[MON_ADDR_SIZE];
    memset(block, 0xee, sizeof block);
    ASSERT_EQ(QxMonAddrFromSockaddr(block, reinterpret_cast<const struct sockaddr *>(&sa)), 0);
    EXPECT_EQ(memcmp(block, &sa, sizeof sa), 0);
    EXPECT_TRUE(AllZero(block + sizeof sa, sizeof block - sizeof sa));
}

TEST(Helpers, AddressBlocksFollowTheSockaddrConvention) {
    unsigned char block[MON_ADDR_SIZE];
    struct sockaddr_in in4 = {};
    in4.sin_family = AF_INET;
    in4.sin_port = htons(8080);
    inet_pton(AF_INET, "192.0.2.7", &in4.sin_addr);
    ExpectBlockOf(in4);
    struct sockaddr_in6 in6 = {};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(443);
    in6.sin6_scope_id = 3;
    inet_pton(AF_INET6, "2001:db8::1", &in6.sin6_addr);
    ExpectBlockOf(in6);

    struct sockaddr_un un = {};
    un.sun_family = AF_UNIX;
    snprintf(un.sun_path, sizeof un.sun_path, "/tmp/x");
    memset(block, 0xee, sizeof block);
    errno = 0;
    EXPECT_EQ(QxMonAddrFromSockaddr(block, reinterpret_cast<struct sockaddr *>(&un)), -1);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_TRUE(AllZero(block, sizeof block));
    memset(block, 0xee, sizeof block);
    EXPECT_EQ(QxMonAddrFromSockaddr(block, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(AllZero(block, sizeof block));
    EXPECT_EQ(QxMonAddrFromSockaddr(nullptr, reinterpret_cast<struct sockaddr *>(&in4)), -1);
}

TEST(Helpers, ReplyTextsAreRfc1928sAndLoginFailuresHaveTheirOwn) {
    EXPECT_STREQ(QxSocksReplyText(0), "succeeded");
    EXPECT_STREQ(QxSocksReplyText(1), "general SOCKS server failure");
    EXPECT_STREQ(QxSocksReplyText(5), "Connection refused");
    EXPECT_STREQ(QxSocksReplyText(8), "Address type not supported");
    for (int code : {9, 255, 256, -1, 0x200, 0x7fffffff})
        EXPECT_STREQ(QxSocksReplyText(code), "unassigned") << code;
    EXPECT_STREQ(QxSocksReplyText(MON_STATUS_AUTH_BASE + 1), "authentication failed");
    EXPECT_STREQ(QxSocksReplyText(MON_STATUS_AUTH_BASE + 255), "authentication failed");
}

// Sixteen threads each open a handle and report 500 sessions while four
// more open and close handles all the time; the test drains the pipe.
// Every session must arrive once, under a key of its own.
TEST(Threads, SixteenReportersAndChurningOpensLoseNoSessionAndShareNoKey) {
    proxyTapSys = kProxyTapSysDefault;
    OpenReader();
    Frames();
    ASSERT_GE(fcntl(readerFd, F_SETPIPE_SZ, 1 << 20), 0);
    constexpr int kReporters = 16, kSessions = 500, kChurners = 4;
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kReporters; ++t) {
        threads.emplace_back([t, &failures] {
            // A fresh handle every ten sessions, so that opens meet opens.
            MonHandle_t *h = nullptr;
            MonConnInfo_t c = Conn("", 0, 0);
            for (int i = 0; i < kSessions; ++i) {
                if (i % 10 == 0) {
                    if (h != nullptr && QxSocksMonClose(h) != 0) ++failures;
                    if (QxSocksMonOpen("proxy", MON_TRANSPORT_FIFO, &h) < 0) {
                        ++failures;
                        return;
                    }
                    QxSocksMonSetThrottle(h, 0, 0);
                }
                snprintf(c.text1, sizeof c.text1, "t%d", t);
                c.runCountA = static_cast<uint32_t>(i);
                int r = QxSocksMonReport(h, kStart | kEnd, &c, nullptr, 0, nullptr, 0, nullptr);
                // A full pipe refuses a frame; the session waits in the handle.
                while (r < 0 && errno == EAGAIN) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    r = QxSocksMonSendDue(h);
                }
                if (r < 0) ++failures;
            }
            if (QxSocksMonClose(h) != 0) ++failures;
        });
    }
    for (int t = 0; t < kChurners; ++t) {
        threads.emplace_back([&stop, &failures] {
            while (!stop.load()) {
                MonHandle_t *h = nullptr;
                if (QxSocksMonOpen("proxy", MON_TRANSPORT_FIFO, &h) < 0 || QxSocksMonClose(h) != 0)
                    ++failures;
            }
        });
    }

    std::set<std::tuple<uint32_t, uint32_t, uint16_t>> keys;
    std::vector<int> perThread(kReporters, 0);
    int frames = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    unsigned char buf[MON_MSG_MAX];
    while (frames < kReporters * kSessions && std::chrono::steady_clock::now() < deadline) {
        struct pollfd p = {readerFd, POLLIN, 0};
        poll(&p, 1, 100);
        int n;
        while ((n = ChuteRecv(readerFd, sizeof buf, buf)) > 0) {
            MonData_t rec;
            ASSERT_EQ(ParcelGetDataChecked(&rec, buf, static_cast<size_t>(n)), n);
            ++frames;
            EXPECT_EQ(rec.flags, static_cast<uint32_t>(kStart | kEnd));
            EXPECT_TRUE(keys.insert({rec.pid, rec.handleNum, rec.recordNum}).second)
                << "key used twice: handle " << rec.handleNum << " record " << rec.recordNum;
            int t = -1;
            if (sscanf(rec.text1, "t%d", &t) == 1 && t >= 0 && t < kReporters) {
                EXPECT_EQ(rec.countA, static_cast<uint32_t>(perThread[t])) << "thread " << t;
                ++perThread[t];
            } else {
                ADD_FAILURE() << "stray record " << rec.text1;
            }
        }
    }
    stop = true;
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(frames, kReporters * kSessions);
    for (int t = 0; t < kReporters; ++t) EXPECT_EQ(perThread[t], kSessions) << "thread " << t;
    ASSERT_GE(fcntl(readerFd, F_SETPIPE_SZ, 65536), 0);
}

// ---- the store, opened by the test as the daemon ----

class StoreTap : public testing::Test {
protected:
    void SetUp() override {
        sys_->now = FakeTime;
        fakeNow = 2000000;
        ASSERT_EQ(QxMonMemOpen("mon.mmap", MON_SLOT_DAEMON, &daemon_), 0);
        ASSERT_EQ(QxMonMemOpen("mon.mmap", MON_SLOT_VIEWER_FIRST, &viewer_), 0);
        ASSERT_EQ(QxSocksMonOpen("proxy", MON_TRANSPORT_STORE, &h_), 0);
        Tap(h_)->joinMs = 0;
    }
    void TearDown() override {
        if (h_ != nullptr) QxSocksMonClose(h_);
        QxMonClose(viewer_);
        QxMonClose(daemon_);
    }
    int Put(int flags, MonConnInfo_t c, int status = 0, const char *text = nullptr) {
        return QxSocksMonPut(h_, flags, &c, 0, nullptr, status, text);
    }
    // The stored record of key k through the viewer slot (flags: its change bits).
    bool Get(const Key &k, MonData_t *out) {
        memset(out, 0, sizeof *out);
        out->pid = k.pid;
        out->handleNum = k.handleNum;
        out->recordNum = k.recordNum;
        return QxMonRecvData(viewer_, out) == 0;
    }
    Key SessionKey() { return KeyOf(Tap(h_)->session.rec); }
    quelm::SeamOverride<ProxyTapSys_t> sys_{proxyTapSys};  // restored after each case
    MonHandle_t *daemon_ = nullptr;
    MonHandle_t *viewer_ = nullptr;
    MonHandle_t *h_ = nullptr;
};

TEST_F(StoreTap, SessionLivesInTheStoreFromStartToEnd) {
    ASSERT_EQ(Put(kStart, Conn("carol", 10)), 0);
    const Key s = SessionKey();
    MonData_t r;
    ASSERT_TRUE(Get(s, &r));
    EXPECT_STREQ(r.text1, "carol");
    EXPECT_EQ(r.flags, static_cast<uint32_t>(kStart));

    ASSERT_EQ(Put(kExtra | kUpdate, Conn("", 15, 0, 1)), 0);
    ASSERT_EQ(Put(kUpdate, Conn("", 30)), 0);
    ASSERT_EQ(Put(kStatus, Conn("", 30), 200, "ok"), 0);
    ASSERT_TRUE(Get(s, &r));
    EXPECT_EQ(r.countA, 25u);
    EXPECT_EQ(r.status, 200);
    EXPECT_STREQ(r.statusText, "ok");
    const Key r1 = LinkOf(r);
    MonData_t extra;
    ASSERT_TRUE(Get(r1, &extra));
    EXPECT_EQ(extra.countA, 5u);
    EXPECT_EQ(LinkOf(extra), s);

    ASSERT_EQ(Put(kEnd, Conn("", 30)), 0);
    // Each record ends once, with the bits of what happened to it and nothing
    // stray in the stored word: a put hands the store's own flags word back
    // in the caller's record, which must not travel with the end.
    int seen = 0;
    while (QxMonRecvNextData(viewer_, 0, &r) == 1) {
        ++seen;
        if (KeyOf(r) == s) {
            EXPECT_EQ(r.flags, static_cast<uint32_t>(kStart | kUpdate | kStatus | kEnd));
        } else {
            EXPECT_EQ(KeyOf(r), r1);
            EXPECT_EQ(r.flags, static_cast<uint32_t>(kStart | kUpdate | kEnd));
        }
        EXPECT_EQ(r.endTime, fakeNow);
        const MonData_t *stored = ShelfDataPtr(daemon_, &r);
        ASSERT_NE(stored, nullptr);
        EXPECT_EQ(stored->flags, 0u);
    }
    EXPECT_EQ(seen, 2);
}

TEST_F(StoreTap, FailedEndLeavesNothingForTheNextSession) {
    MonConnInfo_t c = Conn("carol", 10, 20);
    ASSERT_EQ(QxSocksMonPut(h_, kStart | kStatus, &c, 4, "data", 5, "bad"), 0);
    const Key old = SessionKey();
    ASSERT_EQ(ShelfDeleteData(daemon_, &Tap(h_)->session.rec), 0);
    EXPECT_EQ(Put(kEnd, Conn("", 10, 20)), -1);  // nothing stored to end

    ASSERT_EQ(Put(kStart, Conn("", 3)), 0);
    const Key fresh = SessionKey();
    EXPECT_EQ(fresh.recordNum, old.recordNum + 1);
    MonData_t r;
    ASSERT_TRUE(Get(fresh, &r));
    EXPECT_EQ(r.countA, 3u);
    EXPECT_EQ(r.countB, 0u);
    EXPECT_EQ(r.status, 0);
    EXPECT_STREQ(r.statusText, "");
    EXPECT_STREQ(r.text1, "");
    EXPECT_EQ(r.dataLen, 0);
    EXPECT_EQ(r.endTime, 0);
}

}  // namespace
