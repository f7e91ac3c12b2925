// frame_test.cpp - the 2-byte length framing shared by the pipe, the TCP
// calls and the viewer server: reading through a scripted byte source (the
// splits, interruptions and errors real streams rarely show on cue; the
// ends of streams are covered through Chute and wirelink), writing whole
// through real sockets that take a few bytes at a time, batches that must
// match frame-by-frame writes, and the search for frames in a shared stream.
#include "frame_internal.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace {

using quelm::FrameFault;
using Bytes = std::vector<unsigned char>;

// One step of a scripted read: bytes to hand out (a read takes at most what
// it asked for and leaves the rest for the next), or an errno to fail with.
struct Step {
    Bytes bytes;
    int err = 0;
};
std::deque<Step> script;
size_t readCalls = 0;

// read(2) over the script; an empty script is the end of the stream.
ssize_t ScriptRead(int, unsigned char *p, size_t len) noexcept
{
    ++readCalls;
    if (script.empty())
        return 0;
    Step &s = script.front();
    if (s.err != 0) {
        errno = s.err;
        script.pop_front();
        return -1;
    }
    const size_t n = std::min(len, s.bytes.size());
    memcpy(p, s.bytes.data(), n);
    s.bytes.erase(s.bytes.begin(), s.bytes.begin() + static_cast<long>(n));
    if (s.bytes.empty())
        script.pop_front();
    return static_cast<ssize_t>(n);
}

Bytes Frame(const Bytes &payload)
{
    Bytes f(2);
    quelm::FramePutHeader(static_cast<unsigned>(payload.size()), f.data());
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes Pattern(size_t n, unsigned seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>((i * 7 + seed) & 0xff);
    return b;
}

class FrameRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        script.clear();
        readCalls = 0;
    }
    int Recv(unsigned cap, FrameFault *fault, bool retryStart = false)
    {
        buf.assign(cap + 1, 0xee);
        const quelm::FrameSource src = {-1, ScriptRead, retryStart};
        return quelm::FrameRecv(src, cap, buf.data(), fault);
    }
    Bytes buf;
};

TEST(FrameHeader, IsBigEndianBothWays)
{
    unsigned char h[2];
    quelm::FramePutHeader(0x0859, h);
    EXPECT_EQ(h[0], 0x08);
    EXPECT_EQ(h[1], 0x59);
    EXPECT_EQ(quelm::FrameGetHeader(h), 0x0859u);
    quelm::FramePutHeader(65535, h);
    EXPECT_EQ(quelm::FrameGetHeader(h), 65535u);
}

TEST_F(FrameRead, HeaderAndPayloadInAnyPiecesMakeOneFrame)
{
    const Bytes payload = Pattern(300, 1);
    const Bytes f = Frame(payload);
    // One byte of header, then the other byte with part of the payload, then
    // the rest in small pieces; then a second frame whole.
    script.push_back({Bytes(f.begin(), f.begin() + 1)});
    script.push_back({Bytes(f.begin() + 1, f.begin() + 10)});
    for (size_t at = 10; at < f.size(); at += 37)
        script.push_back({Bytes(f.begin() + static_cast<long>(at),
                                f.begin() + static_cast<long>(std::min(at + 37, f.size())))});
    script.push_back({Frame({3, 4})});
    FrameFault fault;
    ASSERT_EQ(Recv(2141, &fault), 300);
    EXPECT_EQ(fault, FrameFault::kNone);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 300), payload);
    EXPECT_EQ(buf[300], 0xee); // nothing written past the frame
    ASSERT_EQ(Recv(2141, &fault), 2);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(buf[1], 4);
}

TEST_F(FrameRead, InterruptAtBoundaryIsReportedOrRetriedAsAskedInsideAlwaysRetried)
{
    FrameFault fault;
    script.push_back({{}, EINTR});
    script.push_back({Frame({7})});
    errno = 0;
    EXPECT_EQ(Recv(10, &fault), -1);
    EXPECT_EQ(fault, FrameFault::kReadFailed);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(Recv(10, &fault), 1); // the frame was left whole

    script.push_back({{}, EINTR});
    script.push_back({{0}});
    script.push_back({{}, EINTR});
    script.push_back({{2, 8}});
    script.push_back({{}, EINTR});
    script.push_back({{9}});
    ASSERT_EQ(Recv(10, &fault, true), 2);
    EXPECT_EQ(buf[0], 8);
    EXPECT_EQ(buf[1], 9);
}

