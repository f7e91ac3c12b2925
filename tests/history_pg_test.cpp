// warden's history worker writing into a real PostgreSQL 15 server that the
// test runs itself, as the unprivileged user postgres, on 127.0.0.1 inside
// quelm_isolate's network namespace: a server stopped under load loses no
// session and doubles none (the spool holds them meanwhile), and a wrong
// password, an unknown database or no server at all give one clear line
// each, with the worker idle between its retries.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <climits>

#include "history_support.h"

using namespace hist;

namespace {

PgServer *pg = nullptr;

// Run again as "HISTORY_REPORT=first,count <this program>" inside another
// namespace, the program only reports those sessions (before gtest starts).
const int helperMode = [] {
    const char *asked = getenv("HISTORY_REPORT");
    int first = 0, count = 0;
    if (asked != nullptr && sscanf(asked, "%d,%d", &first, &count) == 2)
        ReportSessions(first, count, 5000);
    return 0;
}();

class HistoryPg : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!PgServer::Available())
            return;
        pg = new PgServer;
        if (!pg->Create()) {
            delete pg; // stops whatever part of it started
            pg = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        delete pg;
        pg = nullptr;
    }
    void SetUp() override
    {
        if (!PgServer::Available())
            GTEST_SKIP() << "no PostgreSQL 15 server binaries or no postgres user";
        ASSERT_NE(pg, nullptr) << "the private PostgreSQL server did not start: "
                               << testsupport::ReadFile("/tmp/pg/tool.log")
                               << testsupport::ReadFile("/tmp/pg/server.log");
    }
    void TearDown() override
    {
        Stop(warden);
        if (keeper >= 0)
            close(keeper);
        keeper = -1;
    }

    // Starts warden writing into the test's server with extra options;
    // true once its collector reads the pipe.
    bool StartWarden(std::vector<std::string> extra)
    {
        std::vector<std::string> args = {WARDEN_BIN, "-f", "--history-interval", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        unlink(log.c_str());
        warden = Spawn(args, log, {"QUELM_LOG_REPEATS=1", "PGUSER=warden"});
        return testsupport::WaitFor([&] {
            keeper = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return keeper >= 0;
        });
    }
    std::vector<std::string> Server(const std::string &password, int port = 0,
                                    const std::string &db = "wardendb")
    {
        const std::string file = "/tmp/pw-" + std::to_string(port) + db;
        FILE *f = fopen(file.c_str(), "w");
        fprintf(f, "%s\n", password.c_str());
        fclose(f);
        return {"-n", db, "-s", "127.0.0.1", "-p", std::to_string(port != 0 ? port : pg->port), "-w", file};
    }

    // One value of sql, "" on any failure.
    static std::string Scalar(const std::string &sql)
    {
        PGconn *c = PQconnectdb(pg->ConnInfo().c_str());
        std::string out;
        if (PQstatus(c) == CONNECTION_OK) {
            PGresult *r = PQexec(c, sql.c_str());
            if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1)
                out = PQgetvalue(r, 0, 0);
            PQclear(r);
        }
        PQfinish(c);
        return out;
    }

    pid_t warden = 0;
    int keeper = -1;
    std::string log = "/tmp/warden-pg.log";
};

