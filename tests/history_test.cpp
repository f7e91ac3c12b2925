// warden's history worker writing into SQLite: real curl downloads through
// socks5-demo land as rows with the bytes curl moved, and a worker or a
// whole warden killed in the middle of a session leaves one row with the
// final totals.  Runs under quelm_isolate (private /tmp and loopback).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <map>

#include "history_support.h"

using namespace hist;

namespace {

constexpr const char *kDb = "/tmp/history.db";

using Row = std::map<std::string, std::string>;

// The rows of sql against the history file ("" for NULL); empty when the
// file or the table is not there yet.
std::vector<Row> Query(const std::string &sql)
{
    std::vector<Row> rows;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(kDb, &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt *q = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr) == SQLITE_OK) {
        while (sqlite3_step(q) == SQLITE_ROW) {
            Row r;
            for (int i = 0; i < sqlite3_column_count(q); ++i) {
                const unsigned char *t = sqlite3_column_text(q, i);
                r[sqlite3_column_name(q, i)] = t != nullptr ? reinterpret_cast<const char *>(t) : "";
            }
            rows.push_back(r);
        }
    }
    sqlite3_finalize(q);
    sqlite3_close(db);
    return rows;
}

std::vector<Row> RowsFor(const std::string &dest)
{
    return Query("SELECT * FROM warden_sessions WHERE destination = '" + dest + "' ORDER BY id");
}

std::string Describe(const std::vector<Row> &rows)
{
    std::string out;
    for (const Row &r : rows) {
        out += "{";
        for (const auto &kv : r)
            out += kv.first + "=" + kv.second + " ";
        out += "} ";
    }
    return out;
}

// warden, socks5-demo and the HTTP server of one test, stopped at its end.
struct Rig {
    HttpServer http;
    pid_t warden = 0, proxy = 0;
    int keeper = -1;
    std::string log = "/tmp/warden.log";

    ~Rig()
    {
        Stop(proxy);
        Stop(warden);
        if (keeper >= 0)
            close(keeper);
    }
    // Starts warden writing history into kDb; true once its collector reads.
    bool StartWarden(std::vector<std::string> extra = {})
    {
        if (keeper >= 0)
            close(keeper);
        keeper = -1;
        std::vector<std::string> args = {WARDEN_BIN, "-f", "--history", kDb, "--history-interval", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        warden = Spawn(args, log, {"QUELM_LOG_REPEATS=1"});
        return testsupport::WaitFor([&] {
            keeper = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return keeper >= 0;
        });
    }
    bool StartProxy()
    {
        proxy = Spawn({kProxy, "--listen", "127.0.0.1:" + std::to_string(kProxyPort), "--report-interval", "1"});
        return testsupport::WaitFor([] { return CanConnect(kProxyPort); });
    }
    pid_t Curl(const std::string &out)
    {
        return Spawn({kCurl, "-sS", "--max-time", "30", "-x",
                      "socks5h://127.0.0.1:" + std::to_string(kProxyPort), "-o", out,
                      "http://127.0.0.1:" + std::to_string(http.port) + "/f"});
    }
    std::string Dest() const { return "127.0.0.1:" + std::to_string(http.port); }
};

class HistorySqlite : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(kCurl, X_OK) != 0)
            GTEST_SKIP() << "no curl";
        for (const char *suffix : {"", "-wal", "-shm", ".spool"})
            unlink((std::string(kDb) + suffix).c_str());
        unlink("/tmp/warden.log");
    }
};

