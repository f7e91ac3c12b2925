// warden-watch on the real servers operators run: Debian's microsocks,
// Dante's danted and OpenSSH's `ssh -D`, each started unmodified through the
// launcher, with real curl clients, a warden daemon of this tree, and the
// sessions read back as warden-top --json shows them.  Runs under
// quelm_isolate: its own /tmp, loopback and mounts.
#include <sys/mount.h>

#include <set>

#include <gtest/gtest.h>

#include <quelm/monitor.h>

#include "watch_support.h"

namespace {

using namespace watchtest;
using nlohmann::json;

const char *const kUser = "alice";
const char *const kPassword = "s3cret-pw";

// How one server is started, and what it does with a refused destination.
struct Server {
    const char *name;      // the record's proxy name
    const char *program;   // looked up in PATH
    uint16_t port;
    bool login;            // asks for an RFC 1929 user name
    int refusedStatus;     // reply to a refused destination; -1: it sends none
};

const Server kMicrosocks = {"microsocks", "microsocks", 1080, true, 5};
const Server kDante = {"danted", "danted", 1081, true, 5};
const Server kSsh = {"ssh", "ssh", 1082, false, -1};

// Curl's view of one transfer: exit status, request and response bytes, and
// the local port of its connection to the proxy.
struct Transfer {
    int rc = -1;
    uint64_t up = 0, down = 0;
    int port = -1;
};

std::string ProxyUrl(const Server &s, const char *password = kPassword)
{
    return std::string("socks5h://") + (s.login ? std::string(kUser) + ":" + password + "@" : "") +
           "127.0.0.1:" + std::to_string(s.port);
}

Transfer Curl(const Server &s, const std::string &url, const char *password = kPassword)
{
    const pid_t pid = Spawn({"curl", "-sS", "--max-time", "30", "-x", ProxyUrl(s, password), "-o",
                             "/tmp/body", "-w", "%{size_request} %{size_header} %{size_download} %{local_port}",
                             url},
                            {}, "/tmp/curl.out");
    Transfer t;
    t.rc = WaitExit(pid);
    unsigned long long req = 0, head = 0, body = 0;
    int port = -1;
    if (sscanf(ReadFile("/tmp/curl.out").c_str(), "%llu %llu %llu %d", &req, &head, &body, &port) == 4) {
        t.up = req;
        t.down = head + body;
        t.port = port;
    }
    return t;
}

class WatchServers : public testing::Test {
  protected:
    static Warden warden;
    static HttpServer http;
    static bool root;
    pid_t server = 0, sshd = 0;

    static void SetUpTestSuite()
    {
        root = geteuid() == 0;
        ASSERT_TRUE(http.Start());
        ASSERT_TRUE(warden.Start());
    }
    static void TearDownTestSuite()
    {
        warden.Stop();
        http.Stop();
    }
    void TearDown() override
    {
        Stop(server);
        Stop(sshd);
        if (HasFailure())
            for (const char *log : {"/tmp/danted.log", "/tmp/ssh.out", "/tmp/ssh/sshd.log", "/tmp/curl.out"})
                if (access(log, R_OK) == 0)
                    printf("---- %s\n%s\n", log, ReadFile(log).c_str());
    }