TEST_F(HistoryPg, ServerStoppedUnderLoadLosesAndDoublesNothing)
{
    ASSERT_TRUE(StartWarden(Server(pg->password)));
    // Sessions keep coming over the whole outage and past the restart.
    constexpr int kSessions = 460;
    constexpr int kOutageSeconds = 20;
    pid_t reporter = Reporter(1, kSessions, 50 * 1000); // about 23 s of sessions
    struct Reap {
        pid_t &p;
        ~Reap() { Stop(p); }
    } reap{reporter};
    ASSERT_TRUE(testsupport::WaitFor([] { return Scalar("SELECT count(*) FROM warden_sessions") > "0"; }, 10000))
        << testsupport::ReadFile(log);

    // The server goes away while sessions keep coming, and comes back.
    ASSERT_TRUE(pg->Halt());
    sleep(kOutageSeconds);
    ASSERT_TRUE(pg->Start());
    EXPECT_EQ(WaitExit(reporter), 0);
    reporter = 0;

    const std::string want = std::to_string(kSessions);
    ASSERT_TRUE(testsupport::WaitFor([&] { return Scalar("SELECT count(*) FROM warden_sessions") == want; },
                                     30000))
        << Scalar("SELECT count(*) FROM warden_sessions") << " rows; log:\n" << testsupport::ReadFile(log);
    // Every session once, ended, with its own final totals.
    EXPECT_EQ(Scalar("SELECT count(DISTINCT destination) FROM warden_sessions"), want);
    EXPECT_EQ(Scalar("SELECT count(*) FROM warden_sessions WHERE end_time IS NOT NULL AND status_text = 'succeeded'"
                     " AND bytes_up = substring(destination from 6 for position(':' in destination) - 6)::bigint * 1000 + 7"
                     " AND bytes_down = substring(destination from 6 for position(':' in destination) - 6)::bigint * 3000 + 11"),
              want);
    const std::string text = testsupport::ReadFile(log);
    // The outage is told (the lost connection, then the refused ones), not
    // repeated for every retry.
    const int told = CountLines(text, "history: PostgreSQL database wardendb:");
    EXPECT_GE(told, 1) << text;
    EXPECT_LE(told, 3) << text;
    EXPECT_EQ(CountLines(text, "history: the database is written again"), 1) << text;
    EXPECT_NE(text.find("bytes of rows in the spool)"), std::string::npos) << text;
    EXPECT_EQ(text.find("(0 bytes of rows in the spool)"), std::string::npos)
        << "the rows of the outage waited in the spool: " << text;
    EXPECT_EQ(text.find("NOTICE"), std::string::npos) << "the server's notices are no log lines";
    EXPECT_EQ(Scalar("SELECT max(version) FROM warden_schema"), "2");
}

// Texts reach the database byte for byte, whatever they hold (the rows
// travel as COPY text, where tab, newline and backslash are special).
TEST_F(HistoryPg, TextsArriveByteForByte)
{
    ASSERT_TRUE(StartWarden(Server(pg->password)));
    const std::string odd = "a\tb\\c\nd\re'f\\N:80";
    const pid_t child = fork();
    if (child == 0) {
        MonHandle_t *h = nullptr;
        for (int tries = 0; QxSocksMonOpen("", MON_TRANSPORT_FIFO, &h) != 0; ++tries) {
            if (tries == 500)
                _exit(2);
            usleep(10000);
        }
        MonConnInfo_t conn;
        memset(&conn, 0, sizeof conn);
        snprintf(conn.text2, sizeof conn.text2, "%s", odd.c_str());
        snprintf(conn.text1, sizeof conn.text1, "o'brien \\ \"x\"");
        QxSocksMonReport(h, MON_FLAG_START, &conn, nullptr, 0, nullptr, 0, "");
        QxSocksMonReport(h, MON_FLAG_END, &conn, nullptr, 0, nullptr, 0, "");
        QxSocksMonClose(h);
        _exit(0);
    }
    EXPECT_EQ(WaitExit(child), 0);
    ASSERT_TRUE(testsupport::WaitFor([&] {
        return Scalar("SELECT count(*) FROM warden_sessions WHERE end_time IS NOT NULL AND username LIKE 'o''brien%'") == "1";
    }, 10000)) << testsupport::ReadFile(log);
    EXPECT_EQ(Scalar("SELECT destination FROM warden_sessions WHERE username LIKE 'o''brien%'"), odd);
    EXPECT_EQ(Scalar("SELECT username FROM warden_sessions WHERE username LIKE 'o''brien%'"), "o'brien \\ \"x\"");
}

// Each way of not reaching the database is told once, in one line, and the
// worker sleeps between its tries: a few clock ticks of CPU over seconds.
TEST_F(HistoryPg, RefusalsGiveOneLineEachAndNoBusyLoop)
{
    struct Case {
        std::vector<std::string> server;
        std::string says;
    } cases[] = {
        {Server("not-the-password"), "password authentication failed for user \"warden\""},
        {Server(pg->password, pg->port + 7), "Connection refused"},
        {Server(pg->password, 0, "nosuchdb"), "database \"nosuchdb\" does not exist"},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(StartWarden(c.server));
        pid_t reporter = Reporter(1, 20, 10 * 1000); // rows keep coming meanwhile
        pid_t worker = 0;
        ASSERT_TRUE(testsupport::WaitFor([&] { return (worker = ChildHolding(warden, "warden-history.spool")) > 0; }))
            << c.says;
        const long before = CpuTicks(worker);
        sleep(3);
        const long used = CpuTicks(worker) - before;
        EXPECT_EQ(WaitExit(reporter), 0);
        const std::string text = testsupport::ReadFile(log);
        EXPECT_EQ(CountLines(text, c.says), 1) << text;
        EXPECT_EQ(CountLines(text, "history: "), 1) << "one history line in all: " << text;
        EXPECT_LT(used, 30) << "the worker spins: " << used << " ticks in 3 s";
        EXPECT_EQ(ChildHolding(warden, "warden-history.spool"), worker) << "the worker never ended";
        Stop(warden);
        close(keeper);
        keeper = -1;
        unlink("/tmp/warden-history.spool");
    }
}

