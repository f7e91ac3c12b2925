// The reference proxy end to end: real curl clients (and a raw SOCKS5 client
// for what curl cannot send) through socks5-demo to a local HTTP server, with
// warden collecting the reports; the records are read back from the store.
// Runs under quelm_isolate: its own /tmp, semaphores and loopback.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quelm/monitor.h>

#include "warden_fixture.h"

namespace {

const char *const kCurl = "/usr/bin/curl";
const char *const kProxy = QUELM_BINARY_DIR "/examples/socks5-demo";
constexpr int kProxyPort = 1080;
constexpr size_t kBodySize = 2 * 1024 * 1024 + 123;  // not a multiple of any buffer

long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

uint64_t Fnv1a(const std::string &s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

pid_t Spawn(const std::vector<std::string> &args) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (getenv("SOCKS5_TEST_VERBOSE") == nullptr) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
        }
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Exit status of pid, 128 + signal number if it was killed.
int WaitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Stop(pid_t &pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    WaitExit(pid);
    pid = 0;
}

bool CanConnect(int family, uint16_t port) {
    struct sockaddr_storage ss = {};
    socklen_t len;
    if (family == AF_INET) {
        auto *in = reinterpret_cast<sockaddr_in *>(&ss);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in->sin_port = htons(port);
        len = sizeof *in;
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        in6->sin6_port = htons(port);
        len = sizeof *in6;
    }
    const int fd = socket(family, SOCK_STREAM, 0);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0;
    close(fd);
    return ok;
}

// Starts socks5-demo on 127.0.0.1:1080 with extra arguments and waits until
// it accepts connections (the probe sends no request, so it makes no record).
pid_t StartProxy(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {kProxy, "--listen", "127.0.0.1:" + std::to_string(kProxyPort)};
    args.insert(args.end(), extra.begin(), extra.end());
    const pid_t pid = Spawn(args);
    for (long end = NowMs() + 5000; NowMs() < end; usleep(10000))
        if (CanConnect(AF_INET, kProxyPort)) return pid;
    ADD_FAILURE() << "socks5-demo did not start";
    return pid;
}

// Runs curl through the proxy; its exit status.
int Curl(const std::string &url, const std::string &out, const std::string &proxy = "") {
    std::string p = proxy.empty() ? "socks5h://127.0.0.1:" + std::to_string(kProxyPort) : proxy;
    const pid_t pid = Spawn({kCurl, "-sS", "--max-time", "20", "-x", p, "-o", out, url});
    return WaitExit(pid);
}

std::string ReadFile(const std::string &path) {
    std::string s;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return s;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

// A forked HTTP/1.0 server that answers every request with one body and
// reports, per connection, the bytes it received and sent: the two numbers
// the proxy's counters must match.
class HttpServer {
  public:
    std::string body;
    uint16_t port = 0;
    useconds_t pause = 0;  // between two 32 KiB pieces of a body; 0: no pause

    bool Start(int family) {
        body.resize(kBodySize);
        uint32_t x = 2463534242u;
        for (char &c : body) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            c = static_cast<char>(x);
        }
        const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_storage ss = {};
        socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        ss.ss_family = static_cast<sa_family_t>(family);
        if (family == AF_INET)
            reinterpret_cast<sockaddr_in *>(&ss)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        else
            reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_addr = in6addr_loopback;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&ss), len) < 0 || listen(fd, 64) < 0) {
            if (fd >= 0) close(fd);
            return false;
        }
        getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in *>(&ss)->sin_port
                                       : reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
        int p[2];
        if (pipe2(p, O_CLOEXEC) < 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            close(p[0]);
            signal(SIGCHLD, SIG_IGN);
            for (;;) {
                const int c = accept(fd, nullptr, nullptr);
                if (c < 0) continue;
                if (fork() == 0) Serve(c, p[1]);
                close(c);
            }
        }
        close(fd);
        close(p[1]);
        results_ = p[0];
        fcntl(results_, F_SETFL, O_NONBLOCK);
        return true;
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            WaitExit(pid_);
        }
        pid_ = 0;
        if (results_ >= 0) close(results_);
        results_ = -1;
    }

    // The (received, sent) byte counts of the next n finished connections.
    std::vector<std::pair<uint64_t, uint64_t>> Take(size_t n) {
        std::vector<std::pair<uint64_t, uint64_t>> out;
        for (long end = NowMs() + 10000; out.size() < n && NowMs() < end;) {
            char buf[512];
            const ssize_t r = read(results_, buf, sizeof buf);
            if (r > 0) pending_.append(buf, static_cast<size_t>(r));
            size_t nl;
            while ((nl = pending_.find('\n')) != std::string::npos) {
                unsigned long long in = 0, sent = 0;
                sscanf(pending_.c_str(), "%llu %llu", &in, &sent);
                out.emplace_back(in, sent);
                pending_.erase(0, nl + 1);
            }
            if (r <= 0) usleep(10000);
        }
        return out;
    }

  private:
    pid_t pid_ = 0;
    int results_ = -1;
    std::string pending_;

    [[noreturn]] void Serve(int c, int report) {
        uint64_t in = 0, sent = 0;
        std::string req;
        char buf[4096];
        ssize_t r;
        while (req.find("\r\n\r\n") == std::string::npos && (r = read(c, buf, sizeof buf)) > 0) {
            req.append(buf, static_cast<size_t>(r));
            in += static_cast<uint64_t>(r);
        }
        const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                 "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        const std::string all = head + body;
        const size_t piece = pause > 0 ? 32 * 1024 : all.size();
        for (size_t off = 0; off < all.size(); off += static_cast<size_t>(r)) {
            r = write(c, all.data() + off, std::min(piece, all.size() - off));
            if (r <= 0) break;
            sent += static_cast<uint64_t>(r);
            if (pause > 0) usleep(pause);
        }
        shutdown(c, SHUT_WR);
        while ((r = read(c, buf, sizeof buf)) > 0) in += static_cast<uint64_t>(r);
        char line[64];
        const int len = snprintf(line, sizeof line, "%llu %llu\n", static_cast<unsigned long long>(in),
                                 static_cast<unsigned long long>(sent));
        (void)!write(report, line, static_cast<size_t>(len));
        _exit(0);
    }
};

