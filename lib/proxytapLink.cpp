/*
 * proxytapLink.cpp - the reporting client's side of the transport, shared by
 * every handle of the process: opening and closing the pipe writer or store
 * handle under one lock (the pipe and store modules count their opens in
 * plain process-wide variables), and sending a record so that a daemon that
 * started after the session still learns of it.
 */
#include "proxytap_internal.h"

#include "Chute_internal.h"
#include "Shelf_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

namespace {

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

/* Holds transportLock for one scope. */
class TransportLock {
public:
    TransportLock() noexcept { (void)pthread_mutex_lock(&transportLock); }
    ~TransportLock() { (void)pthread_mutex_unlock(&transportLock); }
    TransportLock(const TransportLock &) = delete;
    TransportLock &operator=(const TransportLock &) = delete;
};

}  // namespace

namespace {
/* Closed reporting handles kept for reuse, under transportLock. */
constexpr int kKeptMax = 32;
MonHandle_t *kept[kKeptMax];
int keptCount = 0;

/* The process ID, asked once: every open would otherwise cost a getpid
 * call.  A forked child is another process with the same memory: the
 * child handler forgets the parent's ID. */
std::atomic<uint32_t> cachedPid{0};
void ForgetPid() noexcept
{
    cachedPid.store(0, std::memory_order_relaxed);
}
/* pthread_once, not a guarded static: C programs link the archive without
 * the C++ runtime. */
pthread_once_t forkHandlerOnce = PTHREAD_ONCE_INIT;
bool forkHandlerSet = false;
void SetForkHandler() noexcept
{
    forkHandlerSet = pthread_atfork(nullptr, nullptr, ForgetPid) == 0;
}
}  // namespace

uint32_t quelm::TapPid() noexcept
{
    uint32_t pid = cachedPid.load(std::memory_order_relaxed);
    if (pid != 0)
        return pid;
    (void)pthread_once(&forkHandlerOnce, SetForkHandler);
    pid = static_cast<uint32_t>(getpid());
    /* Without the handler a child could key its sessions with the parent's
     * ID: then ask each time. */
    if (forkHandlerSet)
        cachedPid.store(pid, std::memory_order_relaxed);
    return pid;
}

int quelm::TapOpenTransport(int type, MonHandle_t **link, MonHandle_t **keptOut) noexcept
{
    TransportLock lock;
    if (keptOut != nullptr)
        *keptOut = keptCount > 0 ? kept[--keptCount] : nullptr;
    if (type == MON_TRANSPORT_STORE)
        return QxMonMemOpen("mon.mmap", MON_SLOT_PROXY, link);
    if (type == MON_TRANSPORT_FIFO)
        return QxChuteOpen("mon.fifo", MON_FIFO_WRITER, link);
    return 0;
}

namespace {
/* Under transportLock: keeps h when there is room; false when there is none. */
bool KeepLocked(MonHandle_t *h) noexcept
{
    if (keptCount >= kKeptMax)
        return false;
    kept[keptCount++] = h;
    return true;
}

void FreeHandle(MonHandle_t *h) noexcept
{
    free(h->priv);
    free(h);
}
}  // namespace

void quelm::TapHandleKeep(MonHandle_t *h) noexcept
{
    bool kept;
    {
        TransportLock lock;
        kept = KeepLocked(h);
    }
    if (!kept)
        FreeHandle(h);
}

int quelm::TapCloseTransport(MonHandle_t *link, MonHandle_t *keep) noexcept
{
    int r = 0;
    bool kept = keep == nullptr;
    {
        TransportLock lock;
        if (link != nullptr)
            r = QxMonClose(link);
        if (keep != nullptr)
            kept = KeepLocked(keep);
    }
    if (!kept)
        FreeHandle(keep);
    return r;
}

namespace {

/* The generation of the transport the handle's link uses: it grows each
 * time the pipe writer moved onto a restarted daemon's pipe, or the store
 * handles onto a restarted daemon's store. */
uint32_t TransportGeneration(const ProxyTap_t *tap) noexcept
{
    return tap->type == MON_TRANSPORT_STORE ? quelm::ShelfGeneration() : quelm::ChuteGeneration();
}

/* The epoch a delivery belongs to: changes with either counter. */
uint32_t Epoch(const ProxyTap_t *tap) noexcept
{
    return linkEpoch.load(std::memory_order_acquire) + TransportGeneration(tap);
}

}  // namespace

/* Sends node's record, with every event bit not yet delivered, through the
 * transport: the transport's result.  The record keeps the flags word it had
 * (a store put hands back its own stored word in the buffer).
 *
 * A daemon that starts (or restarts) knows nothing of the sessions already
 * running, and refuses their reports until one carries the start bit.  So a
 * send that finds no reader keeps the start bit for the record's next send,
 * and a record last delivered to an earlier daemon gets it again.  The
 * transports notice a restart themselves: the pipe writer moves onto the new
 * pipe and writes that frame with the start bit, the store handle moves onto
 * the new store (its put then refused for want of the bit, so it is sent
 * once more with it).  The send that first reaches a new reader of the same
 * pipe cannot know that before it went out: it is sent once more with the
 * start bit. */
int quelm::TapSend(ProxyTap_t *tap, MonDataNode_t *node) noexcept
{
    const uint32_t flags = node->rec.flags;
    const uint32_t generation = TransportGeneration(tap);
    const uint32_t epoch = Epoch(tap);
    uint32_t sent = flags | node->heldFlags;
    if (node->linkEpoch != 0 && node->linkEpoch != epoch)
        sent |= MON_FLAG_START;
    node->rec.flags = sent;
    int r = QxMonSendData(tap->link, &node->rec);
    const bool renewed = TransportGeneration(tap) != generation;
    bool lost = true;
    if (renewed) {
        linkLost.store(false);
        if (r < 0 && (sent & MON_FLAG_START) == 0 && tap->type == MON_TRANSPORT_STORE) {
            sent |= MON_FLAG_START;
            node->rec.flags = sent;
            r = QxMonSendData(tap->link, &node->rec);
        }
    } else if (r >= 0 && linkLost.load(std::memory_order_relaxed) &&
               linkLost.compare_exchange_strong(lost, false)) {
        linkEpoch.fetch_add(1);
        if ((sent & MON_FLAG_START) == 0) {
            node->rec.flags = sent | MON_FLAG_START;
            r = QxMonSendData(tap->link, &node->rec);
        }
    }
    node->rec.flags = flags;
    if (r >= 0) {
        node->heldFlags = 0;
        node->held = 0;
        node->linkEpoch = Epoch(tap);
    } else {
        const int err = errno;
        node->held = 1;
        node->heldFlags |= sent & quelm::kTapEventBits;
        if (err == EPIPE || renewed) {
            node->heldFlags |= MON_FLAG_START;
            if (err == EPIPE)
                linkLost.store(true);
        }
        errno = err;
    }
    return r;
}
