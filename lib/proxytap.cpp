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

#include "monapi_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

/* The connection record's layout is checked with the other fixed layouts in
 * Parcel.cpp; here only what this module itself relies on. */
static_assert(offsetof(MonData_t, linkPid) == MON_KEY_SIZE, "the link key follows the key");

ProxyTapSys_t quelm::proxyTapSys = {time, calloc};

namespace {

/* Each open takes the next number as its handle number. */
std::atomic<uint32_t> threadNum{0};

/* The pipe and store modules count their opens in plain process-wide
 * variables; every transport open and close of this module runs under this
 * lock, so threads that open and close handles at once do not race there. */
pthread_mutex_t transportLock = PTHREAD_MUTEX_INITIALIZER;

/* The pipe's reader generation as this process has seen it: starts at 1 and
 * grows each time a send succeeds after a send found no reader (EPIPE).  A
 * record last delivered in an older generation may be unknown to the daemon
 * now reading, so its next send carries the start bit.  linkLost: the last
 * send of any handle found no reader. */
std::atomic<uint32_t> linkEpoch{1};
std::atomic<bool> linkLost{false};

constexpr unsigned char kNullKey[MON_KEY_SIZE] = {};
constexpr uint32_t kEventBits = MON_FLAG_START | MON_FLAG_UPDATE | MON_FLAG_STATUS;
/* A record that has had its first four reports goes out at most once in
 * this many seconds, unless the handle was set otherwise. */
constexpr uint32_t kThrottleSeconds = 5;
constexpr uint32_t kUnthrottledReports = 4;
constexpr size_t kTagLen = sizeof MON_TOTALS_TAG - 1;

/* Holds transportLock for one scope. */
class TransportLock {
public:
    TransportLock() noexcept { (void)pthread_mutex_lock(&transportLock); }
    ~TransportLock() { (void)pthread_mutex_unlock(&transportLock); }
    TransportLock(const TransportLock &) = delete;
    TransportLock &operator=(const TransportLock &) = delete;
};

/* True when rec carries a key, i.e. holds a session. */
bool HoldsKey(const MonData_t &rec) noexcept
{
    return memcmp(&rec, kNullKey, MON_KEY_SIZE) != 0;
}

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

/* Sends node's record, with every event bit not yet delivered, through the
 * transport: the transport's result.  The record keeps the flags word it had
 * (a store put hands back its own stored word in the buffer).
 *
 * A daemon that starts (or restarts) knows nothing of the sessions already
 * running, and refuses their reports until one carries the start bit.  So a
 * send that finds no reader keeps the start bit for the record's next send,
 * and a record last delivered to an earlier reader gets it again.  The send
 * that first reaches a new reader cannot know that before it went out: it is
 * sent once more with the start bit. */
int Send(ProxyTap_t *tap, MonDataNode_t *node) noexcept
{
    const uint32_t flags = node->rec.flags;
    const uint32_t epoch = linkEpoch.load(std::memory_order_acquire);
    uint32_t sent = flags | node->heldFlags;
    if (node->linkEpoch != 0 && node->linkEpoch != epoch)
        sent |= MON_FLAG_START;
    node->rec.flags = sent;
    int r = QxMonSendData(tap->link, &node->rec);
    uint32_t delivered = epoch;
    bool lost = true;
    if (r >= 0 && linkLost.load(std::memory_order_relaxed) &&
        linkLost.compare_exchange_strong(lost, false)) {
        delivered = linkEpoch.fetch_add(1) + 1;
        if ((sent & MON_FLAG_START) == 0) {
            node->rec.flags = sent | MON_FLAG_START;
            r = QxMonSendData(tap->link, &node->rec);
        }
    }
    node->rec.flags = flags;
    if (r >= 0) {
        node->heldFlags = 0;
        node->held = 0;
        node->linkEpoch = delivered;
    } else {
        const int err = errno;
        node->held = 1;
        node->heldFlags |= sent & kEventBits;
        if (err == EPIPE) {
            node->heldFlags |= MON_FLAG_START;
            linkLost.store(true);
        }
        errno = err;
    }
    return r;
}

/* Writes the high words of node's totals into text5 as MON_TOTALS_TAG "A B"
 * while one of them is not 0, and the low words into the counters; a tag
 * left in text5 (copied from the session record) is cleared when the
 * totals fit 32 bits, so it never claims more than the record has. */
void StampTotals(MonDataNode_t *node) noexcept
{
    MonData_t &rec = node->rec;
    rec.countA = static_cast<uint32_t>(node->totalA);
    rec.countB = static_cast<uint32_t>(node->totalB);
    const uint32_t hi[2] = {static_cast<uint32_t>(node->totalA >> 32),
                            static_cast<uint32_t>(node->totalB >> 32)};
    if ((hi[0] | hi[1]) == 0) {
        if (strncmp(rec.text5, MON_TOTALS_TAG, kTagLen) == 0)
            memset(rec.text5, 0, sizeof rec.text5);
        return;
    }
    char text[sizeof rec.text5] = MON_TOTALS_TAG;
    size_t n = kTagLen;
    for (int i = 0; i < 2; ++i) {
        char digits[10];
        size_t d = 0;
        uint32_t v = hi[i];
        do {
            digits[d++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        if (i == 1)
            text[n++] = ' ';
        while (d > 0)
            text[n++] = digits[--d];
    }
    memset(text + n, 0, sizeof text - n);
    memcpy(rec.text5, text, sizeof text);
}

/* Parses the high words that StampTotals wrote into rec's text5: true with
 * both set, or false when text5 holds no such tag (then both are 0). */
bool HighWords(const MonData_t &rec, uint32_t hi[2]) noexcept
{
    hi[0] = hi[1] = 0;
    const char *p = rec.text5;
    const char *end = rec.text5 + sizeof rec.text5;
    if (strncmp(p, MON_TOTALS_TAG, kTagLen) != 0)
        return false;
    p += kTagLen;
    for (int i = 0; i < 2; ++i) {
        uint64_t v = 0;
        const char *first = p;
        while (p < end && *p >= '0' && *p <= '9' && v <= UINT32_MAX)
            v = v * 10 + static_cast<uint64_t>(*p++ - '0');
        if (p == first || v > UINT32_MAX || p == end || *p != (i == 0 ? ' ' : '\0')) {
            hi[0] = hi[1] = 0;
            return false;
        }
        hi[i] = static_cast<uint32_t>(v);
        ++p;
    }
    return true;
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
}

/* True when node holds a report not yet delivered whose throttle interval
 * has passed at now: since its last send, or since the record began when it
 * was never sent (a handle without free reports: a session shorter than the
 * interval then costs one send, its end).  A clock that was set back counts
 * as time gone by. */
bool Due(const ProxyTap_t *tap, const MonDataNode_t *node, time_t now) noexcept
{
    const time_t since = node->lastSent != 0 ? node->lastSent : node->rec.startTime;
    return node->held != 0 && (tap->intervalSec == 0 || now < since ||
                               now - since >= static_cast<time_t>(tap->intervalSec));
}

/* The handle's private part, or null (logged, errno EINVAL) for a handle
 * that is not an open reporting handle; fn names the caller in the log. */
ProxyTap_t *TapOf(MonHandle_t *h, const char *fn) noexcept
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

/* Begins a new session at now: ends a live one first (its result is of no
 * consequence here), drops the additional records, and gives the session a
 * clean record under the next record number.  The old record is cleared
 * even when its end could not be sent, so nothing of it reaches the new
 * session. */
void StartSession(ProxyTap_t *tap, time_t now) noexcept
{
    MonDataNode_t &s = tap->session;
    if ((s.rec.flags & MON_FLAG_END) == 0 && HoldsKey(s.rec))
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
    n->rec.countA = 0;
    n->rec.countB = 0;
    n->rec.dataLen = 0;
    if (strncmp(n->rec.text5, MON_TOTALS_TAG, kTagLen) == 0)
        memset(n->rec.text5, 0, sizeof n->rec.text5);
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
    MonHandle_t *h = quelm::HandleNew(ops, sizeof(ProxyTap_t), nullptr, proxyTapSys.alloc);
    if (h == nullptr) {
        QxLogUpdate(nullptr, 1, 35, "QxSocksMonOpen: malloc() handle failed");
        errno = ENOMEM;
        return -1;
    }
    auto *tap = static_cast<ProxyTap_t *>(h->priv);
    tap->type = type;
    tap->pid = static_cast<uint32_t>(getpid());
    tap->handleNum = threadNum.fetch_add(1, std::memory_order_relaxed);
    tap->freeReports = kUnthrottledReports;
    tap->intervalSec = kThrottleSeconds;

    int r = 0;
    {
        TransportLock lock;
        if (type == MON_TRANSPORT_STORE)
            r = QxMonMemOpen("mon.mmap", MON_SLOT_PROXY, &tap->link);
        else if (type == MON_TRANSPORT_FIFO)
            r = QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &tap->link);
    }
    if (r < 0) {
        const int err = errno;
        quelm::HandleFree(h);
        errno = err;
        return -1;
    }
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
    ProxyTap_t *tap = TapOf(h, "QxSocksMonPut");
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
    node->heldFlags |= f & kEventBits;
    rec.flags = f | node->heldFlags;
    rec.code2 = conn->code2;
    rec.code1 = conn->code1;
    CopyText(rec.text1, sizeof rec.text1, conn->text1);
    CopyText(rec.text2, sizeof rec.text2, conn->text2);
    CopyText(rec.text3, sizeof rec.text3, conn->text3);
    CopyText(rec.text4, sizeof rec.text4, conn->text4);
    CopyText(rec.text5, sizeof rec.text5, conn->text5);
    StampTotals(node);
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
    const uint32_t taken = node->updateCount++;
    if (taken >= tap->freeReports && !Due(tap, node, now))
        return 0;
    node->lastSent = now;
    const int r = Send(tap, node);
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

/* Sends the held-back records of h's live session that are due: how many
 * went out, or -1 at the first failed send (errno the transport's). */
extern "C" int QxSocksMonSendDue(MonHandle_t *h)
{
    const time_t now = proxyTapSys.now(nullptr);
    ProxyTap_t *tap = TapOf(h, "QxSocksMonSendDue");
    if (tap == nullptr)
        return -1;
    if (!HoldsKey(tap->session.rec))
        return 0;
    /* An end whose flush stopped at a failed send: the flush goes on. */
    if ((tap->session.rec.flags & MON_FLAG_END) != 0) {
        int left = 0;
        bool due = false;
        for (MonDataNode_t *n = &tap->session; n != nullptr; n = n->next) {
            ++left;
            due = due || Due(tap, n, now);
        }
        if (!due)
            return 0;
        tap->session.lastSent = now;
        return MonDataFlush(tap) < 0 ? -1 : left;
    }
    int count = 0;
    for (MonDataNode_t *n = &tap->session; n != nullptr; n = n->next) {
        if (!Due(tap, n, now))
            continue;
        n->lastSent = now;
        if (Send(tap, n) < 0)
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
    ProxyTap_t *tap = TapOf(h, "QxSocksMonDueIn");
    if (tap == nullptr)
        return -1;
    if (!HoldsKey(tap->session.rec))
        return -1;
    long best = -1;
    for (const MonDataNode_t *n = &tap->session; n != nullptr; n = n->next) {
        if (n->held == 0)
            continue;
        long wait = 0;
        if (!Due(tap, n, now))
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
    ProxyTap_t *tap = TapOf(h, "QxSocksMonSetThrottle");
    if (tap == nullptr)
        return -1;
    tap->freeReports = freeReports;
    tap->intervalSec = intervalSeconds;
    return 0;
}

/* Ends the session in tap: see the declaration. */
int quelm::MonDataFlush(ProxyTap_t *tap)
{
    if (tap == nullptr)
        return -1;
    MonData_t &s = tap->session.rec;
    s.endTime = static_cast<int32_t>(proxyTapSys.now(nullptr));
    s.flags |= MON_FLAG_END;
    if (Send(tap, &tap->session) < 0)
        return -1;
    while (MonDataNode_t *n = tap->session.next) {
        n->rec.flags |= MON_FLAG_END;
        n->rec.endTime = s.endTime;
        if (Send(tap, n) < 0)
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
    if ((tap->session.rec.flags & MON_FLAG_END) == 0 && HoldsKey(tap->session.rec))
        (void)MonDataFlush(tap);
    h->magic = MON_MAGIC_DEAD;
    /* A handle of an unknown type never had a transport to close. */
    int r = 0;
    if (tap->link != nullptr) {
        TransportLock lock;
        r = QxMonClose(tap->link);
    }
    DropAdditional(tap);
    free(tap);
    free(h);
    return r < 0 ? -1 : 0;
}

namespace {

/* The full total of counter `which` (0 A, 1 B) of rec: see monitor.h. */
uint64_t Total(const MonData_t *rec, int which) noexcept
{
    if (rec == nullptr)
        return 0;
    uint32_t hi[2];
    (void)HighWords(*rec, hi);
    return static_cast<uint64_t>(hi[which]) << 32 | (which == 0 ? rec->countA : rec->countB);
}

}  // namespace

/* countA with its high word. */
extern "C" uint64_t QxMonTotalA(const MonData_t *rec)
{
    return Total(rec, 0);
}

/* countB with its high word. */
extern "C" uint64_t QxMonTotalB(const MonData_t *rec)
{
    return Total(rec, 1);
}

/* Fills an address block from sa in the sockaddr convention: 0, or -1 with
 * the block zeroed (EAFNOSUPPORT) or untouched when null (EINVAL). */
extern "C" int QxMonAddrFromSockaddr(unsigned char *block, const struct sockaddr *sa)
{
    if (block == nullptr) {
        errno = EINVAL;
        return -1;
    }
    memset(block, 0, MON_ADDR_SIZE);
    if (sa == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (sa->sa_family == AF_INET) {
        memcpy(block, sa, sizeof(struct sockaddr_in));
        return 0;
    }
    if (sa->sa_family == AF_INET6) {
        memcpy(block, sa, sizeof(struct sockaddr_in6));
        return 0;
    }
    errno = EAFNOSUPPORT;
    return -1;
}

/* The RFC 1928 reply text of code; see monitor.h. */
extern "C" const char *QxSocksReplyText(int code)
{
    static const char *const kText[] = {
        "succeeded",
        "general SOCKS server failure",
        "connection not allowed by ruleset",
        "Network unreachable",
        "Host unreachable",
        "Connection refused",
        "TTL expired",
        "Command not supported",
        "Address type not supported",
    };
    if (code >= 0 && code < static_cast<int>(sizeof kText / sizeof kText[0]))
        return kText[code];
    if (code > MON_STATUS_AUTH_BASE && code <= MON_STATUS_AUTH_BASE + 0xff)
        return "authentication failed";
    return "unassigned";
}
