// viewers_test.cpp - serving viewers without loading the store: the batched
// change read against the one-record read it replaces, and, with a real
// foreground daemon, --viewers above four (one fan-out process for all),
// a viewer that stops reading, silent connections closed after
// --idle-limit, and the default that still refuses a fifth viewer.
// Viewers are the library's own client (viewlink) where one behaves like
// a viewer program, raw sockets where a test needs a misbehaving peer.
#include "Shelf_internal.h"

#include <gtest/gtest.h>

#include "records.h"
#include "test_support.h"
#include "warden_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::WaitFor;

using std::chrono::milliseconds;
using Flags = std::map<uint16_t, uint32_t>; // recordNum -> flags of one stream

MonData_t Record(uint16_t num, uint32_t flags, uint32_t countA = 0)
{
    MonData_t r = testsupport::OwnRecord(7, num, flags);
    r.countA = countA;
    testsupport::SetText(r.text1, "session %u", num);
    return r;
}

// A record of the largest wire size, so that a few of them fill sockets.
MonData_t BigRecord(uint16_t num, uint32_t flags)
{
    return testsupport::Bulky(Record(num, flags));
}

// ---- the batched read against the one-record read ----

class StoreFixture : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QxMonMemOpen("mon.mmap", MON_SLOT_DAEMON, &writer_), 0);
        ASSERT_EQ(QxMonMemOpen("mon.mmap", 6, &batched_), 0);
        ASSERT_EQ(QxMonMemOpen("mon.mmap", 7, &single_), 0);
    }
    void TearDown() override
    {
        for (MonHandle_t *h : {single_, batched_, writer_})
            if (h != nullptr)
                QxMonClose(h);
    }
    void Put(const MonData_t &r)
    {
        MonData_t copy = r;
        ASSERT_EQ(QxMonSendData(writer_, &copy), 0);
    }
    // One whole pass through slot 7, one record per call.
    std::vector<MonData_t> SinglePass(int all)
    {
        std::vector<MonData_t> out;
        MonData_t r;
        memset(&r, 0, sizeof r);
        while (QxMonRecvNextData(single_, all, &r) == 1)
            out.push_back(r);
        return out;
    }
    // One whole pass through slot 6, max records per call.
    std::vector<MonData_t> BatchedPass(int all, int max)
    {
        std::vector<MonData_t> out;
        std::vector<MonData_t> buf(static_cast<size_t>(max));
        for (;;) {
            const int n = quelm::ShelfGetChanged(batched_, all, buf.data(), max);
            EXPECT_GE(n, 0);
            EXPECT_LE(n, max);
            out.insert(out.end(), buf.begin(), buf.begin() + std::max(n, 0));
            if (n < max)
                return out;
        }
    }
    MonHandle_t *writer_ = nullptr;
    MonHandle_t *batched_ = nullptr;
    MonHandle_t *single_ = nullptr;
};

void ExpectSamePass(const std::vector<MonData_t> &a, const std::vector<MonData_t> &b)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].recordNum, b[i].recordNum) << i;
        EXPECT_EQ(a[i].flags, b[i].flags) << "record " << a[i].recordNum;
        EXPECT_EQ(memcmp(a[i].text1, b[i].text1, sizeof a[i].text1), 0);
        EXPECT_EQ(a[i].countA, b[i].countA);
    }
}

