// Unit tests of the hub's model: counter arithmetic, what a stream of
// records does to the counters, the journal and the events, the metrics
// text, the command line and the journal file.  Runs under quelm_isolate.
#include "fields.h"
#include "hubstate.h"
#include "journal.h"
#include "jsonforms.h"
#include "metrics.h"
#include "rules.h"
#include "options.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using hub::HubState;

MonData_t Rec(uint32_t handle, uint32_t up, uint32_t down, uint32_t flags = MON_FLAG_UPDATE)
{
    MonData_t r;
    std::memset(&r, 0, sizeof r);
    r.pid = 77;
    r.handleNum = handle;
    r.startTime = 1700000000;
    r.eventTime = 1700000001;
    r.countA = up;
    r.countB = down;
    r.flags = flags;
    std::snprintf(r.text1, sizeof r.text1, "user%u", handle % 3);
    std::snprintf(r.text2, sizeof r.text2, "example.org:443");
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(5000);
    sin.sin_addr.s_addr = htonl(0x7f000001);
    std::memcpy(r.addrA, &sin, sizeof sin);
    return r;
}

MonData_t Ended(MonData_t r, int32_t status = 0)
{
    r.flags = MON_FLAG_END;
    r.endTime = r.startTime + 42;
    r.status = status;
    return r;
}

std::string ReadAll(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<nlohmann::json> Lines(const std::string &path)
{
    std::vector<nlohmann::json> out;
    std::istringstream in(ReadAll(path));
    for (std::string line; std::getline(in, line);)
        out.push_back(nlohmann::json::parse(line));
    return out;
}

/* The value of the sample "name{labels}" in a metrics text, or -1. */
double Sample(const std::string &text, const std::string &series)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, series.size() + 1, series + " ") == 0)
            return std::stod(line.substr(series.size() + 1));
    return -1;
}

TEST(Counters, AdvanceAcrossTheWrapOfA32BitCounter)
{
    EXPECT_EQ(5u, sess::CounterAdvance(10, 15));
    EXPECT_EQ(0u, sess::CounterAdvance(10, 10));
    EXPECT_EQ(0x20u, sess::CounterAdvance(0xfffffff0u, 0x10u));
    EXPECT_EQ(1u, sess::CounterAdvance(0xffffffffu, 0));
    /* A wide counter that goes back was reset: what it reads now is new. */
    EXPECT_EQ(7u, sess::CounterAdvance(uint64_t{1} << 33, 7));
}

TEST(Counters, ReadTheRecordsCountersWhole)
{
    MonData_t r = Rec(1, 0xffffffffu, 0x80000000u);
    EXPECT_EQ(0xffffffffu, wtop::BytesUp(r));
    EXPECT_EQ(0x80000000u, wtop::BytesDown(r));
}

class State : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = "/tmp/hub_test_journal." + std::to_string(getpid());
        unlink(path_.c_str());
        std::string err;
        ASSERT_TRUE(journal_.Open(path_, &err)) << err;
        hub::HubConfig c;
        c.linger = 5;
        c.perUser = true;
        c.usersMax = 2;
        state_ = std::make_unique<HubState>(std::vector<std::string>{"a:5051", "b:5051"}, c, &journal_);
    }
    void TearDown() override { unlink(path_.c_str()); }

    void Feed(std::vector<MonData_t> recs, bool full = false, size_t host = 0)
    {
        now_ += 1;
        state_->ApplyStream(host, recs, full, now_, 1700000100);
    }

    std::string path_;
    hub::Journal journal_;
    std::unique_ptr<HubState> state_;
    double now_ = 100;
};

TEST_F(State, BytesComeFromCounterAdvancesAndASecondReadingAddsNothing)
{
    Feed({Rec(1, 100, 1000, MON_FLAG_START)});
    Feed({Rec(1, 150, 3000)});
    Feed({Rec(1, 150, 3000)}, true);  /* a full read after a reconnect */
    Feed({Rec(1, 150, 3000, MON_FLAG_START)});  /* seeded again */
    const hub::HostStats s = state_->Stats(0);
    EXPECT_EQ(150u, s.bytesUp);
    EXPECT_EQ(3000u, s.bytesDown);
    EXPECT_EQ(1u, s.started);
    EXPECT_EQ(4u, s.reports);
    EXPECT_EQ(0u, state_->Stats(1).bytesUp);
}