TEST_F(HistorySqlite, CurlSessionsLandWithTheirBytesAndDurations)
{
    Rig rig;
    rig.http.pause = 100 * 1000; // about 2 s for the body
    ASSERT_TRUE(rig.http.Start(300 * 1024 + 17));
    ASSERT_TRUE(rig.StartWarden());
    ASSERT_TRUE(rig.StartProxy());

    const time_t before = time(nullptr);
    pid_t a = rig.Curl("/tmp/a.bin"), b = rig.Curl("/tmp/b.bin");
    ASSERT_EQ(WaitExit(a), 0);
    ASSERT_EQ(WaitExit(b), 0);
    EXPECT_EQ(testsupport::ReadFile("/tmp/a.bin"), rig.http.body);
    std::vector<std::pair<uint64_t, uint64_t>> moved = {rig.http.Take(), rig.http.Take()};
    std::sort(moved.begin(), moved.end());

    std::vector<Row> rows;
    ASSERT_TRUE(testsupport::WaitFor([&] {
        rows = RowsFor(rig.Dest());
        return rows.size() == 2 && !rows[0]["end_time"].empty() && !rows[1]["end_time"].empty();
    }, 10000)) << rows.size() << " rows";
    const time_t after = time(nullptr); // the proxy reports an end just after curl is gone
    std::vector<std::pair<uint64_t, uint64_t>> stored;
    for (Row &r : rows) {
        stored.emplace_back(std::stoull(r["bytes_up"]), std::stoull(r["bytes_down"]));
        EXPECT_EQ(r["status"], "0");
        EXPECT_EQ(r["status_text"], "succeeded");
        EXPECT_EQ(r["command"], "CONNECT");
        EXPECT_EQ(r["proxy"], "socks5-demo");
        EXPECT_EQ(r["resolved"], rig.Dest());
        EXPECT_EQ(r["client"].rfind("127.0.0.1:", 0), 0u) << r["client"];
        EXPECT_EQ(std::stoll(r["pid"]), rig.proxy);
        const long long start = std::stoll(r["start_time"]), end = std::stoll(r["end_time"]);
        EXPECT_GE(start, before);
        EXPECT_LE(end, after);
        // The body takes about 2 s: the duration says so, within the clock's second.
        EXPECT_EQ(std::stoll(r["duration"]), end - start);
        EXPECT_GE(end - start, 1);
    }
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, moved) << "the rows hold exactly the bytes the HTTP server saw";

    EXPECT_EQ(Query("PRAGMA journal_mode")[0]["journal_mode"], "wal");
    EXPECT_EQ(Query("SELECT max(version) AS v FROM warden_schema")[0]["v"], "2");
}

TEST_F(HistorySqlite, KilledWorkerOrWardenLeavesOneRowWithTheFinalTotals)
{
    Rig rig;
    rig.http.pause = 200 * 1000; // about 5 s for the body
    ASSERT_TRUE(rig.http.Start(400 * 1024 + 3));
    ASSERT_TRUE(rig.StartWarden());
    ASSERT_TRUE(rig.StartProxy());
    pid_t curl = rig.Curl("/tmp/slow.bin");
    struct Reap {
        pid_t &p;
        ~Reap() { Stop(p); }
    } reap{curl};

    // The open session is in the file with its running totals.
    ASSERT_TRUE(testsupport::WaitFor([&] {
        auto rows = RowsFor(rig.Dest());
        return rows.size() == 1 && rows[0]["end_time"].empty() && rows[0]["bytes_down"] != "0";
    }, 10000));

    // The worker dies outright: the supervisor starts a new one, which
    // reads every record again and updates the same row.
    const pid_t worker = ChildHolding(rig.warden, "history.db");
    ASSERT_GT(worker, 0) << "no child of warden holds the history file";
    kill(worker, SIGKILL);
    ASSERT_TRUE(testsupport::WaitFor([&] {
        const pid_t w = ChildHolding(rig.warden, "history.db");
        return w > 0 && w != worker;
    }, 10000)) << "the database worker was not restarted";

    // Then the whole daemon: a new one finds the session in its new store.
    // The gap outlasts the proxy's report interval: a report finds no reader,
    // which is how the reporting library learns to introduce its sessions
    // to the next daemon.
    Stop(rig.warden, SIGKILL);
    usleep(1500 * 1000);
    ASSERT_TRUE(rig.StartWarden());

    ASSERT_EQ(WaitExit(curl), 0);
    curl = 0;
    EXPECT_EQ(testsupport::ReadFile("/tmp/slow.bin"), rig.http.body);
    const auto moved = rig.http.Take();
    std::vector<Row> rows;
    ASSERT_TRUE(testsupport::WaitFor([&] {
        rows = RowsFor(rig.Dest());
        return !rows.empty() && !rows.back()["end_time"].empty() &&
               std::stoull(rows.back()["bytes_down"]) == moved.second;
    }, 15000)) << "the session's end did not reach the file: " << Describe(rows) << " moved "
                << moved.first << "/" << moved.second << "; log:\n"
                << testsupport::ReadFile(rig.log);
    ASSERT_EQ(rows.size(), 1u) << "one session, one row, whatever was killed";
    EXPECT_EQ(std::stoull(rows[0]["bytes_up"]), moved.first);
    EXPECT_GE(std::stoll(rows[0]["duration"]), 3);
}

