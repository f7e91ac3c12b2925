/*
 * proxytap.cpp - the proxy's reporting client: one handle per reporting
 * channel, holding the live session's record and its additional records,
 * filled from the proxy's connection record and sent through a pipe writer
 * or a store handle.  A report never blocks the proxy and never changes its
 * signal dispositions: a report that cannot be sent is -1 and stays in memory.
 * Handles are opened and closed from any thread; each is used by one thread
 * at a time, so only the transport opens and closes and the pipe's reader
 * generation are shared between threads.
 */
#include "proxytap_internal.h"

#include "convention_internal.h"
#include "monapi_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

/* The connection record's layout is checked with the other fixed layouts in
 * Parcel.cpp; here only what this module itself relies on. */
static_assert(offsetof(MonData_t, linkPid) == MON_KEY_SIZE, "the link key follows the key");

constexpr ProxyTapSys_t quelm::kProxyTapSysDefault = {time, calloc};
constinit ProxyTapSys_t quelm::proxyTapSys = quelm::kProxyTapSysDefault;

namespace {

/* Each open takes the next number as its handle number. */
std::atomic<uint32_t> threadNum{0};

/* A record that has had its first four reports goes out at most once in
 * this many seconds, unless the handle was set otherwise. */
constexpr uint32_t kThrottleSeconds = 5;
constexpr uint32_t kUnthrottledReports = 4;
/* In a process that drives due reports, a record's first reports wait this
 * long after it began: a session that ends sooner costs one frame (start,
 * status and end together) instead of three or more, and a longer one shows
 * when the proxy next sends what is due. */
constexpr uint32_t kJoinMs = 250;






/* Makes from's link key point at to's key. */
void LinkTo(MonData_t &from, const MonData_t &to) noexcept
{
    memcpy(reinterpret_cast<unsigned char *>(&from) + offsetof(MonData_t, linkPid), &to,
           MON_KEY_SIZE);
}

/* Replaces a record text of fieldSize bytes by src, cut to fieldSize - 1
 * characters and NUL-filled to the end; an empty src leaves it as it was.
 * Reads at most fieldSize - 1 bytes of src, so an unterminated text of the
 * connection record is safe. */
void CopyText(char *dst, size_t fieldSize, const char *src) noexcept
{
    if (src == nullptr || src[0] == '\0')
        return;
    const size_t n = strnlen(src, fieldSize - 1);
    memcpy(dst, src, n);
    memset(dst + n, 0, fieldSize - n);
}

/* Frees every additional record of the session and empties the list. */
void DropAdditional(ProxyTap_t *tap) noexcept
{
    for (MonDataNode_t *n = tap->session.next; n != nullptr;) {
        MonDataNode_t *next = n->next;
        free(n);
        n = next;
    }
    tap->session.next = nullptr;
}

/* Resets a node's sending state for a record that begins afresh. */
void ClearNodeState(MonDataNode_t *node) noexcept
{
    node->updateCount = 0;
    node->lastSent = 0;
    node->heldFlags = 0;
    node->held = 0;
    node->linkEpoch = 0;
    node->totalA = 0;
    node->totalB = 0;
    node->bornMs = quelm::TapNowMs();
}



/* Begins a new session at now: ends a live one first (its result is of no
 * consequence here), drops the additional records, and gives the session a
 * clean record under the next record number.  The old record is cleared
 * even when its end could not be sent, so nothing of it reaches the new
 * session. */
void StartSession(ProxyTap_t *tap, time_t now) noexcept
{
    MonDataNode_t &s = tap->session;
    if ((s.rec.flags & MON_FLAG_END) == 0 && quelm::TapHoldsKey(s.rec))
        (void)MonDataFlush(tap);
    DropAdditional(tap);
    memset(&s.rec, 0, sizeof s.rec);
    ClearNodeState(&s);
    tap->lastCountA = 0;
    tap->lastCountB = 0;
    s.rec.startTime = static_cast<int32_t>(now);
    s.rec.eventTime = static_cast<int32_t>(now);
    s.rec.pid = tap->pid;
    s.rec.handleNum = tap->handleNum;
    s.rec.recordNum = ++tap->recordCounter;
}

/* The additional record whose addrB is addrB, appended to the ring when
 * there is none yet (then *flags gains 0x1, so that the store creates it).
 * Null when a new record cannot be allocated (logged). */
MonDataNode_t *AdditionalFor(ProxyTap_t *tap, const unsigned char *addrB, uint32_t *flags) noexcept
{
    MonDataNode_t *last = &tap->session;
    for (MonDataNode_t *n = tap->session.next; n != nullptr; n = n->next) {
        if (memcmp(n->rec.addrB, addrB, MON_ADDR_SIZE) == 0)
            return n;
        last = n;
    }
    auto *n = static_cast<MonDataNode_t *>(proxyTapSys.alloc(1, sizeof(MonDataNode_t)));
    if (n == nullptr) {
        QxLogUpdate(nullptr, 1, 41, "QxSocksMonPut: malloc() MonDataNode_t failed");
        errno = ENOMEM;
        return nullptr;
    }
    n->rec = tap->session.rec;
    n->bornMs = quelm::TapNowMs();
    quelm::StampTotals(n->rec, 0, 0);  // its own totals start at 0
    n->rec.dataLen = 0;
    n->rec.pid = tap->pid;
    n->rec.handleNum = tap->handleNum;
    n->rec.recordNum = ++tap->recordCounter;
    last->next = n;
    /* The ring: the previous last record points at the new one, the new
     * one back at the session record. */
    LinkTo(last->rec, n->rec);
    LinkTo(n->rec, tap->session.rec);
    *flags |= MON_FLAG_START;
    return n;
}

}  // namespace

