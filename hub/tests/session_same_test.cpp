// warden-top's table and the hub's state fed the same recorded stream of
// records: a session met half-way, a connect failure, an ended row, a key
// reused after an end and while open, a 64-bit total that goes back, a full
// read that misses a row and one that still holds a dropped end.  Both must
// show the same sessions, states, totals and rates at every step, and those
// must be the ones the session rules give.
#include "hubstate.h"
#include "table.h"

#include "records.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using testsupport::MakeRecord;
using testsupport::SetText;

constexpr int32_t kWall = 1700000000;
constexpr double kLinger = 10;

MonData_t Rec(uint32_t handle, uint32_t flags, int32_t start, int32_t event, uint32_t up, uint32_t down)
{
    MonData_t r = MakeRecord(4242, handle, 0, flags);
    r.startTime = start;
    r.eventTime = event;
    r.countA = up;
    r.countB = down;
    SetText(r.text1, "user%u", handle);
    SetText(r.text2, "host%u.example:443", handle);
    return r;
}

MonData_t End(MonData_t r, int32_t when, int32_t status = 0)
{
    r.flags = MON_FLAG_END;
    r.endTime = r.eventTime = when;
    r.status = status;
    return r;
}

// One session as both front ends show it.
struct Shown {
    std::string state;  // open, ended or gone
    uint64_t up, down;
    double upRate, downRate;
    int32_t status;
    bool operator==(const Shown &) const = default;
};

std::ostream &operator<<(std::ostream &o, const Shown &s)
{
    return o << s.state << " " << s.up << "/" << s.down << " @" << s.upRate << "/" << s.downRate << " status "
             << s.status;
}

class SameStream : public ::testing::Test {
protected:
    SameStream() : top_(kLinger), hub_({"w:5051"}, Config(), nullptr) {}

    static hub::HubConfig Config()
    {
        hub::HubConfig c;
        c.linger = kLinger;
        return c;
    }

    // One change stream into both, read at monotonic now and wall time wall.
    void Feed(const std::vector<MonData_t> &recs, double now, int32_t wall, bool full = false)
    {
        if (full)
            top_.BeginFullRead();
        for (const MonData_t &r : recs)
            top_.Apply(r, now, wall);
        if (full)
            top_.EndFullRead(now);
        hub_.ApplyStream(0, recs, full, now, wall);
    }

    void Tick(double now)
    {
        top_.Tick(now);
        hub_.Tick(now, kWall);
    }

    // What warden-top shows: the key column's text -> the session.
    std::map<std::string, Shown> Top() const
    {
        const wtop::CellStyle style{kWall, true};
        std::map<std::string, Shown> out;
        for (const wtop::Row *r : top_.View(wtop::Column::Key, false, "", style)) {
            const auto rate = [&](double v) { return r->ended || v < 0 ? 0 : v; };
            out[wtop::CellText(*r, wtop::Column::Key, style)] =
                Shown{wtop::CellText(*r, wtop::Column::State, style), wtop::BytesUp(r->rec), wtop::BytesDown(r->rec),
                      rate(r->rateA), rate(r->rateB), r->rec.status};
        }
        return out;
    }

    // What the hub serves at /api/sessions.
    std::map<std::string, Shown> Hub()
    {
        uint64_t seq = 0;
        std::map<std::string, Shown> out;
        for (const auto &s : nlohmann::json::parse(hub_.SessionsJson({}, kWall, &seq))) {
            const std::string state = s["gone"].get<bool>() ? "gone" : s["state"].get<std::string>();
            out[s["key"].get<std::string>()] =
                Shown{state, s["bytes_up"].get<uint64_t>(), s["bytes_down"].get<uint64_t>(), s["rate_up"].get<double>(),
                      s["rate_down"].get<double>(), s["status"].get<int32_t>()};
        }
        return out;
    }

    // Both show the same, and it is what the rules give.
    void Same(const std::map<std::string, Shown> &expected)
    {
        const auto top = Top();
        EXPECT_EQ(top, Hub());
        EXPECT_EQ(top, expected);
        // The totals: warden-top's line under the rows, the hub's counts.
        const wtop::Totals sum = wtop::Sum(top_.View(wtop::Column::Key, false, "", {kWall, true}));
        const auto totals = nlohmann::json::parse(hub_.TotalsJson());
        EXPECT_EQ(sum.sessions, totals["all"]["sessions"].get<size_t>());
        EXPECT_EQ(top_.OpenCount(), totals["all"]["active"].get<size_t>());
        uint64_t up = 0, down = 0;
        double upRate = 0, downRate = 0;
        for (const auto &[key, s] : Hub()) {
            up += s.up;
            down += s.down;
            upRate += s.upRate;
            downRate += s.downRate;
        }
        EXPECT_EQ(sum.up, up);
        EXPECT_EQ(sum.down, down);
        EXPECT_DOUBLE_EQ(sum.upRate, upRate);
        EXPECT_DOUBLE_EQ(sum.downRate, downRate);
    }

