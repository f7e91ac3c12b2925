// viewlink_test.cpp - the viewer client against a scripted stand-in for the
// daemon's viewer server on 127.0.0.1:5051: the exact request bytes, the
// stream flag across records, empty, refused and oversized frames, and a
// connection the server drops.  Runs under quelm_isolate (private network).

#include "viewlink_internal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

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

// Listens on port 5051 and serves one connection with script in a thread.
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
            const int fd = accept(listenFd_, nullptr, nullptr);
            if (fd < 0) return;
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

}  // namespace