// SOCKS5 without authentication up to the reply; the socket (for a success,
// positioned at the relayed stream) and the reply code in *rep, or -1.
int SocksRequest(const std::vector<uint8_t> &request, int *rep) {
    *rep = -1;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(kProxyPort);
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    uint8_t m[2];
    const uint8_t hello[3] = {5, 1, 0};
    uint8_t head[4];
    if (connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in) < 0 || write(fd, hello, 3) != 3 ||
        recv(fd, m, 2, MSG_WAITALL) != 2 || m[1] != 0 ||
        write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()) ||
        recv(fd, head, 4, MSG_WAITALL) != 4) {
        close(fd);
        return -1;
    }
    uint8_t rest[18];
    const size_t restLen = head[3] == 4 ? 18 : 6;
    if (recv(fd, rest, restLen, MSG_WAITALL) != static_cast<ssize_t>(restLen)) {
        close(fd);
        return -1;
    }
    *rep = head[1];
    return fd;
}

std::vector<uint8_t> Request(uint8_t cmd, uint8_t atyp, const std::vector<uint8_t> &addr, uint16_t port) {
    std::vector<uint8_t> r = {5, cmd, 0, atyp};
    if (atyp == 3) r.push_back(static_cast<uint8_t>(addr.size()));
    r.insert(r.end(), addr.begin(), addr.end());
    r.push_back(static_cast<uint8_t>(port >> 8));
    r.push_back(static_cast<uint8_t>(port & 0xff));
    return r;
}

std::vector<uint8_t> Bytes(const std::string &s) { return {s.begin(), s.end()}; }

// The store's records as a reading slot sees them: every change since the
// last look, merged by key, ended records kept after the store drops them.
class StoreReader {
  public:
    StoreReader() = default;
    StoreReader(const StoreReader &) = delete;
    StoreReader &operator=(const StoreReader &) = delete;
    // A failed assertion leaves by return: the handle goes with the reader,
    // or the process would keep mapping this store for the next test.
    ~StoreReader() { Close(); }
    bool Open() { return QxMonMemOpen("mon.mmap", 4, &h_) == 0; }
    void Close() {
        if (h_ != nullptr) QxMonClose(h_);
        h_ = nullptr;
        seen_.clear();
    }
    // Forgets everything reported so far.
    void Mark() {
        Drain();
        seen_.clear();
    }
    // Waits until n ended sessions match pred (at most 10 s); returns those found.
    template <class Pred>
    std::vector<MonData_t> Ended(size_t n, Pred pred) {
        std::vector<MonData_t> out;
        for (long end = NowMs() + 10000; NowMs() < end; usleep(20000)) {
            Drain();
            out.clear();
            for (auto &kv : seen_)
                if ((kv.second.flags & MON_FLAG_END) != 0 && pred(kv.second)) out.push_back(kv.second);
            if (out.size() >= n) break;
        }
        return out;
    }
    // The sessions matching pred that are still open, as last reported.
    template <class Pred>
    std::vector<MonData_t> Open(Pred pred) {
        Drain();
        std::vector<MonData_t> out;
        for (auto &kv : seen_)
            if ((kv.second.flags & MON_FLAG_END) == 0 && pred(kv.second)) out.push_back(kv.second);
        return out;
    }

  private:
    MonHandle_t *h_ = nullptr;
    std::map<std::string, MonData_t> seen_;

    void Drain() {
        MonData_t rec;
        memset(&rec, 0, sizeof rec);
        while (QxMonRecvNextData(h_, 0, &rec) == 1) {
            char key[MON_KEYSTR_SIZE];
            seen_[MonKeyStr(rec.pid, rec.handleNum, rec.recordNum, key)] = rec;
        }
    }
};