TEST_F(State, A32BitCounterThatWrapsKeepsTheTotalGrowing)
{
    Feed({Rec(1, 0xfffff000u, 0, MON_FLAG_START)});
    Feed({Rec(1, 0x1000u, 0)});
    EXPECT_EQ(0x100001000u, state_->Stats(0).bytesUp);
}

TEST_F(State, AnEndIsCountedAndJournaledOnceWhateverComesAfter)
{
    MonData_t r = Rec(1, 10, 20, MON_FLAG_START);
    Feed({r});
    Feed({Ended(Rec(1, 11, 25), 0)});
    Feed({Ended(Rec(1, 11, 25), 0)});         /* the same end read again */
    Feed({Ended(Rec(1, 11, 25), 0)}, true);   /* and by a full read      */
    const hub::HostStats s = state_->Stats(0);
    EXPECT_EQ(1u, s.endedByCode.at(0));
    EXPECT_EQ(1u, s.durations.count);
    EXPECT_EQ(42.0, s.durations.sum);
    const auto lines = Lines(path_);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("a:5051", lines[0]["host"]);
    EXPECT_EQ("<77,1,0>", lines[0]["key"]);
    EXPECT_EQ("user1", lines[0]["user"]);
    EXPECT_EQ("127.0.0.1:5000", lines[0]["client"]);
    EXPECT_EQ("example.org:443", lines[0]["destination"]);
    EXPECT_TRUE(lines[0]["resolved"].is_null());
    EXPECT_EQ("2023-11-14T22:13:20Z", lines[0]["start_time"]);
    EXPECT_EQ("2023-11-14T22:14:02Z", lines[0]["end_time"]);
    EXPECT_EQ(42, lines[0]["duration_seconds"]);
    EXPECT_EQ(11, lines[0]["bytes_up"]);
    EXPECT_EQ(25, lines[0]["bytes_down"]);
    EXPECT_FALSE(lines[0]["gone"].get<bool>());
}

TEST_F(State, ADroppedRowThatTheStoreStillHoldsIsNotCountedAgain)
{
    Feed({Rec(1, 10, 20, MON_FLAG_START)});
    Feed({Ended(Rec(1, 10, 20), 5)});
    state_->Tick(now_ + 10, 1700000100);  /* past the linger time: dropped */
    hub::Session s;
    EXPECT_FALSE(state_->FindSession(0, wtop::RecordKey{77, 1, 0}, &s));
    Feed({Ended(Rec(1, 10, 20), 5)}, true);
    EXPECT_FALSE(state_->FindSession(0, wtop::RecordKey{77, 1, 0}, &s));
    EXPECT_EQ(1u, state_->Stats(0).endedByCode.at(5));
    EXPECT_EQ(1u, state_->Stats(0).started);
    EXPECT_EQ(1u, Lines(path_).size());
    /* Once a full read no longer finds it, the key is free for a new one. */
    Feed({}, true);
    MonData_t again = Rec(1, 5, 5, MON_FLAG_START);
    again.startTime += 100;
    Feed({again});
    EXPECT_TRUE(state_->FindSession(0, wtop::RecordKey{77, 1, 0}, &s));
    EXPECT_EQ(2u, state_->Stats(0).started);
}

TEST_F(State, AKeyReusedByANewSessionStartsFromZero)
{
    Feed({Rec(1, 500, 500, MON_FLAG_START)});
    Feed({Ended(Rec(1, 500, 500))});
    MonData_t next = Rec(1, 30, 40, MON_FLAG_START);
    next.startTime += 60;
    Feed({next});
    const hub::HostStats s = state_->Stats(0);
    EXPECT_EQ(530u, s.bytesUp);
    EXPECT_EQ(2u, s.started);
    hub::Session row;
    ASSERT_TRUE(state_->FindSession(0, wtop::RecordKey{77, 1, 0}, &row));
    EXPECT_FALSE(row.ended);
}