// Each option mistake is one clear line (or, for the server options alone,
// the usage text as before), and exit status 1.
TEST(HistoryOptions, MistakesEndWithOneLine)
{
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--history", "/tmp/x.db", "-n", "db"}, "exclude each other"},
        {{"-w", "/tmp/none", "-n", "db"}, "cannot read the password file /tmp/none"},
        {{"--history-keep", "3"}, "need --history FILE or -n DBNAME"},
        {{"-s", "db.example"}, "Usage: wardenAG"},
        {{"--history", "/tmp/x.db", "--history-interval", "0"}, "Usage: wardenAG"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {WARDEN_BIN, "-f"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        unlink("/tmp/opt.log");
        pid_t p = Spawn(args, "/tmp/opt.log");
        EXPECT_EQ(WaitExit(p), 1) << c.says;
        const std::string err = testsupport::ReadFile("/tmp/opt.log");
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        if (c.says.rfind("Usage", 0) != 0) {
            EXPECT_EQ(CountLines(err, "\n"), 1) << err;
        }
    }
}

// The file is malformed for this warden: a newer schema is told in one line
// and nothing is written into it.
TEST_F(HistorySqlite, NewerSchemaIsRefusedInOneLine)
{
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(kDb, &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE warden_schema (version INTEGER NOT NULL);"
                                   "INSERT INTO warden_schema VALUES (7);", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    Rig rig;
    ASSERT_TRUE(rig.StartWarden());
    pid_t reporter = Reporter(1, 5, 1000);
    EXPECT_EQ(WaitExit(reporter), 0);
    ASSERT_TRUE(testsupport::WaitFor([&] {
        return testsupport::ReadFile(rig.log).find("newer than this warden's 2") != std::string::npos;
    }));
    sleep(2); // two more intervals: the line is not repeated
    const std::string text = testsupport::ReadFile(rig.log);
    EXPECT_EQ(CountLines(text, "history: "), 1) << text;
    EXPECT_NE(text.find("is version 7"), std::string::npos) << text;
    EXPECT_TRUE(Query("SELECT name FROM sqlite_master WHERE name = 'warden_sessions'").empty());
}

// --history-keep deletes ended sessions older than its days, in batches, and
// nothing else: not the recent ones, not an old one still running.
TEST_F(HistorySqlite, RetentionDeletesOnlyOldEndedRows)
{
    Rig rig;
    ASSERT_TRUE(rig.StartWarden());
    pid_t reporter = Reporter(1, 3, 0);
    EXPECT_EQ(WaitExit(reporter), 0);
    ASSERT_TRUE(testsupport::WaitFor([&] { return Query("SELECT id FROM warden_sessions").size() == 3; }));
    Stop(rig.warden);
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(kDb, &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 5000);
        const long old = time(nullptr) - 3 * 86400;
        std::string sql = "BEGIN;";
        for (int i = 0; i < 1234; ++i) // more than two batches of deletes
            sql += "INSERT INTO warden_sessions (host, pid, handle, record, start_time, end_time, duration,"
                   " client, destination, resolved, username, proxy, command, status, status_text, bytes_up,"
                   " bytes_down, last_update, link_record) VALUES ('old', " + std::to_string(i) + ", 1, 1, " +
                   std::to_string(old - 60) + ", " + std::to_string(old) + ", 60, '', 'old:1', '', '', '', '', 0, '',"
                   " 1, 1, " + std::to_string(old) + ", 0);";
        sql += "INSERT INTO warden_sessions (host, pid, handle, record, start_time, end_time, duration, client,"
               " destination, resolved, username, proxy, command, status, status_text, bytes_up, bytes_down,"
               " last_update, link_record) VALUES ('old', 99999, 1, 1, " + std::to_string(old) +
               ", NULL, 0, '', 'running:1', '', '', '', '', 0, '', 1, 1, " + std::to_string(old) + ", 0); COMMIT;";
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    ASSERT_TRUE(rig.StartWarden({"--history-keep", "2"}));
    ASSERT_TRUE(testsupport::WaitFor([&] {
        return Query("SELECT id FROM warden_sessions WHERE destination = 'old:1'").empty();
    }, 10000)) << Query("SELECT count(*) AS n FROM warden_sessions")[0]["n"];
    EXPECT_EQ(Query("SELECT id FROM warden_sessions WHERE destination LIKE 'dest-%'").size(), 3u);
    EXPECT_EQ(Query("SELECT id FROM warden_sessions WHERE destination = 'running:1'").size(), 1u);
}

// warden-hub reading the same file: filters, paging and the summary.
TEST_F(HistorySqlite, HubServesFilteredPagedSessionsAndSummary)
{
    const std::string hubBin = QUELM_BINARY_DIR "/hub/warden-hub";
    if (access(hubBin.c_str(), X_OK) != 0)
        GTEST_SKIP() << "warden-hub is not built";
    Rig rig;
    ASSERT_TRUE(rig.StartWarden());
    pid_t reporter = Reporter(1, 30, 0);
    EXPECT_EQ(WaitExit(reporter), 0);
    ASSERT_TRUE(testsupport::WaitFor([&] {
        auto n = Query("SELECT count(*) AS n FROM warden_sessions WHERE end_time IS NOT NULL");
        return !n.empty() && n[0]["n"] == "30";
    }, 10000));
    pid_t hub = Spawn({hubBin, "--history", kDb, "--listen", "127.0.0.1:9061", "--upstream", "127.0.0.1"});
    struct Reap {
        pid_t &p;
        ~Reap() { Stop(p); }
    } reap{hub};
    ASSERT_TRUE(testsupport::WaitFor([] { return CanConnect(9061); }));
    auto get = [](const std::string &path, int *status = nullptr) {
        unlink("/tmp/reply.json");
        pid_t c = Spawn({kCurl, "-s", "-o", "/tmp/reply.json", "-w", "%{http_code}", "-g",
                         "http://127.0.0.1:9061" + path}, "/tmp/code.txt");
        WaitExit(c);
        if (status != nullptr)
            *status = atoi(testsupport::ReadFile("/tmp/code.txt").c_str());
        unlink("/tmp/code.txt");
        return nlohmann::json::parse(testsupport::ReadFile("/tmp/reply.json"), nullptr, false);
    };

    // user1 has sessions 1, 4, ... 28: ten of them, newest first, in pages.
    auto page = get("/api/history?user=user1&limit=4");
    ASSERT_EQ(page["rows"].size(), 4u) << page.dump();
    EXPECT_EQ(page["next"], 4);
    for (auto &r : page["rows"])
        EXPECT_EQ(r["user"], "user1");
    auto last = get("/api/history?user=user1&limit=4&offset=8");
    ASSERT_EQ(last["rows"].size(), 2u) << last.dump();
    EXPECT_TRUE(last["next"].is_null());
    EXPECT_GE(page["rows"][0]["start_time"], last["rows"][1]["start_time"]);

    // A destination by its host part; its row has its own totals.
    auto seven = get("/api/history?destination=dest-7");
    ASSERT_EQ(seven["rows"].size(), 1u) << seven.dump();
    EXPECT_EQ(seven["rows"][0]["bytes_up"], 7007);
    EXPECT_EQ(seven["rows"][0]["bytes_down"], 21011);
    EXPECT_EQ(seven["rows"][0]["status_text"], "succeeded");
    EXPECT_EQ(get("/api/history?status=0&limit=1000")["rows"].size(), 30u);
    const std::string future = std::to_string(time(nullptr) + 3600);
    EXPECT_EQ(get("/api/history?from=" + future)["rows"].size(), 0u);
    int status = 0;
    auto bad = get("/api/history?status=ok", &status);
    EXPECT_EQ(status, 400);
    EXPECT_NE(bad["error"].get<std::string>().find("status"), std::string::npos);

    // Per user, largest first: user0 (3 ... 30) moved the most.
    auto sum = get("/api/history/summary");
    ASSERT_EQ(sum["users"].size(), 3u) << sum.dump();
    EXPECT_EQ(sum["users"][0]["user"], "user0");
    EXPECT_EQ(sum["users"][0]["sessions"], 10);
    EXPECT_EQ(sum["users"][0]["bytes_up"], 165 * 1000 + 10 * 7);
    EXPECT_EQ(sum["users"][2]["user"], "user1");
    EXPECT_EQ(sum["destinations"].size(), 30u);
    int64_t sessions = 0;
    for (auto &h : sum["hours"]) {
        EXPECT_EQ(h["hour"].get<int64_t>() % 3600, 0);
        sessions += h["sessions"].get<int64_t>();
    }
    EXPECT_EQ(sessions, 30);
    // The same over the last hour (the hours are then sought by range), and
    // over an hour ahead: nothing.
    int64_t recent = 0;
    const auto lastHour = get("/api/history/summary?from=" + std::to_string(time(nullptr) - 3600));
    for (auto &h : lastHour["hours"])
        recent += h["sessions"].get<int64_t>();
    EXPECT_EQ(recent, 30) << lastHour.dump();
    auto ahead = get("/api/history/summary?from=" + future);
    EXPECT_TRUE(ahead["hours"].empty() && ahead["users"].empty()) << ahead.dump();
}

}  // namespace

namespace {

// A file as a warden of schema version 1 left it: its tables and indexes,
// one ended session and one still open, of one user.
bool WriteVersion1File()
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(kDb, &db) != SQLITE_OK)
        return false;
    const char *sql =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE warden_schema (version INTEGER NOT NULL);"
        "CREATE TABLE warden_sessions (id INTEGER PRIMARY KEY, host TEXT NOT NULL, pid INTEGER NOT NULL,"
        " handle INTEGER NOT NULL, record INTEGER NOT NULL, start_time INTEGER NOT NULL, end_time INTEGER,"
        " duration INTEGER NOT NULL, client TEXT NOT NULL, destination TEXT NOT NULL, resolved TEXT NOT NULL,"
        " username TEXT NOT NULL, proxy TEXT NOT NULL, command TEXT NOT NULL, status INTEGER NOT NULL,"
        " status_text TEXT NOT NULL, bytes_up INTEGER NOT NULL, bytes_down INTEGER NOT NULL,"
        " last_update INTEGER NOT NULL, link_record INTEGER NOT NULL,"
        " UNIQUE (host, pid, handle, record, start_time));"
        "CREATE INDEX warden_sessions_start ON warden_sessions (start_time, bytes_up, bytes_down);"
        "CREATE INDEX warden_sessions_end ON warden_sessions (end_time);"
        "CREATE INDEX warden_sessions_hour ON warden_sessions ((start_time / 3600), bytes_up, bytes_down);"
        "CREATE INDEX warden_sessions_user ON warden_sessions (username, start_time, bytes_up, bytes_down);"
        "CREATE INDEX warden_sessions_dest ON warden_sessions (destination, start_time, bytes_up, bytes_down);"
        "INSERT INTO warden_schema (version) VALUES (1);"
        "INSERT INTO warden_sessions (host, pid, handle, record, start_time, end_time, duration, client,"
        " destination, resolved, username, proxy, command, status, status_text, bytes_up, bytes_down,"
        " last_update, link_record) VALUES"
        " ('old', 7, 1, 1, 1700000000, 1700000060, 60, '', 'then:80', '', 'olduser', 'p', 'CONNECT', 0, 'ok',"
        "  100, 200, 1700000060, 0),"
        " ('old', 7, 2, 1, 1700000100, NULL, 50, '', 'still:80', '', 'olduser', 'p', 'CONNECT', 0, 'ok',"
        "  1000, 2000, 1700000150, 0);";
    const bool ok = sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// An older file is migrated in place by the worker: the rows stay, the
// summary's indexes become those of ended sessions, and the hub's summary
// adds the open session to the ended one.
TEST_F(HistorySqlite, VersionOneFileIsMigratedAndSummedWithItsOpenSessions)
{
    const std::string hubBin = QUELM_BINARY_DIR "/hub/warden-hub";
    if (access(hubBin.c_str(), X_OK) != 0)
        GTEST_SKIP() << "warden-hub is not built";
    ASSERT_TRUE(WriteVersion1File());
    Rig rig;
    ASSERT_TRUE(rig.StartWarden());
    pid_t reporter = Reporter(1, 3, 0);
    EXPECT_EQ(WaitExit(reporter), 0);
    ASSERT_TRUE(testsupport::WaitFor([&] {
        auto n = Query("SELECT count(*) AS n FROM warden_sessions");
        return !n.empty() && n[0]["n"] == "5";
    }, 10000)) << testsupport::ReadFile(rig.log);
    EXPECT_EQ(Query("SELECT max(version) AS v FROM warden_schema")[0]["v"], "2");
    const auto ended = Query("SELECT name FROM sqlite_master WHERE type = 'index' AND name IN"
                             " ('warden_sessions_user', 'warden_sessions_dest', 'warden_sessions_hour',"
                             " 'warden_sessions_ended') AND sql LIKE '%WHERE end_time IS NOT NULL'");
    EXPECT_EQ(ended.size(), 4u) << Describe(Query("SELECT name, sql FROM sqlite_master"));
    auto open = Query("SELECT * FROM warden_sessions WHERE destination = 'still:80'");
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0]["end_time"], "");
    EXPECT_EQ(open[0]["bytes_down"], "2000");

    pid_t hub = Spawn({hubBin, "--history", kDb, "--listen", "127.0.0.1:9062", "--upstream", "127.0.0.1"});
    struct Reap {
        pid_t &p;
        ~Reap() { Stop(p); }
    } reap{hub};
    ASSERT_TRUE(testsupport::WaitFor([] { return CanConnect(9062); }));
    pid_t c = Spawn({kCurl, "-s", "-o", "/tmp/sum.json", "http://127.0.0.1:9062/api/history/summary?user=olduser"});
    WaitExit(c);
    const auto sum = nlohmann::json::parse(testsupport::ReadFile("/tmp/sum.json"), nullptr, false);
    ASSERT_EQ(sum["users"].size(), 1u) << sum.dump();
    EXPECT_EQ(sum["users"][0]["sessions"], 2);
    EXPECT_EQ(sum["users"][0]["bytes_up"], 1100);
    EXPECT_EQ(sum["users"][0]["bytes_down"], 2200);
    ASSERT_EQ(sum["destinations"].size(), 2u) << sum.dump();
    EXPECT_EQ(sum["destinations"][0]["destination"], "still:80");
    ASSERT_EQ(sum["hours"].size(), 1u) << sum.dump();
    EXPECT_EQ(sum["hours"][0]["hour"], 1700000000 / 3600 * 3600);
    EXPECT_EQ(sum["hours"][0]["sessions"], 2);
}

}  // namespace