    wtop::SessionTable top_;
    hub::HubState hub_;
};

std::string Key(uint32_t handle)
{
    return "<4242," + [&] {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", handle);
        return std::string(hex);
    }() + ",0>";
}

TEST_F(SameStream, BothFrontEndsAgreeOnEveryRule)
{
    // A opens; B is met half-way (its average so far); C's connect fails.
    MonData_t c = Rec(3, MON_FLAG_START | MON_FLAG_STATUS, kWall, kWall + 1, 0, 0);
    c.status = 5;
    SetText(c.statusText, "connection refused");
    Feed({Rec(1, MON_FLAG_START, kWall, kWall, 0, 0), Rec(2, MON_FLAG_START | MON_FLAG_UPDATE, kWall - 10, kWall, 0, 1000),
          c, End(c, kWall + 1, 5)},
         1, kWall);
    Same({{Key(1), {"open", 0, 0, 0, 0, 0}}, {Key(2), {"open", 0, 1000, 0, 100, 0}}, {Key(3), {"ended", 0, 0, 0, 0, 5}}});

    // Rates span the proxy's event times, not when the records arrive.
    MonData_t d = Rec(4, MON_FLAG_START, kWall, kWall, 100, 0);
    SetText(d.text5, "%s1 0", MON_TOTALS_TAG);  // past 4 GiB: 2^32 + 100
    Feed({Rec(1, MON_FLAG_UPDATE, kWall, kWall + 5, 500, 5000), End(Rec(2, 0, kWall - 10, kWall + 6, 0, 1600), kWall + 6), d},
         2, kWall + 6);
    Same({{Key(1), {"open", 500, 5000, 100, 1000, 0}},
          {Key(2), {"ended", 0, 1600, 0, 0, 0}},
          {Key(3), {"ended", 0, 0, 0, 0, 5}},
          {Key(4), {"open", (uint64_t{1} << 32) + 100, 0, 0, 0, 0}}});

    // D's 64-bit total goes back: a new session under the key (its start bit
    // missed), counted from zero.  A's key is reused after its end, E's
    // while it is open (its end never came).
    MonData_t e = Rec(5, MON_FLAG_START, kWall, kWall, 0, 0);
    Feed({e, Rec(4, MON_FLAG_UPDATE, kWall, kWall + 8, 50, 0), End(Rec(1, 0, kWall, kWall + 8, 900, 5000), kWall + 8),
          Rec(1, MON_FLAG_START, kWall + 9, kWall + 9, 10, 0), Rec(5, MON_FLAG_UPDATE, kWall + 9, kWall + 19, 0, 300)},
         3, kWall + 9);
    Same({{Key(1), {"open", 10, 0, 0, 0, 0}},
          {Key(2), {"ended", 0, 1600, 0, 0, 0}},
          {Key(3), {"ended", 0, 0, 0, 0, 5}},
          {Key(4), {"open", 50, 0, 50.0 / 8, 0, 0}},
          {Key(5), {"open", 0, 300, 0, 30, 0}}});
    const hub::HostStats stats = hub_.Stats(0);
    EXPECT_EQ(stats.started, 8u);             // A, B, C, D, E, and D, A, E again
    EXPECT_EQ(stats.endedByCode.at(0), 4u);   // B, A, and D and E ended unseen
    EXPECT_EQ(stats.endedByCode.at(5), 1u);   // C
    EXPECT_EQ(stats.bytesUp, 900u + 10 + (uint64_t{1} << 32) + 100 + 50);
    EXPECT_EQ(stats.bytesDown, 5000u + 1600 + 300);

    // A full read that misses D: gone.  Past the linger time the ended rows
    // go, and a full read that still holds B's end does not bring it back;
    // rates of rows whose counters stopped fall to 0.
    Feed({Rec(1, 0, kWall + 9, kWall + 9, 10, 0), Rec(5, 0, kWall + 9, kWall + 19, 0, 300)}, 4, kWall + 20, true);
    Same({{Key(1), {"open", 10, 0, 0, 0, 0}},
          {Key(2), {"ended", 0, 1600, 0, 0, 0}},
          {Key(3), {"ended", 0, 0, 0, 0, 5}},
          {Key(4), {"gone", 50, 0, 0, 0, 0}},
          {Key(5), {"open", 0, 300, 0, 30, 0}}});
    Tick(3 + sess::kRateHold);
    Feed({End(Rec(2, 0, kWall - 10, kWall + 6, 0, 1600), kWall + 6), Rec(1, 0, kWall + 9, kWall + 9, 10, 0),
          Rec(5, 0, kWall + 9, kWall + 19, 0, 300)},
         3 + sess::kRateHold + 1, kWall + 30, true);
    Same({{Key(1), {"open", 10, 0, 0, 0, 0}}, {Key(5), {"open", 0, 300, 0, 0, 0}}});
    EXPECT_EQ(hub_.Stats(0).started, 8u);
}

}  // namespace