TEST_F(State, AnOpenSessionAFullReadMissesHasGone)
{
    Feed({Rec(1, 1, 1, MON_FLAG_START), Rec(2, 2, 2, MON_FLAG_START)});
    Feed({Rec(2, 2, 2, 0)}, true);
    hub::Session s;
    ASSERT_TRUE(state_->FindSession(0, wtop::RecordKey{77, 1, 0}, &s));
    EXPECT_TRUE(s.ended);
    EXPECT_TRUE(s.gone);
    ASSERT_TRUE(state_->FindSession(0, wtop::RecordKey{77, 2, 0}, &s));
    EXPECT_FALSE(s.ended);
    const auto lines = Lines(path_);
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(lines[0]["gone"].get<bool>());
    EXPECT_EQ("2023-11-14T22:15:00Z", lines[0]["end_time"]);  /* when the hub noticed */
    /* Met again open, it runs on: neither its start nor its bytes count again. */
    Feed({Rec(1, 1, 5)});
    ASSERT_TRUE(state_->FindSession(0, wtop::RecordKey{77, 1, 0}, &s));
    EXPECT_FALSE(s.ended);
    EXPECT_FALSE(s.gone);
    EXPECT_EQ(3u, state_->Stats(0).bytesUp);
    EXPECT_EQ(7u, state_->Stats(0).bytesDown);
    EXPECT_EQ(2u, state_->Stats(0).started);
}

TEST_F(State, EventsNameTheChangeAndSkipRecordsThatDidNotChange)
{
    const uint64_t before = state_->LastEvent();
    MonData_t r = Rec(1, 0, 0, MON_FLAG_START);
    Feed({r});
    Feed({r}, true);  /* unchanged: no event */
    MonData_t st = Rec(1, 0, 0, MON_FLAG_STATUS);
    std::snprintf(st.statusText, sizeof st.statusText, "succeeded");
    Feed({st});
    Feed({Rec(1, 7, 9)});
    Feed({Ended(Rec(1, 7, 9))});
    std::vector<std::string> frames;
    uint64_t last = 0;
    bool reset = true;
    ASSERT_TRUE(state_->WaitEvents(before, std::chrono::milliseconds(0), &frames, &last, &reset));
    EXPECT_FALSE(reset);
    std::vector<std::string> types;
    for (const std::string &f : frames) {
        const size_t at = f.find("event: ");
        types.push_back(f.substr(at + 7, f.find('\n', at) - at - 7));
    }
    EXPECT_EQ((std::vector<std::string>{"start", "status", "update", "end"}), types);
    EXPECT_EQ(state_->LastEvent(), last);
    const std::string &end = frames.back();
    const auto data = nlohmann::json::parse(end.substr(end.find("data: ") + 6));
    EXPECT_EQ("a:5051", data["host"]);
    EXPECT_EQ("ended", data["state"]);
    EXPECT_EQ(9, data["bytes_down"]);
}

TEST_F(State, AClientTooFarBehindIsToldToReadTheTableAgain)
{
    hub::HubConfig c;
    c.eventsKept = 3;
    HubState small({"a:5051"}, c, nullptr);
    for (uint32_t i = 1; i <= 10; ++i)
        small.ApplyStream(0, {Rec(i, 0, 0, MON_FLAG_START)}, false, 1, 1);
    std::vector<std::string> frames;
    uint64_t last = 0;
    bool reset = false;
    ASSERT_TRUE(small.WaitEvents(2, std::chrono::milliseconds(0), &frames, &last, &reset));
    EXPECT_TRUE(reset);
    EXPECT_TRUE(frames.empty());
    ASSERT_TRUE(small.WaitEvents(8, std::chrono::milliseconds(0), &frames, &last, &reset));
    EXPECT_FALSE(reset);
    EXPECT_EQ(2u, frames.size());
    small.Stop();
    EXPECT_FALSE(small.WaitEvents(last, std::chrono::milliseconds(1000), &frames, &last, &reset));
}