TEST_F(FrameRead, ErrorInsideFrameKeepsItsErrno)
{
    script.push_back({{0, 4, 1}});
    script.push_back({{}, EIO});
    FrameFault fault;
    errno = 0;
    EXPECT_EQ(Recv(10, &fault), -1);
    EXPECT_EQ(fault, FrameFault::kReadFailedInFrame);
    EXPECT_EQ(errno, EIO);
}

TEST_F(FrameRead, TooLongFrameIsConsumedExactlyAndNextFrameIsWhole)
{
    for (unsigned cap : {0u, 1u, 100u, 2141u}) {
        SCOPED_TRACE(cap);
        script.clear();
        script.push_back({Frame(Pattern(2142, 3))});
        script.push_back({Frame({1, 2, 3})});
        FrameFault fault;
        EXPECT_EQ(Recv(cap, &fault), -1);
        EXPECT_EQ(fault, FrameFault::kTooLong);
        // The buffer never takes more than its cap.
        if (cap < 2141) {
            EXPECT_EQ(buf[cap], 0xee);
        }
        if (cap >= 3) {
            ASSERT_EQ(Recv(cap, &fault), 3);
            EXPECT_EQ(buf[2], 3);
        } else {
            EXPECT_EQ(Recv(cap, &fault), -1);
            EXPECT_EQ(fault, FrameFault::kTooLong);
        }
        EXPECT_TRUE(script.empty());
    }
}

TEST_F(FrameRead, LongestFrameFitsExactCap)
{
    script.push_back({Frame(Pattern(65535, 5))});
    FrameFault fault;
    ASSERT_EQ(Recv(65535, &fault), 65535);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 65535), Pattern(65535, 5));
}

// A socket pair whose sending side holds little, so large writes go out in
// pieces and a non-blocking writer meets EAGAIN in the middle of a frame.
struct SmallPair {
    int fd[2] = {-1, -1};
    explicit SmallPair(bool nonBlocking)
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        const int small = 4096;
        setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(fd[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        if (nonBlocking)
            fcntl(fd[0], F_SETFL, fcntl(fd[0], F_GETFL) | O_NONBLOCK);
    }
    ~SmallPair()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    // Reads everything until the writer closes its end, slowly.
    Bytes Drain()
    {
        Bytes all;
        unsigned char chunk[700];
        for (;;) {
            const ssize_t r = read(fd[1], chunk, sizeof chunk);
            if (r <= 0)
                return all;
            all.insert(all.end(), chunk, chunk + r);
            usleep(200);
        }
    }
};

TEST(FrameWrite, LargeFramesGoOutWholeThroughPartialWrites)
{
    for (bool nonBlocking : {false, true}) {
        SCOPED_TRACE(nonBlocking);
        SmallPair pair(nonBlocking);
        Bytes got;
        std::thread reader([&] { got = pair.Drain(); });
        const Bytes a = Pattern(60000, 1), b = Pattern(1, 2), c = Pattern(65535, 3);
        EXPECT_EQ(quelm::FrameWrite(pair.fd[0], a.data(), 60000), 60002);
        EXPECT_EQ(quelm::FrameWrite(pair.fd[0], b.data(), 1), 3);
        EXPECT_EQ(quelm::FrameWrite(pair.fd[0], nullptr, 0), 2);
        EXPECT_EQ(quelm::FrameWrite(pair.fd[0], c.data(), 65535), 65537);
        close(pair.fd[0]);
        pair.fd[0] = -1;
        reader.join();
        Bytes want = Frame(a);
        for (const Bytes &f : {Frame(b), Frame({}), Frame(c)})
            want.insert(want.end(), f.begin(), f.end());
        ASSERT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want);
    }
}

