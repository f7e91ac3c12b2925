// warden's history worker writing into a real PostgreSQL 15 server that the
// test runs itself, as the unprivileged user postgres, on 127.0.0.1 inside
// quelm_isolate's network namespace: a server stopped under load loses no
// session and doubles none (the spool holds them meanwhile), and a wrong
// password, an unknown database or no server at all give one clear line
// each, with the worker idle between its retries.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include "history_support.h"

using namespace hist;

namespace {

PgServer *pg = nullptr;

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
    constexpr int kSessions = 300;
    pid_t reporter = Reporter(1, kSessions, 25 * 1000); // about 8 s of sessions
    struct Reap {
        pid_t &p;
        ~Reap() { Stop(p); }
    } reap{reporter};
    ASSERT_TRUE(testsupport::WaitFor([] { return Scalar("SELECT count(*) FROM warden_sessions") > "0"; }, 10000))
        << testsupport::ReadFile(log);

    // The server goes away while sessions keep coming, and comes back.
    ASSERT_TRUE(pg->Halt());
    sleep(5);
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
    EXPECT_EQ(Scalar("SELECT max(version) FROM warden_schema"), "1");
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
        ASSERT_TRUE(testsupport::WaitFor([&] { return (worker = HistoryWorker(warden, "warden-history.spool")) > 0; }))
            << c.says;
        const long before = CpuTicks(worker);
        sleep(3);
        const long used = CpuTicks(worker) - before;
        EXPECT_EQ(WaitExit(reporter), 0);
        const std::string text = testsupport::ReadFile(log);
        EXPECT_EQ(CountLines(text, c.says), 1) << text;
        EXPECT_EQ(CountLines(text, "\n"), 1) << "one line in all: " << text;
        EXPECT_LT(used, 30) << "the worker spins: " << used << " ticks in 3 s";
        EXPECT_EQ(HistoryWorker(warden, "warden-history.spool"), worker) << "the worker never ended";
        Stop(warden);
        close(keeper);
        keeper = -1;
        unlink("/tmp/warden-history.spool");
    }
}

}  // namespace