bool quelm::TapHoldsKey(const MonData_t &rec) noexcept
{
    static constexpr unsigned char kNullKey[MON_KEY_SIZE] = {};
    return memcmp(&rec, kNullKey, MON_KEY_SIZE) != 0;
}

/* The handle's private part: see the declaration. */
ProxyTap_t *quelm::TapOf(MonHandle_t *h, const char *fn) noexcept
{
    if (h == nullptr || h->magic != MON_MAGIC_PROXY) {
        if (h != nullptr)
            QxLogUpdate(nullptr, 1, 1, "%s: bad handle=0x%lx specified", fn,
                        reinterpret_cast<unsigned long>(h));
        errno = EINVAL;
        return nullptr;
    }
    return static_cast<ProxyTap_t *>(h->priv);
}

/* Opens a reporting handle over transport type (1 pipe, 2 store; any other
 * type gives a handle whose sends all fail) into *out: 0, or -1 with *out
 * null and nothing left allocated (the transport logs its own failure).
 * Safe to call from several threads at once. */
extern "C" int QxSocksMonOpen(const char *name, int type, MonHandle_t **out)
{
    (void)name;
    if (out == nullptr) {
        QxLogUpdate(nullptr, 5, 3, "%s: no place for the handle", "QxSocksMonOpen");
        errno = EINVAL;
        return -1;
    }
    *out = nullptr;
    const quelm::HandleOps ops = {QxSocksMonOpen, QxSocksMonClose, nullptr, nullptr, nullptr};
    /* Kept handles serve the plain allocator only: a test's allocator
     * must see every allocation it is to fail. */
    const bool plain = proxyTapSys.alloc == calloc;
    /* One hold of the transport lock takes a kept handle and opens the
     * transport; a failed open hands the kept handle back. */
    MonHandle_t *link = nullptr;
    MonHandle_t *h = nullptr;
    if (quelm::TapOpenTransport(type, &link, plain ? &h : nullptr) < 0) {
        if (h != nullptr)
            quelm::TapHandleKeep(h);
        return -1;
    }
    if (h != nullptr)
        quelm::HandleRenew(h, ops, sizeof(ProxyTap_t), nullptr);
    else
        h = quelm::HandleNew(ops, sizeof(ProxyTap_t), nullptr, proxyTapSys.alloc);
    if (h == nullptr) {
        if (link != nullptr)
            (void)quelm::TapCloseTransport(link, nullptr);
        QxLogUpdate(nullptr, 1, 35, "QxSocksMonOpen: malloc() handle failed");
        errno = ENOMEM;
        return -1;
    }
    auto *tap = static_cast<ProxyTap_t *>(h->priv);
    tap->type = type;
    tap->link = link;
    tap->pid = quelm::TapPid();
    tap->handleNum = threadNum.fetch_add(1, std::memory_order_relaxed);
    tap->freeReports = kUnthrottledReports;
    tap->intervalSec = kThrottleSeconds;
    tap->joinMs = kJoinMs;
    h->magic = MON_MAGIC_PROXY;
    *out = h;
    return 0;
}

