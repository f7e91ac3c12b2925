// warden-top: its field decoding and session table as units, then the real
// program against a real warden (started here, reports written into its
// pipe as raw frames): --json, --once, get, the error texts, and the live
// table drawn in a tmux pane.  Output is parsed, never compared as a screen.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "records.h"
#include "warden_fixture.h"

#include "../tools/table.cpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using wtop::RecordKey;

const std::string kTool = QUELM_BINARY_DIR "/tools/warden-top";

// ---- building records ----

using testsupport::PutV4;
using testsupport::PutV6;
using testsupport::Session;

std::string KeyOf(const MonData_t &r) {
    return wtop::KeyText(wtop::KeyOf(r));
}

// ---- units: field decoding ----

TEST(WardenTopFields, DecodesInetAndInet6Blocks) {
    unsigned char b[MON_ADDR_SIZE];
    PutV4(b, "1.2.3.4", 80);
    EXPECT_EQ(wtop::AddrText(b), "1.2.3.4:80");
    PutV6(b, "::1", 8080);
    EXPECT_EQ(wtop::AddrText(b), "[::1]:8080");
    PutV6(b, "fe80::1", 22, 3);
    EXPECT_EQ(wtop::AddrText(b), "[fe80::1%3]:22");
    PutV6(b, "::ffff:10.0.0.1", 1);
    EXPECT_EQ(wtop::AddrText(b), "[::ffff:10.0.0.1]:1");
}

TEST(WardenTopFields, ZeroBlockIsNoAddress) {
    unsigned char b[MON_ADDR_SIZE] = {};
    EXPECT_FALSE(wtop::AddrDecode(b).has_value());
    EXPECT_EQ(wtop::AddrText(b), "-");
}

// Anything off the convention comes out as "?" and the first 8 bytes.
TEST(WardenTopFields, BlocksOffTheConventionAreShownAsHex) {
    unsigned char b[MON_ADDR_SIZE] = {};
    sa_family_t fam = 99;
    memcpy(b, &fam, sizeof fam);
    b[2] = 0xab;
    char expect[32];
    snprintf(expect, sizeof expect, "?%02x%02xab0000000000...", b[0], b[1]);
    EXPECT_EQ(wtop::AddrText(b), expect);

    PutV4(b, "1.2.3.4", 80);
    b[MON_ADDR_SIZE - 1] = 1;  // garbage far past the sockaddr
    EXPECT_EQ(wtop::AddrText(b)[0], '?');
    PutV4(b, "1.2.3.4", 80);
    b[sizeof(sockaddr_in)] = 7;  // first byte past the sockaddr
    EXPECT_EQ(wtop::AddrText(b)[0], '?');
    PutV4(b, "1.2.3.4", 80);
    b[offsetof(sockaddr_in, sin_zero)] = 1;  // sin_zero must be zero too
    EXPECT_EQ(wtop::AddrText(b)[0], '?');
    PutV6(b, "::1", 80);
    b[sizeof(sockaddr_in6)] = 1;
    EXPECT_EQ(wtop::AddrText(b)[0], '?');
    // A v6 sockaddr claimed as v4: the v6 bytes past 16 give it away.
    PutV6(b, "2001:db8::5", 80);
    fam = AF_INET;
    memcpy(b, &fam, sizeof fam);
    EXPECT_EQ(wtop::AddrText(b)[0], '?');
}

TEST(WardenTopFields, KeyTextRoundTripsAndBadKeysAreRefused) {
    RecordKey k{};
    ASSERT_TRUE(wtop::ParseKey("<1234,1a,7>", &k));
    EXPECT_EQ(k, (RecordKey{1234, 0x1a, 7}));
    char buf[MON_KEYSTR_SIZE];
    EXPECT_EQ(wtop::KeyText(k), MonKeyStr(1234, 0x1a, 7, buf));
    ASSERT_TRUE(wtop::ParseKey("4294967295,ffffffff,65535", &k));
    EXPECT_EQ(k, (RecordKey{0xffffffffu, 0xffffffffu, 65535}));
    for (const char *bad : {"", "<>", "<1,2>", "<1,2,3,4>", "<1,2,65536>", "<4294967296,1,1>",
                            "<1,100000000,1>", "<-1,1,1>", "<1,g,1>", "<1,2,3", "1,2,3>", "< 1,2,3>"})
        EXPECT_FALSE(wtop::ParseKey(bad, &k)) << bad;
}

TEST(WardenTopFields, TextsArePrintableAndCutByCodePoint) {
    EXPECT_EQ(wtop::Printable("a b", false), "a\\x20b");
    EXPECT_EQ(wtop::Printable("a b", true), "a b");
    EXPECT_EQ(wtop::Printable("x\x1b[2Jy\\", true), "x\\x1b[2Jy\\\\");
    EXPECT_EQ(wtop::Printable("caf\xc3\xa9", true), "caf\xc3\xa9");          // valid UTF-8 kept
    EXPECT_EQ(wtop::Printable("\xff\xc3", true), "\\xff\\xc3");              // invalid, truncated
    EXPECT_EQ(wtop::Printable("\xc2\x9b", true), "\\xc2\\x9b");              // C1 control (CSI)
    EXPECT_EQ(wtop::Printable("\xe0\x80\xaf", true), "\\xe0\\x80\\xaf");    // overlong
    EXPECT_EQ(wtop::DisplayWidth("caf\xc3\xa9"), 4u);
    EXPECT_EQ(wtop::FitWidth("caf\xc3\xa9s", 4), "caf~");
    EXPECT_EQ(wtop::FitWidth("\xc3\xa9\xc3\xa9\xc3\xa9", 2), "\xc3\xa9~");
    EXPECT_EQ(wtop::FitWidth("abc", 3), "abc");
    char field[4] = {'a', 'b', 'c', 'd'};  // no NUL: the field's end stops it
    EXPECT_EQ(wtop::FieldText(field, sizeof field), "abcd");
}

// ---- units: the session table ----

const wtop::CellStyle kStyle{1000000, true};

std::string Cell(const wtop::Row *r, wtop::Column c) {
    return wtop::CellText(*r, c, kStyle);
}

TEST(WardenTopTable, EndedRowsLingerThenGoAndDoNotComeBack) {
    wtop::SessionTable t(10);
    MonData_t a = Session(1, MON_FLAG_START, "ann", "a.example:80");
    MonData_t b = Session(2, MON_FLAG_START, "ben", "b.example:80");
    t.Apply(a, 100, 1000);
    t.Apply(b, 100, 1000);
    b.flags = MON_FLAG_END;
    b.endTime = 1000;
    t.Apply(b, 101, 1000);
    t.Tick(110.5);
    auto v = t.View(wtop::Column::Key, false, "", kStyle);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(Cell(v[1], wtop::Column::State), "ended");
    t.Tick(111);
    ASSERT_EQ(t.Size(), 1u);

    // The store still holds the ended record: a full read must not revive it.
    t.BeginFullRead();
    b.flags = MON_FLAG_END;
    t.Apply(b, 112, 1000);
    a.flags = 0;
    t.Apply(a, 112, 1000);
    t.EndFullRead(112);
    EXPECT_EQ(t.Size(), 1u);

    // A full read that misses an open row: it left the store unseen.
    t.BeginFullRead();
    t.EndFullRead(113);
    v = t.View(wtop::Column::Key, false, "", kStyle);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(Cell(v[0], wtop::Column::State), "gone");
    t.Tick(123);
    EXPECT_EQ(t.Size(), 0u);

    // A full read brings an old ended record in only with news attached.
    MonData_t c = Session(3, MON_FLAG_END, "cy", "c.example:80");
    c.endTime = 900;
    t.BeginFullRead();
    t.Apply(c, 130, 1000);
    t.EndFullRead(130);
    EXPECT_EQ(t.Size(), 0u);
    c.flags = MON_FLAG_STATUS | MON_FLAG_END;
    t.BeginFullRead();
    t.Apply(c, 131, 1000);
    t.EndFullRead(131);
    EXPECT_EQ(t.Size(), 1u);
}

