// wirelink_test.cpp - TCP framing: exact bytes of a frame, oversize frames
// skipped in step, peers that vanish between and inside frames, frames that
// arrive or leave in pieces, and connecting (loopback only, inside the
// test's own network namespace under quelm_isolate).
#include <quelm/monitor.h>

#include <gtest/gtest.h>

#include "log_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

const bool kLogToStderr = [] {
    setenv("QUELM_DEBUG", "", 1);
    setenv("QUELM_LOG_STDERR", "1", 1);
    return true;
}();

int Listen(int *port);

// Two connected stream sockets: a Unix socket pair, or the two ends of a
// loopback TCP connection (where a send can be cut short part way).
struct Pair {
    int a = -1, b = -1;
    explicit Pair(bool tcp = false) {
        if (tcp) {
            int port = 0;
            int lfd = Listen(&port);
            struct sockaddr_in sa = {};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<uint16_t>(port));
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a = socket(AF_INET, SOCK_STREAM, 0);
            EXPECT_EQ(connect(a, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
            b = accept(lfd, nullptr, nullptr);
            EXPECT_GE(b, 0);
            close(lfd);
            return;
        }
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        a = sv[0];
        b = sv[1];
    }
    ~Pair() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
};

std::vector<unsigned char> Bytes(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<unsigned char>((i * 131 + seed * 7) ^ (i >> 8));
    return v;
}

void WriteAll(int fd, const std::vector<unsigned char> &bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

int Pending(int fd) {
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

// A listener on 127.0.0.1 with a port of the kernel's choosing.
int Listen(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(fd, 4) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0)
        return -1;
    *port = ntohs(sa.sin_port);
    return fd;
}

int OpenFdCount() {
    int n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) n++;
    return n;
}

void NoteSignal(int) {}

TEST(Wirelink, EmptyFrameIsTwoZeroBytes) {
    Pair p;
    EXPECT_EQ(Mon_TcpSend(p.a, 0, nullptr), 2);
    unsigned char raw[4];
    ASSERT_EQ(recv(p.b, raw, sizeof raw, MSG_DONTWAIT), 2);
    EXPECT_EQ(raw[0], 0);
    EXPECT_EQ(raw[1], 0);

    // Received: 0 and nothing read past it.
    const std::vector<unsigned char> abc = {'a', 'b', 'c'};
    EXPECT_EQ(Mon_TcpSend(p.a, 0, nullptr), 2);
    EXPECT_EQ(Mon_TcpSend(p.a, 3, abc.data()), 5);
    unsigned char buf[16];
    EXPECT_EQ(Mon_TcpRecv(p.b, sizeof buf, buf), 0);
    EXPECT_EQ(Pending(p.b), 5);
    EXPECT_EQ(Mon_TcpRecv(p.b, sizeof buf, buf), 3);
    EXPECT_EQ(std::memcmp(buf, "abc", 3), 0);

    // Lengths the header cannot carry go nowhere.
    errno = 0;
    EXPECT_EQ(Mon_TcpSend(p.a, 65536, buf), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(Mon_TcpSend(p.a, -1, buf), -1);
    EXPECT_EQ(Pending(p.b), 0);
}

TEST(Wirelink, OversizeFrameIsSkippedInStep) {
    Pair p;
    const auto big = Bytes(2142, 1), next = Bytes(5, 2);
    ASSERT_EQ(Mon_TcpSend(p.a, 2142, big.data()), 2144);
    ASSERT_EQ(Mon_TcpSend(p.a, 5, next.data()), 7);
    shutdown(p.a, SHUT_WR);  // a read past the frame would see the end, not hang
    std::vector<unsigned char> buf(2141);  // exact size: ASan sees overruns
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(Mon_TcpRecv(p.b, 2141, buf.data()), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Error in read: " + std::string(strerror(EMSGSIZE))), std::string::npos)
        << log;
    EXPECT_EQ(Pending(p.b), 7);  // exactly 2144 bytes consumed
    ASSERT_EQ(Mon_TcpRecv(p.b, 2141, buf.data()), 5);
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 5), next);

    // Even a buffer of no bytes skips the frame and only the frame.
    Pair q;
    ASSERT_EQ(Mon_TcpSend(q.a, 5, next.data()), 7);
    ASSERT_EQ(Mon_TcpSend(q.a, 0, nullptr), 2);
    shutdown(q.a, SHUT_WR);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Mon_TcpRecv(q.b, 0, buf.data()), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(Mon_TcpRecv(q.b, 0, buf.data()), 0);
}

TEST(Wirelink, PeerClosingBetweenOrInsideFramesEndsReceive) {
    testsupport::EveryLogLine everyLine;  // each case finds its line, repeats included
    const std::vector<std::vector<unsigned char>> tails = {
        {},                      // between frames
        {0x00},                  // inside the header
        {0x00, 0x10, 1, 2, 3}};  // inside the payload
    for (const auto &tail : tails) {
        Pair p;
        const auto first = Bytes(20, 3);
        ASSERT_EQ(Mon_TcpSend(p.a, 20, first.data()), 22);
        WriteAll(p.a, tail);
        close(p.a);
        p.a = -1;
        unsigned char buf[64];
        EXPECT_EQ(Mon_TcpRecv(p.b, sizeof buf, buf), 20);
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(Mon_TcpRecv(p.b, sizeof buf, buf), -1);
        EXPECT_EQ(errno, ECONNRESET) << tail.size() << " bytes of a frame";
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("Error in read: "), std::string::npos) << log;
    }
}