namespace {

/* The report behind QxSocksMonPut and QxSocksMonReport (counts null: conn's
 * 32-bit running counters).  -1 on failure; otherwise *sent tells whether
 * records went out, and the result is the transport's put result (0 for an
 * end whose records all went out, and for a report held back). */
int Report(MonHandle_t *h, uint32_t f, MonConnInfo_t *conn, const MonCounts_t *counts,
           unsigned int dataLen, const void *data, int status, const char *statusText,
           bool *sent) noexcept
{
    const time_t now = proxyTapSys.now(nullptr);
    *sent = false;
    if (h == nullptr)
        return -1;
    ProxyTap_t *tap = quelm::TapOf(h, "QxSocksMonPut");
    if (tap == nullptr)
        return -1;
    if (conn == nullptr) {
        QxLogUpdate(nullptr, 5, 3, "%s: no connection record", "QxSocksMonPut");
        errno = EINVAL;
        return -1;
    }

    if (f & MON_FLAG_START)
        StartSession(tap, now);

    /* 32-bit running counters are followed by their differences modulo
     * 2^32, which carries the totals across the counters' wrap. */
    const uint64_t runA =
        counts != nullptr ? counts->runCountA
                          : tap->lastCountA + static_cast<uint32_t>(
                                                  conn->runCountA -
                                                  static_cast<uint32_t>(tap->lastCountA));
    const uint64_t runB =
        counts != nullptr ? counts->runCountB
                          : tap->lastCountB + static_cast<uint32_t>(
                                                  conn->runCountB -
                                                  static_cast<uint32_t>(tap->lastCountB));

    MonDataNode_t *node = &tap->session;
    if (f & MON_FLAG_ADDITIONAL) {
        node = AdditionalFor(tap, conn->addrB, &f);
        if (node == nullptr)
            return -1; /* counters not taken: the next report carries them */
    }
    node->totalA += runA - tap->lastCountA;
    node->totalB += runB - tap->lastCountB;
    tap->lastCountA = runA;
    tap->lastCountB = runB;

    MonData_t &rec = node->rec;
    node->heldFlags |= f & quelm::kTapEventBits;
    rec.flags = f | node->heldFlags;
    rec.code2 = conn->code2;
    rec.code1 = conn->code1;
    CopyText(rec.text1, sizeof rec.text1, conn->text1);
    CopyText(rec.text2, sizeof rec.text2, conn->text2);
    CopyText(rec.text3, sizeof rec.text3, conn->text3);
    CopyText(rec.text4, sizeof rec.text4, conn->text4);
    CopyText(rec.text5, sizeof rec.text5, conn->text5);
    quelm::StampTotals(node->rec, node->totalA, node->totalB);
    memcpy(rec.addrA, conn->addrA, MON_ADDR_SIZE);
    memcpy(rec.addrB, conn->addrB, MON_ADDR_SIZE);
    memcpy(rec.addrC, conn->addrC, MON_ADDR_SIZE);
    if (f & (MON_FLAG_UPDATE | MON_FLAG_STATUS))
        rec.eventTime = static_cast<int32_t>(now);
    if (f & MON_FLAG_STATUS) {
        rec.status = status;
        CopyText(rec.statusText, sizeof rec.statusText, statusText);
    }
    if (data != nullptr && dataLen != 0) {
        const unsigned n = dataLen < MON_DATA_MAX ? dataLen : MON_DATA_MAX;
        memcpy(rec.data, data, n);
        rec.dataLen = static_cast<uint16_t>(n);
    }

    if (f & MON_FLAG_END) {
        node->lastSent = now;
        const int r = MonDataFlush(tap);
        *sent = r == 0;
        return r;
    }
    node->held = 1;
    if (quelm::TapJoining(tap, node))
        return 0;
    const uint32_t taken = node->updateCount++;
    if (taken >= tap->freeReports && !quelm::TapDue(tap, node, now))
        return 0;
    node->lastSent = now;
    const int r = quelm::TapSend(tap, node);
    *sent = r >= 0;
    return r;
}

}  // namespace