TEST(WardenTopTable, RatesFollowTheProxysCountersAndTimes) {
    wtop::SessionTable t(10);
    MonData_t a = Session(1, MON_FLAG_START, "ann", "a.example:80");
    a.startTime = a.eventTime = 5000;
    t.Apply(a, 0, 5000);
    a.flags = MON_FLAG_UPDATE;
    a.countA = 0xfffffff0u;  // wraps on the next update
    a.countB = 10000;
    a.eventTime = 5005;
    t.Apply(a, 5, 5005);
    a.countA = 0x10;  // 0x20 bytes later
    a.countB = 30000;
    a.eventTime = 5010;
    t.Apply(a, 10, 5010);
    auto v = t.View(wtop::Column::Key, false, "", kStyle);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_DOUBLE_EQ(v[0]->rateA, 32.0 / 5);
    EXPECT_DOUBLE_EQ(v[0]->rateB, 20000.0 / 5);
    t.Tick(15);
    EXPECT_DOUBLE_EQ(v[0]->rateB, 4000.0);  // still within the report period
    t.Tick(30);
    EXPECT_EQ(v[0]->rateB, 0.0);  // nothing reported for long: idle

    // A session met half-way gets its average so far.
    MonData_t b = Session(2, MON_FLAG_START | MON_FLAG_UPDATE, "ben", "b.example:80");
    b.startTime = 6000;
    b.eventTime = 6010;
    b.countB = 1000;
    t.Apply(b, 40, 6010);
    wtop::CellStyle live{6010, false};
    v = t.View(wtop::Column::Key, false, "ben", live);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(wtop::CellText(*v[0], wtop::Column::DownRate, live), "100");
}

// When a record under a key already shown starts the row over, and when it
// is only news of the same session.
TEST(WardenTopTable, ARowStartsOverOnlyForANewSession) {
    wtop::SessionTable t(10);
    MonData_t a = Session(1, MON_FLAG_START, "ann", "a.example:80");
    a.startTime = a.eventTime = 5000;
    t.Apply(a, 0, 5000);
    a.flags = MON_FLAG_UPDATE;
    a.countB = 10000;
    a.eventTime = 5005;
    t.Apply(a, 0, 5005);
    const auto row = [&] {
        auto v = t.View(wtop::Column::Key, false, "", kStyle);
        EXPECT_EQ(v.size(), 1u);
        return v.empty() ? nullptr : v[0];
    };

    // A reconnected viewer's seed: start bit, same start time.  Same session:
    // the rate spans the two readings.
    a.flags = MON_FLAG_START;
    a.countB = 20000;
    a.eventTime = 5010;
    t.Apply(a, 1, 5010);
    EXPECT_DOUBLE_EQ(row()->rateB, 2000.0);
    EXPECT_EQ(row()->rec.countB, 20000u);

    // The key reused by a session that started later, its start bit missed:
    // a new session (its average so far), not a wrap of the old totals.
    a.flags = MON_FLAG_UPDATE;
    a.startTime = 6000;
    a.eventTime = 6004;
    a.countB = 400;
    t.Apply(a, 2, 6004);
    EXPECT_DOUBLE_EQ(row()->rateB, 100.0);
    EXPECT_FALSE(row()->ended);

    // The end of that session is news of it, not a new one.
    a.flags = MON_FLAG_END;
    a.endTime = a.eventTime = 6008;
    a.countB = 800;
    t.Apply(a, 3, 6008);
    EXPECT_TRUE(row()->ended);
    EXPECT_EQ(row()->rec.countB, 800u);

    // A fresh start under the ended key within the same second: new again.
    a.flags = MON_FLAG_START;
    a.endTime = 0;
    a.eventTime = 6000;
    a.countB = 0;
    t.Apply(a, 4, 6008);
    EXPECT_FALSE(row()->ended);
    EXPECT_EQ(row()->rec.countB, 0u);
    EXPECT_LT(row()->rateB, 0);  // nothing known yet
}

// Rates follow the proxy's event times however the records arrive: a burst
// delivered at one moment, or a record that comes in late.
TEST(WardenTopTable, RatesIgnoreWhenRecordsArrive) {
    wtop::SessionTable t(10);
    MonData_t a = Session(1, MON_FLAG_START, "ann", "a.example:80");
    a.startTime = a.eventTime = 7000;
    for (auto [event, down, arrival] : {std::tuple{7000, 0u, 50.0}, {7002, 4000u, 50.0}, {7004, 12000u, 50.0},
                                        {7014, 12000u + 50000u, 90.0}}) {
        a.flags = event == 7000 ? MON_FLAG_START : MON_FLAG_UPDATE;
        a.eventTime = event;
        a.countB = down;
        t.Apply(a, arrival, 7000);
        if (event == 7004) {
            auto v = t.View(wtop::Column::Key, false, "", kStyle);
            ASSERT_EQ(v.size(), 1u);
            EXPECT_DOUBLE_EQ(v[0]->rateB, 4000.0);  // 8000 bytes over 2 event seconds
        }
    }
    auto v = t.View(wtop::Column::Key, false, "", kStyle);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_DOUBLE_EQ(v[0]->rateB, 5000.0);  // 50000 over 10 event seconds, though 40 s passed here
}

TEST(WardenTopTable, SortsAndFilters) {
    wtop::SessionTable t(10);
    MonData_t a = Session(1, MON_FLAG_START, "Zed", "a.example:80");
    a.countA = 500;
    MonData_t b = Session(2, MON_FLAG_START, "amy", "b.example:443");
    b.countA = 70;
    MonData_t c = Session(3, MON_FLAG_START | MON_FLAG_STATUS, "bob", "c.example:22");
    c.countA = 9000;
    c.status = 5;
    snprintf(c.statusText, sizeof c.statusText, "connection refused");
    for (const MonData_t &r : {a, b, c})
        t.Apply(r, 1, 1000);
    const auto users = [&](wtop::Column col, bool desc, const char *filter) {
        std::string s;
        for (const wtop::Row *r : t.View(col, desc, filter, kStyle))
            s += Cell(r, wtop::Column::User) + " ";
        return s;
    };
    EXPECT_EQ(users(wtop::Column::Up, false, ""), "amy Zed bob ");  // numbers as numbers
    EXPECT_EQ(users(wtop::Column::Up, true, ""), "bob Zed amy ");
    EXPECT_EQ(users(wtop::Column::User, false, ""), "Zed amy bob ");
    EXPECT_EQ(users(wtop::Column::Key, false, "zed"), "Zed ");       // case ignored
    EXPECT_EQ(users(wtop::Column::Key, false, "REFUSED"), "bob ");   // status text
    EXPECT_EQ(users(wtop::Column::Key, false, "b.example"), "amy ");  // destination
    EXPECT_EQ(users(wtop::Column::Key, false, "2001:db8"), "Zed amy bob ");  // resolved address
    EXPECT_EQ(users(wtop::Column::Key, false, "nomatch"), "");
    auto v = t.View(wtop::Column::Key, false, "bob", kStyle);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(Cell(v[0], wtop::Column::Status), "5 connection refused");
    EXPECT_EQ(Cell(v[0], wtop::Column::Client), "192.0.2.10:40000");
}