TEST_F(StoreFixture, BatchedReadHandsOutWhatSingleReadsWould)
{
    for (uint16_t n = 0; n < 40; ++n)
        Put(Record(n, MON_FLAG_START));
    for (uint16_t n = 0; n < 40; n += 3)
        Put(Record(n, MON_FLAG_UPDATE, 100u + n));
    Put(Record(5, MON_FLAG_END));
    Put(Record(6, MON_FLAG_STATUS | MON_FLAG_END));

    // Batch sizes that divide the 40 records evenly, unevenly, and hold all.
    for (int max : {1, 7, 8, 64}) {
        SCOPED_TRACE(max);
        const std::vector<MonData_t> single = SinglePass(0);
        const std::vector<MonData_t> batched = BatchedPass(0, max);
        ASSERT_EQ(single.size(), 40u);
        ExpectSamePass(batched, single);
        // Both slots' bits were cleared: nothing is handed out twice.
        EXPECT_TRUE(SinglePass(0).empty());
        EXPECT_TRUE(BatchedPass(0, max).empty());
        // Set the same bits again for the next batch size.
        for (uint16_t n = 0; n < 40; ++n)
            if (n != 5 && n != 6)
                Put(Record(n, MON_FLAG_START));
        Put(Record(5, MON_FLAG_START | MON_FLAG_END));
        Put(Record(6, MON_FLAG_START | MON_FLAG_STATUS | MON_FLAG_END));
    }
}

TEST_F(StoreFixture, BatchedReadOfEveryRecordAndOfOnlyTheChanged)
{
    for (uint16_t n = 0; n < 12; ++n)
        Put(Record(n, MON_FLAG_START));
    (void)SinglePass(0);
    (void)BatchedPass(0, 5);
    Put(Record(3, MON_FLAG_UPDATE, 9));
    Put(Record(4, MON_FLAG_END));

    const std::vector<MonData_t> changed = BatchedPass(0, 5);
    ASSERT_EQ(changed.size(), 2u);
    std::map<uint16_t, uint32_t> flags;
    for (const MonData_t &r : changed)
        flags[r.recordNum] = r.flags;
    EXPECT_EQ(flags[3], MON_FLAG_UPDATE);
    EXPECT_EQ(flags[4], MON_FLAG_END);
    EXPECT_EQ(SinglePass(0).size(), 2u);

    // Every record, those without bits with flags 0 and the ended one with
    // 0x8; the pass ends and the next one starts from the first again.
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<MonData_t> all = BatchedPass(1, 5);
        ExpectSamePass(all, SinglePass(1));
        ASSERT_EQ(all.size(), 12u);
        for (const MonData_t &r : all)
            EXPECT_EQ(r.flags, r.recordNum == 4 ? MON_FLAG_END : 0u) << r.recordNum;
    }
}

TEST_F(StoreFixture, BatchedReadRegistersAgainAndRefusesBadCalls)
{
    auto *hdr = static_cast<ShelfHeader_t *>(shelfPtr);
    hdr->clientPid[6] = 0; // taken for dead by someone else
    Put(Record(1, MON_FLAG_START));
    MonData_t buf[2];
    // Registered again at once, but the put above gave slot 6 no bits.
    EXPECT_EQ(quelm::ShelfGetChanged(batched_, 0, buf, 2), 0);
    EXPECT_EQ(hdr->clientPid[6], static_cast<uint32_t>(getpid()));
    Put(Record(1, MON_FLAG_UPDATE));
    EXPECT_EQ(quelm::ShelfGetChanged(batched_, 0, buf, 2), 1);
    EXPECT_EQ(buf[0].flags, MON_FLAG_UPDATE);

    EXPECT_EQ(quelm::ShelfGetChanged(batched_, 0, buf, 0), -1);
    EXPECT_EQ(quelm::ShelfGetChanged(batched_, 0, nullptr, 2), -1);
    EXPECT_EQ(quelm::ShelfGetChanged(nullptr, 0, buf, 2), -1);
    hdr->clientPid[0] = 0;
    EXPECT_EQ(quelm::ShelfGetChanged(writer_, 1, buf, 2), -1) << "slot 0 unregistered";
    hdr->clientPid[0] = static_cast<uint32_t>(getpid());
}

// ---- a real daemon ----

