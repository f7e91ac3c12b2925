// A curl download through socks5-demo across a quick daemon restart: the
// running session shows in the new store and ends there with the byte
// counts the server saw.  Real warden, real curl; runs under quelm_isolate.
#include "restart_support.h"

#include <arpa/inet.h>

namespace {

using namespace restartsupport;

// A one-connection HTTP/1.0 server on loopback that sends its body slowly
// (32 KiB pieces, a pause after each) and reports the bytes it received
// and sent: the totals the proxy's record must end with.
class SlowHttp {
public:
    ~SlowHttp() { Stop(); }
    bool Start(size_t bodySize, useconds_t pause)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int p[2];
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0 ||
            pipe2(p, O_CLOEXEC) != 0)
            return false;
        port = ntohs(a.sin_port);
        pid_ = fork();
        if (pid_ == 0) {
            close(p[0]);
            const int c = accept(fd, nullptr, nullptr);
            unsigned long long in = 0, sent = 0;
            std::string req;
            char buf[4096];
            ssize_t r;
            while (req.find("\r\n\r\n") == std::string::npos && (r = read(c, buf, sizeof buf)) > 0) {
                req.append(buf, static_cast<size_t>(r));
                in += static_cast<unsigned long long>(r);
            }
            const std::string all = "HTTP/1.0 200 OK\r\nContent-Length: " +
                                    std::to_string(bodySize) + "\r\n\r\n" +
                                    std::string(bodySize, 'x');
            for (size_t off = 0; off < all.size(); off += static_cast<size_t>(r)) {
                r = write(c, all.data() + off, std::min<size_t>(32768, all.size() - off));
                if (r <= 0)
                    break;
                sent += static_cast<unsigned long long>(r);
                usleep(pause);
            }
            shutdown(c, SHUT_WR);
            while ((r = read(c, buf, sizeof buf)) > 0)
                in += static_cast<unsigned long long>(r);
            char line[64];
            const int n = snprintf(line, sizeof line, "%llu %llu\n", in, sent);
            (void)!write(p[1], line, static_cast<size_t>(n));
            _exit(0);
        }
        close(fd);
        close(p[1]);
        results_ = p[0];
        return pid_ > 0;
    }
    // The bytes received and sent, once the connection is over.
    bool Counts(unsigned long long *in, unsigned long long *sent)
    {
        char line[64] = {};
        const ssize_t r = read(results_, line, sizeof line - 1);
        return r > 0 && sscanf(line, "%llu %llu", in, sent) == 2;
    }
    void Stop()
    {
        testsupport::Stop(pid_, SIGKILL);
        if (results_ >= 0)
            close(results_);
        results_ = -1;
    }
    uint16_t port = 0;

private:
    pid_t pid_ = 0;
    int results_ = -1;
};

// The records of socks5-demo's sessions in the store: every record, read
// through a reading slot opened for this look only.
std::vector<MonData_t> DemoRecords()
{
    std::vector<MonData_t> out;
    MonHandle_t *h = nullptr;
    if (QxMonMemOpen("mon.mmap", 5, &h) != 0)
        return out;
    MonData_t r;
    while (QxMonRecvNextData(h, 1, &r) == 1)
        if (strcmp(r.text4, "socks5-demo") == 0)
            out.push_back(r);
    QxMonClose(h);
    return out;
}

// A curl download through socks5-demo while warden is stopped and started
// again at once: the session shows in the new store while it still runs,
// and ends there with the very byte counts the server saw.
TEST(RestartDemo, CurlDownloadAcrossAQuickRestartEndsWithCurlsTotals)
{
    const char *curlBin = "/usr/bin/curl";
    const std::string demo = QUELM_BINARY_DIR "/examples/socks5-demo";
    if (access(curlBin, X_OK) != 0 || access(demo.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no curl or socks5-demo";
#ifndef WARDEN_BIN
    GTEST_SKIP() << "warden is not built";
#endif
    Warden warden;
    SlowHttp http;
    constexpr size_t kBody = 1536 * 1024;
    ASSERT_TRUE(warden.Start());
    ASSERT_TRUE(http.Start(kBody, 40 * 1000));  // about 2 s for the body
    struct Child {
        pid_t pid = 0;
        ~Child() { testsupport::Stop(pid); }
    } proxy, curl;
    constexpr uint16_t kPort = 1090;
    proxy.pid = Spawn({demo, "--listen", "127.0.0.1:" + std::to_string(kPort),
                       "--report-interval", "1"});
    ASSERT_TRUE(WaitFor([&] { return CanConnect(kPort); }));
    curl.pid = Spawn({curlBin, "-sS", "--max-time", "30", "-x",
                      "socks5h://127.0.0.1:" + std::to_string(kPort), "-o", "/tmp/restart.bin",
                      "http://127.0.0.1:" + std::to_string(http.port) + "/slow"});
    ASSERT_TRUE(WaitFor([&] {
        auto r = DemoRecords();
        return r.size() == 1 && QxMonTotalB(&r[0]) > 0;
    })) << "the download did not show before the restart";
    const int32_t started = DemoRecords()[0].startTime;

    warden.Stop(SIGTERM);
    ASSERT_TRUE(warden.Start());
    EXPECT_TRUE(WaitFor([&] {
        auto r = DemoRecords();
        return r.size() == 1 && (r[0].flags & MON_FLAG_END) == 0;
    })) << "the running download did not reach the new daemon";

    ASSERT_EQ(WaitExit(curl.pid), 0);
    curl.pid = 0;
    unsigned long long in = 0, sent = 0;
    ASSERT_TRUE(http.Counts(&in, &sent));
    struct stat st;
    ASSERT_EQ(stat("/tmp/restart.bin", &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), kBody);
    std::vector<MonData_t> r;
    ASSERT_TRUE(WaitFor([&] {
        r = DemoRecords();
        return r.size() == 1 && (r[0].flags & MON_FLAG_END) != 0;
    })) << "the download's end did not reach the new store";
    EXPECT_EQ(QxMonTotalA(&r[0]), in);
    EXPECT_EQ(QxMonTotalB(&r[0]), sent);
    EXPECT_EQ(+r[0].startTime, started);
    EXPECT_STREQ(r[0].statusText, "succeeded");
}

}  // namespace
