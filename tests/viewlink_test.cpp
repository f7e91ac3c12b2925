// viewlink_test.cpp - the viewer client against a scripted stand-in for the
// daemon's viewer server on 127.0.0.1:5051: the exact request bytes, the
// stream flag across records, empty, refused and oversized frames, a
// connection the server drops, and peers that answer too slowly or never
// stop.  Runs under quelm_isolate (private network).  The stand-in's own
// waits are bounded, so a client that misbehaves fails a test in seconds
// instead of hanging it.

#include "viewlink_internal.h"
#include "log_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long the stand-in waits for the client at most: a failure bound only.
constexpr int kServerPatienceMs = 10000;

const bool kLogToStderr = [] {
    setenv("QUELM_DEBUG", "", 1);
    setenv("QUELM_LOG_STDERR", "1", 1);
    return true;
}();

using Bytes = std::vector<unsigned char>;

MonData_t Record(uint32_t pid, uint16_t recordNum, const char *text1) {
    MonData_t r;
    memset(&r, 0, sizeof r);
    r.pid = pid;
    r.handleNum = 3;
    r.recordNum = recordNum;
    r.flags = MON_FLAG_START;
    r.countA = 1000u + recordNum;
    snprintf(r.text1, sizeof r.text1, "%s", text1);
    return r;
}

Bytes Message(const MonData_t &r) {
    Bytes m(MON_MSG_MAX);
    m.resize(static_cast<size_t>(ParcelPutData(&r, m.data())));
    return m;
}

// Writes one frame: the 2-byte big-endian length, then the payload.
void SendFrame(int fd, const Bytes &payload) {
    Bytes f = {static_cast<unsigned char>(payload.size() >> 8),
               static_cast<unsigned char>(payload.size() & 0xff)};
    f.insert(f.end(), payload.begin(), payload.end());
    ASSERT_EQ(write(fd, f.data(), f.size()), static_cast<ssize_t>(f.size()));
}

// The next request frame the client sent (empty when the connection ended).
Bytes Request(int fd) {
    Bytes b(MON_MSG_MAX);
    const int n = Mon_TcpRecv(fd, static_cast<int>(b.size()), b.data());
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
}

// Reads until the client closes its end (or the server's read timeout).
void WaitClosed(int fd) {
    char b[4096];
    while (read(fd, b, sizeof b) > 0) {
    }
}

// Listens on port 5051 and serves one connection with script in a thread.
// Both the accept and every read on the connection give up after
// kServerPatienceMs.
class FakeServer {
public:
    explicit FakeServer(std::function<void(int)> script) {
        listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(MON_VIEWER_PORT);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listenFd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
        EXPECT_EQ(listen(listenFd_, 5), 0);
        thread_ = std::thread([this, script] {
            pollfd p{listenFd_, POLLIN, 0};
            if (poll(&p, 1, kServerPatienceMs) != 1) {
                ADD_FAILURE() << "the client never connected";
                return;
            }
            const int fd = accept(listenFd_, nullptr, nullptr);
            if (fd < 0) return;
            const timeval tv{kServerPatienceMs / 1000, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            script(fd);
            close(fd);
        });
    }
    ~FakeServer() {
        thread_.join();
        close(listenFd_);
    }

private:
    int listenFd_ = -1;
    std::thread thread_;
};

MonHandle_t *Open() {
    MonHandle_t *h = nullptr;
    EXPECT_EQ(QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &h), 0);
    return h;
}

TEST(ViewLink, OpenRefusesOtherClientTypesAndAbsentServers) {
    MonHandle_t *h = reinterpret_cast<MonHandle_t *>(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(QxMonNetOpen("127.0.0.1", 5, &h), -1);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(QxMonNetOpen("127.0.0.1", 7, &h), -1);
    EXPECT_EQ(QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &h), -1);  // nobody listens
    EXPECT_EQ(h, nullptr);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("MonNetOpen: bad client type=5 specified"), std::string::npos) << log;
    EXPECT_NE(log.find("MonNetOpen: bad client type=7 specified"), std::string::npos) << log;
    EXPECT_NE(log.find("Error in connect: "), std::string::npos) << log;
    EXPECT_NE(log.find("Failed to open network connection"), std::string::npos) << log;
}