int ConnectRaw(int rcvbuf = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(MON_VIEWER_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Waits for the peer to close fd, reading (and counting) whatever it sent
// first; -1 when it is still open after ms.
long BytesBeforeClose(int fd, int ms)
{
    long total = 0;
    const auto end = std::chrono::steady_clock::now() + milliseconds(ms);
    char buf[65536];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return total;
        total += n;
    }
    return -1;
}

// A whole change stream through the library's viewer client:
// recordNum -> flags, or nullopt-like failure flagged by ok.
Flags Stream(MonHandle_t *v, bool *ok, int all = 0)
{
    Flags got;
    MonData_t r;
    int rc;
    while ((rc = QxMonRecvNextData(v, all, &r)) == 1)
        got[r.recordNum] = r.flags;
    *ok = rc == 0;
    return got;
}

class Daemon : public testing::Test {
protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void TearDown() override
    {
        for (MonHandle_t *v : viewers_)
            QxMonClose(v);
        for (int fd : raw_)
            close(fd);
        if (chute_ != nullptr)
            QxMonClose(chute_);
        warden_.Stop(SIGTERM, true);
        if (header_ != nullptr)
            munmap(const_cast<ShelfHeader_t *>(header_), SHELF_MMAP_SIZE);
    }

    // Starts "warden -f args..." and waits until it serves viewers and reads
    // the pipe through a writer handle of the library's own.  everyLogLine:
    // the daemon writes every repeat of a line, for a test that counts them.
    void Start(std::vector<std::string> args, bool everyLogLine = false)
    {
        unlink("/tmp/mon.pid");
        std::vector<std::string> env;
        if (everyLogLine)
            env.push_back("QUELM_LOG_REPEATS=1");
        ASSERT_TRUE(warden_.Start({args, 0, env, true, nullptr})) << Log();
        ASSERT_TRUE(WaitFor([this] { return QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &chute_) == 0; }));
        const int fd = open("/tmp/mon.mmap", O_RDONLY | O_NOFOLLOW);
        ASSERT_GE(fd, 0);
        void *p = mmap(nullptr, SHELF_MMAP_SIZE, PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        ASSERT_NE(p, MAP_FAILED);
        header_ = static_cast<const ShelfHeader_t *>(p);
    }

    // Sends reports through the pipe; waits until the store has taken them
    // (the last one must carry the start flag: starts are counted).
    void Report(const std::vector<MonData_t> &recs)
    {
        uint32_t want = PutCount();
        for (const MonData_t &r : recs)
            want += (r.flags & MON_FLAG_START) != 0 ? 1 : 0;
        // A send refused (the pipe full, or the daemon's reader not there yet
        // under heavy load) is tried again on a fresh writer handle.
        for (const MonData_t &r : recs)
            ASSERT_TRUE(WaitFor([&] {
                if (QxMonSendData(chute_, &r) > 0)
                    return true;
                QxMonClose(chute_);
                chute_ = nullptr;
                return QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &chute_) == 0 &&
                       QxMonSendData(chute_, &r) > 0;
            })) << Log();
        ASSERT_TRUE(WaitFor([&] { return PutCount() >= want; })) << Log();
    }

    uint32_t PutCount() const { return __atomic_load_n(&header_->putCount, __ATOMIC_ACQUIRE); }

    MonHandle_t *Viewer()
    {
        MonHandle_t *v = nullptr;
        EXPECT_EQ(QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &v), 0);
        if (v != nullptr)
            viewers_.push_back(v);
        return v;
    }

    int Raw(int rcvbuf = 0)
    {
        const int fd = ConnectRaw(rcvbuf);
        EXPECT_GE(fd, 0);
        if (fd >= 0)
            raw_.push_back(fd);
        return fd;
    }

    std::string Log() { return warden_.Log(); }
    size_t Count(const std::string &text) { return warden_.Count(text); }

    testsupport::Warden warden_;
    MonHandle_t *chute_ = nullptr;
    const ShelfHeader_t *header_ = nullptr;
    std::vector<MonHandle_t *> viewers_;
    std::vector<int> raw_;
};