// The totals line adds up the rows shown: every session's bytes, the open
// ones' rates; "1 session" in the singular.
TEST(WardenTopTable, TotalsAddUpTheRowsShown) {
    wtop::SessionTable t(10);
    MonData_t a = Session(1, MON_FLAG_START, "ann", "a.example:80");
    a.startTime = a.eventTime = 8000;
    t.Apply(a, 0, 8000);
    a.flags = MON_FLAG_UPDATE;
    a.countA = 300;
    a.countB = 0xffffff00u;
    a.eventTime = 8010;
    t.Apply(a, 1, 8010);  // rates 30 and 0xffffff00 / 10
    MonData_t b = Session(2, MON_FLAG_START | MON_FLAG_UPDATE, "ben", "b.example:80");
    b.startTime = 7000;
    b.eventTime = 7100;
    b.countA = 1000;
    b.countB = 0x200;
    t.Apply(b, 1, 8010);
    b.flags = MON_FLAG_END;
    b.endTime = 7100;
    t.Apply(b, 2, 8010);  // ended: its bytes count, its rate does not

    const wtop::CellStyle exact{8010, true};
    auto rows = t.View(wtop::Column::Key, false, "", exact);
    const wtop::Totals sum = wtop::Sum(rows);
    EXPECT_EQ(sum.sessions, 2u);
    EXPECT_EQ(sum.up, 1300u);
    EXPECT_EQ(sum.down, 0x100000100ull);  // past 32 bits: no wrap in the sum
    EXPECT_DOUBLE_EQ(sum.upRate, 30.0);
    EXPECT_DOUBLE_EQ(sum.downRate, 0xffffff00u / 10.0);

    const auto cols = wtop::PlainColumns();
    auto cells = wtop::TotalsCells(sum, cols, exact);
    ASSERT_EQ(cells.size(), cols.size());
    std::map<std::string, std::string> byHeading;
    for (size_t i = 0; i < cols.size(); ++i) byHeading[wtop::Info(cols[i]).heading] = cells[i];
    EXPECT_EQ(byHeading["KEY"], "total (2 sessions)");
    EXPECT_EQ(byHeading["STATE"], "");
    EXPECT_EQ(byHeading["UP"], "1300");
    EXPECT_EQ(byHeading["DOWN"], "4294967552");
    EXPECT_EQ(byHeading["USER"], "");

    rows = t.View(wtop::Column::Key, false, "ben", exact);
    cells = wtop::TotalsCells(wtop::Sum(rows), cols, exact);
    EXPECT_EQ(cells[0], "total (1 session)");
}

// ---- running the program ----

struct Result {
    int status = -1;  // exit status, or -1 when it did not exit normally in time
    std::string out, err;
};

Result RunTop(const std::vector<std::string> &args, std::chrono::milliseconds limit = 10s) {
    int outp[2], errp[2];
    EXPECT_EQ(pipe(outp), 0);
    EXPECT_EQ(pipe(errp), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outp[1], 1);
        dup2(errp[1], 2);
        close(outp[0]);
        close(errp[0]);
        std::vector<char *> argv{const_cast<char *>(kTool.c_str())};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(kTool.c_str(), argv.data());
        _exit(127);
    }
    close(outp[1]);
    close(errp[1]);
    Result r;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
    std::string *sink[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sink[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0) close(f.fd);
    if (open > 0) kill(pid, SIGKILL);
    int ws = 0;
    waitpid(pid, &ws, 0);
    if (open == 0 && WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
    return r;
}

std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

// The --once table as rows of named cells, keyed by KEY.  STATUS is the last
// column and may hold spaces: it takes the rest of the line.
std::map<std::string, std::map<std::string, std::string>> ParseTable(const std::string &text) {
    std::istringstream in(text);
    std::string line;
    std::map<std::string, std::map<std::string, std::string>> rows;
    if (!std::getline(in, line)) return rows;
    const auto heads = Words(line);
    while (std::getline(in, line)) {
        auto cells = Words(line);
        if (cells.size() < heads.size()) continue;
        std::map<std::string, std::string> row;
        for (size_t i = 0; i < heads.size(); ++i) row[heads[i]] = cells[i];
        for (size_t i = heads.size(); i < cells.size(); ++i) row[heads.back()] += " " + cells[i];
        rows[cells[0]] = row;
    }
    return rows;
}

TEST(WardenTopCli, UsageHelpAndVersion) {
    Result r = RunTop({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--once"), std::string::npos);
    r = RunTop({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("warden-top ", 0), 0u) << r.out;
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"--bogus"}, {"--sort", "nosuch"}, {"get"}, {"get", "<1,2>"},
          {"get", "<1,2,3>", "extra"}, {"frobnicate"}, {"--once", "get", "<1,2,3>"}}) {
        r = RunTop(bad);
        EXPECT_EQ(r.status, 2) << bad[0];
        EXPECT_NE(r.err.find("warden-top"), std::string::npos);
    }
}

// Runs before any warden is started: nothing listens on port 5051.
TEST(WardenTopCli, NoDaemonIsAClearError) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--once"}, {"--json"}, {"get", "<1,2,3>"}}) {
        Result r = RunTop(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("cannot connect to warden at 127.0.0.1:5051: Connection refused"), std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// A host name that does not resolve is named as such, not as a failed
// connection with whatever errno the resolver left behind.
TEST(WardenTopCli, UnresolvableHostIsAClearError) {
    for (const std::vector<std::string> &args : {std::vector<std::string>{"--once", "--host", "no-such-host.invalid"},
                                                 {"--host", "no-such-host.invalid", "get", "<1,2,3>"}}) {
        Result r = RunTop(args, 30s);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("cannot connect to warden at no-such-host.invalid:5051: the host name "
                             "'no-such-host.invalid' "),
                  std::string::npos)
            << r.err;
        const bool said = r.err.find("does not resolve") != std::string::npos ||
                          r.err.find("cannot be resolved now") != std::string::npos;
        EXPECT_TRUE(said) << r.err;
    }
}

// ---- against a real warden ----

class WardenTopDaemon : public testing::Test {
  protected:
    static void SetUpTestSuite() {
#ifdef WARDEN_BIN
        unsetenv("QUELM_DEBUG");
        // The pipe stays open for the whole suite, as a proxy keeps it: the
        // collector pauses whenever its last writer leaves.
        ready_ = warden_.Start({{}, 0, {}, true, nullptr});
        if (ready_) fifo_ = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
        ready_ = fifo_ >= 0;
#endif
    }
    static void TearDownTestSuite() {
        if (fifo_ >= 0) close(fifo_);
        fifo_ = -1;
#ifdef WARDEN_BIN
        warden_.Stop();
#endif
    }
    void SetUp() override {
#ifndef WARDEN_BIN
        GTEST_SKIP() << "the warden daemon is not built";
#else
        ASSERT_TRUE(ready_) << "warden did not come up" << warden_.Log();
#endif
        struct stat st;
        ASSERT_EQ(fstat(fifo_, &st), 0);
        ASSERT_TRUE(S_ISFIFO(st.st_mode));
        WaitViewerSlotsFree();
    }

    // Writes rec into the report pipe as one frame, as the pipe transport does.
    static void Send(const MonData_t &rec) {
        const testsupport::Bytes frame = testsupport::Framed(rec);
        EXPECT_EQ(write(fifo_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()))
            << strerror(errno);
    }

    // Waits until warden holds rec's key in a state that pred accepts.
    static bool WaitStored(const MonData_t &rec, const std::function<bool(const MonData_t &)> &pred) {
        MonHandle_t *h = nullptr;
        if (QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &h) != 0) return false;
        bool ok = false;
        for (int i = 0; i < 100 && !ok; ++i) {
            MonData_t got{};
            memcpy(&got, &rec, MON_KEY_SIZE);
            ok = QxMonRecvData(h, &got) == 0 && pred(got);
            if (!ok) std::this_thread::sleep_for(50ms);
        }
        QxMonClose(h);
        return ok;
    }

    // Viewer slots of viewers that have left are freed asynchronously.
    static void WaitViewerSlotsFree() {
        for (int i = 0; i < 100; ++i) {
            const int fd = open("/tmp/mon.mmap", O_RDONLY | O_NOFOLLOW);
            ASSERT_GE(fd, 0);
            struct stat st;
            ASSERT_EQ(fstat(fd, &st), 0);
            ASSERT_TRUE(S_ISREG(st.st_mode));
            uint32_t pids[4] = {};
            const off_t at = offsetof(ShelfHeader_t, clientPid) + MON_SLOT_VIEWER_FIRST * sizeof(uint32_t);
            ASSERT_EQ(pread(fd, pids, sizeof pids, at), static_cast<ssize_t>(sizeof pids));
            close(fd);
            if ((pids[0] | pids[1] | pids[2] | pids[3]) == 0) return;
            std::this_thread::sleep_for(50ms);
        }
        FAIL() << "viewer slots stay taken";
    }

#ifdef WARDEN_BIN
    static testsupport::Warden warden_;
#endif
    static bool ready_;
    static int fifo_;  // the report pipe, open for writing
};
#ifdef WARDEN_BIN
testsupport::Warden WardenTopDaemon::warden_;
#endif
bool WardenTopDaemon::ready_ = false;
int WardenTopDaemon::fifo_ = -1;