TEST_F(State, MetricsFollowTheNamingConventionsAndSumUsersPastTheCap)
{
    Feed({Rec(0, 1, 2, MON_FLAG_START), Rec(1, 10, 20, MON_FLAG_START), Rec(2, 100, 200, MON_FLAG_START),
          Rec(3, 1000, 2000, MON_FLAG_START)});
    Feed({Ended(Rec(1, 10, 20), 4)});
    state_->Connected(0);
    const std::string text = state_->Metrics();
    EXPECT_EQ(1, Sample(text, "warden_up{host=\"a:5051\"}"));
    EXPECT_EQ(0, Sample(text, "warden_up{host=\"b:5051\"}"));
    EXPECT_EQ(3, Sample(text, "warden_sessions_active{host=\"a:5051\"}"));
    EXPECT_EQ(4, Sample(text, "warden_sessions_started_total{host=\"a:5051\"}"));
    EXPECT_EQ(1, Sample(text, "warden_sessions_ended_total{host=\"a:5051\",code=\"4\"}"));
    EXPECT_EQ(1111, Sample(text, "warden_relayed_bytes_total{host=\"a:5051\",direction=\"to_destination\"}"));
    EXPECT_EQ(2222, Sample(text, "warden_relayed_bytes_total{host=\"a:5051\",direction=\"to_client\"}"));
    EXPECT_EQ(0, Sample(text, "warden_session_duration_seconds_bucket{host=\"a:5051\",le=\"30\"}"));
    EXPECT_EQ(1, Sample(text, "warden_session_duration_seconds_bucket{host=\"a:5051\",le=\"60\"}"));
    EXPECT_EQ(1, Sample(text, "warden_session_duration_seconds_bucket{host=\"a:5051\",le=\"+Inf\"}"));
    EXPECT_EQ(0, Sample(text, "warden_session_duration_seconds_bucket{host=\"a:5051\",le=\"0.1\"}"));
    EXPECT_EQ(42, Sample(text, "warden_session_duration_seconds_sum{host=\"a:5051\"}"));
    /* users 0, 1 and 2 of the records: user0 (handles 0, 3), user1, user2;
     * the cap of two leaves user2 in "(other)". */
    EXPECT_EQ(1001, Sample(text, "warden_user_relayed_bytes_total{host=\"a:5051\",user=\"user0\",direction=\"to_destination\"}"));
    EXPECT_EQ(10, Sample(text, "warden_user_relayed_bytes_total{host=\"a:5051\",user=\"user1\",direction=\"to_destination\"}"));
    EXPECT_EQ(100, Sample(text, "warden_user_relayed_bytes_total{host=\"a:5051\",user=\"(other)\",direction=\"to_destination\"}"));
    EXPECT_EQ(-1, Sample(text, "warden_user_relayed_bytes_total{host=\"a:5051\",user=\"user2\",direction=\"to_destination\"}"));
    EXPECT_EQ(1, Sample(text, "warden_hub_scrapes_total"));
    EXPECT_EQ(2, Sample(state_->Metrics(), "warden_hub_scrapes_total"));
    /* Every family has HELP and TYPE, every counter ends in _total. */
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# TYPE ", 0) == 0 && line.find(" counter") != std::string::npos) {
            EXPECT_NE(std::string::npos, line.find("_total counter")) << line;
        }
    }
}

TEST_F(State, AReconnectIsCountedAndALostLinkLeavesTheTableStale)
{
    state_->Connected(0);
    Feed({Rec(1, 1, 1, MON_FLAG_START)});
    state_->Disconnected(0, "lost");
    state_->Connected(0);
    state_->Disconnected(1, "refused");
    EXPECT_EQ(1u, state_->Stats(0).reconnects);
    EXPECT_EQ(0u, state_->Stats(1).reconnects);
    state_->Disconnected(0, "lost again");
    const auto totals = nlohmann::json::parse(state_->TotalsJson());
    EXPECT_EQ("stale", totals["hosts"][0]["state"]);
    EXPECT_EQ("lost again", totals["hosts"][0]["error"]);
    EXPECT_EQ("down", totals["hosts"][1]["state"]);
    EXPECT_EQ(1, totals["all"]["active"]);
    uint64_t seq = 0;
    const auto rows = nlohmann::json::parse(state_->SessionsJson({}, 0, &seq));
    ASSERT_EQ(1u, rows.size());
    EXPECT_TRUE(rows[0]["stale"].get<bool>());
}