// Over real TCP, with pauses that put header and payload in separate segments.
TEST(Wirelink, FrameArrivingInPiecesIsReturnedWhole) {
    int port = 0;
    int lfd = Listen(&port);
    ASSERT_GE(lfd, 0);
    int fd = Mon_TcpConnect("127.0.0.1", port);
    ASSERT_GT(fd, 0);
    int peer = accept(lfd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    int one = 1;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    const auto payload = Bytes(600, 4);
    std::vector<unsigned char> frame(2 + payload.size());
    frame[0] = 0x02;  // 600
    frame[1] = 0x58;
    std::copy(payload.begin(), payload.end(), frame.begin() + 2);
    std::thread writer([&] {
        const size_t cuts[] = {0, 1, 2, 100, 350, frame.size()};
        for (size_t i = 0; i + 1 < std::size(cuts); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_EQ(write(peer, frame.data() + cuts[i], cuts[i + 1] - cuts[i]),
                      static_cast<ssize_t>(cuts[i + 1] - cuts[i]));
        }
    });
    std::vector<unsigned char> buf(2141);
    EXPECT_EQ(Mon_TcpRecv(fd, 2141, buf.data()), 600);
    writer.join();
    buf.resize(600);
    EXPECT_EQ(buf, payload);

    // And the other way round, a whole frame from the connecting side.
    ASSERT_EQ(Mon_TcpSend(fd, 600, payload.data()), 602);
    std::vector<unsigned char> back(2141);
    EXPECT_EQ(Mon_TcpRecv(peer, 2141, back.data()), 600);
    back.resize(600);
    EXPECT_EQ(back, payload);
    Mon_TcpClose(fd);
    close(peer);
    close(lfd);
}

// Receives frames on fd, slowly, until the peer shuts down, and says whether
// they were exactly count frames of Bytes(size, i), whole and in order.
// Reads on after a bad frame, so a sender never waits for it in vain.
bool DrainSlowly(int fd, int count, size_t size) {
    std::vector<unsigned char> buf(MON_MSG_MAX);
    bool intact = true;
    int i = 0;
    for (;; i++) {
        if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int r = Mon_TcpRecv(fd, MON_MSG_MAX, buf.data());
        if (r < 0 && errno == ECONNRESET) break;
        if (r != static_cast<int>(size) ||
            std::memcmp(buf.data(), Bytes(size, static_cast<unsigned>(i)).data(), size) != 0)
            intact = false;
    }
    return intact && i == count;
}

// A send buffer of a few frames, so that sends block and are cut short.
// The receive side keeps its default: a tiny TCP window only adds stalls.
void ShrinkBuffers(const Pair &p) {
    int small = 8192;
    setsockopt(p.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
}

// A blocking send that a signal interrupts after part of the frame went
// out: the rest follows, so the reader never sees a torn frame.
TEST(Wirelink, InterruptedSendIsCompleted) {
    constexpr int kFrames = 1000;  // a few in a hundred sends are cut short
    Pair p(true);
    ShrinkBuffers(p);
    struct sigaction sa = {}, old = {};
    sa.sa_handler = NoteSignal;  // no SA_RESTART: writev returns early
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    sigset_t alrm, oldMask;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alrm, &oldMask);  // the reader thread never takes it
    testing::internal::CaptureStderr();  // the reader's closing ECONNRESET
    std::atomic<bool> intact{false};
    std::thread reader([&] { intact = DrainSlowly(p.b, kFrames, MON_MSG_MAX); });
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);

    struct itimerval tick = {{0, 500}, {0, 500}};
    setitimer(ITIMER_REAL, &tick, nullptr);
    int whole = 0;
    for (int i = 0; i < kFrames; i++) {
        const auto payload = Bytes(MON_MSG_MAX, static_cast<unsigned>(i));
        if (Mon_TcpSend(p.a, MON_MSG_MAX, payload.data()) == MON_FRAME_MAX) whole++;
    }
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    shutdown(p.a, SHUT_WR);  // ends the reader's loop
    reader.join();
    testing::internal::GetCapturedStderr();
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(whole, kFrames);
    EXPECT_TRUE(intact);
}