TEST(ViewLink, KeyedReadSendsTheRawKeyAndDecodesTheReply) {
    const MonData_t stored = Record(4242, 7, "alice");
    FakeServer server([&](int fd) {
        for (int round = 0; round < 3; ++round) {
            const Bytes req = Request(fd);
            ASSERT_EQ(req.size(), 11u);
            EXPECT_EQ(req[0], 1);
            EXPECT_EQ(memcmp(req.data() + 1, &stored, MON_KEY_SIZE), 0);
            SendFrame(fd, round == 1 ? Bytes() : Message(stored));
        }
    });
    MonHandle_t *h = Open();
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->path, "127.0.0.1");

    MonData_t r;
    memset(&r, 0xee, sizeof r);
    memcpy(&r, &stored, MON_KEY_SIZE);
    ASSERT_EQ(QxMonRecvData(h, &r), 0);
    EXPECT_EQ(r.countA, stored.countA);
    EXPECT_STREQ(r.text1, "alice");
    EXPECT_EQ(r.seqNum, 0u);  // all of the record comes from the message

    testing::internal::CaptureStderr();
    EXPECT_EQ(QxMonRecvData(h, &r), -1);  // the empty reply: no such record
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("MonGUIGet: no data record available"), std::string::npos) << log;
    EXPECT_EQ(QxMonRecvData(h, &r), 0);  // and the handle is still good
    EXPECT_EQ(QxMonClose(h), 0);
}

TEST(ViewLink, StreamAsksOnceAndEndsAtTheEmptyFrame) {
    FakeServer server([](int fd) {
        Bytes req = Request(fd);
        EXPECT_EQ(req, (Bytes{2, 0}));  // 256 goes out as its low byte
        SendFrame(fd, Message(Record(1, 1, "one")));
        SendFrame(fd, Message(Record(2, 2, "two")));
        SendFrame(fd, Bytes());
        req = Request(fd);  // only the call after the end asks again
        EXPECT_EQ(req, (Bytes{2, 1}));
        SendFrame(fd, Bytes());
        EXPECT_TRUE(Request(fd).empty());  // closed
    });
    MonHandle_t *h = Open();
    ASSERT_NE(h, nullptr);
    MonData_t r;
    ASSERT_EQ(QxMonRecvNextData(h, 256, &r), 1);
    EXPECT_STREQ(r.text1, "one");
    ASSERT_EQ(QxMonRecvNextData(h, 99, &r), 1);  // mid-stream: the flag is not looked at
    EXPECT_STREQ(r.text1, "two");
    EXPECT_EQ(r.countA, 1002u);
    EXPECT_EQ(QxMonRecvNextData(h, 0, &r), 0);
    EXPECT_EQ(QxMonRecvNextData(h, 1, &r), 0);  // an empty stream
    EXPECT_EQ(QxMonClose(h), 0);
}

TEST(ViewLink, RefusedAndOversizedFramesCostOneRecordEach) {
    FakeServer server([](int fd) {
        EXPECT_EQ(Request(fd), (Bytes{2, 0}));
        Bytes bad = Message(Record(1, 1, ""));
        bad[65] = 0;
        bad[66] = 40;  // text1 said to run past the end of the message
        SendFrame(fd, bad);
        SendFrame(fd, Bytes(3000, 0x55));
        SendFrame(fd, Message(Record(3, 3, "three")));
        SendFrame(fd, Bytes());
        const Bytes req = Request(fd);
        EXPECT_EQ(req.size(), 11u);
        SendFrame(fd, Message(Record(3, 3, "three")));
    });
    MonHandle_t *h = Open();
    ASSERT_NE(h, nullptr);
    MonData_t r;
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(QxMonRecvNextData(h, 0, &r), -1);
    EXPECT_EQ(errno, EBADMSG);
    EXPECT_EQ(QxMonRecvNextData(h, 0, &r), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("MonGUIGetNext: malformed record message"), std::string::npos) << log;
    // The stream goes on in step, and so does the connection after it.
    ASSERT_EQ(QxMonRecvNextData(h, 0, &r), 1);
    EXPECT_STREQ(r.text1, "three");
    EXPECT_EQ(QxMonRecvNextData(h, 0, &r), 0);
    EXPECT_EQ(QxMonRecvData(h, &r), 0);
    EXPECT_STREQ(r.text1, "three");
    EXPECT_EQ(QxMonClose(h), 0);
}