bool AllZero(const unsigned char *p, size_t n) {
    return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

sockaddr_in Ipv4Block(const unsigned char *block) {
    sockaddr_in in;
    memcpy(&in, block, sizeof in);
    EXPECT_EQ(in.sin_family, AF_INET);
    EXPECT_TRUE(AllZero(block + sizeof in, MON_ADDR_SIZE - sizeof in)) << "tail not zero";
    return in;
}

#ifdef WARDEN_BIN
// Starts warden in the foreground and waits until it serves.  *keeper
// receives a writer of the pipe that the caller keeps open while the daemon
// runs, so the collector never finds the pipe without a writer (it would
// then pause for 3 s, the reports in the pipe unread).  The keeper is itself
// the wait for the collector: the fixture's wait opens a writer and closes
// it again, which is just such a pause.
void StartWarden(testsupport::Warden *warden, int *keeper) {
    EXPECT_TRUE(warden->Start({{}, 0, {}, false, nullptr}));
    *keeper = -1;
    // Looked for once the daemon serves: its pipe is made by then, so the
    // keeper cannot open the last daemon's.
    for (long end = NowMs() + 20000; NowMs() < end && *keeper < 0; usleep(10000)) {
        if (warden->Count("warden serves: ") > 0) {
            *keeper = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
            struct stat st;
            if (*keeper >= 0 && (fstat(*keeper, &st) != 0 || !S_ISFIFO(st.st_mode))) {
                close(*keeper);
                *keeper = -1;
            }
        }
    }
    EXPECT_GE(*keeper, 0) << "warden's collector did not open /tmp/mon.fifo\n" << warden->Log();
    EXPECT_GT(warden->Count("warden serves: "), 0u) << warden->Log();
}
#endif

class Socks5Demo : public testing::Test {
  protected:
    static testsupport::Warden warden;
    static int pipeKeeper;
    static HttpServer http;
    static StoreReader store;
    pid_t proxy = 0;

    static void SetUpTestSuite() {
#ifdef WARDEN_BIN
        if (access(kCurl, X_OK) != 0) return;
        StartWarden(&warden, &pipeKeeper);
        ASSERT_GE(pipeKeeper, 0);
        ASSERT_TRUE(store.Open());
        ASSERT_TRUE(http.Start(AF_INET));
#endif
    }
    static void TearDownTestSuite() {
        store.Close();
        http.Stop();
        warden.Stop();
        if (pipeKeeper >= 0) close(pipeKeeper);
        pipeKeeper = -1;
    }
    void SetUp() override {
        if (access(kCurl, X_OK) != 0) GTEST_SKIP() << "no curl";
#ifndef WARDEN_BIN
        GTEST_SKIP() << "warden is not built";
#endif
        ASSERT_GE(pipeKeeper, 0);
        store.Mark();
    }
    void TearDown() override { Stop(proxy); }

    std::string Url(const std::string &host) {
        return "http://" + host + ":" + std::to_string(http.port) + "/file.bin";
    }
    std::string Dest(const std::string &host) { return host + ":" + std::to_string(http.port); }
};
testsupport::Warden Socks5Demo::warden;
int Socks5Demo::pipeKeeper = -1;
HttpServer Socks5Demo::http;
StoreReader Socks5Demo::store;

TEST_F(Socks5Demo, DownloadIsReportedWithTheBytesCurlMoved) {
    proxy = StartProxy();
    ASSERT_EQ(Curl(Url("localhost"), "/tmp/out.bin"), 0);
    const std::string got = ReadFile("/tmp/out.bin");
    EXPECT_EQ(got.size(), http.body.size());
    EXPECT_EQ(Fnv1a(got), Fnv1a(http.body));
    auto moved = http.Take(1);
    ASSERT_EQ(moved.size(), 1u);

    const std::string dest = Dest("localhost");
    auto s = store.Ended(1, [&](const MonData_t &r) { return dest == r.text2; });
    ASSERT_EQ(s.size(), 1u);
    const MonData_t &r = s[0];
    EXPECT_EQ(r.status, 0);
    EXPECT_STREQ(r.statusText, "succeeded");
    EXPECT_EQ(r.countA, moved[0].first);   // the request, client to server
    EXPECT_EQ(r.countB, moved[0].second);  // the response, server to client
    EXPECT_STREQ(r.text1, "");
    EXPECT_STREQ(r.text3, "CONNECT");
    EXPECT_STREQ(r.text4, "socks5-demo");
    EXPECT_EQ(r.code2, 1);  // CONNECT
    EXPECT_EQ(r.code1, 3);  // a domain name
    EXPECT_EQ(r.pid, static_cast<uint32_t>(proxy)) << "sessions are threads of the proxy";
    EXPECT_LE(r.startTime, r.endTime);
    // Client, destination connected to, proxy's own end: sockaddr_in blocks.
    EXPECT_EQ(Ipv4Block(r.addrA).sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    const sockaddr_in b = Ipv4Block(r.addrB);
    EXPECT_EQ(b.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(b.sin_port), http.port);
    EXPECT_NE(Ipv4Block(r.addrC).sin_port, 0);
}

TEST_F(Socks5Demo, FailedRequestsCarryTheirReplyCodes) {
    proxy = StartProxy();
    // Port 1 of loopback: nobody listens there.
    EXPECT_NE(Curl("http://127.0.0.1:1/", "/tmp/refused.bin"), 0);
    int rep;
    const uint16_t port = http.port;
    const int bind = SocksRequest(Request(2, 1, {127, 0, 0, 1}, port), &rep);
    EXPECT_EQ(rep, 7);
    const int badType = SocksRequest({5, 1, 0, 9, 1, 2, 3, 4, 0, 80}, &rep);
    EXPECT_EQ(rep, 8);
    const int noName = SocksRequest(Request(1, 3, Bytes("no-such-host.invalid"), 80), &rep);
    EXPECT_EQ(rep, 4);
    for (int fd : {bind, badType, noName})
        if (fd >= 0) close(fd);

    auto s = store.Ended(4, [](const MonData_t &) { return true; });
    ASSERT_EQ(s.size(), 4u);
    std::map<std::string, const MonData_t *> by;
    for (auto &r : s) by[r.text2] = &r;
    ASSERT_TRUE(by.count("127.0.0.1:1"));
    EXPECT_EQ(by["127.0.0.1:1"]->status, 5);
    EXPECT_STREQ(by["127.0.0.1:1"]->statusText, "Connection refused");
    EXPECT_EQ(ntohs(Ipv4Block(by["127.0.0.1:1"]->addrB).sin_port), 1) << "the address tried";
    ASSERT_TRUE(by.count(Dest("127.0.0.1")));
    EXPECT_EQ(by[Dest("127.0.0.1")]->status, 7);
    EXPECT_STREQ(by[Dest("127.0.0.1")]->text3, "BIND");
    ASSERT_TRUE(by.count(""));
    EXPECT_EQ(by[""]->status, 8);
    EXPECT_EQ(by[""]->code1, 9);
    ASSERT_TRUE(by.count("no-such-host.invalid:80"));
    EXPECT_EQ(by["no-such-host.invalid:80"]->status, 4);
    for (auto &r : s) {
        EXPECT_EQ(r.countA, 0u);
        EXPECT_EQ(r.countB, 0u);
    }
}

TEST_F(Socks5Demo, IPv6DestinationIsRelayedAndRecordedAsSockaddrIn6) {
    HttpServer http6;
    if (!http6.Start(AF_INET6)) GTEST_SKIP() << "no IPv6 loopback";
    proxy = StartProxy();
    int rep;
    std::vector<uint8_t> v6(16, 0);
    v6[15] = 1;
    const int fd = SocksRequest(Request(1, 4, v6, http6.port), &rep);
    ASSERT_EQ(rep, 0);
    const std::string get = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(fd, get.data(), get.size()), static_cast<ssize_t>(get.size()));
    std::string resp;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) resp.append(buf, static_cast<size_t>(n));
    close(fd);
    ASSERT_GT(resp.size(), http6.body.size());
    EXPECT_EQ(Fnv1a(resp.substr(resp.size() - http6.body.size())), Fnv1a(http6.body));
    auto moved = http6.Take(1);
    http6.Stop();

    const std::string dest = "[::1]:" + std::to_string(http6.port);
    auto s = store.Ended(1, [&](const MonData_t &r) { return dest == r.text2; });
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].code1, 4);
    EXPECT_EQ(s[0].countB, resp.size());
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(s[0].countA, moved[0].first);
    sockaddr_in6 b;
    memcpy(&b, s[0].addrB, sizeof b);
    EXPECT_EQ(b.sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(b.sin6_port), http6.port);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&b.sin6_addr));
    EXPECT_TRUE(AllZero(s[0].addrB + sizeof b, MON_ADDR_SIZE - sizeof b));
}