// Reads lines from fd until one is a JSON object with the given key, or
// gives up after the limit (null then).
json NextLineFor(int fd, std::string &buffer, const std::string &key, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (size_t nl; (nl = buffer.find('\n')) != std::string::npos;) {
            const std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            json j = json::parse(line);  // every line must parse
            if (j.value("key", "") == key) return j;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return nullptr;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return nullptr;
        buffer.append(buf, static_cast<size_t>(n));
    }
}

TEST_F(WardenTopDaemon, JsonWritesALinePerChangeWithEveryFieldDecoded) {
    MonData_t rec = Session(0x101, MON_FLAG_START, "al\xffice", "example.org:443");
    PutV4(rec.addrC, "10.1.2.3", 51000);
    Send(rec);
    ASSERT_TRUE(WaitStored(rec, [](const MonData_t &) { return true; }));

    int outp[2];
    ASSERT_EQ(pipe(outp), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outp[1], 1);
        close(outp[0]);
        execl(kTool.c_str(), "warden-top", "--json", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(outp[1]);
    std::string buffer;
    const std::string key = KeyOf(rec);

    // A fresh viewer is handed every open session, marked start.
    json j = NextLineFor(outp[0], buffer, key);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["flags"], json::array({"start"}));
    EXPECT_EQ(j["state"], "open");
    EXPECT_EQ(j["pid"], getpid());
    EXPECT_EQ(j["handle"], 0x101);
    EXPECT_EQ(j["record"], 1);
    EXPECT_EQ(j["user"], "al\xef\xbf\xbdice");  // the stray byte became U+FFFD
    EXPECT_EQ(j["destination"], "example.org:443");
    EXPECT_EQ(j["command"], "CONNECT");
    EXPECT_EQ(j["proxy"], "socks5-demo");
    EXPECT_EQ(j["client"], "192.0.2.10:40000");
    EXPECT_EQ(j["resolved"], "[2001:db8::1]:443");
    EXPECT_EQ(j["outbound"], "10.1.2.3:51000");
    EXPECT_EQ(j["code1"], 3);
    EXPECT_EQ(j["code2"], 1);
    EXPECT_EQ(j["start_time"], rec.startTime);
    EXPECT_TRUE(j["end_time"].is_null());
    EXPECT_TRUE(j["link"].is_null());

    rec.flags = MON_FLAG_UPDATE;
    rec.countA = 1000;
    rec.countB = 5000000;
    Send(rec);
    j = NextLineFor(outp[0], buffer, key);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["flags"], json::array({"update"}));
    EXPECT_EQ(j["bytes_up"], 1000);
    EXPECT_EQ(j["bytes_down"], 5000000);

    rec.flags = MON_FLAG_STATUS | MON_FLAG_END;
    rec.status = 0;
    snprintf(rec.statusText, sizeof rec.statusText, "succeeded");
    rec.endTime = rec.startTime + 3;
    rec.dataLen = 2;
    rec.data[0] = 0xbe;
    rec.data[1] = 0xef;
    Send(rec);
    j = NextLineFor(outp[0], buffer, key);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["flags"], json::array({"status", "end"}));
    EXPECT_EQ(j["state"], "ended");
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["status_text"], "succeeded");
    EXPECT_EQ(j["end_time"], rec.endTime);
    EXPECT_EQ(j["data"], "beef");

    // SIGINT ends the stream cleanly.
    kill(pid, SIGINT);
    int ws = 0;
    for (int i = 0; i < 60 && waitpid(pid, &ws, WNOHANG) == 0; ++i) std::this_thread::sleep_for(50ms);
    if (!WIFEXITED(ws)) kill(pid, SIGKILL), waitpid(pid, &ws, 0);
    EXPECT_TRUE(WIFEXITED(ws));
    EXPECT_EQ(WEXITSTATUS(ws), 0);
    close(outp[0]);
}