/* Applies one report of the proxy's connection conn to the session (see the
 * flag bits in monitor.h) and sends the record it concerns unless the
 * throttle holds it back.  Returns the transport's put result for a record
 * sent, 0 for a report held back or an end whose records all went out, -1
 * on failure (bad handle or connection record, allocation, a failed send;
 * errno from the transport, e.g. EPIPE or EAGAIN for the pipe).  A report
 * that was not sent stays in the record, flag bits included, and travels
 * with the next report that is sent. */
extern "C" int QxSocksMonPut(MonHandle_t *h, int flags, MonConnInfo_t *conn, unsigned int dataLen,
                             const void *data, int status, const char *statusText)
{
    bool sent;
    return Report(h, static_cast<uint32_t>(flags), conn, nullptr, dataLen, data, status,
                  statusText, &sent);
}

/* QxSocksMonPut that tells a report held back (MON_REPORT_HELD) from one
 * sent (MON_REPORT_SENT) and may take 64-bit running counters; -1 as
 * QxSocksMonPut. */
extern "C" int QxSocksMonReport(MonHandle_t *h, int flags, MonConnInfo_t *conn,
                                const MonCounts_t *counts, unsigned int dataLen, const void *data,
                                int status, const char *statusText)
{
    bool sent;
    if (Report(h, static_cast<uint32_t>(flags), conn, counts, dataLen, data, status, statusText,
               &sent) < 0)
        return -1;
    return sent ? MON_REPORT_SENT : MON_REPORT_HELD;
}




/* Ends the session in tap: see the declaration. */
int quelm::MonDataFlush(ProxyTap_t *tap)
{
    if (tap == nullptr)
        return -1;
    MonData_t &s = tap->session.rec;
    s.endTime = static_cast<int32_t>(proxyTapSys.now(nullptr));
    s.flags |= MON_FLAG_END;
    if (quelm::TapSend(tap, &tap->session) < 0)
        return -1;
    while (MonDataNode_t *n = tap->session.next) {
        n->rec.flags |= MON_FLAG_END;
        n->rec.endTime = s.endTime;
        if (quelm::TapSend(tap, n) < 0)
            return -1;
        tap->session.next = n->next;
        free(n);
    }
    memset(&s, 0, sizeof s);
    ClearNodeState(&tap->session);
    return 0;
}

/* Closes a reporting handle: ends a live session (its records sent with 0x8
 * as far as the transport takes them), closes the transport and frees
 * everything.  0, or -1 for a bad handle (logged; nothing freed) or when the
 * transport's close failed.  Safe to call from several threads at once, each
 * with its own handle. */
extern "C" int QxSocksMonClose(MonHandle_t *h)
{
    if (h == nullptr)
        return -1;
    if (h->magic != MON_MAGIC_PROXY) {
        QxLogUpdate(nullptr, 1, 1, "QxSocksMonClose: bad handle=0x%lx specified",
                    reinterpret_cast<unsigned long>(h));
        errno = EINVAL;
        return -1;
    }
    auto *tap = static_cast<ProxyTap_t *>(h->priv);
    if ((tap->session.rec.flags & MON_FLAG_END) == 0 && quelm::TapHoldsKey(tap->session.rec))
        (void)MonDataFlush(tap);
    h->magic = MON_MAGIC_DEAD;
    DropAdditional(tap);
    /* One hold of the transport lock closes the transport (a handle of an
     * unknown type never had one) and keeps the handle for a later open. */
    const bool keep = proxyTapSys.alloc == calloc;
    const int r = quelm::TapCloseTransport(tap->link, keep ? h : nullptr);
    if (!keep) {
        free(tap);
        free(h);
    }
    return r < 0 ? -1 : 0;
}