TEST_F(State, SessionFiltersSelectByHostUserAndState)
{
    Feed({Rec(1, 1, 1, MON_FLAG_START), Rec(2, 1, 1, MON_FLAG_START)});
    Feed({Rec(4, 1, 1, MON_FLAG_START)}, false, 1);
    Feed({Ended(Rec(2, 1, 1))});
    uint64_t seq = 0;
    const auto count = [&](hub::SessionFilter f) {
        return nlohmann::json::parse(state_->SessionsJson(f, 0, &seq)).size();
    };
    EXPECT_EQ(3u, count({}));
    EXPECT_EQ(1u, count({"b:5051", "", ""}));
    EXPECT_EQ(2u, count({"", "user1", ""}));
    EXPECT_EQ(2u, count({"", "user1", "open"}));
    EXPECT_EQ(0u, count({"", "user1", "ended"}));
    EXPECT_EQ(1u, count({"", "user2", "ended"}));
    EXPECT_EQ(1u, count({"a:5051", "", "ended"}));
    EXPECT_EQ(0u, count({"c:5051", "", ""}));
    EXPECT_EQ(state_->LastEvent(), seq);
}

TEST_F(State, ATableReadInPiecesIsTheWholeTableAndChangesBetweenPiecesCostNoRow)
{
    std::vector<MonData_t> a, b;
    for (uint32_t i = 1; i <= 7; ++i)
        a.push_back(Rec(i, 1, 1, MON_FLAG_START));
    for (uint32_t i = 1; i <= 3; ++i)
        b.push_back(Rec(100 + i, 1, 1, MON_FLAG_START));
    Feed(a);
    Feed(b, false, 1);
    uint64_t seq = 0;
    const auto whole = nlohmann::json::parse(state_->SessionsJson({}, 0, &seq));
    ASSERT_EQ(10u, whole.size());
    for (size_t rows : {1u, 3u, 7u, 10u, 50u}) {
        std::string out;
        hub::SessionCursor cursor;
        size_t pieces = 0;
        while (state_->SessionsChunk({}, &cursor, rows, &out))
            ++pieces;
        EXPECT_EQ(whole, nlohmann::json::parse(out)) << rows << " rows a piece";
        EXPECT_GE(pieces, 10 / rows);
    }
    /* A row ended and one added behind the cursor between two pieces:
     * the rows ahead of it are all still given, none twice. */
    std::string out;
    hub::SessionCursor cursor;
    ASSERT_TRUE(state_->SessionsChunk({"a:5051", "", ""}, &cursor, 3, &out));
    Feed({Ended(Rec(2, 1, 1)), Rec(0, 1, 1, MON_FLAG_START)});
    while (state_->SessionsChunk({"a:5051", "", ""}, &cursor, 3, &out)) {
    }
    const auto rows = nlohmann::json::parse(out);
    std::set<std::string> keys;
    for (const auto &r : rows)
        keys.insert(r["key"].get<std::string>());
    EXPECT_EQ(rows.size(), keys.size());
    EXPECT_EQ(7u, rows.size());
}

TEST_F(State, EventsArePagedByBytesWithoutLosingOne)
{
    const uint64_t before = state_->LastEvent();
    for (uint32_t i = 1; i <= 20; ++i)
        Feed({Rec(i, 1, 1, MON_FLAG_START)});
    uint64_t since = before, last = 0;
    size_t frames = 0, calls = 0;
    while (since < state_->LastEvent()) {
        std::vector<std::string> out;
        bool reset = false;
        ASSERT_TRUE(state_->WaitEvents(since, std::chrono::milliseconds(0), &out, &last, &reset, 1000));
        ASSERT_FALSE(reset);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ("id: " + std::to_string(since + 1) + "\n", out.front().substr(0, out.front().find('\n') + 1));
        frames += out.size();
        since = last;
        ++calls;
    }
    EXPECT_EQ(20u, frames);
    EXPECT_GT(calls, 2u);
}

TEST(JournalFile, AQueuedJournalWritesEveryLineBeforeItStops)
{
    const std::string path = "/tmp/hub_test_queue." + std::to_string(getpid());
    unlink(path.c_str());
    std::string expected;
    {
        hub::Journal j;
        std::string err;
        ASSERT_TRUE(j.Open(path, &err)) << err;
        j.Start();
        for (int i = 0; i < 500; ++i) {
            j.Enqueue("{\"n\":" + std::to_string(i) + "}");
            expected += "{\"n\":" + std::to_string(i) + "}\n";
        }
        EXPECT_TRUE(j.Stop(std::chrono::milliseconds(2000)));
        EXPECT_EQ(0u, j.Errors());
    }
    /* Less the lines of spaces that pad a page (see journal.cpp). */
    std::string got;
    std::istringstream in(ReadAll(path));
    for (std::string line; std::getline(in, line);)
        if (line.find_first_not_of(' ') != std::string::npos)
            got += line + "\n";
    EXPECT_EQ(expected, got);
    unlink(path.c_str());
}