    // Starts s through warden-watch and waits until it takes clients.
    void StartServer(const Server &s)
    {
        std::vector<std::string> args = {WATCH_BIN, "--"};
        if (&s == &kMicrosocks) {
            args.insert(args.end(), {"microsocks", "-i", "127.0.0.1", "-p", "1080", "-u", kUser, "-P",
                                     kPassword});
        } else if (&s == &kDante) {
            if (!root)
                GTEST_SKIP() << "Dante's user name method needs a user database of the test's own";
            PrivateUser();
            WriteFile("/tmp/danted.conf",
                      "logoutput: /tmp/danted.log\n"
                      "internal: 127.0.0.1 port = 1081\n"
                      "external: 127.0.0.1\n"
                      "socksmethod: username\n"
                      "clientmethod: none\n"
                      "user.privileged: root\n"
                      "user.unprivileged: nobody\n"
                      "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                      "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n");
            args.insert(args.end(), {"danted", "-f", "/tmp/danted.conf", "-p", "/tmp/danted.pid"});
        } else {
            if (!root)
                GTEST_SKIP() << "sshd needs root";
            StartSshd();
            args.insert(args.end(), {"ssh", "-F", "/dev/null", "-N", "-D", "127.0.0.1:1082", "-i",
                                     "/tmp/ssh/userkey", "-p", "2222", "-o", "BatchMode=yes",
                                     "-o", "StrictHostKeyChecking=no", "-o",
                                     "UserKnownHostsFile=/tmp/ssh/known_hosts", "-o",
                                     "ExitOnForwardFailure=yes", "root@127.0.0.1"});
        }
        server = Spawn(args, {}, std::string("/tmp/") + s.name + ".out");
        ASSERT_TRUE(WaitPort(s.port)) << s.name << " did not start";
    }

    // A user database of the test's own in its mount namespace: the user
    // Dante's username method checks, with a password only this test knows.
    void PrivateUser()
    {
        const pid_t py = Spawn({"python3", "-W", "ignore", "-c",
                                "import crypt,sys; print(crypt.crypt(sys.argv[1], crypt.mksalt(crypt.METHOD_SHA512)))",
                                kPassword},
                               {}, "/tmp/hash");
        ASSERT_EQ(WaitExit(py), 0);
        std::string hash = ReadFile("/tmp/hash");
        hash.erase(hash.find_last_not_of("\n") + 1);
        WriteFile("/tmp/passwd", ReadFile("/etc/passwd") + kUser + ":x:4242:4242::/nonexistent:/usr/sbin/nologin\n");
        WriteFile("/tmp/shadow", ReadFile("/etc/shadow") + kUser + ":" + hash + ":19000:0:99999:7:::\n", 0600);
        ASSERT_EQ(mount("/tmp/passwd", "/etc/passwd", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
        ASSERT_EQ(mount("/tmp/shadow", "/etc/shadow", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    }

    // sshd on 127.0.0.1:2222 with keys made here, for root's key login.
    void StartSshd()
    {
        struct stat st;
        if (stat("/run/sshd", &st) != 0) {
            // Its privilege separation directory, in this namespace only.
            ASSERT_EQ(mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755"), 0);
            ASSERT_EQ(mkdir("/run/sshd", 0755), 0);
        }
        mkdir("/tmp/ssh", 0700);
        for (const char *k : {"/tmp/ssh/hostkey", "/tmp/ssh/userkey"}) {
            if (access(k, R_OK) == 0)
                continue;  // made by an earlier test
            ASSERT_EQ(WaitExit(Spawn({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", k})), 0);
        }
        WriteFile("/tmp/ssh/authorized_keys", ReadFile("/tmp/ssh/userkey.pub"));
        WriteFile("/tmp/ssh/sshd_config",
                  "Port 2222\nListenAddress 127.0.0.1\nHostKey /tmp/ssh/hostkey\n"
                  "PidFile /tmp/ssh/sshd.pid\nAuthorizedKeysFile /tmp/ssh/authorized_keys\n"
                  "StrictModes no\nUsePAM no\nPermitRootLogin yes\nAllowTcpForwarding yes\n"
                  "MaxStartups 100\n");
        sshd = Spawn({"/usr/sbin/sshd", "-D", "-e", "-f", "/tmp/ssh/sshd_config"}, {}, "/tmp/ssh/sshd.log");
        ASSERT_TRUE(WaitPort(2222)) << "sshd did not start";
    }

    // A download, a refused destination and (where asked) a refused login.
    void DownloadRefusalAndLogin(const Server &s)
    {
        StartServer(s);
        if (testing::Test::IsSkipped() || HasFatalFailure())
            return;
        const Transfer t = Curl(s, http.Url("localhost", "/300123"));
        ASSERT_EQ(t.rc, 0);
        EXPECT_EQ(ReadFile("/tmp/body").size(), 300123u);
        const std::string dest = "localhost:" + std::to_string(http.port);
        auto got = warden.Ended(server, 1, [&](const json &r) { return ClientPort(r) == t.port; });
        ASSERT_EQ(got.size(), 1u) << "one session under one key";
        const json &r = got[0];
        EXPECT_EQ(r["bytes_up"].get<uint64_t>(), t.up);
        EXPECT_EQ(r["bytes_down"].get<uint64_t>(), t.down);
        EXPECT_EQ(r["destination"], dest);
        EXPECT_EQ(r["user"], s.login ? kUser : "");
        EXPECT_EQ(r["command"], "CONNECT");
        EXPECT_EQ(r["proxy"], s.name);
        EXPECT_EQ(r["status"], 0);
        EXPECT_EQ(r["status_text"], "succeeded");
        EXPECT_EQ(r["code1"], 3);  // asked by name
        EXPECT_EQ(r["client"], "127.0.0.1:" + std::to_string(t.port));
        if (&s != &kSsh) {  // ssh -D leaves the connect to sshd, another process
            EXPECT_EQ(r["resolved"], "127.0.0.1:" + std::to_string(http.port));
        }

        // A port nobody listens on.
        const std::string closed = "127.0.0.1:1";
        const Transfer refused = Curl(s, "http://127.0.0.1:1/");
        EXPECT_NE(refused.rc, 0);
        got = warden.Ended(server, 1, [&](const json &x) { return x["destination"] == closed; });
        ASSERT_EQ(got.size(), 1u);
        if (s.refusedStatus >= 0) {
            EXPECT_EQ(got[0]["status"], s.refusedStatus);
            EXPECT_EQ(got[0]["status_text"], QxSocksReplyText(s.refusedStatus));
            EXPECT_EQ(got[0]["resolved"], closed);
        } else {
            // The server closed the connection without any reply: none shown.
            EXPECT_EQ(got[0]["status_text"], "");
        }
        EXPECT_EQ(got[0]["bytes_down"], 0);

        if (!s.login)
            return;
        const Transfer denied = Curl(s, http.Url("localhost", "/10"), "wrong");
        EXPECT_NE(denied.rc, 0);
        got = warden.Ended(server, 1, [&](const json &x) { return x["status"].get<int>() > 0x100; });
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0]["user"], kUser);
        EXPECT_EQ(got[0]["status_text"], "authentication failed");
        EXPECT_EQ(got[0]["destination"], "");
    }

    // 200 sessions open at once (the destination answers after a second):
    // each ends in exactly one record, under its own client port.
    void ConcurrentSessions(const Server &s, int n = 200)
    {
        StartServer(s);
        if (testing::Test::IsSkipped() || HasFatalFailure())
            return;
        std::vector<std::string> args = {"curl", "-sS", "--max-time", "60", "-Z", "--parallel-max",
                                         std::to_string(n), "--parallel-immediate", "-x", ProxyUrl(s),
                                         "-w", "%{local_port}\n"};
        for (int i = 0; i < n; ++i)
            args.insert(args.end(), {"-o", "/dev/null", http.Url("localhost", "/slow/1000")});
        ASSERT_EQ(WaitExit(Spawn(args, {}, "/tmp/ports")), 0);
        std::multiset<int> ports;
        const std::string lines = ReadFile("/tmp/ports");
        for (size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1) {
            if (const int port = atoi(lines.c_str() + at))
                ports.insert(port);
            if (lines.find('\n', at) == std::string::npos)
                break;
        }
        ASSERT_EQ(ports.size(), static_cast<size_t>(n));
        auto got = warden.Ended(server, n, [&](const json &r) { return ports.count(ClientPort(r)) != 0; });
        std::multiset<int> seen;
        for (const json &r : got) {
            seen.insert(ClientPort(r));
            EXPECT_EQ(r["bytes_down"].get<uint64_t>(),
                      1000u + strlen("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n"));
        }
        EXPECT_EQ(seen, ports);
    }
};
Warden WatchServers::warden;
HttpServer WatchServers::http;
bool WatchServers::root = false;

// A slow download while warden is stopped and started again: the server
// carries on as if nothing happened, and the new daemon learns of the
// session under the key it had, with the totals curl moved at its end.
TEST_F(WatchServers, SessionOutlivesAWardenRestart)
{
    for (const Server *s : {&kMicrosocks, &kDante}) {
        SCOPED_TRACE(s->name);
        StartServer(*s);
        if (testing::Test::IsSkipped() || HasFatalFailure())
            return;
        const std::string path = "/drip/3000000";
        const pid_t curl = Spawn({"curl", "-sS", "--max-time", "60", "-x", ProxyUrl(*s), "-o",
                                  "/tmp/drip", "-w", "%{size_request} %{size_header} %{size_download}",
                                  http.Url("localhost", path)},
                                 {}, "/tmp/drip.out");
        const std::string dest = "localhost:" + std::to_string(http.port);
        std::string key;
        for (long end = NowMs() + 10000; key.empty() && NowMs() < end; usleep(20000))
            for (const auto &kv : warden.Records())
                if (kv.second.value("pid", 0) == server && kv.second["destination"] == dest &&
                    kv.second.value("state", "") != "ended")
                    key = kv.first;
        ASSERT_FALSE(key.empty()) << "the running session was not shown";
        warden.Stop();
        usleep(300000);
        ASSERT_TRUE(warden.Start());
        ASSERT_EQ(WaitExit(curl), 0) << "the server did not carry on";
        unsigned long long req = 0, head = 0, body = 0;
        ASSERT_EQ(sscanf(ReadFile("/tmp/drip.out").c_str(), "%llu %llu %llu", &req, &head, &body), 3);
        EXPECT_EQ(body, 3000000u);
        auto got = warden.Ended(server, 1, [&](const json &r) { return r["key"] == key; });
        ASSERT_EQ(got.size(), 1u) << "the new daemon never saw the session end";
        EXPECT_EQ(got[0]["bytes_up"].get<uint64_t>(), req);
        EXPECT_EQ(got[0]["bytes_down"].get<uint64_t>(), head + body);
        EXPECT_EQ(got[0]["status"], 0);
        Stop(server);
    }
}

// A server started while no warden runs serves its clients as ever (the
// reports are dropped); once warden is there, the next sessions show.
TEST_F(WatchServers, ServerWorksWithoutWardenAndReportsOnceItRuns)
{
    warden.Stop();
    StartServer(kMicrosocks);
    const Transfer before = Curl(kMicrosocks, http.Url("localhost", "/5000"));
    EXPECT_EQ(before.rc, 0);
    EXPECT_EQ(ReadFile("/tmp/body").size(), 5000u);
    ASSERT_TRUE(warden.Start());
    const Transfer after = Curl(kMicrosocks, http.Url("localhost", "/7000"));
    ASSERT_EQ(after.rc, 0);
    auto got = warden.Ended(server, 1, [&](const json &r) { return ClientPort(r) == after.port; });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]["bytes_down"].get<uint64_t>(), after.down);
    EXPECT_TRUE(warden.Ended(server, 1, [&](const json &r) { return ClientPort(r) == before.port; },
                             200)
                    .empty());
}

// --check reads the program's symbol table: Debian's servers can be
// watched, a statically linked program cannot, and the launcher says so.
TEST(WardenWatch, CheckTellsWhatCanBeWatched)
{
    const pid_t ok = Spawn({WATCH_BIN, "--check", "--", "danted"}, {}, "/tmp/check.out");
    EXPECT_EQ(WaitExit(ok), 0);
    std::string out = ReadFile("/tmp/check.out");
    EXPECT_NE(out.find("can be watched"), std::string::npos) << out;
    for (const char *call : {" accept", " recvmsg", " sendmsg", " dup2", " __read_chk"})
        EXPECT_NE(out.find(call), std::string::npos) << call << " in " << out;
    EXPECT_EQ(out.find(" accept4"), std::string::npos) << out;

    const pid_t no = Spawn({WATCH_BIN, "--check", "--", STATIC_PROBE_BIN}, {}, "/tmp/check.out");
    EXPECT_EQ(WaitExit(no), 1);
    out = ReadFile("/tmp/check.out");
    EXPECT_NE(out.find("cannot be watched: it is statically linked"), std::string::npos) << out;

    EXPECT_EQ(WaitExit(Spawn({WATCH_BIN, "--check", "--", "/nonexistent/server"})), 1);
    EXPECT_EQ(WaitExit(Spawn({WATCH_BIN, "--check"})), 2);

    const pid_t unit = Spawn({WATCH_BIN, "--systemd"}, {}, "/tmp/check.out");
    EXPECT_EQ(WaitExit(unit), 0);
    out = ReadFile("/tmp/check.out");
    const std::string line = "Environment=LD_PRELOAD=";
    const size_t at = out.find(line);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string lib = out.substr(at + line.size(), out.find('\n', at) - at - line.size());
    EXPECT_EQ(access(lib.c_str(), R_OK), 0) << lib;
}

TEST_F(WatchServers, MicrosocksDownloadRefusalAndLogin) { DownloadRefusalAndLogin(kMicrosocks); }
TEST_F(WatchServers, DanteDownloadRefusalAndLogin) { DownloadRefusalAndLogin(kDante); }
TEST_F(WatchServers, SshDynamicForwardDownloadAndRefusal) { DownloadRefusalAndLogin(kSsh); }

TEST_F(WatchServers, MicrosocksConcurrentSessionsAreEachSeenOnce) { ConcurrentSessions(kMicrosocks); }
TEST_F(WatchServers, DanteConcurrentSessionsAreEachSeenOnce) { ConcurrentSessions(kDante); }
TEST_F(WatchServers, SshConcurrentSessionsAreEachSeenOnce) { ConcurrentSessions(kSsh); }

}  // namespace
