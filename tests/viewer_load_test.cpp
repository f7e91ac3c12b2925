// viewer_load_test.cpp - the viewer server under load and attack, in both
// serving modes (one child per viewer, and the fan-out above four): accept
// short of descriptors costs no CPU and serves on once they are back;
// sessions ending faster than viewers read never cut a viewer that asks; a
// viewer's connect is bound by its reply timeout, and the viewer port's
// backlog has room for every viewer served.
#include "viewer_daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <set>

namespace {

using namespace viewerdaemon;
using std::chrono::milliseconds;

// A non-blocking connect to 127.0.0.1:5051 begun; the socket.
int ConnectBegun()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(MON_VIEWER_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    return fd;
}

// Of the connects begun on fds, how many the kernel completed within ms.
size_t Connected(const std::vector<int> &fds, int ms)
{
    std::vector<pollfd> p;
    for (int fd : fds)
        p.push_back({fd, POLLOUT, 0});
    std::this_thread::sleep_for(milliseconds(ms));
    (void)poll(p.data(), p.size(), 0);
    size_t n = 0;
    for (const pollfd &x : p)
        n += (x.revents & POLLOUT) != 0 && (x.revents & (POLLERR | POLLHUP)) == 0 ? 1 : 0;
    return n;
}

class Modes : public Daemon, public testing::WithParamInterface<const char *> {};

// With accept failing for want of descriptors while connections wait, the
// viewer server rests between tries instead of spinning, and the viewer that
// waited in the backlog is served once descriptors are free again.
TEST_P(Modes, AcceptShortOfDescriptorsCostsNoCpuAndServesOn)
{
    Start({"--viewers", GetParam()});
    Report({Record(1, 1, MON_FLAG_START)});
    const pid_t server = ViewerServer();
    ASSERT_GT(server, 0) << Log();
    struct rlimit saved;
    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, nullptr, &saved), 0);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(testsupport::LowestFreeFd(server));
    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, &tight, nullptr), 0);

    for (int i = 0; i < 3; ++i)
        Raw();
    MonHandle_t *waiting = Viewer(); // its connection waits in the backlog
    ASSERT_NE(waiting, nullptr);
    ASSERT_TRUE(WaitFor([this] { return Log().find("accept() in GUIAccept: Too many open files") !=
                                        std::string::npos; }))
        << Log();

    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const long before = CpuTicks(server);
    const auto from = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) { // connections keep arriving meanwhile
        std::this_thread::sleep_for(milliseconds(100));
        if (i % 3 == 0)
            close(ConnectBegun());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    const double cores = static_cast<double>(CpuTicks(server) - before) / ticksPerSecond / seconds;
    EXPECT_LT(cores, 0.05) << "of a core, while accept had no descriptors";
    RecordProperty("milliCores", static_cast<int>(cores * 1000));

    for (int fd : raw_)
        close(fd);
    raw_.clear();
    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_EQ(StreamCount(waiting), 1) << Log();
    EXPECT_EQ(ViewerServer(), server) << "served on by the same process";
}