// A client that stops reading stalls the relay; the bytes counted so far
// must still reach warden while the session is open.
TEST_F(Socks5Demo, CountersAreReportedWhileTheSessionIsOpen) {
    proxy = StartProxy();
    int rep;
    const int fd = SocksRequest(Request(1, 3, Bytes("localhost"), http.port), &rep);
    ASSERT_EQ(rep, 0);
    const std::string get = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(fd, get.data(), get.size()), static_cast<ssize_t>(get.size()));
    char buf[4096];
    ASSERT_GT(read(fd, buf, sizeof buf), 0);

    const std::string dest = Dest("localhost");
    MonData_t live;
    memset(&live, 0, sizeof live);
    for (long end = NowMs() + 5000; NowMs() < end && live.countB == 0; usleep(50000)) {
        auto open = store.Open([&](const MonData_t &r) { return dest == r.text2; });
        if (!open.empty()) live = open.back();
    }
    EXPECT_EQ(live.countA, get.size());
    EXPECT_GT(live.countB, 0u) << "no update while the session was open";
    EXPECT_EQ(live.status, 0);

    std::string rest;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) rest.append(buf, static_cast<size_t>(n));
    close(fd);
    auto s = store.Ended(1, [&](const MonData_t &r) { return dest == r.text2; });
    ASSERT_EQ(s.size(), 1u);
    EXPECT_GT(s[0].countB, http.body.size());
    http.Take(1);
}

