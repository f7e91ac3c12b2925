/*
 * fanout.cpp - the viewer server's fan-out: with more than four viewers
 * allowed, one process serves them all from one reading slot.  The change
 * cache (changecache.cpp) holds what the slot drained and what each viewer
 * has not read; the event loop (eventloop.cpp) waits; a connection's bytes
 * are fanviewer.cpp's.  This file is the viewers' side: accepting, what a
 * request is answered with, and the limits that close a connection.
 */
#include "fanout.h"

#include "access.h"
#include "changecache.h"
#include "eventloop.h"
#include "fanviewer.h"
#include "viewrules.h"

#include "frame_internal.h"
#include "viewlink_wire.h"
#include "wardenlog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSlot = MON_SLOT_VIEWER_FIRST; // the fan-out's one reading slot
constexpr int kDrainMinMs = 10;     // shortest spacing of two drains of the store
constexpr int kDrainIdleMs = 100;   // drain at least this often, asked or not
// Walk every record this often, a safety net: an end the store could not
// mark for the slot still reaches the viewers.
constexpr int kResyncMs = 5000;
// Unread records, beyond one for every running session, that a viewer may
// pin: past them the ended sessions it has not read are dropped from its
// backlog (it keeps its place), or, for a viewer that never asked
// anything, the connection is closed.
constexpr size_t kPendingMax = 4096;
constexpr long kMissedLogMs = 10000; // at most one line this often about dropped ends

using quelm::kViewKeyedRequestSize;
using quelm::kViewRequestKeyed;
using quelm::kViewRequestStream;
using quelm::kViewStreamRequestSize;

using Viewer = FanViewer;

class Fanout {
public:
    Fanout(MonHandle_t *store, const int *listenFds, int listeners)
        : store_(store), cache_(store), listenFds_(listenFds, listenFds + listeners) {}
    ~Fanout()
    {
        for (auto &v : viewers_)
            close(v->fd);
    }
    void Run();

private:
    static void OnListener(EventLoop *loop, int fd, void *data, int mask);
    static void OnViewer(EventLoop *loop, int fd, void *data, int mask);
    static long OnTick(EventLoop *loop, long long id, void *data);
    static long OnAcceptResume(EventLoop *loop, long long id, void *data);
    static void BeforeSleep(EventLoop *loop, void *data);

    void Drain(bool all);
    void AcceptAll(int listenFd);
    void Serve(const struct timespec &now);
    bool ReadRequests(Viewer *v);
    void HandleRequest(Viewer *v, const unsigned char *req, size_t len);
    void AnswerKeyed(Viewer *v, const unsigned char *req, size_t len);
    void AnswerStream(Viewer *v);
    bool Expired(Viewer *v, const struct timespec &now);
    void NoteMissed(size_t n, const struct timespec &now);
    void Drop(Viewer *v);
    long NextDueMs(const struct timespec &now) const;
    struct timespec StreamDue(const Viewer *v) const;
    // A viewer may have every running session unread, and kPendingMax more.
    size_t PendingLimit() const { return static_cast<size_t>(cache_.Alive()) + kPendingMax; }

    MonHandle_t *store_;
    ChangeCache cache_;
    std::vector<int> listenFds_;
    std::vector<std::unique_ptr<Viewer>> viewers_;
    EventLoop loop_;
    long long tick_ = 0;
    bool acceptPaused_ = false;
    MonData_t reply_;
    struct timespec lastDrain_ = {0, 0};
    struct timespec lastResync_ = {0, 0}; // last walk of every record
    long missed_ = 0;                     // ended sessions dropped unread, not yet logged
    struct timespec lastMissedLog_ = {0, 0};
};

void Fanout::Drain(bool all)
{
    lastDrain_ = ViewerNow();
    if (all)
        lastResync_ = lastDrain_;
    cache_.Drain(all);
}

// ---- connections ----

