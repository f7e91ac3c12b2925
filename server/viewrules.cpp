/*
 * viewrules.cpp - the rules every viewer connection gets in either serving
 * mode: settings, the request wait, stream pacing, the reading slot.
 */
#include "viewrules.h"

#include "shelf_daemon.h"
#include "wardenlog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

ViewerSettings_t viewerSettings = {kChildViewersMax, 30};

namespace {

constexpr int kBacklogLeast = 5;

// The slot this process reads from, for its stop handler; 0: none.
volatile sig_atomic_t stopSlot = 0;

/* The compare-and-swap on the shared word is lock-free, so safe here; it
 * frees the slot only while it still names this process. */
void ViewerStop(int)
{
    if (stopSlot != 0)
        (void)quelm::ShelfReleaseSlot(stopSlot, static_cast<uint32_t>(getpid()));
    _exit(1);
}

} // namespace

struct timespec ViewerNow(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

struct timespec ViewerLater(const struct timespec &t, long ms)
{
    struct timespec r = t;
    r.tv_sec += ms / 1000;
    r.tv_nsec += (ms % 1000) * 1000000L;
    if (r.tv_nsec >= 1000000000L) {
        r.tv_nsec -= 1000000000L;
        ++r.tv_sec;
    }
    return r;
}

bool ViewerBefore(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

long ViewerMsBetween(const struct timespec *a, const struct timespec *b)
{
    return (b->tv_sec - a->tv_sec) * 1000L + (b->tv_nsec - a->tv_nsec) / 1000000L;
}

int ViewerParseCount(const char *text, int lo, int hi)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return -1;
    char *end = nullptr;
    errno = 0;
    const long n = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || n < lo || n > hi)
        return -1;
    return static_cast<int>(n);
}

int ViewerBacklog(void)
{
    return std::max(kBacklogLeast, viewerSettings.maxViewers);
}

int ViewerAwaitRequest(int fd, const struct timespec *since, const char *who)
{
    const struct timespec deadline = ViewerLater(*since, viewerSettings.idleSeconds * 1000L);
    unsigned char head[2];
    for (;;) {
        // A request is small enough to lie whole in the socket buffer, so the
        // bytes waiting tell whether the framing read would block.
        int waiting = 0;
        const ssize_t n = recv(fd, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return 1; // the framing read meets the end or the error and reports it
        int need = 2;
        if (n == 2) {
            const int len = head[0] << 8 | head[1];
            if (len == 0 || len > MON_MSG_MAX || (ioctl(fd, FIONREAD, &waiting) == 0 &&
                                                  waiting >= 2 + len))
                return 1;
            need = 2 + len;
        }
        const struct timespec now = ViewerNow();
        const long left = ViewerMsBetween(&now, &deadline);
        if (left <= 0) {
            QxLogUpdate(WardenLog(), 2, 16, "%s: closed viewer connection silent for %d s", who,
                        viewerSettings.idleSeconds);
            return 0;
        }
        // Wake only when the whole frame is there (or the peer has gone):
        // a frame arriving a byte at a time costs no busy loop.
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &need, sizeof need);
        struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
        const int r = poll(&p, 1, left > INT_MAX - 1 ? INT_MAX : static_cast<int>(left) + 1);
        const int one = 1;
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
        if (r < 0 && errno != EINTR)
            return -1;
        if (r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
            return 1; // the framing read sees the end and reports it
    }
}

void ViewerPaceWalk(StreamPace_t *pace)
{
    const struct timespec due =
        ViewerLater(pace->lastWalk, pace->lastWasEmpty ? kStreamPauseMs : kStreamBusyMs);
    while (ViewerBefore(ViewerNow(), due)) {
        const struct timespec now = ViewerNow();
        const long ms = ViewerMsBetween(&now, &due);
        struct timespec nap = {0, (ms > 0 ? ms : 1) * 1000000L};
        if (nap.tv_nsec >= 1000000000L)
            nap = {nap.tv_nsec / 1000000000L, nap.tv_nsec % 1000000000L};
        nanosleep(&nap, nullptr);
    }
    pace->lastWalk = ViewerNow();
}

void ViewerNoteWalk(StreamPace_t *pace, int records)
{
    pace->lastWasEmpty = records == 0;
}

void ViewerCatchStops(int slot)
{
    stopSlot = slot;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ViewerStop;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        sigaction(s, &sa, nullptr);
}

void ViewerTakeSlot(MonHandle_t *store, int slot)
{
    quelm::ShelfClaimSlot(slot, static_cast<uint32_t>(getpid()));
    // One walk under the hash lock: no record can be freed by another
    // process's clean-up while its flags are being examined and changed.
    (void)quelm::ShelfSeedSlot(store, slot);
}
