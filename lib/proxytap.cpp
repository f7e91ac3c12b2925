/*
 * proxytap.cpp - the proxy's reporting client: one handle per reporting
 * channel, holding the live session's record and its additional records,
 * filled from the proxy's connection record and sent through a pipe writer
 * or a store handle.  A report never blocks the proxy and never changes its
 * signal dispositions: a report that cannot be sent is -1 and stays in memory.
 */
#include "proxytap_internal.h"

#include "monapi_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

/* The connection record's layout is checked with the other fixed layouts in
 * Parcel.cpp; here only what this module itself relies on. */
static_assert(offsetof(MonData_t, linkPid) == MON_KEY_SIZE, "the link key follows the key");

ProxyTapSys_t quelm::proxyTapSys = {time, calloc};

namespace {

/* Each open takes the next number as its handle number; opens of one
 * process must not overlap. */
int threadNum = 0;

constexpr unsigned char kNullKey[MON_KEY_SIZE] = {};
constexpr uint32_t kEventBits = MON_FLAG_START | MON_FLAG_UPDATE | MON_FLAG_STATUS;
/* A record that has had its first four reports goes out at most once in
 * this many seconds. */
constexpr time_t kThrottleSeconds = 5;
constexpr uint32_t kUnthrottledReports = 4;

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

/* Sends node's record through the transport: the transport's result.  The
 * record keeps the flags word it had (a store put hands back its own stored
 * word in the buffer); the event bits held back from earlier reports are
 * forgotten once a send succeeded. */
int Send(ProxyTap_t *tap, MonDataNode_t *node) noexcept
{
    const uint32_t flags = node->rec.flags;
    const int r = QxMonSendData(tap->link, &node->rec);
    node->rec.flags = flags;
    if (r >= 0)
        node->heldFlags = 0;
    return r;
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
    s.updateCount = 0;
    s.lastSent = 0;
    s.heldFlags = 0;
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
 * null and nothing left allocated (the transport logs its own failure). */
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
    tap->handleNum = static_cast<uint32_t>(threadNum++);

    int r = 0;
    if (type == MON_TRANSPORT_STORE)
        r = QxMonMemOpen("mon.mmap", MON_SLOT_PROXY, &tap->link);
    else if (type == MON_TRANSPORT_FIFO)
        r = QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &tap->link);
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
    const time_t now = proxyTapSys.now(nullptr);
    if (h == nullptr)
        return -1;
    if (h->magic != MON_MAGIC_PROXY) {
        QxLogUpdate(nullptr, 1, 1, "QxSocksMonPut: bad handle=0x%lx specified",
                    reinterpret_cast<unsigned long>(h));
        errno = EINVAL;
        return -1;
    }
    if (conn == nullptr) {
        QxLogUpdate(nullptr, 5, 3, "%s: no connection record", "QxSocksMonPut");
        errno = EINVAL;
        return -1;
    }
    auto *tap = static_cast<ProxyTap_t *>(h->priv);
    uint32_t f = static_cast<uint32_t>(flags);

    if (f & MON_FLAG_START)
        StartSession(tap, now);

    /* Differences modulo 2^32 follow a running counter across its wrap. */
    const uint32_t deltaA = conn->runCountA - tap->lastCountA;
    const uint32_t deltaB = conn->runCountB - tap->lastCountB;

    MonDataNode_t *node = &tap->session;
    if (f & MON_FLAG_ADDITIONAL) {
        node = AdditionalFor(tap, conn->addrB, &f);
        if (node == nullptr)
            return -1; /* counters not taken: the next report carries them */
    }
    tap->lastCountA = conn->runCountA;
    tap->lastCountB = conn->runCountB;

    MonData_t &rec = node->rec;
    node->heldFlags |= f & kEventBits;
    rec.flags = f | node->heldFlags;
    rec.countA += deltaA;
    rec.countB += deltaB;
    rec.code2 = conn->code2;
    rec.code1 = conn->code1;
    CopyText(rec.text1, sizeof rec.text1, conn->text1);
    CopyText(rec.text2, sizeof rec.text2, conn->text2);
    CopyText(rec.text3, sizeof rec.text3, conn->text3);
    CopyText(rec.text4, sizeof rec.text4, conn->text4);
    CopyText(rec.text5, sizeof rec.text5, conn->text5);
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
        return MonDataFlush(tap);
    }
    /* A clock that was set back counts as time gone by, so a record is not
     * silenced until the clock catches up. */
    const uint32_t taken = node->updateCount++;
    if (taken >= kUnthrottledReports && now >= node->lastSent &&
        now - node->lastSent < kThrottleSeconds)
        return 0;
    node->lastSent = now;
    return Send(tap, node);
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
    return 0;
}

/* Closes a reporting handle: ends a live session (its records sent with 0x8
 * as far as the transport takes them), closes the transport and frees
 * everything.  0, or -1 for a bad handle (logged; nothing freed) or when the
 * transport's close failed. */
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
    const int r = tap->link != nullptr ? QxMonClose(tap->link) : 0;
    DropAdditional(tap);
    free(tap);
    free(h);
    return r < 0 ? -1 : 0;
}