// On a non-blocking descriptor a frame that could not start fails with
// EAGAIN and sends nothing; one that started is finished.
TEST(Wirelink, NonBlockingSendNeverTearsAFrame) {
    constexpr int kFrames = 300;
    Pair p(true);
    ShrinkBuffers(p);
    ASSERT_EQ(fcntl(p.a, F_SETFL, O_NONBLOCK), 0);
    testing::internal::CaptureStderr();
    std::atomic<bool> intact{false};
    std::thread reader([&] { intact = DrainSlowly(p.b, kFrames, 1500); });
    int whole = 0, refused = 0;
    for (int i = 0; i < kFrames;) {
        const auto payload = Bytes(1500, static_cast<unsigned>(i));
        errno = 0;
        int r = Mon_TcpSend(p.a, 1500, payload.data());
        if (r == 1502) {
            whole++;
            i++;
        } else if (r == -1 && errno == EAGAIN) {
            refused++;
            struct pollfd pfd = {p.a, POLLOUT, 0};
            poll(&pfd, 1, 1000);
        } else {
            ADD_FAILURE() << "send " << i << " returned " << r << ": " << strerror(errno);
            break;
        }
    }
    shutdown(p.a, SHUT_WR);
    reader.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(whole, kFrames);
    EXPECT_TRUE(intact);
}

TEST(Wirelink, ConnectFailuresAreLoggedAndLeakNothing) {
    int port = 0;
    int lfd = Listen(&port);
    ASSERT_GE(lfd, 0);
    close(lfd);  // nobody listens there now
    const int fds = OpenFdCount();

    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(Mon_TcpConnect("127.0.0.1", port), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Error in connect: " + std::string(strerror(ECONNREFUSED))),
              std::string::npos)
        << log;
    EXPECT_EQ(OpenFdCount(), fds);

    // The all-ones address converts to INADDR_NONE and goes to the resolver;
    // whatever that makes of it, nothing connects.
    testing::internal::CaptureStderr();
    EXPECT_EQ(Mon_TcpConnect("255.255.255.255", port), -1);
    log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(log.find("Error in gethostbyname: ") != std::string::npos ||
                log.find("Error in connect: ") != std::string::npos)
        << log;

    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(Mon_TcpConnect("no-such-host.invalid", port), -1);
    EXPECT_NE(errno, 0);
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Error in gethostbyname: "), std::string::npos) << log;
    EXPECT_EQ(OpenFdCount(), fds);
}

// In a child, whose SIGPIPE disposition starts at the default.
TEST(Wirelink, ConnectIgnoresSigpipeSoSendToGonePeerFails) {
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        int port = 0;
        int lfd = Listen(&port);
        int fd = Mon_TcpConnect("127.0.0.1", port);
        if (lfd < 0 || fd <= 0) _exit(2);
        struct sigaction now;
        sigaction(SIGPIPE, nullptr, &now);
        if (now.sa_handler != SIG_IGN) _exit(3);
        close(accept(lfd, nullptr, nullptr));
        const auto payload = Bytes(100, 1);
        int r = 0;
        for (int i = 0; i < 100 && r >= 0; i++) {  // the first may still go out
            r = Mon_TcpSend(fd, 100, payload.data());
            if (r >= 0) usleep(10000);
        }
        _exit(r == -1 && errno == EPIPE ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Wirelink, CloseLeavesNonPositiveDescriptorsAlone) {
    const bool stdinOpen = fcntl(0, F_GETFD) != -1;
    EXPECT_EQ(Mon_TcpClose(0), 0);
    EXPECT_EQ(fcntl(0, F_GETFD) != -1, stdinOpen);
    EXPECT_EQ(Mon_TcpClose(-1), 0);
    Pair p;
    EXPECT_EQ(Mon_TcpClose(p.a), 0);
    EXPECT_EQ(fcntl(p.a, F_GETFD), -1);
    p.a = -1;
}

}  // namespace