TEST_F(WardenTopDaemon, OnceTableShowsOpenAndEndedSessions) {
    MonData_t bob = Session(0x102, MON_FLAG_START, "bob", "files.example:80");
    Send(bob);
    bob.flags = MON_FLAG_UPDATE;
    bob.countA = 1234;
    bob.countB = 98765;
    Send(bob);
    MonData_t cy = Session(0x103, MON_FLAG_START, "cy", "gone.example:21");
    Send(cy);
    cy.flags = MON_FLAG_STATUS | MON_FLAG_END;
    cy.status = 5;
    snprintf(cy.statusText, sizeof cy.statusText, "connection refused");
    cy.endTime = cy.startTime;
    Send(cy);
    ASSERT_TRUE(WaitStored(bob, [](const MonData_t &r) { return r.countB == 98765; }));
    ASSERT_TRUE(WaitStored(cy, [](const MonData_t &r) { return r.endTime != 0; }));

    Result r = RunTop({"--once"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = ParseTable(r.out);
    ASSERT_TRUE(rows.count(KeyOf(bob))) << r.out;
    auto row = rows[KeyOf(bob)];
    EXPECT_EQ(row["USER"], "bob");
    EXPECT_EQ(row["PROXY"], "socks5-demo");
    EXPECT_EQ(row["DESTINATION"], "files.example:80");
    EXPECT_EQ(row["CLIENT"], "192.0.2.10:40000");
    EXPECT_EQ(row["RESOLVED"], "[2001:db8::1]:443");
    EXPECT_EQ(row["UP"], "1234");
    EXPECT_EQ(row["DOWN"], "98765");
    EXPECT_EQ(row["STATE"], "open");
    EXPECT_EQ(row["STATUS"], "-");
    ASSERT_TRUE(rows.count(KeyOf(cy))) << r.out;
    EXPECT_EQ(rows[KeyOf(cy)]["STATE"], "ended");
    EXPECT_EQ(rows[KeyOf(cy)]["STATUS"], "5 connection refused");

    // The filter, and the plain table by default when stdout is no terminal.
    r = RunTop({"--once", "--filter", "BOB"});
    rows = ParseTable(r.out);
    EXPECT_EQ(rows.size(), 1u) << r.out;
    EXPECT_TRUE(rows.count(KeyOf(bob)));
    r = RunTop({});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ParseTable(r.out).count(KeyOf(cy))) << r.out;

    // --once --json: every record once, one object a line.
    r = RunTop({"--once", "--json"});
    ASSERT_EQ(r.status, 0);
    std::istringstream in(r.out);
    bool found = false;
    for (std::string line; std::getline(in, line);) {
        json j = json::parse(line);
        if (j["key"] == KeyOf(cy)) {
            found = true;
            EXPECT_EQ(j["state"], "ended");
            EXPECT_EQ(j["status"], 5);
        }
    }
    EXPECT_TRUE(found) << r.out;
}

// The JSON lines of --once obey --sort, --reverse and --filter as the table
// does, and carry the record's sequence number and tag like every field.
TEST_F(WardenTopDaemon, OnceJsonIsSortedAndFilteredLikeTheTable) {
    std::vector<MonData_t> recs;
    for (auto [handle, user, down] : {std::tuple{0x110u, "sam", 300u}, {0x111u, "tia", 100u}, {0x112u, "uma", 200u}}) {
        MonData_t r = Session(handle, MON_FLAG_START, user, "sorted.example:80");
        Send(r);
        r.flags = MON_FLAG_UPDATE;
        r.countB = down;
        Send(r);
        recs.push_back(r);
    }
    for (const MonData_t &r : recs)
        ASSERT_TRUE(WaitStored(r, [&](const MonData_t &got) { return got.countB == r.countB; }));

    const auto lines = [](const Result &r) {
        std::vector<json> out;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) out.push_back(json::parse(line));
        return out;
    };
    Result r = RunTop({"--once", "--json", "--filter", "SORTED.example", "--sort", "down", "--reverse"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> users;
    for (const json &j : lines(r)) {
        users.push_back(j["user"]);
        ASSERT_TRUE(j.contains("seq"));
        EXPECT_TRUE(j["seq"].is_number_unsigned());
        ASSERT_TRUE(j.contains("client_tag"));
        EXPECT_TRUE(j["client_tag"].is_number_unsigned());
    }
    EXPECT_EQ(users, (std::vector<std::string>{"sam", "uma", "tia"})) << r.out;

    r = RunTop({"--once", "--json", "--filter", "sorted.example", "--sort", "user"});
    users.clear();
    for (const json &j : lines(r)) users.push_back(j["user"]);
    EXPECT_EQ(users, (std::vector<std::string>{"sam", "tia", "uma"})) << r.out;

    r = RunTop({"--once", "--json", "--filter", "uma"});
    const auto only = lines(r);
    ASSERT_EQ(only.size(), 1u) << r.out;
    EXPECT_EQ(only[0]["key"], KeyOf(recs[2]));
}

// The example reporter fills the client address by the header's convention,
// so the viewer decodes it instead of showing raw bytes.
TEST_F(WardenTopDaemon, ReportDemoClientIsAnAddress) {
    const std::string demo = QUELM_BINARY_DIR "/examples/report_demo";
    if (access(demo.c_str(), X_OK) != 0) GTEST_SKIP() << "report_demo is not built";
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        execl(demo.c_str(), "report_demo", "1", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    const std::string cmds = "start convention-check\n";
    EXPECT_EQ(write(in[1], cmds.data(), cmds.size()), static_cast<ssize_t>(cmds.size()));
    MonData_t key{};
    key.pid = static_cast<uint32_t>(pid);
    key.handleNum = 0;
    key.recordNum = 1;
    EXPECT_TRUE(WaitStored(key, [](const MonData_t &) { return true; }));

    Result r = RunTop({"--json", "get", KeyOf(key)});
    EXPECT_EQ(r.status, 0) << r.err;
    if (r.status == 0) {
        json j = json::parse(r.out);
        EXPECT_EQ(j["client"], "127.0.0.1:0");
        EXPECT_EQ(j["user"], "convention-check");
    }

    const std::string quit = "end\nquit\n";
    EXPECT_EQ(write(in[1], quit.data(), quit.size()), static_cast<ssize_t>(quit.size()));
    close(in[1]);
    std::string said;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    EXPECT_NE(said.find("closed 0"), std::string::npos) << said;
}

TEST_F(WardenTopDaemon, GetShowsOneRecordAndAMissingKeyFails) {
    MonData_t dee = Session(0x104, MON_FLAG_START, "dee", "get.example:8443");
    dee.countA = 77;
    dee.countB = 4242;
    dee.recordNum = 2;
    Send(dee);
    ASSERT_TRUE(WaitStored(dee, [](const MonData_t &) { return true; }));
    const std::string key = KeyOf(dee);

    Result r = RunTop({"get", key});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> fields;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        std::string label = line.substr(0, 13);
        label.erase(label.find_last_not_of(' ') + 1);
        fields[label] = line.size() > 13 ? line.substr(13) : "";
    }
    EXPECT_EQ(fields["key"], key);
    EXPECT_EQ(fields["user"], "dee");
    EXPECT_EQ(fields["destination"], "get.example:8443");
    EXPECT_EQ(fields["client"], "192.0.2.10:40000");
    EXPECT_EQ(fields["bytes up"], "77");
    EXPECT_EQ(fields["bytes down"], "4242");
    EXPECT_EQ(fields["state"], "open");
    EXPECT_TRUE(fields.count("sequence")) << r.out;
    EXPECT_TRUE(fields.count("client tag")) << r.out;

    r = RunTop({"--json", "get", key.substr(1, key.size() - 2)});  // brackets may be left out
    ASSERT_EQ(r.status, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["key"], key);
    EXPECT_EQ(j["record"], 2);
    EXPECT_EQ(j["bytes_down"], 4242);

    r = RunTop({"get", "<1,2,3>"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no record with key <1,2,3>"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

// True when text is valid UTF-8 (no overlong forms, surrogates or values
// past U+10FFFF).
bool ValidUtf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        uint32_t cp = n == 1 ? c : c & (0x7f >> n);
        for (size_t k = 1; k < n; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3f);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff)
            return false;
        i += n;
    }
    return true;
}

// Texts full of terminal controls and broken UTF-8 come out of --json as
// valid UTF-8 with every control escaped, and still mean what they said.
TEST_F(WardenTopDaemon, JsonEscapesEveryControlAndRepairsUtf8) {
    MonData_t rec = Session(0x120, MON_FLAG_START, "a\x9b" "b", "\xc2\x9b[31mred:80");
    snprintf(rec.text3, sizeof rec.text3, "x\x7fy\x1b[2J");
    snprintf(rec.text4, sizeof rec.text4, "\x1b]0;title\x07proxy");
    snprintf(rec.text5, sizeof rec.text5, "caf\xc3\xa9 \xe2\x82");  // valid, then cut short
    snprintf(rec.statusText, sizeof rec.statusText, "\xff\xfe\xc0\xaf");
    rec.status = 1;
    Send(rec);
    ASSERT_TRUE(WaitStored(rec, [](const MonData_t &) { return true; }));
    const std::string key = KeyOf(rec);

    for (const std::vector<std::string> &args : {std::vector<std::string>{"--json", "get", key},
                                                 {"--once", "--json", "--filter", key}}) {
        SCOPED_TRACE(args[1]);
        Result r = RunTop(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(ValidUtf8(r.out));
        for (size_t i = 0; i < r.out.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(r.out[i]);
            EXPECT_FALSE((c < 0x20 && c != '\n') || c == 0x7f) << "raw control byte " << int(c) << " at " << i;
            EXPECT_FALSE(c == 0xc2 && i + 1 < r.out.size() && static_cast<unsigned char>(r.out[i + 1]) <= 0x9f)
                << "raw C1 control at " << i;
        }
        EXPECT_EQ(r.out.find('\x9b'), std::string::npos);
        ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        const json j = json::parse(r.out);
        EXPECT_EQ(j["user"], "a\xef\xbf\xbd" "b");           // the stray byte became U+FFFD
        EXPECT_EQ(j["destination"], "\xc2\x9b[31mred:80");   // U+009B kept, as an escape
        EXPECT_EQ(j["command"], "x\x7fy\x1b[2J");
        EXPECT_EQ(j["proxy"], "\x1b]0;title\x07proxy");
        EXPECT_EQ(j["text5"].get<std::string>().rfind("caf\xc3\xa9 ", 0), 0u);
        EXPECT_NE(r.out.find("\\u009b[31mred"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("x\\u007fy\\u001b[2J"), std::string::npos) << r.out;
    }
}

TEST_F(WardenTopDaemon, FifthViewerIsToldAllPlacesAreTaken) {
    std::vector<MonHandle_t *> viewers;
    for (int i = 0; i < 4; ++i) {
        MonHandle_t *h = nullptr;
        ASSERT_EQ(QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &h), 0);
        MonData_t rec;
        int r;
        while ((r = QxMonRecvNextData(h, 0, &rec)) == 1) {
        }
        ASSERT_EQ(r, 0) << "viewer " << i << " was not served";
        viewers.push_back(h);
    }
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--once"}, {"--json"}, {"get", "<1,2,3>"}}) {
        Result r = RunTop(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("warden is serving as many viewers as its --viewers allows already (4 by default)"), std::string::npos) << r.err;
    }
    for (MonHandle_t *h : viewers) QxMonClose(h);
}

// tmux runs a private server (-L) on the test's own /tmp.
class Tmux {
  public:
    // A server of its own each time: the last one may still be going away.
    Tmux() : socket_("wtop" + std::to_string(getpid()) + "-" + std::to_string(++made_)) {}
    ~Tmux() { Cmd({"kill-server"}); }
    int Cmd(const std::vector<std::string> &args, std::string *out = nullptr) {
        std::string line = "tmux -L " + socket_;
        for (const auto &a : args) line += " '" + a + "'";
        line += " 2>/dev/null";
        FILE *p = popen(line.c_str(), "r");
        if (p == nullptr) return -1;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            if (out) out->append(buf, n);
        const int ws = pclose(p);
        return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    }
    // Polls the pane until a line holds every needle; that line, or "".
    std::string WaitLine(const std::vector<std::string> &needles) {
        for (int i = 0; i < 100; ++i) {
            std::string screen;
            Cmd({"capture-pane", "-p", "-t", "top"}, &screen);
            std::istringstream in(screen);
            for (std::string line; std::getline(in, line);) {
                bool all = true;
                for (const auto &n : needles) all = all && line.find(n) != std::string::npos;
                if (all) return line;
            }
            std::this_thread::sleep_for(100ms);
        }
        return "";
    }

  private:
    static inline int made_ = 0;
    std::string socket_;
};

TEST_F(WardenTopDaemon, LiveTableInATerminalShowsSessionsAsTheyChange) {
    if (system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    MonData_t eve = Session(0x105, MON_FLAG_START, "eve", "live.example:8080");
    Send(eve);
    ASSERT_TRUE(WaitStored(eve, [](const MonData_t &) { return true; }));

    Tmux tmux;
    ASSERT_EQ(tmux.Cmd({"new-session", "-d", "-s", "top", "-x", "200", "-y", "50", kTool}), 0);
    const std::string key = KeyOf(eve);
    std::string line = tmux.WaitLine({key, "eve", "live.example:8080", "socks5-demo", "open"});
    EXPECT_NE(line, "") << "the session row never appeared";
    // The counts on the totals and summary lines: "1 session", "2 sessions".
    const std::regex total(R"(total \((\d+) session(s?)\))"), summary(R"(warden-top .* (\d+) session(s?), \d+ open)");
    for (const auto &[needle, re] : {std::pair{"total (", &total}, {"warden-top ", &summary}}) {
        const std::string found = tmux.WaitLine({needle, " session"});
        std::smatch m;
        ASSERT_TRUE(std::regex_search(found, m, *re)) << needle << " line: " << found;
        EXPECT_EQ(m[2].str(), m[1].str() == "1" ? "" : "s") << found;
    }

    // A session that starts while the table is up appears within a poll.
    MonData_t fay = Session(0x106, MON_FLAG_START, "fay", "new.example:25");
    Send(fay);
    EXPECT_NE(tmux.WaitLine({KeyOf(fay), "fay", "new.example:25"}), "");

    // The end shows up, dimmed but still there for a while.
    eve.flags = MON_FLAG_END;
    eve.endTime = static_cast<int32_t>(time(nullptr));
    Send(eve);
    EXPECT_NE(tmux.WaitLine({key, "eve", "ended"}), "");

    // q quits: the pane's only program ends and the session with it.
    tmux.Cmd({"send-keys", "-t", "top", "q"});
    bool ended = false;
    for (int i = 0; i < 50 && !ended; ++i) {
        ended = tmux.Cmd({"has-session", "-t", "top"}) != 0;
        if (!ended) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(ended);
}

// ---- daemons that stop answering, or answer with garbage ----

// Stands in for a daemon on port 5051, in a child process.  By default it
// behaves like one whose host hangs: it accepts viewers, answers the first
// `answered` requests of each connection with an empty frame (an empty
// store), then reads on and never answers again; every request it leaves
// unanswered is announced by a byte on Unanswered().  Given a script
// instead, it serves one connection at a time: reads the first request,
// runs the script on the connection, then waits for the viewer to leave.
// Its own waits are bounded, so it never outlives a test by much.
class FakeDaemon {
  public:
    explicit FakeDaemon(int answered) : answered_(answered) {}
    explicit FakeDaemon(std::function<void(int)> script) : script_(std::move(script)) {}
    ~FakeDaemon() { Stop(); }

    // The port may take a moment to come free after a real daemon's stop:
    // its processes close their sockets as they go.
    bool Start() {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(MON_VIEWER_PORT);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int note[2];
        bool bound = false;
        for (int i = 0; fd >= 0 && i < 100 && !bound; ++i) {
            bound = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            if (!bound && errno != EADDRINUSE) break;
            if (!bound) std::this_thread::sleep_for(50ms);
        }
        if (!bound || listen(fd, 8) != 0 || pipe(note) != 0) {
            if (fd >= 0) close(fd);
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(note[0]);
            if (script_) ServeScript(fd);
            Serve(fd, note[1]);
        }
        close(fd);
        close(note[1]);
        note_ = note[0];
        return pid_ > 0;
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = 0;
        if (note_ >= 0) close(note_);
        note_ = -1;
    }

    // Waits until a request has been left unanswered.
    bool WaitUnanswered(std::chrono::milliseconds limit = 10s) {
        pollfd p{note_, POLLIN, 0};
        char c;
        return poll(&p, 1, static_cast<int>(limit.count())) == 1 && read(note_, &c, 1) == 1;
    }

  private:
    [[noreturn]] void ServeScript(int listener) {
        signal(SIGPIPE, SIG_IGN);  // a viewer that left fails the write instead
        for (;;) {
            const int c = accept(listener, nullptr, nullptr);
            if (c < 0) continue;
            const timeval patience{10, 0};
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            unsigned char request[64];
            if (Mon_TcpRecv(c, sizeof request, request) >= 0) {
                script_(c);
                char b[256];
                while (read(c, b, sizeof b) > 0) {
                }
            }
            close(c);
        }
    }

    [[noreturn]] void Serve(int listener, int note) {
        struct Conn {
            std::string in;
            int requests = 0;
        };
        std::map<int, Conn> conns;
        for (;;) {
            std::vector<pollfd> fds{{listener, POLLIN, 0}};
            for (auto &[fd, c] : conns) fds.push_back({fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[0].revents & POLLIN) {
                const int c = accept(listener, nullptr, nullptr);
                if (c >= 0) conns[c];
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                Conn &c = conns[fds[i].fd];
                char buf[4096];
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    close(fds[i].fd);
                    conns.erase(fds[i].fd);
                    continue;
                }
                c.in.append(buf, static_cast<size_t>(n));
                while (c.in.size() >= 2) {
                    const size_t len = (static_cast<unsigned char>(c.in[0]) << 8) | static_cast<unsigned char>(c.in[1]);
                    if (c.in.size() < 2 + len) break;
                    c.in.erase(0, 2 + len);
                    if (c.requests++ < answered_) {
                        (void)!write(fds[i].fd, "\0\0", 2);
                    } else {
                        (void)!write(note, "!", 1);
                    }
                }
            }
        }
    }

    int answered_ = 0;
    std::function<void(int)> script_;
    pid_t pid_ = 0;
    int note_ = -1;
};

// Sets an environment variable for the programs a test runs.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value) : name_(name) { setenv(name, value, 1); }
    ~ScopedEnv() { unsetenv(name_); }

  private:
    const char *name_;
};

// A daemon that never answers is given up on after WARDEN_TOP_TIMEOUT, in
// every mode, with a plain error instead of waiting for ever.
TEST(WardenTopSilentDaemon, EveryModeGivesUpWithAClearError) {
    FakeDaemon daemon(0);
    ASSERT_TRUE(daemon.Start());
    ScopedEnv timeout("WARDEN_TOP_TIMEOUT", "1");
    for (const std::vector<std::string> &args : {std::vector<std::string>{"--once"},
                                                 {"--once", "--json"},
                                                 {"--json"},
                                                 {"get", "<1,2,3>"}}) {
        Result r = RunTop(args, 8s);
        EXPECT_EQ(r.status, 1) << args[0] << " did not end on its own";
        EXPECT_NE(r.err.find("warden at 127.0.0.1:5051 did not answer within 1 second"), std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// One that answered and then went quiet is a lost connection.
TEST(WardenTopSilentDaemon, JsonReportsTheConnectionLostWhenAnswersStop) {
    FakeDaemon daemon(1);
    ASSERT_TRUE(daemon.Start());
    ScopedEnv timeout("WARDEN_TOP_TIMEOUT", "1");
    Result r = RunTop({"--json"}, 8s);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("lost the connection to warden at 127.0.0.1:5051: no answer within 1 second"),
              std::string::npos)
        << r.err;
}

TEST(WardenTopSilentDaemon, BadTimeoutIsAUsageError) {
    for (const char *bad : {"0", "-3", "x", "2s", "3601"}) {
        ScopedEnv timeout("WARDEN_TOP_TIMEOUT", bad);
        Result r = RunTop({"--once"});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("WARDEN_TOP_TIMEOUT"), std::string::npos) << r.err;
    }
}

// A stop signal ends --json at once even while it waits for an answer (the
// library retries interrupted reads, so only the signal's own doing can
// free it), and ends it as a stop: status 0, nothing complained about.
TEST(WardenTopSilentDaemon, StopSignalEndsAJsonReadThatWaits) {
    FakeDaemon daemon(1);
    ASSERT_TRUE(daemon.Start());
    ScopedEnv timeout("WARDEN_TOP_TIMEOUT", "600");
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) {
        int errp[2];
        ASSERT_EQ(pipe(errp), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(errp[1], 2);
            close(errp[0]);
            execl(kTool.c_str(), "warden-top", "--json", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(errp[1]);
        ASSERT_TRUE(daemon.WaitUnanswered()) << "warden-top never asked a second time";
        kill(pid, sig);
        int ws = 0;
        pid_t done = 0;
        for (int i = 0; i < 100 && (done = waitpid(pid, &ws, WNOHANG)) == 0; ++i) std::this_thread::sleep_for(50ms);
        if (done != pid) {
            kill(pid, SIGKILL);
            waitpid(pid, &ws, 0);
            ADD_FAILURE() << "signal " << sig << " did not end warden-top within 5 s";
        } else {
            EXPECT_TRUE(WIFEXITED(ws)) << "killed by signal " << (WIFSIGNALED(ws) ? WTERMSIG(ws) : 0);
            EXPECT_EQ(WEXITSTATUS(ws), 0) << "signal " << sig;
        }
        std::string err;
        char buf[512];
        for (ssize_t n; (n = read(errp[0], buf, sizeof buf)) > 0;) err.append(buf, static_cast<size_t>(n));
        close(errp[0]);
        EXPECT_EQ(err, "") << "signal " << sig;
    }
}

// A frame's bytes for a record: the 2-byte length and the record message.
std::string FrameOf(const MonData_t &rec) {
    const testsupport::Bytes frame = testsupport::Framed(rec);
    return std::string(frame.begin(), frame.end());
}

// Each hostile answer that once held --once for good: a frame header and 10
// bytes, one header byte, a byte every 300 ms (a whole frame would take half
// a minute), and records without end.  Each is given up on once the answer
// wait is over, with the plain error, instead of hanging or growing.
TEST(WardenTopHostileDaemon, OnceGivesUpOnAnAnswerThatNeverCompletes) {
    const std::string frame = FrameOf(Session(0x201, MON_FLAG_START, "hostile", "x.example:1"));
    struct Case {
        const char *name;
        std::function<void(int)> script;
    };
    const Case cases[] = {
        {"header and 10 bytes", [&](int fd) { (void)!write(fd, frame.data(), 12); }},
        {"one header byte", [&](int fd) { (void)!write(fd, frame.data(), 1); }},
        {"a byte every 300 ms",
         [&](int fd) {
             for (char b : frame) {
                 if (write(fd, &b, 1) != 1) return;
                 std::this_thread::sleep_for(300ms);
             }
         }},
        {"records without end",
         [&](int fd) {
             MonData_t r = Session(0x202, MON_FLAG_START, "endless", "x.example:2");
             for (uint32_t n = 0;; ++n) {
                 r.handleNum = 0x10000 + n / 60000;  // every record a key of its own
                 r.recordNum = static_cast<uint16_t>(n % 60000 + 1);
                 const std::string f = FrameOf(r);
                 if (write(fd, f.data(), f.size()) != static_cast<ssize_t>(f.size())) return;
                 if (n % 100 == 99) std::this_thread::sleep_for(10ms);
             }
         }},
    };
    ScopedEnv timeout("WARDEN_TOP_TIMEOUT", "1");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeDaemon daemon(c.script);
        ASSERT_TRUE(daemon.Start());
        for (const std::vector<std::string> &args : {std::vector<std::string>{"--once"}, {"--once", "--json"}}) {
            const auto t0 = std::chrono::steady_clock::now();
            Result r = RunTop(args, 8s);
            const auto took = std::chrono::steady_clock::now() - t0;
            EXPECT_EQ(r.status, 1) << args.back() << " did not end on its own";
            EXPECT_NE(r.err.find("warden at 127.0.0.1:5051 did not answer within 1 second"), std::string::npos)
                << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_LT(took, 5s);
        }
    }
}

// The same keyed read, with its one reply stalled after a header byte.
TEST(WardenTopHostileDaemon, GetGivesUpOnAStalledReply) {
    FakeDaemon daemon([](int fd) { (void)!write(fd, "\x01", 1); });
    ASSERT_TRUE(daemon.Start());
    ScopedEnv timeout("WARDEN_TOP_TIMEOUT", "1");
    Result r = RunTop({"get", "<1,2,3>"}, 8s);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("did not answer within 1 second"), std::string::npos) << r.err;
}

// Reads a small regular file (under /tmp, or in /proc) without following a
// link; "" when it is missing or not a regular file.
std::string ReadSmallFile(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return "";
    struct stat st;
    std::string text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

// The live table is ended by stop signals and gives the terminal back: the
// normal screen, the cursor shown, echo and line editing on.  Stuck waiting
// for a daemon that stopped answering, the first signal ends it at once
// (status 0, a stop).  Between readings, one signal takes the orderly way
// out; a second one, arriving before the first was acted on, the emergency
// way (status 128 + signal), which must leave the terminal just as usable.
TEST(WardenTopSilentDaemon, LiveTableGivesTheTerminalBackOnSignals) {
    if (system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    const std::string stty = "/tmp/wtop-stty", status = "/tmp/wtop-status";
    constexpr int kAnswersAll = 1 << 30;
    struct Case {
        const char *name;
        int answered;  // requests the daemon answers before it goes silent
        std::vector<int> signals;
        int exitStatus;
    };
    for (const Case &c : {Case{"one SIGINT while waiting", 1, {SIGINT}, 0},
                          Case{"SIGINT then SIGTERM between readings", kAnswersAll, {SIGINT, SIGTERM}, 128 + SIGTERM},
                          Case{"one SIGQUIT while waiting", 1, {SIGQUIT}, 0}}) {
        SCOPED_TRACE(c.name);
        FakeDaemon daemon(c.answered);
        ASSERT_TRUE(daemon.Start());
        unlink(stty.c_str());
        unlink(status.c_str());
        Tmux tmux;
        const std::string script = "WARDEN_TOP_TIMEOUT=600 " + kTool + "; echo $? >" + status + "; stty -a >" + stty +
                                   "; exec sleep 600";
        ASSERT_EQ(tmux.Cmd({"new-session", "-d", "-s", "top", "-x", "150", "-y", "30", "sh", "-c", script}), 0);
        if (c.answered == 1) {
            ASSERT_TRUE(daemon.WaitUnanswered()) << "the live table never asked after its first reading";
        } else {
            std::string on;
            for (int i = 0; i < 100 && on != "1\n"; ++i) {
                std::this_thread::sleep_for(50ms);
                on.clear();
                tmux.Cmd({"display", "-p", "-t", "top", "#{alternate_on}"}, &on);
            }
            ASSERT_EQ(on, "1\n") << "the live table never took the screen";
        }
        std::string shell;
        tmux.Cmd({"display", "-p", "-t", "top", "#{pane_pid}"}, &shell);
        const std::string kids = ReadSmallFile("/proc/" + std::to_string(atoi(shell.c_str())) + "/task/" +
                                             std::to_string(atoi(shell.c_str())) + "/children");
        const pid_t top = atoi(kids.c_str());
        ASSERT_GT(top, 0) << "no warden-top under the pane's shell " << shell;
        std::string before;
        tmux.Cmd({"display", "-p", "-t", "top", "#{alternate_on} #{cursor_flag}"}, &before);
        EXPECT_EQ(before, "1 0\n") << "the table should have the alternate screen, cursor hidden";

        // Stopped while the signals are sent, both are pending together
        // when it goes on: the second one finds the first not yet acted on.
        kill(top, SIGSTOP);
        const std::string statPath = "/proc/" + std::to_string(top) + "/stat";
        for (int i = 0; i < 100 && ReadSmallFile(statPath).find(") T ") == std::string::npos; ++i)
            std::this_thread::sleep_for(20ms);
        for (int sig : c.signals) kill(top, sig);
        kill(top, SIGCONT);
        std::string code;
        for (int i = 0; i < 100 && (code = ReadSmallFile(status)).empty(); ++i) std::this_thread::sleep_for(50ms);
        ASSERT_NE(code, "") << "warden-top did not end";
        EXPECT_EQ(atoi(code.c_str()), c.exitStatus);
        std::string modes;
        for (int i = 0; i < 100 && (modes = ReadSmallFile(stty)).find('\n') == std::string::npos; ++i)
            std::this_thread::sleep_for(50ms);
        std::string after;
        tmux.Cmd({"display", "-p", "-t", "top", "#{alternate_on} #{cursor_flag}"}, &after);
        EXPECT_EQ(after, "0 1\n") << "alternate screen still on or cursor still hidden";
        const auto words = Words(modes);
        for (const char *mode : {"echo", "icanon"}) {
            EXPECT_NE(std::find(words.begin(), words.end(), mode), words.end()) << mode << " is off: " << modes;
        }
    }
}

}  // namespace
