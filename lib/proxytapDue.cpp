/*
 * proxytapDue.cpp - when a reporting handle's held reports go out: the
 * throttle (a record's first reports at once, then at most one send in its
 * interval), the join window that makes a short session one frame, and the
 * calls a proxy drives held reports with (QxSocksMonDueIn, QxSocksMonSendDue).
 * The reports themselves are built in proxytap.cpp.
 */
#include "proxytap_internal.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace {

/* Set once the process asks when held reports are due (QxSocksMonDueIn or
 * QxSocksMonSendDue): such a proxy sends what is held when its time comes,
 * so records may be held for the join window without staying unseen.  A
 * proxy that never asks keeps every first report going out at once. */
std::atomic<bool> drivesDue{false};

/* Notes that the process drives due reports.  Looked at before it is set:
 * every session thread asks on every turn of its relay loop, and a store
 * each time would move the flag's cache line from core to core. */
void NoteDrivesDue() noexcept
{
    if (!drivesDue.load(std::memory_order_relaxed))
        drivesDue.store(true, std::memory_order_relaxed);
}

}  // namespace

/* Coarse monotonic milliseconds: a read of the vDSO's clock, no system
 * call, precise to a tick, which is all the join window needs. */
uint64_t quelm::TapNowMs() noexcept
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0)
        return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

/* True while node's reports are held to be joined: the process drives due
 * reports, the handle joins, the record was never delivered, its free
 * reports are not used up, and it began less than the join window ago. */
bool quelm::TapJoining(const ProxyTap_t *tap, const MonDataNode_t *node) noexcept
{
    return tap->joinMs != 0 && drivesDue.load(std::memory_order_relaxed) &&
           tap->intervalSec != 0 && tap->link != nullptr && node->linkEpoch == 0 &&
           node->lastSent == 0 && node->updateCount < tap->freeReports &&
           TapNowMs() - node->bornMs < tap->joinMs;
}

namespace {

/* True for a record held by the join window that has since passed. */
bool JoinOver(const ProxyTap_t *tap, const MonDataNode_t *node) noexcept
{
    return tap->joinMs != 0 && node->held != 0 && node->linkEpoch == 0 &&
           node->lastSent == 0 && node->updateCount < tap->freeReports &&
           !quelm::TapJoining(tap, node);
}

}  // namespace

/* True when node holds a report not yet delivered whose throttle interval
 * has passed at now: since its last send, or since the record began when it
 * was never sent (a handle without free reports: a session shorter than the
 * interval then costs one send, its end).  A clock that was set back counts
 * as time gone by. */
bool quelm::TapDue(const ProxyTap_t *tap, const MonDataNode_t *node, time_t now) noexcept
{
    const time_t since = node->lastSent != 0 ? node->lastSent : node->rec.startTime;
    return node->held != 0 && (tap->intervalSec == 0 || now < since || JoinOver(tap, node) ||
                               now - since >= static_cast<time_t>(tap->intervalSec));
}

/* Sends the held-back records of h's live session that are due: how many
 * went out, or -1 at the first failed send (errno the transport's). */
extern "C" int QxSocksMonSendDue(MonHandle_t *h)
{
    const time_t now = proxyTapSys.now(nullptr);
    NoteDrivesDue();
    ProxyTap_t *tap = quelm::TapOf(h, "QxSocksMonSendDue");
    if (tap == nullptr)
        return -1;
    if (!quelm::TapHoldsKey(tap->session.rec))
        return 0;
    /* An end whose flush stopped at a failed send: the flush goes on. */
    if ((tap->session.rec.flags & MON_FLAG_END) != 0) {
        int left = 0;
        bool due = false;
        for (MonDataNode_t *n = &tap->session; n != nullptr; n = n->next) {
            ++left;
            due = due || quelm::TapDue(tap, n, now);
        }
        if (!due)
            return 0;
        tap->session.lastSent = now;
        return MonDataFlush(tap) < 0 ? -1 : left;
    }
    int count = 0;
    for (MonDataNode_t *n = &tap->session; n != nullptr; n = n->next) {
        if (!quelm::TapDue(tap, n, now))
            continue;
        n->lastSent = now;
        if (quelm::TapSend(tap, n) < 0)
            return -1;
        ++count;
    }
    return count;
}

/* Seconds until a held-back record of h's live session is due; 0 when one
 * is due now, -1 when none is held (or h is bad). */
extern "C" int QxSocksMonDueIn(MonHandle_t *h)
{
    const time_t now = proxyTapSys.now(nullptr);
    NoteDrivesDue();
    ProxyTap_t *tap = quelm::TapOf(h, "QxSocksMonDueIn");
    if (tap == nullptr)
        return -1;
    if (!quelm::TapHoldsKey(tap->session.rec))
        return -1;
    long best = -1;
    for (const MonDataNode_t *n = &tap->session; n != nullptr; n = n->next) {
        if (n->held == 0)
            continue;
        long wait = 0;
        if (quelm::TapJoining(tap, n))
            wait = 1; /* the window is shorter than the unit asked in */
        else if (!quelm::TapDue(tap, n, now))
            wait = static_cast<long>((n->lastSent != 0 ? n->lastSent : n->rec.startTime) +
                                     static_cast<time_t>(tap->intervalSec) - now);
        if (best < 0 || wait < best)
            best = wait;
    }
    return static_cast<int>(best);
}

/* Sets h's throttle: 0, or -1 (errno EINVAL) for a bad handle. */
extern "C" int QxSocksMonSetThrottle(MonHandle_t *h, unsigned int freeReports,
                                     unsigned int intervalSeconds)
{
    ProxyTap_t *tap = quelm::TapOf(h, "QxSocksMonSetThrottle");
    if (tap == nullptr)
        return -1;
    tap->freeReports = freeReports;
    tap->intervalSec = intervalSeconds;
    return 0;
}