TEST_F(Daemon, SixteenViewersSeeEverySessionStartUpdateAndEnd)
{
    Start({"--viewers", "16"});
    Report({Record(1, MON_FLAG_START), Record(2, MON_FLAG_START, 5)});
    std::vector<MonHandle_t *> vs;
    for (int i = 0; i < 16; ++i)
        vs.push_back(Viewer());
    ASSERT_TRUE(WaitFor([this] { return Count("Too many GUIs") == 0; }, 100));

    // First stream after connecting: every running session, seeded.
    for (MonHandle_t *v : vs) {
        bool ok;
        EXPECT_EQ(Stream(v, &ok), (Flags{{1, MON_FLAG_START}, {2, MON_FLAG_START | MON_FLAG_UPDATE}}));
        EXPECT_TRUE(ok);
    }
    // Changes coalesce per record until each viewer asks.
    Report({Record(1, MON_FLAG_UPDATE, 10), Record(1, MON_FLAG_STATUS, 11), Record(3, MON_FLAG_START)});
    for (MonHandle_t *v : vs) {
        bool ok;
        EXPECT_EQ(Stream(v, &ok), (Flags{{1, MON_FLAG_UPDATE | MON_FLAG_STATUS}, {3, MON_FLAG_START}}));
        MonData_t key = Record(1, 0);
        ASSERT_EQ(QxMonRecvData(v, &key), 0);
        EXPECT_EQ(key.countA, 11u) << "a keyed read returns the latest content";
        EXPECT_STREQ(key.text1, "session 1");
    }
    // Session 1 ends, and the store then deletes its record: every tenth
    // start cleans up, and the fan-out has already taken the end.
    Report({Record(1, MON_FLAG_END), Record(4, MON_FLAG_START)});
    MonData_t gone = Record(1, 0);
    uint16_t filler = 100;
    ASSERT_TRUE(WaitFor([&] {
        Report({Record(filler++, MON_FLAG_START | MON_FLAG_END)}); // counts, stays no place
        return QxMonRecvData(vs[0], &gone) != 0;
    }, 10000)) << "the ended record was never deleted";
    for (MonHandle_t *v : vs) {
        bool ok;
        const Flags got = Stream(v, &ok);
        EXPECT_TRUE(ok);
        ASSERT_EQ(got.count(1), 1u);
        EXPECT_EQ(got.at(1), MON_FLAG_END) << "the end of a deleted record still arrives";
        EXPECT_EQ(got.at(4), MON_FLAG_START);
        MonData_t key = Record(1, 0);
        EXPECT_EQ(QxMonRecvData(v, &key), -1) << "no keyed read of a deleted record";
    }
    // One process serves them all, from one slot.
    EXPECT_NE(header_->clientPid[6], 0u);
    for (int s = 7; s <= 9; ++s)
        EXPECT_EQ(header_->clientPid[s], 0u) << s;
}

TEST_F(Daemon, SeventeenthViewerIsRefusedWithTheUsualMessage)
{
    Start({"--viewers", "16"});
    for (int i = 0; i < 16; ++i)
        Viewer();
    const int extra = Raw();
    EXPECT_EQ(BytesBeforeClose(extra, 3000), 0);
    EXPECT_EQ(Count("GUIAccept: Too many GUIs"), 1u) << Log();
    // One leaves: the next one is served again.
    QxMonClose(viewers_.back());
    viewers_.pop_back();
    MonHandle_t *again = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        MonHandle_t *v = Viewer();
        bool ok = false;
        if (v != nullptr)
            Stream(v, &ok);
        if (!ok && v != nullptr) {
            QxMonClose(v);
            viewers_.pop_back();
        }
        again = ok ? v : nullptr;
        return ok;
    }));
    EXPECT_NE(again, nullptr);
}

