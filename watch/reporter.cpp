/*
 * reporter.cpp - the thread that turns the shared table into reports: one
 * thread in one process of the server's family (the first that accepted a
 * client, or the next one to accept once that process is gone).  Every tick
 * it asks the kernel whether closed client sockets are still held, reports what each
 * session learnt since the last tick through QxSocksMon*, and frees the
 * slots of ended sessions.  Nothing here runs inside an interposed call.
 */
#include "sockdiag.h"
#include "watchtable.h"

#include <quelm/monitor.h>

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace watch {

namespace {

constexpr long kTickMs = 25;         // between two looks at the table
constexpr long kCheckMs = 1000;      // every socket's holder asked this often
constexpr long kPipeRetryMs = 1000;  // warden looked for at most this often
constexpr long kUpdateMs = 1000;     // counters reported at most this often
constexpr long kRefreshMs = 5000;    // and this often even when unchanged
constexpr long kStartDelayMs = 60;   // a new session waits this long for its end

/* What the reporter has told warden of one slot's session. */
struct Local {
    bool valid;        // describes the session of generation gen
    bool started;      // its start went to the handle
    bool statusSent;   // its reply did
    uint32_t gen;
    long firstSeen;    // when this thread first saw the session, in ms
    uint32_t closes;   // the slot's close count when its socket was last looked up
    uint32_t outSeq;   // outbound addresses last reported
    uint64_t a, b;     // counters last reported
    long lastReport;   // when, in ms
    MonHandle_t *h;    // the session's reporting handle, null before
};

pthread_mutex_t reporterLock = PTHREAD_MUTEX_INITIALIZER;
Local *locals = nullptr;          // kSlots entries, the reporter's process only
MonHandle_t *heldPipe = nullptr;  // keeps the pipe open while warden runs
long lastPipeTry = -kPipeRetryMs;
long lastCheck = 0;
int diagFd = -1;  // the reporter's NETLINK_SOCK_DIAG socket

long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

void PutText(char *dst, size_t size, const char *src, size_t len)
{
    if (len >= size)
        len = size - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

/* An address block from a stored address; an IPv4 client seen through a
 * dual-stack socket as ::ffff:a.b.c.d is shown as the IPv4 address. */
void PutAddr(unsigned char *block, const sockaddr_storage &ss)
{
    if (ss.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            sockaddr_in in;
            memset(&in, 0, sizeof in);
            in.sin_family = AF_INET;
            in.sin_port = in6->sin6_port;
            memcpy(&in.sin_addr, in6->sin6_addr.s6_addr + 12, 4);
            (void)QxMonAddrFromSockaddr(block, reinterpret_cast<const sockaddr *>(&in));
            return;
        }
    }
    if (ss.ss_family == AF_INET || ss.ss_family == AF_INET6)
        (void)QxMonAddrFromSockaddr(block, reinterpret_cast<const sockaddr *>(&ss));
}

const char *StatusText(const SocksParse_t &p, int status)
{
    if (p.version == 4 && (p.done & SP_REPLY)) {
        switch (status) {
        case 0: return "request granted";
        case 92: return "request rejected: no identd on the client";
        case 93: return "request rejected: user ids differ";
        default: return "request rejected or failed";
        }
    }
    return QxSocksReplyText(status);
}

void Fill(MonConnInfo_t &info, const Slot &s, const SocksParse_t &p)
{
    memset(&info, 0, sizeof info);
    if (p.version == 4 || p.method == 2)
        PutText(info.text1, sizeof info.text1, p.user, p.userLen);
    SocksParseDest(&p, info.text2, sizeof info.text2);
    if (p.done & SP_REQUEST) {
        char buf[8];
        const char *cmd = SocksParseCommand(&p, buf);
        PutText(info.text3, sizeof info.text3, cmd, strlen(cmd));
        info.code2 = p.cmd;
        info.code1 = p.atyp;
    }
    PutText(info.text4, sizeof info.text4, program_invocation_short_name,
            strlen(program_invocation_short_name));
    PutAddr(info.addrA, s.peer);
    PutAddr(info.addrB, s.outPeer);
    PutAddr(info.addrC, s.outLocal);
}

/* Holds the pipe open once warden is found: tried at most once a second,
 * or (urgent) once a tick.  True while held. */
bool EnsurePipe(long now, bool urgent)
{
    if (heldPipe != nullptr)
        return true;
    if (now - lastPipeTry < (urgent ? 1 : kPipeRetryMs))
        return false;
    lastPipeTry = now;
    if (QxSocksMonOpen("warden-watch", MON_TRANSPORT_FIFO, &heldPipe) < 0)
        heldPipe = nullptr;
    return heldPipe != nullptr;
}

/* Reports what slot n's session learnt and frees the slot once it ended. */
void Visit(uint32_t n, bool checkAll, long now)
{
    Slot &s = shared->slots[n];
    const uint32_t state = s.state.load(std::memory_order_acquire);
    if (state != kLive && state != kDropped)
        return;
    const uint32_t gen = s.gen.load(std::memory_order_relaxed);
    Local &l = locals[n];
    if (!l.valid || l.gen != gen) {
        if (l.h != nullptr)
            (void)QxSocksMonClose(l.h);
        memset(&l, 0, sizeof l);
        l.valid = true;
        l.gen = gen;
        l.firstSeen = now;
    }
    SocksParse_t p;
    memcpy(&p, &s.parse, sizeof p);
    // Ended once no process holds the socket: looked up after each close or
    // shutdown of one of its descriptors, and every kCheckMs (a process can
    // exit without closing).
    bool dead = state == kDropped;
    const uint32_t closes = s.closes.load(std::memory_order_relaxed);
    if (!dead && (checkAll || closes != l.closes)) {
        l.closes = closes;
        if (diagFd < 0)
            diagFd = SockDiagOpen();
        uint64_t ino = 0;
        const int r = diagFd >= 0 ? SockDiagInode(diagFd, s.local, s.peer, &ino) : -1;
        dead = r == 0 || (r == 1 && ino != s.inode);
    }
    const bool reportable = (p.done & (SP_REQUEST | SP_AUTHFAIL)) != 0 && (p.done & SP_BAD) == 0;
    // A session that ended while warden seemed away gets one more look for
    // the pipe first: warden may have come back since the last try.
    if (reportable && dead && heldPipe == nullptr)
        (void)EnsurePipe(now, true);
    if (reportable && l.h == nullptr && heldPipe != nullptr) {
        if (QxSocksMonOpen("warden-watch", MON_TRANSPORT_FIFO, &l.h) < 0)
            l.h = nullptr;
        else  // the pace of reports is this thread's (kUpdateMs)
            (void)QxSocksMonSetThrottle(l.h, 4, 0);
    }
    // A session is started in the store once it has lived a few ticks (or
    // has ended): most short sessions then cost warden one record, not two.
    if (l.h != nullptr && !l.started && !dead && now - l.firstSeen < kStartDelayMs)
        return;
    if (l.h != nullptr) {
        int flags = l.started ? 0 : MON_FLAG_START;
        int status = 0;
        const char *text = nullptr;
        if ((p.done & (SP_REPLY | SP_AUTHFAIL)) && !l.statusSent) {
            flags |= MON_FLAG_STATUS;
            status = SocksParseStatus(&p);
            text = StatusText(p, status);
            l.statusSent = true;
        }
        const uint64_t a = s.fromClient.load(std::memory_order_relaxed);
        const uint64_t b = s.toClient.load(std::memory_order_relaxed);
        const uint32_t outSeq = s.outSeq.load(std::memory_order_acquire);
        if (l.started && (outSeq != l.outSeq || now - l.lastReport >= kRefreshMs ||
                          ((a != l.a || b != l.b) && now - l.lastReport >= kUpdateMs)))
            flags |= MON_FLAG_UPDATE;
        if (dead)
            flags |= MON_FLAG_END;
        if (flags != 0) {
            MonConnInfo_t info;
            Fill(info, s, p);
            const MonCounts_t counts = {a, b};
            (void)QxSocksMonReport(l.h, flags, &info, &counts, 0, nullptr, status, text);
            l.started = true;
            l.a = a;
            l.b = b;
            l.outSeq = outSeq;
            l.lastReport = now;
        } else if (QxSocksMonDueIn(l.h) == 0) {
            (void)QxSocksMonSendDue(l.h);
        }
    }
    if (!dead)
        return;
    if (l.h != nullptr)
        (void)QxSocksMonClose(l.h);
    memset(&l, 0, sizeof l);
    s.gen.fetch_add(1, std::memory_order_release);
    s.state.store(kFree, std::memory_order_release);
}

/* Whether warden holds its pipe open for reading.  The library learns that
 * a daemon went away only from a send that fails, and a new daemon accepts
 * a running session's reports only after such a failure (its next send then
 * carries the start bit).  A restart quicker than the sessions' reports
 * would leave them unknown to the new daemon, so the thread looks at every
 * tick (a non-blocking open of a FIFO without a reader fails with ENXIO)
 * and, when the reader is gone, sends every session's state at once. */
bool readerWas = true;

void WatchReader()
{
    const int fd = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    const bool present = fd >= 0;
    if (fd >= 0)
        close(fd);
    if (readerWas && !present) {
        const uint32_t hw = shared->highWater.load(std::memory_order_acquire);
        for (uint32_t n = 0; n < hw; ++n)
            if (locals[n].valid && locals[n].started && locals[n].h != nullptr)
                locals[n].lastReport = -kRefreshMs;  // due now
    }
    readerWas = present;
}

void Tick()
{
    const long now = NowMs();
    if (heldPipe != nullptr)
        WatchReader();
    (void)EnsurePipe(now, false);
    const uint32_t hw = shared->highWater.load(std::memory_order_acquire);
    const bool checkAll = now - lastCheck >= kCheckMs;
    if (checkAll)
        lastCheck = now;
    for (uint32_t n = 0; n < hw; ++n)
        Visit(n, checkAll, now);
}

void *ReporterMain(void *)
{
    const bool debug = getenv("WARDEN_WATCH_DEBUG") != nullptr;
    QxLogStart(&QxLogDefaultHandle, debug ? QX_LOG_STDERR : 0, debug ? 9 : 0, "warden-watch");
    for (;;) {
        pthread_mutex_lock(&reporterLock);
        if (locals != nullptr)
            Tick();
        pthread_mutex_unlock(&reporterLock);
        const struct timespec ts = {0, kTickMs * 1000000L};
        nanosleep(&ts, nullptr);
    }
    return nullptr;
}

}  // namespace

void EnsureReporter()
{
    // Our own cache of the pid (kept right by the fork handler): one system
    // call less for every client a server accepts.
    static int32_t cachedPid = 0;
    static uint32_t cachedForks = ~0u;
    if (cachedForks != forks) {
        cachedPid = static_cast<int32_t>(getpid());
        cachedForks = forks;
    }
    const int32_t me = cachedPid;
    int32_t cur = shared->reporterPid.load(std::memory_order_acquire);
    if (cur == me)
        return;
    if (cur != 0 && !(kill(cur, 0) != 0 && errno == ESRCH))
        return;
    if (!shared->reporterPid.compare_exchange_strong(cur, me))
        return;
    pthread_mutex_lock(&reporterLock);
    if (locals == nullptr)
        locals = static_cast<Local *>(calloc(kSlots, sizeof(Local)));
    pthread_mutex_unlock(&reporterLock);
    // The thread takes no signal of the server's: they all stay blocked in it.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    if (locals == nullptr || pthread_create(&t, &attr, ReporterMain, nullptr) != 0)
        shared->reporterPid.store(0, std::memory_order_release);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void ReporterLock() { pthread_mutex_lock(&reporterLock); }
void ReporterUnlock() { pthread_mutex_unlock(&reporterLock); }

uint32_t forks = 0;

void ReporterAfterFork()
{
    ++forks;
    // The parent's handles and thread are not this process's: left alone
    // (never freed here: they were the parent's to free).
    locals = nullptr;
    heldPipe = nullptr;
    if (diagFd >= 0)
        close(diagFd);
    diagFd = -1;
    lastPipeTry = -kPipeRetryMs;
    pthread_mutex_unlock(&reporterLock);
}

}  // namespace watch