// Two wardens, each in a network namespace (and /tmp) of its own, write into
// the one server through its socket directory; one hub shows both.
TEST_F(HistoryPg, TwoWardensInTwoNamespacesOneHubShowsBoth)
{
    const std::string hubBin = QUELM_BINARY_DIR "/hub/warden-hub";
    if (access(hubBin.c_str(), X_OK) != 0)
        GTEST_SKIP() << "warden-hub is not built";
    char self[PATH_MAX] = "";
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    mkdir("/tmp/two", 0700);
    {
        FILE *f = fopen("/tmp/two/pw", "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "%s\n", pg->password.c_str());
        fclose(f);
    }
    const std::string port = std::to_string(pg->port);
    std::vector<pid_t> sides;
    for (const auto &[name, first] : {std::pair{"alpha", 1001}, std::pair{"beta", 2001}}) {
        // warden, then a reporter next to it, then a stop: the worker's
        // last flush writes what is left.
        const std::string script =
            std::string(WARDEN_BIN) + " -f -n wardendb -s /tmp/pg -p " + port +
            " -w /tmp/two/pw --history-interval 1 --history-host " + name + " & w=$!; "
            "i=0; while [ ! -p /tmp/mon.fifo ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; "
            "HISTORY_REPORT=" + std::to_string(first) + ",20 " + self + "; sleep 1.5; kill $w; wait $w";
        sides.push_back(Spawn({QUELM_ISOLATE, "/bin/sh", "-c", script}, "/tmp/two/" + std::string(name) + ".log",
                              {"QUELM_ISOLATE_FORCE=1", "QUELM_ISOLATE_KEEP=/tmp/pg:/tmp/two", "PGUSER=warden",
                               "QUELM_LOG_REPEATS=1"}));
    }
    for (pid_t &p : sides)
        WaitExit(p); // warden ends with 1 after its stop, as always
    for (const char *name : {"alpha", "beta"})
        ASSERT_TRUE(testsupport::WaitFor([&] {
            return Scalar(std::string("SELECT count(*) FROM warden_sessions WHERE host = '") + name +
                          "' AND end_time IS NOT NULL") == "20";
        }, 10000)) << name << ": " << testsupport::ReadFile(std::string("/tmp/two/") + name + ".log");

    pid_t hub = Spawn({hubBin, "--history", "host=/tmp/pg port=" + port + " dbname=wardendb user=warden password=" +
                                                pg->password,
                       "--listen", "127.0.0.1:9062", "--upstream", "127.0.0.1"});
    struct Reap {
        pid_t &p;
        ~Reap() { Stop(p); }
    } reap{hub};
    ASSERT_TRUE(testsupport::WaitFor([] { return CanConnect(9062); }));
    auto get = [](const std::string &path) {
        unlink("/tmp/reply.json");
        pid_t c = Spawn({kCurl, "-s", "-o", "/tmp/reply.json", "-g", "http://127.0.0.1:9062" + path});
        WaitExit(c);
        return testsupport::ReadFile("/tmp/reply.json");
    };
    for (const auto &[name, dest] : {std::pair{"alpha", "dest-1007:80"}, std::pair{"beta", "dest-2007:80"}}) {
        const std::string page = get(std::string("/api/history?limit=1000&host=") + name);
        EXPECT_EQ(CountLines(page, "\"host\":\"" + std::string(name) + "\""), 20) << page;
        EXPECT_NE(page.find(dest), std::string::npos) << page;
    }
    const std::string sum = get("/api/history/summary?from=0");
    EXPECT_NE(sum.find("\"destination\":\"dest-1020:80\""), std::string::npos) << sum;
    EXPECT_NE(sum.find("\"destination\":\"dest-2020:80\""), std::string::npos) << sum;
}

}  // namespace