// Sessions that start and end faster than the viewers read, with the store
// always full of ended records (a reader on slot 9 that never reads): the
// store drops ended records no reader has read, counted in the log, and
// neither the viewer that streams in a loop nor the slow one is ever cut.
TEST_P(Modes, SessionsEndingFasterThanViewersReadCutNoViewer)
{
    signal(SIGPIPE, SIG_IGN);
    // This process holds slot 9: a store that stopped its readers when full
    // would stop it too, and the test would end without a verdict.
    struct sigaction ignore = {}, saved = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &saved);
    Start({"--viewers", GetParam()});
    MonHandle_t *stuck = nullptr;
    ASSERT_EQ(QxMonMemOpen("mon.mmap", 9, &stuck), 0);
    MonHandle_t *fast = Viewer();
    MonHandle_t *slow = Viewer();
    ASSERT_NE(fast, nullptr);
    ASSERT_NE(slow, nullptr);
    ASSERT_GE(StreamCount(fast), 0);
    ASSERT_GE(StreamCount(slow), 0);

    std::atomic<bool> done{false};
    std::atomic<int> failures{0}, fastStreams{0}, slowStreams{0};
    std::thread fastReader([&] {
        while (!done)
            (StreamCount(fast) >= 0 ? fastStreams : failures)++;
    });
    std::thread slowReader([&] {
        while (!done) {
            (StreamCount(slow) >= 0 ? slowStreams : failures)++;
            for (int i = 0; i < 15 && !done; ++i)
                std::this_thread::sleep_for(milliseconds(100));
        }
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    uint32_t sent = 0;
    const uint32_t storedBefore = PutCount();
    for (uint32_t handle = 1; std::chrono::steady_clock::now() < end; ++handle)
        for (uint16_t n = 0; n < 500 && Send(Record(handle, n, MON_FLAG_START | MON_FLAG_END)); ++n)
            ++sent;
    done = true;
    fastReader.join();
    slowReader.join();
    QxMonClose(stuck);
    sigaction(SIGINT, &saved, nullptr);

    EXPECT_EQ(failures, 0) << Log();
    EXPECT_GE(StreamCount(fast), 0) << Log();
    EXPECT_GE(StreamCount(slow), 0) << Log();
    EXPECT_GT(fastStreams, 2);
    EXPECT_GT(slowStreams, 1);
    const std::string log = Log();
    EXPECT_NE(log.find("ended records dropped before every reader had read them"), std::string::npos)
        << "the store never filled: " << sent << " sessions\n" << log;
    EXPECT_EQ(log.find("closed viewer"), std::string::npos) << log;
    RecordProperty("sessions", static_cast<int>(sent));
    RecordProperty("stored", static_cast<int>(PutCount() - storedBefore));
    RecordProperty("fanoutDroppedUnread", static_cast<int>(log.find("dropped unread by slow viewers") != std::string::npos));
}

INSTANTIATE_TEST_SUITE_P(ChildrenAndFanout, Modes, testing::Values("4", "64"));

// The viewer port's backlog has room for every viewer served: with the
// viewer server stopped, as many connections as --viewers still complete
// their handshake (a backlog of 5 completes 6).
TEST_F(Daemon, BacklogHoldsEveryViewerServed)
{
    Start({"--viewers", "16"});
    const pid_t server = ViewerServer();
    ASSERT_GT(server, 0);
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    stopped_ = server;
    std::vector<int> fds;
    for (int i = 0; i < 16; ++i)
        fds.push_back(ConnectBegun());
    raw_.insert(raw_.end(), fds.begin(), fds.end());
    EXPECT_EQ(Connected(fds, 300), 16u);
}

// A viewer's connect to a port whose backlog is full is bound by the reply
// timeout: the first request fails with ETIMEDOUT about when it is due,
// where a blocking connect waited for the kernel's retries (over two
// minutes).  The listener is the test's own, in its private network.
TEST(ViewerConnect, TimeoutCoversAConnectToAFullBacklog)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(MON_VIEWER_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i)
        fillers.push_back(ConnectBegun());
    ASSERT_LT(Connected(fillers, 100), fillers.size()) << "the backlog never filled";

    const auto from = std::chrono::steady_clock::now();
    MonHandle_t *v = nullptr;
    ASSERT_EQ(QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &v), 0);
    ASSERT_EQ(QxMonNetSetTimeout(v, 500), 0);
    MonData_t r;
    EXPECT_EQ(QxMonRecvNextData(v, 0, &r), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - from, std::chrono::seconds(20)) << "waited out the kernel";
    EXPECT_EQ(QxMonRecvNextData(v, 0, &r), -1); // the handle is given up
    EXPECT_EQ(errno, ENOTCONN);
    QxMonClose(v);
    for (int fd : fillers)
        close(fd);
    close(listener);
}

}  // namespace