void Fanout::AcceptAll(int listenFd)
{
    for (;;) {
        int pauseMs = 0;
        const int fd = AccessAccept(listenFd, SOCK_NONBLOCK | SOCK_CLOEXEC, &pauseMs);
        if (fd < 0) {
            if (pauseMs < 0) {
                loop_.Stop();
            } else if (pauseMs > 0 && !acceptPaused_) {
                // Every listening socket rests: poll would report the
                // connection waiting in the backlog again at once.
                acceptPaused_ = true;
                for (int l : listenFds_)
                    loop_.SetMask(l, kEventNone);
                loop_.AddTimer(pauseMs, OnAcceptResume, this);
            }
            return;
        }
        if (!AccessAdmit(fd)) {
            close(fd);
            continue;
        }
        if (viewers_.size() >= static_cast<size_t>(viewerSettings.maxViewers)) {
            QxLogUpdate(WardenLog(), 1, 4, "%s: Too many GUIs", "GUIAccept");
            close(fd);
            continue;
        }
        const int one = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto v = std::make_unique<Viewer>();
        v->owner = this;
        v->fd = fd;
        v->lastRequest = v->lastProgress = ViewerNow();
        lastDrain_ = ViewerNow(); // the join walks every record
        lastResync_ = lastDrain_;
        cache_.Join(&v->pending);
        loop_.SetFile(fd, kEventReadable, OnViewer, v.get());
        viewers_.push_back(std::move(v));
    }
}