TEST(ViewLink, DroppedConnectionFailsReadsInsteadOfHanging) {
    FakeServer server([](int) {});  // accepted, then closed unanswered
    MonHandle_t *h = Open();
    ASSERT_NE(h, nullptr);
    MonData_t r;
    memset(&r, 0, sizeof r);
    EXPECT_EQ(QxMonRecvNextData(h, 0, &r), -1);
    EXPECT_EQ(QxMonRecvNextData(h, 0, &r), -1);
    EXPECT_EQ(QxMonRecvData(h, &r), -1);
    EXPECT_EQ(QxMonClose(h), 0);
}

TEST(ViewLink, GenericApiRoutesAndBadHandlesAreRefused) {
    FakeServer server([](int fd) { EXPECT_TRUE(Request(fd).empty()); });
    MonHandle_t *h = Open();
    ASSERT_NE(h, nullptr);
    MonData_t r;
    memset(&r, 0, sizeof r);

    MonHandle_t fake;
    memset(&fake, 0, sizeof fake);
    fake.magic = MON_MAGIC_DEAD;
    testing::internal::CaptureStderr();
    EXPECT_EQ(QxMonSendData(h, &r), -1);
    EXPECT_EQ(MonGUIGet(&fake, &r), -1);
    EXPECT_EQ(MonGUIGetNext(&fake, 0, &r), -1);
    EXPECT_EQ(MonGUIClose(&fake), -1);
    const std::string log = testing::internal::GetCapturedStderr();
    for (const char *text : {"QxMonSendData: invalid handle=0x", "MonGUIGet: bad handle=0x",
                             "MonGUIGetNext: bad handle=0x", "MonGUIClose: bad handle=0x"})
        EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
    EXPECT_EQ(fake.magic, MON_MAGIC_DEAD);

    EXPECT_EQ(h->closeFn, MonGUIClose);
    EXPECT_EQ(h->putFn, nullptr);
    EXPECT_EQ(QxMonClose(h), 0);  // the server sees the connection end
}

// ---- the reply timeout ----

