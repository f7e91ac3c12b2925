/*
 * proxytap_internal.h - the reporting client's private part, its record
 * list node, the flush, and the seams the tests and the benchmark use.
 *
 * Not installed: proxies hold only the MonHandle_t from QxSocksMonOpen.
 */
#ifndef QUELM_PROXYTAP_INTERNAL_H
#define QUELM_PROXYTAP_INTERNAL_H

#include <stddef.h>
#include <time.h>

#include "monitor.h"

#ifdef __cplusplus
#include "seam.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One record of a session and its sending state. */
typedef struct MonDataNode {
    struct MonDataNode *next; /* next additional record; null ends the list   */
    uint32_t updateCount;     /* reports applied since the record began       */
    time_t lastSent;          /* when the record last went to the transport   */
    uint32_t heldFlags;       /* event bits (0x1|0x2|0x4) not yet delivered   */
    int held;                 /* a report is in rec that was not delivered    */
    uint32_t linkEpoch;       /* pipe epoch of the last delivery; 0: none yet */
    uint64_t totalA;          /* full countA; rec.countA is its low word      */
    uint64_t totalB;          /* full countB                                   */
    uint64_t bornMs;          /* coarse monotonic ms when the record began    */
    MonData_t rec;            /* the record as the transport gets it          */
} MonDataNode_t;

/* Private part of a proxy reporting handle (MonHandle_t.priv). */
typedef struct ProxyTap {
    int type;               /* transport: MON_TRANSPORT_FIFO or _STORE        */
    MonHandle_t *link;      /* the transport handle; null for other types     */
    uint32_t pid;           /* getpid() at open: key part 1                    */
    uint32_t handleNum;     /* this handle's number in the process: key part 2 */
    uint16_t recordCounter; /* last record number handed out (wraps)           */
    uint64_t lastCountA;    /* running counter A at the session's last report */
    uint64_t lastCountB;    /* running counter B at the session's last report */
    uint32_t freeReports;   /* reports of a record that are never held back    */
    uint32_t intervalSec;   /* then at most one send per record in this time  */
    uint32_t joinMs;        /* a record's reports are held this long after it
                               began, so a shorter session is one frame      */
    MonDataNode_t session;  /* main record; .next heads the additional ones    */
} ProxyTap_t;

/* The module's seam table (see seam.h): its system calls, swappable by
 * tests (the clock, to cross the throttle window without sleeping; the
 * allocator, to fail it).  Each holds the plain library function until a
 * test sets it. */
typedef struct ProxyTapSys {
    time_t (*now)(time_t *t);                   /* time()   */
    void *(*alloc)(size_t count, size_t size);  /* calloc() */
} ProxyTapSys_t;

#ifdef __cplusplus
}

/* Internal to the library: outside the archive's documented C names, so a
 * program with a function of the same name still links.  The using-
 * declaration lets the library's own files call it unqualified. */
namespace quelm {
/* Ends the session held in tap: stamps endTime and 0x8 on the session record
 * and every additional record and sends them in order, freeing each
 * additional record once sent.  0 with the session record zeroed and the
 * list empty; -1 at the first failed send, the records not yet sent left in
 * the list (the session record keeps 0x8 and its key). */
int MonDataFlush(ProxyTap_t *tap);

extern const ProxyTapSys_t kProxyTapSysDefault;
extern ProxyTapSys_t proxyTapSys;

/* The report flags a record keeps for its next send when one fails. */
constexpr uint32_t kTapEventBits = MON_FLAG_START | MON_FLAG_UPDATE | MON_FLAG_STATUS;

/* Opens the transport of a reporting handle of type (pipe writer or store,
 * slot 1; any other type opens nothing and succeeds) into *link, under the
 * process's transport lock: the opener's result.  Under the same hold, when
 * keptOut is not null, *keptOut becomes a closed reporting handle (with its
 * private part) kept for reuse, or null when none is kept; it is set also
 * when the open fails. */
int TapOpenTransport(int type, MonHandle_t **link, MonHandle_t **keptOut) noexcept;

/* Keeps the closed handle h for a later open, or frees it when enough are
 * kept.  A proxy that opens a handle per session would otherwise free and
 * allocate some 5 KiB per session in the session thread's heap, which glibc
 * hands back to the kernel and takes again each time (an madvise, whose TLB
 * shootdown reaches every thread of the proxy, and a page fault). */
void TapHandleKeep(MonHandle_t *h) noexcept;

/* Closes a reporting handle's transport link (none when null) and, when
 * keep is not null, keeps that closed handle as TapHandleKeep does, in one
 * hold of the transport lock: QxMonClose's result (0 without a link). */
int TapCloseTransport(MonHandle_t *link, MonHandle_t *keep) noexcept;

/* This process's ID, asked of the kernel once per process (a fork's child
 * asks again). */
uint32_t TapPid() noexcept;

/* The handle's private part, or null (logged, errno EINVAL) for a handle
 * that is not an open reporting handle; fn names the caller in the log. */
ProxyTap_t *TapOf(MonHandle_t *h, const char *fn) noexcept;

/* True when rec carries a key, i.e. holds a session. */
bool TapHoldsKey(const MonData_t &rec) noexcept;

/* Coarse monotonic milliseconds (no system call); 0 if the clock fails. */
uint64_t TapNowMs() noexcept;

/* True while node's reports are held to be joined into one frame. */
bool TapJoining(const ProxyTap_t *tap, const MonDataNode_t *node) noexcept;

/* True when node holds a report not yet delivered that is due at now. */
bool TapDue(const ProxyTap_t *tap, const MonDataNode_t *node, time_t now) noexcept;

/* Sends node's record, with every event bit not yet delivered, through the
 * handle's transport: the transport's result.  A failed send keeps the bits
 * (and, when the pipe had no reader, the start bit) for the next one. */
int TapSend(ProxyTap_t *tap, MonDataNode_t *node) noexcept;
}  // namespace quelm
using quelm::MonDataFlush;
using quelm::kProxyTapSysDefault;
using quelm::proxyTapSys;
#endif

#endif /* QUELM_PROXYTAP_INTERNAL_H */