TEST_F(State, ThroughputIsAveragedOverTheWindowAndRatesFadeWhenCountersStop)
{
    /* Reports of a busy session come every 5 s at most: one tick's share of
     * bytes must not swing the host's throughput between 0 and a peak. */
    Feed({Rec(1, 0, 0, MON_FLAG_START)});
    state_->Tick(200, 0);
    Feed({Rec(1, 0, 50000)});
    now_ = 200;
    state_->Tick(205, 0);
    state_->Tick(210, 0);
    auto totals = nlohmann::json::parse(state_->TotalsJson());
    EXPECT_DOUBLE_EQ(5000.0, totals["hosts"][0]["rate_down"].get<double>());
    EXPECT_DOUBLE_EQ(5000.0, totals["all"]["rate_down"].get<double>());
    state_->Tick(230, 0);  /* nothing moved for the whole window */
    totals = nlohmann::json::parse(state_->TotalsJson());
    EXPECT_DOUBLE_EQ(0.0, totals["hosts"][0]["rate_down"].get<double>());

    /* A session's own rate: bytes between two readings over the proxy's
     * event times, however late the reading arrives here. */
    State::Feed({Rec(2, 0, 0, MON_FLAG_START)});
    const double t = now_;
    MonData_t later = Rec(2, 0, 8000);
    later.eventTime += 4;
    state_->ApplyStream(0, {later}, false, t + 1, 0);
    hub::Session s;
    ASSERT_TRUE(state_->FindSession(0, wtop::RecordKey{77, 2, 0}, &s));
    EXPECT_DOUBLE_EQ(2000.0, s.rateB);
    state_->Tick(t + 1 + sess::kRateHold - 1, 0);  /* within the hold time: kept */
    ASSERT_TRUE(state_->FindSession(0, wtop::RecordKey{77, 2, 0}, &s));
    EXPECT_DOUBLE_EQ(2000.0, s.rateB);
    state_->Tick(t + 1 + sess::kRateHold, 0);
    ASSERT_TRUE(state_->FindSession(0, wtop::RecordKey{77, 2, 0}, &s));
    EXPECT_DOUBLE_EQ(0.0, s.rateB);
}

TEST(Labels, EscapeBackslashQuoteAndNewline)
{
    EXPECT_EQ("a\\\\b\\\"c\\nd", hub::LabelValue("a\\b\"c\nd"));
}

TEST(Options, EndpointsInEveryForm)
{
    hub::Endpoint e;
    std::string err;
    ASSERT_TRUE(hub::ParseEndpoint("example.org", 5051, &e, &err));
    EXPECT_EQ("example.org:5051", e.Label());
    ASSERT_TRUE(hub::ParseEndpoint("10.1.2.3:9000", 5051, &e, &err));
    EXPECT_EQ("10.1.2.3", e.host);
    EXPECT_EQ(9000, e.port);
    ASSERT_TRUE(hub::ParseEndpoint("[::1]:80", 5051, &e, &err));
    EXPECT_EQ("::1", e.host);
    EXPECT_EQ("[::1]:80", e.Label());
    ASSERT_TRUE(hub::ParseEndpoint("[fe80::1]", 7, &e, &err));
    EXPECT_EQ(7, e.port);
    for (const char *bad : {"", ":80", "h:", "h:0", "h:65536", "h:8x", "::1", "[::1", "[::1]x", "a b:1", "[]:5"})
        EXPECT_FALSE(hub::ParseEndpoint(bad, 5051, &e, &err)) << bad;
}