TEST_F(Socks5Demo, TenParallelDownloadsGiveTenSessions) {
    proxy = StartProxy();
    std::vector<pid_t> curls;
    for (int i = 0; i < 10; ++i)
        curls.push_back(Spawn({kCurl, "-sS", "--max-time", "30", "-x",
                               "socks5h://127.0.0.1:" + std::to_string(kProxyPort), "-o",
                               "/tmp/par" + std::to_string(i), Url("127.0.0.1")}));
    for (pid_t p : curls) EXPECT_EQ(WaitExit(p), 0);
    auto moved = http.Take(10);
    ASSERT_EQ(moved.size(), 10u);
    const std::string dest = Dest("127.0.0.1");
    auto s = store.Ended(10, [&](const MonData_t &r) { return dest == r.text2; });
    ASSERT_EQ(s.size(), 10u);
    std::vector<std::pair<uint64_t, uint64_t>> counted;
    std::vector<std::pair<uint32_t, uint32_t>> handles;
    for (auto &r : s) {
        EXPECT_EQ(r.status, 0);
        counted.emplace_back(r.countA, r.countB);
        handles.emplace_back(r.pid, r.handleNum);
    }
    std::sort(counted.begin(), counted.end());
    std::sort(moved.begin(), moved.end());
    EXPECT_EQ(counted, moved);
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end()) << "one handle per session";
}

TEST_F(Socks5Demo, LoginIsCheckedAndTheUserReported) {
    const char *users = "/tmp/users";
    const std::string text = "# demo users\n\nbob:hunter2\r\nalice:s3cret:with:colons\n";
    const int fd = open(users, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    proxy = StartProxy({"--users", users});
    const std::string at = "@127.0.0.1:" + std::to_string(kProxyPort);

    unlink("/tmp/bad.bin");
    EXPECT_NE(Curl(Url("localhost"), "/tmp/bad.bin", "socks5h://alice:s3cret" + at), 0);
    EXPECT_NE(access("/tmp/bad.bin", F_OK), 0);
    // A client that offers only "no authentication" is turned away.
    int rep;
    EXPECT_EQ(SocksRequest(Request(1, 1, {127, 0, 0, 1}, http.port), &rep), -1);

    ASSERT_EQ(Curl(Url("localhost"), "/tmp/good.bin", "socks5h://alice:s3cret:with:colons" + at), 0);
    EXPECT_EQ(ReadFile("/tmp/good.bin").size(), http.body.size());
    EXPECT_EQ(Curl(Url("localhost"), "/tmp/good2.bin", "socks5h://bob:hunter2" + at), 0);
    // The refused login is a record of its own, ended at once, under the
    // name tried and the RFC 1929 status it was sent; the client that
    // offered no login method never got as far as a login and has none.
    auto s = store.Ended(3, [](const MonData_t &) { return true; });
    ASSERT_EQ(s.size(), 3u);
    std::vector<std::pair<std::string, int>> seen;
    for (auto &r : s) seen.emplace_back(r.text1, r.status);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{
                        {"alice", 0}, {"alice", MON_STATUS_AUTH_BASE + 1}, {"bob", 0}}));
    for (auto &r : s) {
        if (r.status == 0) continue;
        EXPECT_STREQ(r.statusText, "authentication failed");
        EXPECT_STREQ(r.text2, "");
        EXPECT_STREQ(r.text3, "");
        EXPECT_STREQ(r.text4, "socks5-demo");
        EXPECT_EQ(Ipv4Block(r.addrA).sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(QxMonTotalA(&r) + QxMonTotalB(&r), 0u);
    }
    http.Take(2);
}

// A server that writes as fast as it is taken until the connection fails:
// the relay towards a client that stops reading is then full everywhere.
// A server that writes to every connection as fast as it is taken, until the
// connection fails: the relay towards a client that stops reading is then
// full everywhere.
class FloodServer {
  public:
    uint16_t port = 0;

    bool Start() {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in in = {};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof in;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&in), len) < 0 || listen(fd, 16) < 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len) < 0) {
            if (fd >= 0) close(fd);
            return false;
        }
        port = ntohs(in.sin_port);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            signal(SIGCHLD, SIG_IGN);
            for (;;) {
                const int c = accept(fd, nullptr, nullptr);
                if (c < 0) continue;
                if (fork() == 0) {
                    const std::string chunk(65536, 'x');
                    while (send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {}
                    _exit(0);
                }
                close(c);
            }
        }
        setpgid(pid_, pid_);
        close(fd);
        return pid_ > 0;
    }
    ~FloodServer() {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            WaitExit(pid_);
        }
    }

  private:
    pid_t pid_ = 0;
};