TEST(FrameWrite, FailureToAGonePeerIsReported)
{
    signal(SIGPIPE, SIG_IGN);
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    close(fd[1]);
    const unsigned char one = 1;
    errno = 0;
    EXPECT_EQ(quelm::FrameWrite(fd[0], &one, 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(fd[0]);
}

TEST(FrameBatch, BytesMatchOneWritePerFrameAndWritesAreFew)
{
    // 40 frames of varied size through a batch of room for 5 of the largest.
    constexpr unsigned kMax = 2141;
    Bytes store(5 * (kMax + 2));
    SmallPair pair(false);
    Bytes got;
    std::thread reader([&] { got = pair.Drain(); });
    quelm::FrameBatch batch = {pair.fd[0], store.data(), store.size(), 0};
    Bytes want;
    size_t flushesSeen = 0;
    for (unsigned i = 0; i < 40; ++i) {
        const size_t before = batch.used;
        unsigned char *room = quelm::FrameBatchRoom(&batch, kMax);
        ASSERT_NE(room, nullptr);
        if (batch.used < before)
            ++flushesSeen;
        const Bytes payload = Pattern(i * 53 % (kMax + 1), i);
        std::copy(payload.begin(), payload.end(), room);
        quelm::FrameBatchAdd(&batch, static_cast<unsigned>(payload.size()));
        ASSERT_LE(batch.used, store.size());
        const Bytes f = Frame(payload);
        want.insert(want.end(), f.begin(), f.end());
    }
    ASSERT_NE(quelm::FrameBatchRoom(&batch, 0), nullptr);
    quelm::FrameBatchAdd(&batch, 0);
    want.push_back(0);
    want.push_back(0);
    EXPECT_TRUE(quelm::FrameBatchFlush(&batch));
    EXPECT_EQ(batch.used, 0u);
    close(pair.fd[0]);
    pair.fd[0] = -1;
    reader.join();
    EXPECT_TRUE(got == want);
    // About 44 KiB in batches of at most ~10 KiB: a handful of flushes, far
    // fewer than the 41 frames.
    EXPECT_GE(flushesSeen, 3u);
    EXPECT_LE(flushesSeen, 10u);
}

TEST(FrameBatch, RefusesFrameLargerThanBatchAndReportsFailedFlush)
{
    signal(SIGPIPE, SIG_IGN);
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    Bytes store(100);
    quelm::FrameBatch batch = {fd[0], store.data(), store.size(), 0};
    errno = 0;
    EXPECT_EQ(quelm::FrameBatchRoom(&batch, 99), nullptr);
    EXPECT_EQ(errno, EMSGSIZE);
    ASSERT_NE(quelm::FrameBatchRoom(&batch, 98), nullptr);
    quelm::FrameBatchAdd(&batch, 60);
    close(fd[1]);
    // The next frame does not fit beside the first: the flush it forces fails.
    errno = 0;
    EXPECT_EQ(quelm::FrameBatchRoom(&batch, 50), nullptr);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(batch.used, 0u);
    close(fd[0]);
}

// ---- finding frames in a shared stream ----

// A toy message for the search: type byte 3, a body, and a last byte that
// sums the others, standing in for the record decoder's checks.
Bytes Msg(size_t bodyLen, unsigned seed)
{
    Bytes m{3};
    const Bytes body = Pattern(bodyLen, seed);
    m.insert(m.end(), body.begin(), body.end());
    unsigned char sum = 0;
    for (unsigned char b : m)
        sum = static_cast<unsigned char>(sum + b);
    m.push_back(sum);
    return m;
}

bool SumAccept(const unsigned char *p, unsigned len, void *ctx) noexcept
{
    unsigned char sum = 0;
    for (unsigned i = 0; i + 1 < len; ++i)
        sum = static_cast<unsigned char>(sum + p[i]);
    if (sum != p[len - 1])
        return false;
    *static_cast<Bytes *>(ctx) = Bytes(p, p + len);
    return true;
}

class FrameSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(pipe(fd), 0);
        buf.assign(1024, 0);
        scan = {fd[0], buf.data(), buf.size(), 0, 0, 4, 300, 3, 200, false, false, 0, 0};
    }
    void TearDown() override
    {
        close(fd[0]);
        if (fd[1] >= 0)
            close(fd[1]);
    }
    void Put(const Bytes &b) { ASSERT_EQ(write(fd[1], b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    void End()
    {
        close(fd[1]);
        fd[1] = -1;
    }
    // Every frame the search hands out until the stream ends.
    std::vector<Bytes> All()
    {
        std::vector<Bytes> got;
        for (;;) {
            Bytes m;
            const int n = quelm::FrameScanNext(&scan, SumAccept, &m);
            if (n < 0) {
                EXPECT_EQ(errno, EPIPE);
                return got;
            }
            got.push_back(n == 0 ? Bytes{} : m);
        }
    }
    int fd[2] = {-1, -1};
    Bytes buf;
    quelm::FrameScan scan;
};

TEST_F(FrameSearch, InStepFramesAndEmptyFramesCostNothing)
{
    Put(Frame(Msg(10, 1)));
    Put(Frame({}));
    Put(Frame(Msg(290, 2)));
    End();
    EXPECT_EQ(All(), (std::vector<Bytes>{Msg(10, 1), {}, Msg(290, 2)}));
    EXPECT_EQ(scan.dropped, 0u);
}

TEST_F(FrameSearch, GarbageAndBadFramesCostExactlyTheirBytes)
{
    Bytes bad = Pattern(97, 9);
    Bytes wrongSum = Frame(Msg(20, 3));
    wrongSum.back() ^= 1;
    Bytes tooLong = Frame(Pattern(301, 4));
    tooLong[2] = 3;
    Put(bad);
    Put(Frame(Msg(30, 5)));
    Put(wrongSum);
    Put(tooLong);
    Put({0, 0}); // out of step: an empty frame is not searched for
    Put(Frame(Msg(40, 6)));
    End();
    EXPECT_EQ(All(), (std::vector<Bytes>{Msg(30, 5), Msg(40, 6)}));
    EXPECT_EQ(scan.dropped, bad.size() + wrongSum.size() + tooLong.size() + 2);
}

// Takes any payload of type 3: a decoder that a frame whose header lied can
// pass, as the record decoder can when the bytes it covers happen to fit.
bool TypeAccept(const unsigned char *p, unsigned len, void *ctx) noexcept
{
    *static_cast<Bytes *>(ctx) = Bytes(p, p + len);
    return p[0] == 3;
}

TEST_F(FrameSearch, HeaderThatLiedIsPassedOverForTheFramesInsideIt)
{
    // A writer announces 200 bytes but sends 20; frames of other writers
    // follow and make up the rest of what it announced.
    Bytes stream = {0, 200, 3};
    const Bytes some = Pattern(19, 7);
    stream.insert(stream.end(), some.begin(), some.end());
    std::vector<Bytes> msgs;
    for (unsigned i = 0; i < 5; ++i) {
        msgs.push_back(Msg(50, 10 + i));
        const Bytes f = Frame(msgs.back());
        stream.insert(stream.end(), f.begin(), f.end());
    }
    // Where the announced frame ends, no frame begins.
    ASSERT_GT(quelm::FrameGetHeader(&stream[202]), 300u);
    Put(stream);
    End();
    std::vector<Bytes> got;
    Bytes m;
    while (quelm::FrameScanNext(&scan, TypeAccept, &m) > 0)
        got.push_back(m);
    EXPECT_EQ(got, msgs);
    EXPECT_EQ(scan.dropped, 22u);
}

TEST_F(FrameSearch, GoodFrameFollowedByGarbageIsStillTaken)
{
    Put(Frame(Msg(60, 1)));
    Put(Pattern(150, 2));
    Put(Frame(Msg(70, 3)));
    End();
    EXPECT_EQ(All(), (std::vector<Bytes>{Msg(60, 1), Msg(70, 3)}));
    EXPECT_EQ(scan.dropped, 150u);
}

TEST_F(FrameSearch, UnfinishedFrameIsGivenUpAfterTheStallBoundOrAtTheEnd)
{
    Bytes cut = Frame(Msg(200, 1));
    cut.resize(60);
    Put(cut);
    // Nothing more comes for longer than the bound: the bytes are given up
    // and the frame written afterwards is found.
    std::thread late([this, cut] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        Put(Frame(Msg(20, 2)));
        Put(cut); // and once more, now cut short by the end of the stream
        End();
    });
    Bytes m;
    EXPECT_EQ(quelm::FrameScanNext(&scan, SumAccept, &m), 22);
    EXPECT_EQ(m, Msg(20, 2));
    EXPECT_EQ(scan.dropped, 60u);
    late.join();
    EXPECT_TRUE(All().empty());
    EXPECT_EQ(scan.dropped, 120u);
}

TEST_F(FrameSearch, PlainReadsOfTheStreamGetBufferedBytesFirst)
{
    Put(Frame(Msg(10, 1)));
    Put(Frame(Msg(11, 2)));
    End();
    Bytes m;
    ASSERT_EQ(quelm::FrameScanNext(&scan, SumAccept, &m), 12);
    unsigned char out[64];
    ASSERT_EQ(quelm::FrameScanRead(&scan, out, 2), 2);
    EXPECT_EQ(quelm::FrameGetHeader(out), 13u);
    ASSERT_EQ(quelm::FrameScanRead(&scan, out, sizeof out), 13);
    EXPECT_EQ(Bytes(out, out + 13), Msg(11, 2));
    EXPECT_EQ(quelm::FrameScanRead(&scan, out, sizeof out), 0);
}

}  // namespace