TEST_F(Daemon, DefaultStillRefusesTheFifthViewerAndFewerCanBeAsked)
{
    for (const char *limit : {"", "2"}) {
        SCOPED_TRACE(limit);
        const int served = *limit != '\0' ? atoi(limit) : 4;
        if (*limit != '\0')
            Start({"--viewers", limit});
        else
            Start({});
        std::vector<MonHandle_t *> vs;
        for (int i = 0; i < served; ++i) {
            vs.push_back(Viewer());
            bool ok;
            Stream(vs.back(), &ok);
            EXPECT_TRUE(ok) << i;
        }
        const int extra = Raw();
        EXPECT_EQ(BytesBeforeClose(extra, 3000), 0);
        EXPECT_EQ(Count("GUIAccept: Too many GUIs"), 1u) << Log();
        for (MonHandle_t *v : vs) {
            bool ok;
            Stream(v, &ok);
            EXPECT_TRUE(ok) << "the others are unaffected";
        }
        TearDown();
        viewers_.clear();
        raw_.clear();
        chute_ = nullptr;
        header_ = nullptr;
    }
}

TEST_F(Daemon, FanOutEndsTheSessionOfAReporterThatDied)
{
    Start({"--viewers", "8"});
    const pid_t reporter = fork();
    if (reporter == 0) {
        pause();
        _exit(0);
    }
    MonData_t orphan = Record(500, MON_FLAG_START);
    orphan.pid = static_cast<uint32_t>(reporter);
    Report({orphan});
    MonHandle_t *v = Viewer();
    bool ok;
    EXPECT_EQ(Stream(v, &ok), (Flags{{500, MON_FLAG_START}}));
    kill(reporter, SIGKILL);
    waitpid(reporter, nullptr, 0);

    // The store's clean-up (every tenth start) ends the orphan, and the
    // viewer learns of the end.
    std::vector<MonData_t> fillers;
    for (uint16_t n = 0; n < 10; ++n)
        fillers.push_back(Record(n, MON_FLAG_START));
    Report(fillers);
    uint32_t seen = 0;
    EXPECT_TRUE(WaitFor([&] {
        const Flags got = Stream(v, &ok);
        auto it = got.find(500);
        seen |= it != got.end() ? it->second : 0;
        return (seen & MON_FLAG_END) != 0;
    }, 15000));
    EXPECT_EQ(seen, MON_FLAG_END);
}

TEST_F(Daemon, ViewerThatNeverAsksIsDroppedBeforeItsBacklogGrowsWithoutBound)
{
    Start({"--viewers", "8"});
    const int idle = Raw();
    MonHandle_t *reader = Viewer();
    bool ok;
    Stream(reader, &ok);
    // Sessions that start and end at once: the store forgets each as soon as
    // the fan-out has drained it, but the idle viewer has not read the end.
    const char *notice = "GUIFanout: closed viewer with ";
    uint16_t n = 0;
    // Batches small enough that the store's table never fills: the reader's
    // stream drains them, and the next starts' clean-ups delete them.
    for (int batch = 0; batch < 20 && Count(notice) == 0; ++batch) {
        std::vector<MonData_t> ended;
        for (int i = 0; i < 250; ++i)
            ended.push_back(Record(n++, MON_FLAG_START | MON_FLAG_END));
        Report(ended);
        Stream(reader, &ok); // the viewer that reads keeps up
        ASSERT_TRUE(ok);
    }
    EXPECT_TRUE(WaitFor([&] { return Count(notice) == 1; })) << Log();
    EXPECT_EQ(BytesBeforeClose(idle, 3000), 0);
    Stream(reader, &ok);
    EXPECT_TRUE(ok) << "only the one that never asked was dropped";
}

// The backlog limit counts only what a viewer pins beyond the running
// sessions: a new viewer of a store holding more sessions than the limit
// gets all of them, and is not dropped for them.
TEST_F(Daemon, FanoutViewerOfAStoreLargerThanTheBacklogLimitGetsEverySession)
{
    Start({"--viewers", "8", "--capacity", "6000"});
    std::vector<MonData_t> many;
    for (uint16_t n = 0; n < 5000; ++n)
        many.push_back(Record(n, MON_FLAG_START));
    Report(many);
    MonHandle_t *v = Viewer();
    bool ok;
    EXPECT_EQ(Stream(v, &ok).size(), 5000u);
    EXPECT_TRUE(ok) << Log();
    MonData_t r = Record(4999, 0);
    EXPECT_EQ(QxMonRecvData(v, &r), 0);
    EXPECT_EQ(Count("GUIFanout: closed viewer with "), 0u) << Log();
}