// The counters say what was relayed: what the other side was given, not
// what was read.  A session cut while its client has stopped reading holds
// read bytes it never passed on; they must not be counted.  Whether the
// proxy holds any at the moment of the cut is up to the kernel's buffers,
// so several sessions are cut at once.
TEST_F(Socks5Demo, CountersHoldWhatWasDeliveredNotWhatWasRead) {
    FloodServer flood;
    ASSERT_TRUE(flood.Start());
    proxy = StartProxy();
    const std::string dest = "127.0.0.1:" + std::to_string(flood.port);
    constexpr size_t kSessions = 4;
    std::vector<int> clients;
    for (size_t i = 0; i < kSessions; ++i) {
        int rep;
        const int fd = SocksRequest(Request(1, 1, {127, 0, 0, 1}, flood.port), &rep);
        ASSERT_EQ(rep, 0);
        clients.push_back(fd);
    }
    std::vector<MonData_t> open;
    for (long end = NowMs() + 5000; open.size() < kSessions && NowMs() < end; usleep(20000))
        open = store.Open([&](const MonData_t &r) { return dest == r.text2; });
    ASSERT_EQ(open.size(), kSessions);
    // Once nothing more reaches the clients, every buffer on the way is full
    // and the proxy may hold bytes it read but cannot pass on.
    std::vector<int> queued(kSessions, -1), was(kSessions, -2);
    long still = NowMs();
    for (long end = NowMs() + 10000; NowMs() < end && NowMs() - still < 1000; usleep(50000)) {
        for (size_t i = 0; i < kSessions; ++i) {
            ASSERT_EQ(ioctl(clients[i], FIONREAD, &queued[i]), 0);
            if (queued[i] != was[i]) still = NowMs();
            was[i] = queued[i];
        }
    }
    for (const MonData_t &r : open) ASSERT_EQ(kill(static_cast<pid_t>(r.pid), SIGTERM), 0);

    std::map<uint16_t, uint64_t> received;  // by the client's port
    for (int fd : clients) {
        struct sockaddr_in me = {};
        socklen_t len = sizeof me;
        getsockname(fd, reinterpret_cast<sockaddr *>(&me), &len);
        uint64_t total = 0;
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) total += static_cast<uint64_t>(n);
        EXPECT_EQ(n, 0) << "the stream did not end cleanly: " << strerror(errno);
        close(fd);
        EXPECT_GT(total, 0u);
        received[ntohs(me.sin_port)] = total;
    }
    auto s = store.Ended(kSessions, [&](const MonData_t &r) { return dest == r.text2; });
    ASSERT_EQ(s.size(), kSessions);
    for (const MonData_t &r : s) {
        const uint16_t port = ntohs(Ipv4Block(r.addrA).sin_port);
        ASSERT_TRUE(received.count(port)) << port;
        EXPECT_EQ(r.countB, received[port]) << "bytes counted that never reached the client";
        EXPECT_EQ(r.countA, 0u);
    }
}

// "*:PORT" is every address: IPv6 clients are served as well as IPv4 ones,
// and an IPv4 client is recorded as the IPv4 address it is.
TEST_F(Socks5Demo, EveryAddressServesBothFamilies) {
    proxy = StartProxy({"--listen", "*:" + std::to_string(kProxyPort)});
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    struct sockaddr_in6 lo6 = {};
    lo6.sin6_family = AF_INET6;
    lo6.sin6_addr = in6addr_loopback;
    const bool haveV6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&lo6), sizeof lo6) == 0;
    if (probe >= 0) close(probe);
    if (haveV6) {
        const int fd = socket(AF_INET6, SOCK_STREAM, 0);
        lo6.sin6_port = htons(kProxyPort);
        const uint8_t hello[3] = {5, 1, 0};
        uint8_t m[2] = {0, 0};
        struct timeval tv = {10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&lo6), sizeof lo6), 0) << strerror(errno);
        EXPECT_EQ(write(fd, hello, 3), 3);
        EXPECT_EQ(recv(fd, m, 2, MSG_WAITALL), 2);
        EXPECT_EQ(m[0], 5);
        EXPECT_EQ(m[1], 0);
        close(fd);
    }
    int rep;
    const int fd = SocksRequest(Request(1, 1, {127, 0, 0, 1}, 1), &rep);
    EXPECT_EQ(rep, 5);
    if (fd >= 0) close(fd);
    auto s = store.Ended(1, [](const MonData_t &r) { return std::string(r.text2) == "127.0.0.1:1"; });
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(Ipv4Block(s[0].addrA).sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    if (!haveV6) GTEST_SKIP() << "no IPv6 loopback: only the IPv4 side was tried";
}

