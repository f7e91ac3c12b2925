// Hostile local users and peers against a real warden daemon: a second
// reader of the report pipe, proxies outside the pipe group, entries planted
// at the daemon's paths, peers outside the allowed ranges, and the keepalive
// that frees the place of a vanished viewer.  Other users are made with
// setuid() in forked children (the tests run as root), so no account needs
// to exist; the test process is a child subreaper and reaps every daemon.
#include <quelm/monitor.h>

#include <gtest/gtest.h>

#include "test_support.h"
#include "warden_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uid_t kThief = 4001;      // plants files, tries to read reports
constexpr uid_t kProxyUser = 4002;  // runs a proxy that reports
constexpr uid_t kDaemonUser = 4003; // runs warden without root
constexpr gid_t kPipeGroup = 4242;
const char *const kOwnPaths[] = {"/tmp/mon.mmap", "/tmp/mon.free.mutex", "/tmp/mon.hash.mutex",
                                 "/tmp/mon.fifo"};

using testsupport::ReadFile;
using testsupport::WaitFor;

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Runs body in a child as uid (primary group gid, supplementary groups
// groups) and returns the body's result, or -1 if the child died otherwise.
int AsUser(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, const std::function<int()> &body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(100);
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

using testsupport::ReportStarts;


bool HaveIpv6Loopback()
{
    return ReadFile("/proc/net/if_inet6").find("00000000000000000000000000000001") !=
           std::string::npos;
}

// A connection from local address from (any port) to to:port; -1 if refused.
int ConnectFrom(const char *from, const char *to, uint16_t port = MON_VIEWER_PORT)
{
    addrinfo hints{}, *local = nullptr, *remote = nullptr;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    int fd = -1;
    if (getaddrinfo(from, "0", &hints, &local) == 0 &&
        getaddrinfo(to, std::to_string(port).c_str(), &hints, &remote) == 0) {
        fd = socket(remote->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(fd, local->ai_addr, local->ai_addrlen) != 0 ||
            connect(fd, remote->ai_addr, remote->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(local);
    freeaddrinfo(remote);
    return fd;
}

// True when a change-stream request on fd gets its reply: with an empty
// store, the one empty frame that ends every stream.
bool Served(int fd)
{
    const unsigned char req[] = {0, 2, 2, 0};
    if (write(fd, req, sizeof req) != static_cast<ssize_t>(sizeof req))
        return false;
    unsigned char reply[2];
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 3000) == 1 && read(fd, reply, 2) == 2 && reply[0] == 0 && reply[1] == 0;
}

// True when the daemon closed fd without sending a byte.
bool ClosedUnserved(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char c;
    return poll(&p, 1, 3000) == 1 && read(fd, &c, 1) == 0;
}

// Removes the daemon's files and anything planted or displaced in /tmp
// (remove_all removes a symlink itself, never what it points to).
// Without the isolation (the tests then share the machine's IPC), the
// semaphore sets keyed on those files go too: a set a root daemon left would
// refuse a daemon of another user whose file got the same inode again.
void ClearTmp()
{
    for (const auto &e : std::filesystem::directory_iterator("/tmp")) {
        const std::string name = e.path().filename();
        if (name.rfind("mon.", 0) == 0 || name == "victim") {
            const key_t key = ftok(e.path().c_str(), 'V');
            const int set = key != -1 ? semget(key, 0, 0) : -1;
            if (set >= 0)
                semctl(set, 0, IPC_RMID);
            std::filesystem::remove_all(e.path());
        }
    }
}

class Hostile : public testing::Test {
protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    void SetUp() override
    {
        ClearTmp();
        umask(0); // as after detaching
    }
    void TearDown() override
    {
        Stop();
        umask(022);
    }

    // Starts warden -f with args as uid; waits until it serves.  A writer is
    // kept on the pipe, as a running proxy would, so the collector never
    // waits for writers to come back.
    void Start(const std::vector<std::string> &args, uid_t uid = 0)
    {
        ASSERT_TRUE(warden_.Start({args, uid, {}, true, nullptr})) << Log();
        writer_ = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        ASSERT_GE(writer_, 0) << Log();
    }

    // Runs warden -f with args as uid to its end: the exit status.
    int Finish(const std::vector<std::string> &args, uid_t uid = 0)
    {
        EXPECT_TRUE(warden_.Start({args, uid, {}, false, nullptr}));
        const int status = warden_.WaitExit();
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void Stop()
    {
        if (writer_ >= 0)
            close(writer_);
        writer_ = -1;
        warden_.Stop(SIGTERM, true);
    }

    std::string Log() { return warden_.Log(); }
    uint32_t PutCount() { return testsupport::Warden::PutCount(); }
    uint32_t Slot(int s) { return testsupport::Warden::Slot(s); }

    // Has a proxy of user report n sessions and checks that all of them,
    // and no more, were stored.
    void ProxyReports(int n, uid_t user = kProxyUser)
    {
        const uint32_t before = PutCount();
        ASSERT_EQ(AsUser(user, user, {}, [n] { return ReportStarts(n, 1); }), 0);
        EXPECT_TRUE(WaitFor([&] { return PutCount() == before + static_cast<uint32_t>(n); }))
            << PutCount() << Log();
    }

    testsupport::Warden warden_;
    int writer_ = -1;
};

mode_t PipeMode(struct stat *st)
{
    EXPECT_EQ(lstat("/tmp/mon.fifo", st), 0);
    EXPECT_TRUE(S_ISFIFO(st->st_mode));
    return st->st_mode & 07777;
}

// ---- the report pipe ----

TEST_F(Hostile, OnlyTheDaemonReadsThePipeWhileEveryUserReports)
{
    // The umask's write bits are taken off, as ever: with 022 only the
    // daemon's own user reports (here a daemon without root).
    struct Case {
        mode_t mask, want;
        uid_t daemon, proxy;
    };
    for (const Case &c : {Case{0, 0622, 0, kProxyUser}, Case{022, 0600, kDaemonUser, kDaemonUser}}) {
        SCOPED_TRACE(c.mask);
        ClearTmp();
        umask(c.mask);
        Start({}, c.daemon);
        struct stat st;
        EXPECT_EQ(PipeMode(&st), c.want);
        EXPECT_EQ(st.st_uid, c.daemon);
        const int thief = AsUser(kThief, kThief, {}, [] {
            return open("/tmp/mon.fifo", O_RDONLY | O_NONBLOCK) < 0 ? errno : 0;
        });
        EXPECT_EQ(thief, EACCES);
        ProxyReports(20, c.proxy);
        Stop();
    }
}

TEST_F(Hostile, PipePlantedByAnotherUserIsReplaced)
{
    // The thief makes the pipe first, keeps a reader on it and shuts
    // everyone else out.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t thief = fork();
    if (thief == 0) {
        if (setgid(kThief) != 0 || setuid(kThief) != 0 || mkfifo("/tmp/mon.fifo", 0666) != 0 ||
            chmod("/tmp/mon.fifo", 0600) != 0)
            _exit(1);
        const int fd = open("/tmp/mon.fifo", O_RDONLY | O_NONBLOCK);
        (void)!write(ready[1], "r", 1);
        pause();
        _exit(fd >= 0 ? 0 : 1);
    }
    // The thief's end only: a thief that fails ends the read instead of
    // leaving it waiting for ever.
    close(ready[1]);
    char c;
    const bool planted = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (!planted)
        kill(thief, SIGKILL);
    ASSERT_TRUE(planted) << "the thief could not plant its pipe";
    Start({});
    struct stat st;
    EXPECT_EQ(PipeMode(&st), 0622u);
    EXPECT_EQ(st.st_uid, 0u);
    ProxyReports(10);
    kill(thief, SIGKILL);
}

TEST_F(Hostile, PipeGroupLetsOnlyItsMembersReport)
{
    Start({"--pipe-group", std::to_string(kPipeGroup)});
    struct stat st;
    EXPECT_EQ(PipeMode(&st), 0620u);
    EXPECT_EQ(st.st_gid, kPipeGroup);
    const uint32_t before = PutCount();
    EXPECT_EQ(AsUser(kProxyUser, kProxyUser, {kPipeGroup}, [] { return ReportStarts(5, 1); }), 0);
    EXPECT_EQ(AsUser(kThief, kThief, {}, [] { return ReportStarts(5, 100); }), EACCES);
    EXPECT_TRUE(WaitFor([&] { return PutCount() == before + 5; })) << PutCount();
    Stop();

    // Without the option, the group's pipe is replaced: everyone reports.
    Start({});
    EXPECT_EQ(PipeMode(&st), 0622u);
    ProxyReports(3);
    Stop();

    // A group given by name; a name no group has stops the start.
    if (const group *g = getgrnam("daemon")) {
        Start({"--pipe-group=daemon"});
        PipeMode(&st);
        EXPECT_EQ(st.st_gid, g->gr_gid);
        Stop();
    }
    EXPECT_EQ(Finish({"--pipe-group", "no-such-group-here"}), 1);
    EXPECT_NE(Log().find("warden: no group no-such-group-here\n\nUsage: wardenAG\n"),
              std::string::npos)
        << Log();
}

// ---- planted entries at the daemon's paths ----

// Plants kind k (0 symlink to a file of the thief, 1 directory with an
// entry, 2 regular file, 3 FIFO) at path, as the thief.
int Plant(const char *path, int kind)
{
    return AsUser(kThief, kThief, {}, [path, kind] {
        const int fd = open("/tmp/victim", O_CREAT | O_WRONLY | O_APPEND, 0666);
        if (fd < 0 || close(fd) != 0)
            return 1;
        switch (kind) {
        case 0: return symlink("/tmp/victim", path);
        case 1: return mkdir(path, 0777) != 0 ? 1 : close(creat((std::string(path) + "/x").c_str(), 0666));
        case 2: return close(open(path, O_CREAT | O_WRONLY, 0666));
        default: return mkfifo(path, 0666);
        }
    });
}

TEST_F(Hostile, WhateverIsPlantedAtTheDaemonsPathsIsReplaced)
{
    // Four rounds: every kind at every path.
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ClearTmp();
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(Plant(kOwnPaths[i], (i + round) % 4), 0);
        Start({});
        if (HasFatalFailure())
            return;
        for (int i = 0; i < 4; ++i) {
            struct stat st;
            ASSERT_EQ(lstat(kOwnPaths[i], &st), 0);
            EXPECT_EQ(st.st_uid, 0u) << kOwnPaths[i];
            EXPECT_EQ(S_ISFIFO(st.st_mode), i == 3) << kOwnPaths[i];
            EXPECT_EQ(S_ISREG(st.st_mode), i != 3) << kOwnPaths[i];
        }
        ProxyReports(3);
        EXPECT_EQ(ReadFile("/tmp/victim"), ""); // the symlink was never followed
        Stop();
        // The planted directory was moved aside whole, not emptied.
        const std::string dir = kOwnPaths[(5 - round) % 4]; // where kind 1 went
        int displaced = 0;
        for (const auto &e : std::filesystem::directory_iterator("/tmp"))
            if (e.path().string().rfind(dir + ".displaced-", 0) == 0)
                displaced += std::filesystem::exists(e.path() / "x");
        EXPECT_EQ(displaced, 1) << dir;
    }
}

TEST_F(Hostile, DaemonRefusesToStartOnWhatItCannotReplace)
{
    // Without root, the daemon cannot remove another user's entries from
    // the sticky /tmp: it says which path, rather than running blind.
    for (const auto &[path, kind] : {std::pair<std::string, int>{"/tmp/mon.fifo", 0},
                                     {"/tmp/mon.hash.mutex", 2}}) {
        ClearTmp();
        ASSERT_EQ(Plant(path.c_str(), kind), 0);
        EXPECT_EQ(Finish({}, kDaemonUser), 1);
        EXPECT_NE(Log().find(std::string("Can't run Monitor, cannot replace ") + path + ": "),
                  std::string::npos)
            << Log();
    }
    ClearTmp();
    Start({}, kDaemonUser); // with nothing planted the same user starts
}

// ---- the viewer port ----

// Socket options of the daemon's end of the viewer connection fd: its
// viewer child's descriptor whose peer is fd's local address.
bool ServerSideOptions(pid_t child, int fd, int *keep, int *idle, int *interval, int *count)
{
    sockaddr_storage mine{}, theirs{};
    socklen_t len = sizeof mine;
    getsockname(fd, reinterpret_cast<sockaddr *>(&mine), &len);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (pidfd < 0)
        return false;
    bool found = false;
    DIR *d = opendir(("/proc/" + std::to_string(child) + "/fd").c_str());
    while (dirent *e = d != nullptr && !found ? readdir(d) : nullptr) {
        const int dup = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, atoi(e->d_name), 0));
        socklen_t tl = sizeof theirs;
        if (dup >= 0 && getpeername(dup, reinterpret_cast<sockaddr *>(&theirs), &tl) == 0 &&
            tl == len && memcmp(&theirs, &mine, len) == 0) {
            socklen_t l = sizeof(int);
            found = getsockopt(dup, SOL_SOCKET, SO_KEEPALIVE, keep, &l) == 0 &&
                    getsockopt(dup, IPPROTO_TCP, TCP_KEEPIDLE, idle, &l) == 0 &&
                    getsockopt(dup, IPPROTO_TCP, TCP_KEEPINTVL, interval, &l) == 0 &&
                    getsockopt(dup, IPPROTO_TCP, TCP_KEEPCNT, count, &l) == 0;
        }
        if (dup >= 0)
            close(dup);
    }
    if (d != nullptr)
        closedir(d);
    close(pidfd);
    return found;
}

TEST_F(Hostile, ViewerConnectionsFindAVanishedPeerWithinAMinute)
{
    Start({});
    const int v = ConnectFrom("127.0.0.1", "127.0.0.1");
    ASSERT_TRUE(Served(v));
    const pid_t child = static_cast<pid_t>(Slot(MON_SLOT_VIEWER_FIRST));
    ASSERT_GT(child, 0);
    int keep = 0, idle = 0, interval = 0, count = 0;
    if (!ServerSideOptions(child, v, &keep, &idle, &interval, &count))
        GTEST_SKIP() << "cannot reach the viewer child's socket (pidfd_getfd): " << strerror(errno);
    EXPECT_EQ(keep, 1);
    EXPECT_GT(idle, 0);
    EXPECT_GT(count, 0);
    // Probing starts after idle seconds of silence and gives up after count
    // unanswered probes, interval seconds apart.
    EXPECT_LE(idle + interval * count, 60) << idle << " " << interval << " " << count;
    close(v);
}

TEST_F(Hostile, ViewerServerListensOnTheGivenAddressesOnly)
{
    // Default: every IPv4 address, and no IPv6 socket.
    Start({});
    EXPECT_NE(testsupport::ViewerListener().find(": 00000000:13BB "), std::string::npos);
    EXPECT_EQ(ReadFile("/proc/net/tcp6").find(":0000 0A "), std::string::npos);
    Stop();

    const bool v6 = HaveIpv6Loopback();
    std::vector<std::string> args{"--listen", "127.0.0.2", "--listen=127.0.0.3:5060"};
    if (v6)
        args.insert(args.end(), {"--listen", "[::1]:5052"});
    Start(args);
    EXPECT_EQ(ConnectFrom("127.0.0.1", "127.0.0.1"), -1);
    EXPECT_EQ(ConnectFrom("127.0.0.1", "127.0.0.3"), -1);
    const int a = ConnectFrom("127.0.0.1", "127.0.0.2");
    const int b = ConnectFrom("127.0.0.1", "127.0.0.3", 5060);
    EXPECT_TRUE(Served(a));
    EXPECT_TRUE(Served(b));
    if (v6) {
        const int c = ConnectFrom("::1", "::1", 5052);
        EXPECT_TRUE(Served(c));
        close(c);
    }
    close(a);
    close(b);

    // Malformed addresses and ranges end the start with the usage text.
    for (const char *bad : {"--listen=1.2.3", "--listen=[1.2.3.4]", "--listen=127.0.0.1:0",
                            "--listen=[::1", "--allow=10.0.0.0/33", "--allow=::/129",
                            "--allow=localhost", "--allow=1.2.3.4/"}) {
        Stop();
        EXPECT_EQ(Finish({bad}), 1) << bad;
        EXPECT_NE(Log().find("\n\nUsage: wardenAG\n\t-f  or  --foreground"), std::string::npos)
            << bad << Log();
        EXPECT_EQ(Log().rfind("warden: cannot ", 0), 0u) << bad << Log();
    }
}

TEST_F(Hostile, OnlyAllowedPeersAreServedAndRefusalsAreLoggedOncePerAddress)
{
    const bool v6 = HaveIpv6Loopback();
    std::vector<std::string> args{"--allow", "127.0.0.9/29"}; // 127.0.0.8 to .15
    if (v6)
        args.insert(args.end(), {"--allow", "::1", "--listen", "0.0.0.0", "--listen", "[::1]"});
    Start(args);
    for (int i = 0; i < 3; ++i) {
        const int refused = ConnectFrom("127.0.0.1", "127.0.0.1");
        EXPECT_TRUE(ClosedUnserved(refused));
        close(refused);
    }
    const int outside = ConnectFrom("127.0.0.16", "127.0.0.1");
    EXPECT_TRUE(ClosedUnserved(outside));
    // Three more outside addresses at once, and again: each is named once.
    for (int round = 0; round < 2; ++round) {
        for (const char *from : {"127.0.0.17", "127.0.0.18", "127.0.0.19"}) {
            const int fd = ConnectFrom(from, "127.0.0.1");
            EXPECT_TRUE(ClosedUnserved(fd)) << from;
            close(fd);
        }
    }
    EXPECT_EQ(Slot(MON_SLOT_VIEWER_FIRST), 0u); // refused peers took no place

    const int inside = ConnectFrom("127.0.0.12", "127.0.0.1");
    EXPECT_TRUE(Served(inside));
    if (v6) {
        const int local6 = ConnectFrom("::1", "::1");
        EXPECT_TRUE(Served(local6));
        close(local6);
    }
    EXPECT_TRUE(WaitFor([&] { return Count(Log(), "refused") >= 5; })) << Log();
    for (const char *from : {"127.0.0.1", "127.0.0.16", "127.0.0.17", "127.0.0.18", "127.0.0.19"})
        EXPECT_EQ(Count(Log(), std::string("GUIAccept: connection from ") + from + " refused"), 1u)
            << Log();
    EXPECT_EQ(Count(Log(), "refused"), 5u) << Log();
    close(outside);
    close(inside);
}

} // namespace