// Closes the viewer; its pending bits release the records they held.
void Fanout::Drop(Viewer *v)
{
    cache_.Leave(&v->pending);
    loop_.DelFile(v->fd);
    close(v->fd);
    for (size_t i = 0; i < viewers_.size(); ++i)
        if (viewers_[i].get() == v) {
            viewers_.erase(viewers_.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
}

// ---- requests and replies ----

// A keyed read: the store's record as it stands now (so a record the store
// has dropped is answered with the empty frame, as a slot reader's is), its
// flags the viewer's unread bits together with those not yet drained.
void Fanout::AnswerKeyed(Viewer *v, const unsigned char *req, size_t len)
{
    if (len < static_cast<size_t>(kViewKeyedRequestSize)) {
        FanViewerAppend(v, nullptr);
        return;
    }
    memcpy(&reply_, req + 1, MON_KEY_SIZE);
    reply_.clientTag = 0;
    if (QxMonRecvData(store_, &reply_) != 0) {
        FanViewerAppend(v, nullptr);
        return;
    }
    auto it = v->pending.find(CacheKeyOf(req + 1));
    if (it != v->pending.end())
        reply_.flags |= it->second;
    FanViewerAppend(v, &reply_);
}

// A change stream: every record with bits pending for the viewer (with all,
// every cached record, those without bits having flags 0), then the empty
// frame.  Reading them releases the records the viewer held.
void Fanout::AnswerStream(Viewer *v)
{
    const size_t sent = cache_.Take(&v->pending, v->streamAll != 0,
                                    [&](const CacheEntry &e, uint8_t bits) {
                                        reply_ = e.rec;
                                        reply_.flags = bits | (e.alive ? 0 : MON_FLAG_END);
                                        FanViewerAppend(v, &reply_);
                                    });
    FanViewerAppend(v, nullptr);
    v->streamWaiting = false;
    v->lastStreamEmpty = sent == 0;
    v->lastStream = ViewerNow();
}

// Handles one whole request.
void Fanout::HandleRequest(Viewer *v, const unsigned char *req, size_t len)
{
    v->lastRequest = ViewerNow();
    v->asked = true;
    switch (req[0]) {
    case kViewRequestStream:
        v->streamWaiting = true;
        v->streamAll = len >= static_cast<size_t>(kViewStreamRequestSize) ? req[1] : 0;
        break;
    case kViewRequestKeyed:
        AnswerKeyed(v, req, len);
        break;
    default:
        QxLogUpdate(WardenLog(), 5, 14, "%s: Invalid msg type=%d from GUI client=%d", "GUIChild",
                    req[0], kSlot);
        break;
    }
}

// Handles the whole requests the viewer sent, one at a time: the next only
// after the reply to the one before has been written.  False when the
// connection is to end: closed, broken, an empty or oversized request
// frame (as a viewer child ends it).
bool Fanout::ReadRequests(Viewer *v)
{
    const unsigned char *req;
    unsigned len;
    while (!v->streamWaiting && !v->Writing()) {
        const int got = FanViewerNextRequest(v, &req, &len);
        if (got <= 0)
            return got == 0;
        HandleRequest(v, req, len);
        FanViewerConsume(v, len);
    }
    return true;
}

// Counts ended sessions dropped from slow viewers' backlogs; one line now
// and then says how many, so a flood of them costs no flood of lines.
void Fanout::NoteMissed(size_t n, const struct timespec &now)
{
    missed_ += static_cast<long>(n);
    if (missed_ == 0 || (lastMissedLog_.tv_sec != 0 &&
                         ViewerMsBetween(&lastMissedLog_, &now) < kMissedLogMs))
        return;
    QxLogUpdate(WardenLog(), 2, 17, "%s: %ld ended sessions dropped unread by slow viewers",
                "GUIFanout", missed_);
    missed_ = 0;
    lastMissedLog_ = now;
}

// Closes the viewer, logged once as a notice, when it has sent no request
// for the idle limit while one was awaited, or has taken no reply byte for
// that long, or has let too many changes pile up without ever asking.
bool Fanout::Expired(Viewer *v, const struct timespec &now)
{
    const long limit = viewerSettings.idleSeconds * 1000L;
    if (v->Writing()) {
        if (ViewerMsBetween(&v->lastProgress, &now) < limit)
            return false;
        QxLogUpdate(WardenLog(), 2, 17, "%s: closed viewer that took no reply for %d s",
                    "GUIFanout", viewerSettings.idleSeconds);
        return true;
    }
    if (v->pending.size() > PendingLimit()) {
        if (!v->asked) {
            QxLogUpdate(WardenLog(), 2, 17, "%s: closed viewer with %d changes unread",
                        "GUIFanout", static_cast<int>(v->pending.size()));
            return true;
        }
        // A viewer that asks keeps its place however fast sessions end.
        NoteMissed(cache_.Prune(&v->pending, PendingLimit()), now);
    }
    if (v->streamWaiting || ViewerMsBetween(&v->lastRequest, &now) < limit)
        return false;
    QxLogUpdate(WardenLog(), 2, 16, "%s: closed viewer connection silent for %d s", "GUIFanout",
                viewerSettings.idleSeconds);
    return true;
}

// When a waiting stream may be answered: not before the viewer's pause
// after its last stream, and from a drain that began after the request,
// drains being at least the shortest drain spacing apart.
struct timespec Fanout::StreamDue(const Viewer *v) const
{
    struct timespec due =
        ViewerLater(v->lastStream, v->lastStreamEmpty ? kStreamPauseMs : kStreamBusyMs);
    if (ViewerBefore(lastDrain_, v->lastRequest)) {
        const struct timespec drain = ViewerLater(lastDrain_, kDrainMinMs);
        if (ViewerBefore(due, drain))
            due = drain;
    }
    return due;
}

// Milliseconds until the next thing to do: a drain, a due stream, a limit.
long Fanout::NextDueMs(const struct timespec &now) const
{
    struct timespec next = ViewerLater(lastDrain_, kDrainIdleMs);
    const long limit = viewerSettings.idleSeconds * 1000L;
    for (auto &v : viewers_) {
        struct timespec t;
        if (v->streamWaiting)
            t = StreamDue(v.get());
        else if (v->Writing())
            t = ViewerLater(v->lastProgress, limit);
        else
            t = ViewerLater(v->lastRequest, limit);
        if (ViewerBefore(t, next))
            next = t;
    }
    const long ms = ViewerMsBetween(&now, &next);
    return ms < 0 ? 0 : ms + 1;
}

// The drains and the answers due: streams asked for before the latest
// drain began are answered from it; then the limits.
void Fanout::Serve(const struct timespec &at)
{
    bool streamDue = false;
    for (auto &v : viewers_)
        streamDue = streamDue || (v->streamWaiting && ViewerBefore(lastDrain_, v->lastRequest) &&
                                  !ViewerBefore(at, StreamDue(v.get())));
    if (!ViewerBefore(at, ViewerLater(lastResync_, kResyncMs)))
        Drain(true);
    else if (streamDue || !ViewerBefore(at, ViewerLater(lastDrain_, kDrainIdleMs)))
        Drain(false);
    const struct timespec now = ViewerNow();
    for (size_t i = viewers_.size(); i-- > 0;) {
        Viewer *v = viewers_[i].get();
        bool ok = true;
        if (v->streamWaiting && !ViewerBefore(lastDrain_, v->lastRequest) &&
            !ViewerBefore(now, StreamDue(v))) {
            AnswerStream(v);
            ok = FanViewerFlush(v) && ReadRequests(v);
        }
        if (!ok || Expired(v, now))
            Drop(v);
    }
}

// ---- the loop's callbacks ----

void Fanout::OnListener(EventLoop *, int fd, void *data, int)
{
    static_cast<Fanout *>(data)->AcceptAll(fd);
}

void Fanout::OnViewer(EventLoop *, int, void *data, int mask)
{
    Viewer *v = static_cast<Viewer *>(data);
    Fanout *fan = static_cast<Fanout *>(v->owner);
    bool ok = true;
    if (mask & kEventWritable)
        ok = FanViewerFlush(v);
    if (ok && (mask & kEventReadable))
        ok = fan->ReadRequests(v);
    if (!ok)
        fan->Drop(v);
}

long Fanout::OnTick(EventLoop *, long long, void *data)
{
    Fanout *fan = static_cast<Fanout *>(data);
    fan->Serve(ViewerNow());
    return fan->NextDueMs(ViewerNow());
}

long Fanout::OnAcceptResume(EventLoop *loop, long long, void *data)
{
    Fanout *fan = static_cast<Fanout *>(data);
    fan->acceptPaused_ = false;
    for (int l : fan->listenFds_)
        loop->SetMask(l, kEventReadable);
    return kEventNoMore;
}

// Before every wait: each viewer waits for what its state asks (its reply
// written, else its next request unless a stream is waiting), and the
// drains and answers are due no later than the earliest of them.
void Fanout::BeforeSleep(EventLoop *loop, void *data)
{
    Fanout *fan = static_cast<Fanout *>(data);
    const struct timespec now = ViewerNow();
    for (auto &v : fan->viewers_) {
        int mask = kEventNone;
        if (v->Writing())
            mask = kEventWritable;
        else if (!v->streamWaiting)
            mask = kEventReadable;
        loop->SetMask(v->fd, mask);
    }
    loop->MoveTimer(fan->tick_, fan->NextDueMs(now));
}

void Fanout::Run()
{
    Drain(true);
    for (int l : listenFds_)
        loop_.SetFile(l, kEventReadable, OnListener, this);
    tick_ = loop_.AddTimer(kDrainIdleMs, OnTick, this);
    loop_.SetBeforeSleep(BeforeSleep, this);
    if (loop_.Run() != 0)
        QxLogUpdate(WardenLog(), 1, 24, "poll() in %s: %m", "GUIFanout");
}

} // namespace

void FanoutServe(const int *listenFds, int listeners)
{
    ViewerCatchStops(kSlot);
    MonHandle_t *store = nullptr;
    if (QxMonMemOpen("mon.mmap", kSlot, &store) != 0)
        return;
    ViewerTakeSlot(store, kSlot);
    for (int i = 0; i < listeners; ++i) {
        const int flags = fcntl(listenFds[i], F_GETFL);
        (void)fcntl(listenFds[i], F_SETFL, flags | O_NONBLOCK);
    }
    {
        auto fan = std::make_unique<Fanout>(store, listenFds, listeners);
        fan->Run();
    }
    QxMonClose(store);
}