TEST(Options, CommandLine)
{
    const auto parse = [](std::vector<std::string> args, hub::Options *opt, std::string *err) {
        args.insert(args.begin(), "warden-hub");
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return hub::ParseOptions(static_cast<int>(args.size()), argv.data(), opt, err);
    };
    hub::Options opt;
    std::string err;
    ASSERT_EQ(hub::ParseResult::Run, parse({}, &opt, &err));
    ASSERT_EQ(1u, opt.upstreams.size());
    EXPECT_EQ("127.0.0.1:5051", opt.upstreams[0].Label());
    EXPECT_EQ("127.0.0.1:9051", opt.listen.Label());

    hub::Options two;
    ASSERT_EQ(hub::ParseResult::Run,
              parse({"-u", "127.0.0.1", "--upstream", "127.0.0.2:5051", "--listen", "0.0.0.0:9100", "-i", "0.5",
                     "--journal", "-", "--metrics-per-user", "--metrics-users-max", "7"},
                    &two, &err))
        << err;
    ASSERT_EQ(2u, two.upstreams.size());
    EXPECT_EQ("127.0.0.2:5051", two.upstreams[1].Label());
    EXPECT_EQ(9100, two.listen.port);
    EXPECT_EQ(0.5, two.interval);
    EXPECT_EQ("-", two.journal);
    EXPECT_TRUE(two.perUser);
    EXPECT_EQ(7u, two.usersMax);

    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"-u", "h", "-u", "h:5051"}, "given twice"},
        {{"-u", "h:1234"}, "port 5051 only"},
        {{"--listen", "h"}, "expected ADDR:PORT"},
        {{"--timeout", "0.5"}, "--timeout wants"},
        {{"--metrics-users-max", "-1"}, "--metrics-users-max wants"},
        {{"--interval"}, "needs a value"},
        {{"extra"}, "unexpected argument"},
    };
    for (const auto &[args, text] : bad) {
        hub::Options o;
        EXPECT_EQ(hub::ParseResult::Usage, parse(args, &o, &err)) << args[0];
        EXPECT_NE(std::string::npos, err.find(text)) << err;
    }
}

TEST(JournalFile, AppendsWholeLinesAndReopensAfterARename)
{
    const std::string path = "/tmp/hub_test_rotate." + std::to_string(getpid());
    unlink(path.c_str());
    unlink((path + ".1").c_str());
    hub::Journal j;
    std::string err;
    ASSERT_TRUE(j.Open(path, &err)) << err;
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    ASSERT_TRUE(j.Write("{\"n\":1}", &err));
    ASSERT_EQ(0, rename(path.c_str(), (path + ".1").c_str()));
    ASSERT_TRUE(j.Write("{\"n\":2}", &err));  /* still the renamed file */
    ASSERT_TRUE(j.Reopen(&err)) << err;
    ASSERT_TRUE(j.Write("{\"n\":3}", &err));
    EXPECT_EQ("{\"n\":1}\n{\"n\":2}\n", ReadAll(path + ".1"));
    EXPECT_EQ("{\"n\":3}\n", ReadAll(path));
    unlink(path.c_str());
    unlink((path + ".1").c_str());
}

TEST(JournalFile, RefusesASymbolicLinkAndADirectory)
{
    const std::string link = "/tmp/hub_test_link." + std::to_string(getpid());
    unlink(link.c_str());
    ASSERT_EQ(0, symlink("/tmp/hub_test_target", link.c_str()));
    hub::Journal j;
    std::string err;
    EXPECT_FALSE(j.Open(link, &err));
    EXPECT_NE(std::string::npos, err.find("cannot open the journal"));
    EXPECT_NE(0, access("/tmp/hub_test_target", F_OK));
    unlink(link.c_str());
    hub::Journal d;
    EXPECT_FALSE(d.Open("/tmp", &err));
    EXPECT_FALSE(d.IsOpen());
}

TEST(JournalFile, AReopenThatFailsKeepsTheOldFile)
{
    const std::string dir = "/tmp/hub_test_dir." + std::to_string(getpid());
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    const std::string path = dir + "/journal";
    hub::Journal j;
    std::string err;
    ASSERT_TRUE(j.Open(path, &err));
    ASSERT_EQ(0, rename(path.c_str(), (dir + "/old").c_str()));
    ASSERT_EQ(0, mkdir(path.c_str(), 0700));  /* a directory where the file was */
    EXPECT_FALSE(j.Reopen(&err));
    ASSERT_TRUE(j.Write("kept", &err));
    EXPECT_EQ("kept\n", ReadAll(dir + "/old"));
    rmdir(path.c_str());
    unlink((dir + "/old").c_str());
    rmdir(dir.c_str());
}

}  // namespace