// The handshake has one deadline for all its reads: a client that sends a
// byte now and then, each well within the time allowed, is still cut when
// the whole exchange takes longer.  One that keeps to it is served.
TEST(Socks5DemoAlone, HandshakeHasOneDeadlineForAllItsReads) {
    pid_t proxy = StartProxy({"--no-monitor", "--handshake-timeout", "1"});
    int rep;
    const int quick = SocksRequest(Request(1, 1, {127, 0, 0, 1}, 1), &rep);
    EXPECT_EQ(rep, 5) << "a client within the deadline must be served";
    if (quick >= 0) close(quick);

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(kProxyPort);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&in), sizeof in), 0);
    std::vector<uint8_t> bytes = {5, 1, 0};
    const auto req = Request(1, 3, std::vector<uint8_t>(64, 'a'), 80);
    bytes.insert(bytes.end(), req.begin(), req.end());
    size_t sent = 0;
    bool cut = false;
    // Four times the deadline: far more than one byte's wait, far less than
    // the whole trickle.
    for (const long end = NowMs() + 4000; !cut && sent < bytes.size() && NowMs() < end; ++sent) {
        if (send(fd, &bytes[sent], 1, MSG_NOSIGNAL) != 1) {
            cut = true;
            break;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 250) > 0) {
            uint8_t reply[2];
            const ssize_t n = recv(fd, reply, sizeof reply, 0);
            cut = n <= 0;
        }
    }
    close(fd);
    EXPECT_TRUE(cut) << "still connected after " << sent << " of " << bytes.size() << " bytes";
    EXPECT_LT(sent, bytes.size());
    Stop(proxy);
}

// Without warden, reporting fails quietly and the proxy relays all the same.
TEST(Socks5DemoAlone, ProxiesWhenWardenIsNotRunning) {
    if (access(kCurl, X_OK) != 0) GTEST_SKIP() << "no curl";
    HttpServer http;
    ASSERT_TRUE(http.Start(AF_INET));
    const std::string url = "http://127.0.0.1:" + std::to_string(http.port) + "/f";
    for (const char *mode : {"", "--no-monitor"}) {
        pid_t proxy = StartProxy(*mode ? std::vector<std::string>{mode} : std::vector<std::string>{});
        const std::string out = std::string("/tmp/alone") + mode;
        EXPECT_EQ(Curl(url, out), 0) << mode;
        EXPECT_EQ(Fnv1a(ReadFile(out)), Fnv1a(http.body)) << mode;
        Stop(proxy);
    }
    http.Stop();
}