// Fills the server's side of a new connection: it asks for every record
// again and again and reads nothing.
int Daemon_Stuck(const std::function<int(int)> &raw)
{
    const int stuck = raw(4096);
    const unsigned char everything[4] = {0, 2, 2, 1};
    // Far more replies than any socket buffers hold.
    for (int i = 0; i < 500; ++i)
        EXPECT_EQ(write(stuck, everything, sizeof everything), 4);
    return stuck;
}

std::vector<MonData_t> BigSessions()
{
    std::vector<MonData_t> big;
    for (uint16_t n = 0; n < 300; ++n)
        big.push_back(BigRecord(n, MON_FLAG_START));
    return big;
}

TEST_F(Daemon, ViewerThatStopsReadingDelaysNoOther)
{
    Start({"--viewers", "8"});
    Report(BigSessions());
    const int stuck = Daemon_Stuck([this](int buf) { return Raw(buf); });
    MonHandle_t *a = Viewer();
    MonHandle_t *b = Viewer();
    bool ok;
    EXPECT_EQ(Stream(a, &ok).size(), 300u);
    EXPECT_EQ(Stream(b, &ok).size(), 300u);
    for (uint16_t round = 0; round < 3; ++round) {
        const uint16_t key = static_cast<uint16_t>(1000 + round);
        Report({Record(key, MON_FLAG_START)});
        EXPECT_EQ(Stream(a, &ok), (Flags{{key, MON_FLAG_START}}));
        EXPECT_TRUE(ok);
        EXPECT_EQ(Stream(b, &ok), (Flags{{key, MON_FLAG_START}}));
        EXPECT_TRUE(ok);
        MonData_t r = Record(key, 0);
        EXPECT_EQ(QxMonRecvData(a, &r), 0);
    }
    EXPECT_EQ(Count("closed viewer"), 0u) << "nobody has passed the 30 s default";
    (void)stuck;
}

TEST_F(Daemon, ViewerThatStopsReadingIsDroppedAfterTheLimitWithOneNotice)
{
    Start({"--viewers", "8", "--idle-limit", "1"});
    Report(BigSessions());
    const int stuck = Daemon_Stuck([this](int buf) { return Raw(buf); });
    // Past the limit without taking a byte: dropped, and the log says so;
    // what was already in the socket still arrives before the end.
    const char *notice = "GUIFanout: closed viewer that took no reply for 1 s";
    EXPECT_TRUE(WaitFor([&] { return Count(notice) > 0; }, 10000)) << Log();
    EXPECT_GT(BytesBeforeClose(stuck, 10000), 0);
    EXPECT_EQ(Count(notice), 1u) << Log();
    MonHandle_t *a = Viewer();
    bool ok;
    EXPECT_EQ(Stream(a, &ok).size(), 300u);
    EXPECT_TRUE(ok) << "the others are served on";
}

// Both ways of serving: one child per viewer, and the fan-out.
class Silent : public Daemon, public testing::WithParamInterface<const char *> {};