// Milliseconds a call took.
template <class F>
long long TimedMs(F &&call) {
    const auto t0 = Clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A frame's bytes: the 2-byte length and the payload.
Bytes Framed(const Bytes &payload) {
    Bytes f = {static_cast<unsigned char>(payload.size() >> 8), static_cast<unsigned char>(payload.size() & 0xff)};
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// Writes bytes one at a time, gap apart, until all are out or the client
// has gone.
void Drip(int fd, const Bytes &bytes, std::chrono::milliseconds gap) {
    for (unsigned char b : bytes) {
        if (write(fd, &b, 1) != 1) return;
        std::this_thread::sleep_for(gap);
    }
}

MonHandle_t *OpenWithTimeout(int ms) {
    MonHandle_t *h = Open();
    if (h != nullptr) {
        EXPECT_EQ(QxMonNetSetTimeout(h, ms), 0);
    }
    return h;
}

// Each stalled reply the issue names: a header and 10 bytes of a longer
// message, one header byte, a byte at a time slower than the whole frame
// may take.  The call fails with ETIMEDOUT soon after the timeout (the
// bound is generous: without the timeout it would wait for ever), and the
// handle refuses everything after that but closes cleanly.
TEST(ViewLinkTimeout, StalledRepliesFailOnTimeAndLeaveTheHandleDead) {
    testsupport::EveryLogLine everyLine;  // each case finds its line, repeats included
    const Bytes frame = Framed(Message(Record(9, 9, "slow")));
    struct Case {
        const char *name;
        std::function<void(int)> stall;
    };
    const Case cases[] = {
        {"header and 10 bytes", [&](int fd) { (void)!write(fd, frame.data(), 12); }},
        {"one header byte", [&](int fd) { (void)!write(fd, frame.data(), 1); }},
        {"a byte every 100 ms", [&](int fd) { Drip(fd, frame, 100ms); }},
    };
    for (const Case &c : cases) {
        for (bool keyed : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (keyed ? ", keyed read" : ", stream"));
            FakeServer server([&](int fd) {
                EXPECT_FALSE(Request(fd).empty());
                c.stall(fd);
                WaitClosed(fd);
            });
            MonHandle_t *h = OpenWithTimeout(400);
            ASSERT_NE(h, nullptr);
            MonData_t r;
            memset(&r, 0, sizeof r);
            int got = 0, err = 0;
            testing::internal::CaptureStderr();
            const long long ms = TimedMs([&] {
                got = keyed ? QxMonRecvData(h, &r) : QxMonRecvNextData(h, 0, &r);
                err = errno;
            });
            EXPECT_EQ(got, -1);
            EXPECT_EQ(err, ETIMEDOUT);
            EXPECT_GE(ms, 350);
            EXPECT_LT(ms, 4000);
            EXPECT_EQ(QxMonRecvNextData(h, 0, &r), -1);  // dead: refused at once
            EXPECT_EQ(errno, ENOTCONN);
            EXPECT_EQ(QxMonRecvData(h, &r), -1);
            EXPECT_EQ(errno, ENOTCONN);
            const std::string log = testing::internal::GetCapturedStderr();
            EXPECT_NE(log.find(keyed ? "MonGUIGet: no whole reply within 400 ms" : "MonGUIGetNext: no whole reply within 400 ms"),
                      std::string::npos)
                << log;
            EXPECT_EQ(QxMonClose(h), 0);
        }
    }
}

// The deadline belongs to the whole stream, not to each record: records
// that each come well within the timeout still fail a stream that takes
// longer as a whole.
TEST(ViewLinkTimeout, StreamHasOneDeadlineForAllItsRecords) {
    std::atomic<int> sent{0};
    FakeServer server([&](int fd) {
        EXPECT_EQ(Request(fd), (Bytes{2, 0}));
        for (uint16_t i = 1; i < 100; ++i) {
            const Bytes f = Framed(Message(Record(1, i, "trickle")));
            if (write(fd, f.data(), f.size()) != static_cast<ssize_t>(f.size())) return;
            ++sent;
            std::this_thread::sleep_for(150ms);
        }
    });
    MonHandle_t *h = OpenWithTimeout(600);
    ASSERT_NE(h, nullptr);
    MonData_t r;
    int records = 0, got;
    testing::internal::CaptureStderr();
    while ((got = QxMonRecvNextData(h, 0, &r)) == 1) ++records;
    const int err = errno;
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(err, ETIMEDOUT);
    EXPECT_GE(records, 1);  // records were coming all along
    EXPECT_LE(records, 6);
    EXPECT_EQ(QxMonClose(h), 0);
}

// A reply that is slow but whole within the timeout is read: a frame sent
// in pieces, an oversized frame skipped in step, and the handle goes on
// serving request after request, each with a fresh deadline.
TEST(ViewLinkTimeout, RepliesInPiecesWithinTheTimeoutAreRead) {
    FakeServer server([](int fd) {
        for (int round = 0; round < 4; ++round) {
            EXPECT_EQ(Request(fd).size(), 11u);
            const Bytes f = Framed(Message(Record(5, 5, "pieces")));
            (void)!write(fd, f.data(), 1);  // a split header
            std::this_thread::sleep_for(50ms);
            (void)!write(fd, f.data() + 1, 40);
            std::this_thread::sleep_for(50ms);
            (void)!write(fd, f.data() + 41, f.size() - 41);
        }
        EXPECT_EQ(Request(fd), (Bytes{2, 1}));
        const Bytes big = Framed(Bytes(65535, 0x55));  // the largest frame there is
        (void)!write(fd, big.data(), 2000);
        std::this_thread::sleep_for(50ms);
        (void)!write(fd, big.data() + 2000, big.size() - 2000);
        SendFrame(fd, Message(Record(6, 6, "after")));
        SendFrame(fd, Bytes());
        WaitClosed(fd);
    });
    MonHandle_t *h = OpenWithTimeout(3000);
    ASSERT_NE(h, nullptr);
    MonData_t r;
    for (int round = 0; round < 4; ++round) {
        memset(&r, 0, sizeof r);
        r.pid = 5;
        ASSERT_EQ(QxMonRecvData(h, &r), 0) << "round " << round << ": " << strerror(errno);
        EXPECT_STREQ(r.text1, "pieces");
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(QxMonRecvNextData(h, 1, &r), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(QxMonRecvNextData(h, 1, &r), 1);
    EXPECT_STREQ(r.text1, "after");
    EXPECT_EQ(QxMonRecvNextData(h, 1, &r), 0);
    EXPECT_EQ(QxMonClose(h), 0);
}

// A long stream sent as many small writes, while the viewer is slow to
// read, fills the receive queue with small segments: the kernel then stops
// the sender before a whole frame is queued.  The reader must take bytes as
// they come, not wait for whole frames to be queued (that waits for ever).
TEST(ViewLinkTimeout, LongStreamOfSmallWritesIsReadWhole) {
    constexpr int kRecords = 3000;
    FakeServer server([](int fd) {
        EXPECT_EQ(Request(fd), (Bytes{2, 0}));
        for (uint16_t i = 0; i < kRecords; ++i) {
            const Bytes f = Framed(Message(Record(7, i, "small")));
            for (size_t at = 0; at < f.size(); at += 100) {
                const size_t n = std::min<size_t>(100, f.size() - at);
                if (write(fd, f.data() + at, n) != static_cast<ssize_t>(n)) return;
            }
        }
        SendFrame(fd, Bytes());
        WaitClosed(fd);
    });
    MonHandle_t *h = OpenWithTimeout(5000);
    ASSERT_NE(h, nullptr);
    MonData_t r;
    ASSERT_EQ(QxMonRecvNextData(h, 0, &r), 1);
    std::this_thread::sleep_for(300ms);  // let the queue fill up
    int records = 1, got;
    while ((got = QxMonRecvNextData(h, 0, &r)) == 1) ++records;
    EXPECT_EQ(got, 0) << strerror(errno);
    EXPECT_EQ(records, kRecords);
    EXPECT_EQ(QxMonClose(h), 0);
}

// A peer that closes inside a frame is a closed connection, reported at
// once, not a wait for the deadline.
TEST(ViewLinkTimeout, PeerClosingMidFrameIsAResetNotATimeout) {
    FakeServer server([](int fd) {
        EXPECT_EQ(Request(fd), (Bytes{2, 0}));
        const Bytes f = Framed(Message(Record(7, 7, "cut")));
        (void)!write(fd, f.data(), 30);
    });
    MonHandle_t *h = OpenWithTimeout(5000);
    ASSERT_NE(h, nullptr);
    MonData_t r;
    int got = 0, err = 0;
    testing::internal::CaptureStderr();
    const long long ms = TimedMs([&] {
        got = QxMonRecvNextData(h, 0, &r);
        err = errno;
    });
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(err, ECONNRESET);
    EXPECT_LT(ms, 2500);
    EXPECT_EQ(QxMonClose(h), 0);
}

// A stream that goes on past the bound is an error, counted in frames: the
// records up to the bound are delivered, the next call fails with EPROTO,
// and the handle is dead.  (The bound is lowered through the seam table so
// that the test need not send a million frames.)
TEST(ViewLinkTimeout, EndlessStreamIsCutAtTheRecordBound) {
    FakeServer server([](int fd) {
        EXPECT_EQ(Request(fd), (Bytes{2, 1}));
        for (uint16_t i = 1; i < 1000; ++i) {
            const Bytes f = Framed(Message(Record(2, i, "more")));
            if (write(fd, f.data(), f.size()) != static_cast<ssize_t>(f.size())) return;
        }
        WaitClosed(fd);
    });
    MonHandle_t *h = Open();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(quelm::viewLinkSys.streamMax, MON_VIEWER_STREAM_MAX);
    quelm::SeamOverride<quelm::ViewLinkSys_t> sys(quelm::viewLinkSys);
    sys->streamMax = 50;
    MonData_t r;
    int records = 0, got;
    testing::internal::CaptureStderr();
    while ((got = QxMonRecvNextData(h, 1, &r)) == 1) {
        ++records;
        EXPECT_EQ(r.recordNum, records);
    }
    const int err = errno;
    EXPECT_EQ(QxMonRecvNextData(h, 1, &r), -1);
    EXPECT_EQ(errno, ENOTCONN);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(err, EPROTO);
    EXPECT_EQ(records, 50);
    EXPECT_NE(log.find("change stream longer than 50 records"), std::string::npos) << log;
    EXPECT_EQ(QxMonClose(h), 0);
}

TEST(ViewLinkTimeout, SetTimeoutRefusesBadArguments) {
    FakeServer server([](int fd) { WaitClosed(fd); });
    MonHandle_t *h = Open();
    ASSERT_NE(h, nullptr);
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(QxMonNetSetTimeout(h, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(QxMonNetSetTimeout(nullptr, 10), -1);
    EXPECT_EQ(errno, EINVAL);
    MonHandle_t fake;
    memset(&fake, 0, sizeof fake);
    fake.magic = MON_MAGIC_STORE;  // another kind of handle
    EXPECT_EQ(QxMonNetSetTimeout(&fake, 10), -1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("MonNetSetTimeout: bad timeout=-1 ms specified"), std::string::npos) << log;
    EXPECT_NE(log.find("MonNetSetTimeout: bad handle=0x"), std::string::npos) << log;
    EXPECT_EQ(QxMonNetSetTimeout(h, 0), 0);
    EXPECT_EQ(QxMonClose(h), 0);
}

}  // namespace