#ifdef WARDEN_BIN
// A download that runs for a few seconds (the server sends slowly) while
// warden is stopped and started again: the new daemon's store knows nothing
// of the session, whose later reports make it appear there with its
// original start time, and its end carries the totals curl moved.  Then the
// same the other way round: a proxy that began its sessions before any
// warden ran.
TEST(Socks5DemoAlone, SessionsSurviveADaemonRestart) {
    if (access(kCurl, X_OK) != 0) GTEST_SKIP() << "no curl";
    HttpServer http;
    testsupport::Warden warden;
    pid_t proxy = 0, curl = 0;
    int keeper = -1;
    // Whatever ends the test, nothing it started outlives it.
    struct Cleanup {
        HttpServer &http;
        testsupport::Warden &warden;
        pid_t &proxy, &curl;
        int &keeper;
        ~Cleanup() {
            Stop(curl);
            Stop(proxy);
            warden.Stop();
            if (keeper >= 0) close(keeper);
            http.Stop();
        }
    } cleanup{http, warden, proxy, curl, keeper};
    http.pause = 160 * 1000;  // about 10 s for the body: it outlasts the restart
    ASSERT_TRUE(http.Start(AF_INET));
    const std::string url = "http://127.0.0.1:" + std::to_string(http.port) + "/slow";
    const std::string dest = "127.0.0.1:" + std::to_string(http.port);
    auto isOurs = [&](const MonData_t &r) { return dest == r.text2; };
    auto slowCurl = [&](const std::string &out) {
        return Spawn({kCurl, "-sS", "--max-time", "30", "-x",
                      "socks5h://127.0.0.1:" + std::to_string(kProxyPort), "-o", out, url});
    };

    StartWarden(&warden, &keeper);
    proxy = StartProxy({"--report-interval", "1"});
    StoreReader before;
    ASSERT_TRUE(before.Open());
    const time_t started = time(nullptr);
    curl = slowCurl("/tmp/restart.bin");
    std::vector<MonData_t> open;
    for (long end = NowMs() + 5000; NowMs() < end && open.empty(); usleep(50000)) {
        open = before.Open(isOurs);
        if (!open.empty() && QxMonTotalB(&open[0]) == 0) open.clear();
    }
    ASSERT_EQ(open.size(), 1u) << "the session did not show before the restart";
    before.Close();

    warden.Stop();
    close(keeper);
    usleep(1500 * 1000);  // reports meanwhile find no reader
    StartWarden(&warden, &keeper);
    StoreReader after;
    ASSERT_TRUE(after.Open());
    // Still running, and in the new store before it ends.
    std::vector<MonData_t> again;
    for (long end = NowMs() + 7000; NowMs() < end && again.empty(); usleep(50000))
        again = after.Open(isOurs);
    ASSERT_EQ(again.size(), 1u) << "the running session did not reach the new daemon";
    EXPECT_EQ(again[0].startTime, open[0].startTime);
    EXPECT_GE(again[0].startTime, started);

    ASSERT_EQ(WaitExit(curl), 0);
    curl = 0;
    EXPECT_EQ(Fnv1a(ReadFile("/tmp/restart.bin")), Fnv1a(http.body));
    auto moved = http.Take(1);
    ASSERT_EQ(moved.size(), 1u);
    auto ended = after.Ended(1, isOurs);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(QxMonTotalA(&ended[0]), moved[0].first);
    EXPECT_EQ(QxMonTotalB(&ended[0]), moved[0].second);
    EXPECT_EQ(ended[0].startTime, open[0].startTime);
    EXPECT_EQ(ended[0].status, 0);
    after.Close();
    warden.Stop();
    close(keeper);
    keeper = -1;
    Stop(proxy);

    // No warden at all when the session begins.
    proxy = StartProxy({"--report-interval", "1"});
    curl = slowCurl("/tmp/late.bin");
    usleep(1500 * 1000);
    StartWarden(&warden, &keeper);
    StoreReader late;
    ASSERT_TRUE(late.Open());
    ASSERT_EQ(WaitExit(curl), 0);
    curl = 0;
    moved = http.Take(1);
    ASSERT_EQ(moved.size(), 1u);
    ended = late.Ended(1, isOurs);
    ASSERT_EQ(ended.size(), 1u) << "a session begun before warden ran never showed";
    EXPECT_EQ(QxMonTotalA(&ended[0]), moved[0].first);
    EXPECT_EQ(QxMonTotalB(&ended[0]), moved[0].second);
    EXPECT_STREQ(ended[0].statusText, "succeeded");
    late.Close();
}
// The threaded example: three downloads at once, each its own thread and
// handle, each reported with the bytes the server sent and received.
TEST(Socks5DemoAlone, ThreadedExampleReportsEverySession) {
    if (access(kCurl, X_OK) != 0) GTEST_SKIP() << "no curl";
    const std::string bin = QUELM_BINARY_DIR "/examples/threaded_proxy";
    if (access(bin.c_str(), X_OK) != 0) GTEST_SKIP() << "threaded_proxy is not built";
    HttpServer http;
    testsupport::Warden warden;
    pid_t proxy = 0;
    int keeper = -1;
    struct Cleanup {
        HttpServer &http;
        testsupport::Warden &warden;
        pid_t &proxy;
        int &keeper;
        ~Cleanup() {
            Stop(proxy);
            warden.Stop();
            if (keeper >= 0) close(keeper);
            http.Stop();
        }
    } cleanup{http, warden, proxy, keeper};
    ASSERT_TRUE(http.Start(AF_INET));
    StartWarden(&warden, &keeper);
    StoreReader store;
    ASSERT_TRUE(store.Open());
    constexpr int kPort = 1082;
    proxy = Spawn({bin, std::to_string(kPort)});
    for (long end = NowMs() + 5000; NowMs() < end && !CanConnect(AF_INET, kPort);) usleep(10000);

    const std::string url = "http://127.0.0.1:" + std::to_string(http.port) + "/t";
    std::vector<pid_t> curls;
    for (int i = 0; i < 3; ++i)
        curls.push_back(Spawn({kCurl, "-sS", "--max-time", "20", "-x",
                               "socks5h://127.0.0.1:" + std::to_string(kPort), "-o",
                               "/tmp/thr" + std::to_string(i), url}));
    for (pid_t p : curls) EXPECT_EQ(WaitExit(p), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Fnv1a(ReadFile("/tmp/thr" + std::to_string(i))), Fnv1a(http.body));
    auto moved = http.Take(3);
    ASSERT_EQ(moved.size(), 3u);
    auto s = store.Ended(3, [](const MonData_t &r) { return strcmp(r.text4, "threaded_proxy") == 0; });
    ASSERT_EQ(s.size(), 3u);
    std::vector<std::pair<uint64_t, uint64_t>> counted;
    std::vector<uint32_t> handles;
    for (auto &r : s) {
        counted.emplace_back(QxMonTotalA(&r), QxMonTotalB(&r));
        handles.push_back(r.handleNum);
        EXPECT_EQ(r.status, 0);
        EXPECT_STREQ(r.statusText, "succeeded");
        EXPECT_EQ(Ipv4Block(r.addrA).sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(ntohs(Ipv4Block(r.addrB).sin_port), http.port);
    }
    std::sort(counted.begin(), counted.end());
    std::sort(moved.begin(), moved.end());
    EXPECT_EQ(counted, moved);
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());
    store.Close();
}
#endif


}  // namespace