TEST_P(Silent, ConnectionsThatSendNoWholeRequestAreClosedOnce)
{
    Start({"--viewers", GetParam(), "--idle-limit", "1"}, true); // two closings at once, counted
    const int quiet = Raw();
    const int partial = Raw();
    const unsigned char half[3] = {0, 2, 2}; // a frame of 2 bytes, one sent
    ASSERT_EQ(write(partial, half, sizeof half), 3);
    MonHandle_t *busy = Viewer();

    // The viewer that keeps asking outlives the limit several times over,
    // and asks on while the other two are waited for: a wait that stopped
    // its asking would make it a silent connection as well.
    auto keepAsking = [&](int ms, const std::function<bool()> &until) {
        const auto least = std::chrono::steady_clock::now() + milliseconds(ms);
        const auto most = least + milliseconds(10000);
        for (auto now = std::chrono::steady_clock::now();
             now < least || (until && !until() && now < most); now = std::chrono::steady_clock::now()) {
            bool ok;
            Stream(busy, &ok);
            ASSERT_TRUE(ok);
            std::this_thread::sleep_for(milliseconds(200));
        }
    };
    // A connection that has something to read (its end, or bytes it should
    // never get) is read to its end.
    auto readIfReady = [](int fd, long *bytes) {
        pollfd p{fd, POLLIN, 0};
        if (*bytes < 0 && poll(&p, 1, 0) > 0)
            *bytes = BytesBeforeClose(fd, 5000);
    };
    long quietBytes = -1, partialBytes = -1;
    keepAsking(2500, [&] {
        readIfReady(quiet, &quietBytes);
        readIfReady(partial, &partialBytes);
        return quietBytes >= 0 && partialBytes >= 0 &&
               Count("closed viewer connection silent for 1 s") >= 2;
    });
    EXPECT_EQ(quietBytes, 0);
    EXPECT_EQ(partialBytes, 0);
    ASSERT_GE(Count("closed viewer connection silent for 1 s"), 2u) << Log();
    keepAsking(1500, nullptr);
    EXPECT_EQ(Count("closed viewer connection silent for 1 s"), 2u) << "once per connection";
    // Not an error: the level-1 messages are the only ones said as errors,
    // and the closing notice must not read like the framing's read errors.
    EXPECT_EQ(Count("Error in read"), 0u) << Log();
    bool ok;
    Stream(busy, &ok);
    EXPECT_TRUE(ok);
}

INSTANTIATE_TEST_SUITE_P(Modes, Silent, testing::Values("4", "6"));

// ---- the daemon's log as the tests count it ----

// In the warden child just before it runs the daemon: four processes write
// lines through its standard error at one instant, released together, as
// the daemon's processes do when two viewer children close at once.
void WriteLinesAtOnce()
{
    int go[2];
    if (pipe(go) != 0)
        _exit(126);
    for (int p = 0; p < 4; ++p) {
        if (fork() != 0)
            continue;
        close(go[1]);
        char c;
        (void)!read(go[0], &c, 1);
        char line[64];
        const int n = snprintf(line, sizeof line, "%05d: a line written at once\n", getpid());
        for (int i = 0; i < 20000; ++i)
            (void)!write(2, line, static_cast<size_t>(n));
        _exit(0);
    }
    close(go[0]);
    close(go[1]);
    while (wait(nullptr) > 0) {
    }
}

TEST(DaemonLog, LinesThatProcessesWriteAtOnceAreAllCounted)
{
    testsupport::Warden warden;
    ASSERT_TRUE(warden.Start({{}, 0, {}, true, WriteLinesAtOnce})) << warden.Log();
    EXPECT_EQ(warden.Count(": a line written at once\n"), 80000u);
}

TEST(ViewerOptions, BadValuesEndWithTheUsage)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"--viewers", "0"},
                                          {"--viewers", "x"},
                                          {"--viewers", "5x"},
                                          {"--viewers", "1001"},
                                          {"--idle-limit", "0"},
                                          {"--idle-limit", "-3"},
                                          {"--viewers"}}) {
        testsupport::Warden warden;
        ASSERT_TRUE(warden.Start({args, 0, {}, false, nullptr}));
        const int status = warden.WaitExit();
        const std::string err = warden.Log();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << args[0];
        EXPECT_NE(err.find("Usage: wardenAG\n\t-f  or  --foreground"), std::string::npos) << err;
        EXPECT_NE(err.find("--viewers <n>"), std::string::npos);
    }
}

} // namespace
