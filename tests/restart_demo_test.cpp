// A curl download through socks5-demo across a quick daemon restart: the
// running session shows in the new store and ends there with the byte
// counts the server saw.  Real warden, real curl; runs under quelm_isolate.
#include "history_support.h"
#include "restart_support.h"

namespace {

using namespace restartsupport;

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
    hist::HttpServer http;  // it tells the bytes it received and sent
    constexpr size_t kBody = 1536 * 1024;
    ASSERT_TRUE(warden.Start());
    http.pause = 20 * 1000;  // about 2 s for the body
    ASSERT_TRUE(http.Start(kBody));
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
    const auto [in, sent] = http.Take();
    ASSERT_GT(sent, kBody);
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
