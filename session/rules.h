/*
 * rules.h - what a stream of monitor records means for one session, decided
 * once for every viewer that keeps a table of sessions: when a record has
 * ended its session, when a record under a key already known belongs to a
 * new session, what a session's counters moved between two readings, and
 * its rate.  Rates come from the proxy's own counters and event times, so
 * they depend neither on the viewer's clock nor on when a record happens to
 * arrive (a burst read after a reconnect, a slow poll).
 */
#ifndef WARDEN_SESSION_RULES_H
#define WARDEN_SESSION_RULES_H

#include <quelm/monitor.h>

#include <cstdint>

namespace sess {

/* The proxy reports a running session's counters at most once every five
 * seconds; a rate is held until two such periods and a poll have passed
 * without movement, then falls to 0. */
constexpr double kRateHold = 11.0;

/* True when rec says its session is over: the end bit, or an end time. */
bool IsEnded(const MonData_t &rec);

/* Bytes a running total moved from the reading before to the reading
 * after.  A total still 32 bits wide that reads lower has wrapped once at
 * 4 GiB.  A wider total never goes back within one session, so one that
 * does belongs to a new session under the same key (IsNewSession says so
 * first); everything it reads was moved since that session began. */
uint64_t CounterAdvance(uint64_t before, uint64_t after);

/* True when rec, met under the key of the session known as known
 * (knownEnded: that session is over), belongs to a new session.  A start
 * bit alone is no news: a reconnected viewer is seeded with a start for
 * every open session.  A new session is
 *   - a different start time (a viewer that was away may have missed the
 *     start bit), or
 *   - a fresh start (start bit, no end) under a session that had ended:
 *     an ended session never runs again, its record was given to a new
 *     one within the same second; a record without its start bit stays
 *     news of the ended session (a full read may deliver an ended record
 *     without its change bits), or
 *   - a total wider than 32 bits that went back (see CounterAdvance).
 * Taking such a record as an update would count its small totals as a wrap
 * of the old ones. */
bool IsNewSession(const MonData_t &known, bool knownEnded, const MonData_t &rec);

/* The rate of a session's two totals, bytes per second; negative while
 * unknown. */
struct Rate {
    uint64_t sampleA = 0;   /* totals and proxy event time of the sample */
    uint64_t sampleB = 0;
    int32_t sampleTime = 0;
    double rateA = -1;      /* client to destination                     */
    double rateB = -1;      /* destination to client                     */
};

/* The rate of a session first met in rec.  A session met in the middle
 * gets its average so far, the best guess there is. */
Rate RateStart(const MonData_t &rec);

/* Moves rate from the totals of before to those of rec; true when the
 * totals differ.  The rate spans the proxy's event times, at least one
 * second: a change within the same second is folded into the next sample,
 * however late or early it arrives. */
bool RateAdvance(Rate *rate, const MonData_t &before, const MonData_t &rec);

}  // namespace sess

#endif /* WARDEN_SESSION_RULES_H */
