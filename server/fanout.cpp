/*
 * fanout.cpp - the viewer server's fan-out: with more than four viewers
 * allowed, one process serves them all from one reading slot.  It drains the
 * slot's changes from the store in batches, keeps the last content of every
 * record it has drained, and keeps for each viewer the changes that viewer
 * has not yet read, coalesced per record (bits ORed), as the store does per
 * slot.  Invariant: a cached record stays while it is alive or while any
 * viewer still has bits pending on it; nothing else holds it.
 * Also here: the request wait and stream pacing that the one-child-per-viewer
 * mode uses too.
 */
#include "fanout.h"

#include "access.h"

#include "guiserver.h"

#include "Shelf_internal.h"
#include "frame_internal.h"
#include "wardenlog.h"

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

ViewerSettings_t viewerSettings = {kChildViewersMax, 30};

namespace {

constexpr int kSlot = MON_SLOT_VIEWER_FIRST; // the fan-out's one reading slot
constexpr int kTypeKeyed = 1;
constexpr int kTypeStream = 2;
constexpr size_t kKeyedRequestSize = 1 + MON_KEY_SIZE;
constexpr int kDrainBatch = 32;     // records copied per hold of the hash lock
constexpr int kDrainMinMs = 10;     // shortest spacing of two drains of the store
constexpr int kDrainIdleMs = 100;   // drain at least this often, asked or not
constexpr int kResyncMs = 5000;     // walk every record this often: see Drain
// Unread records, beyond one for every running session, after which a viewer
// is dropped: what it pins then is ended sessions it never asked about.
constexpr size_t kPendingMax = 4096;
constexpr size_t kOutKeep = 16384;  // reply buffer a viewer keeps between replies

struct timespec Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

struct timespec Later(const struct timespec &t, long ms)
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

bool Before(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// ---- records by key ----

// A record's key: the first 10 bytes of the record, as a keyed request
// carries them.
struct Key {
    unsigned char b[MON_KEY_SIZE];
    bool operator==(const Key &o) const { return memcmp(b, o.b, sizeof b) == 0; }
};

struct KeyHash {
    size_t operator()(const Key &k) const
    {
        uint64_t h = 1469598103934665603ull; // FNV-1a
        for (unsigned char c : k.b)
            h = (h ^ c) * 1099511628211ull;
        return static_cast<size_t>(h);
    }
};

Key KeyOf(const void *bytes)
{
    Key k;
    memcpy(k.b, bytes, sizeof k.b);
    return k;
}

// One record as last drained from the store.
struct Entry {
    MonData_t rec;   // its content; flags are replaced when it is sent
    bool alive;      // the session is running as far as the drains told
    int pinned;      // viewers that have bits pending on it
};

// One viewer connection.
struct Viewer {
    int fd;
    std::unordered_map<Key, uint8_t, KeyHash> pending; // unread change bits per record
    unsigned char in[MON_FRAME_MAX];  // request bytes received, not yet handled
    size_t inLen;
    std::vector<unsigned char> out;   // reply bytes not yet written
    size_t outPos;
    struct timespec lastRequest;      // connect, or the last whole request taken
    struct timespec lastProgress;     // last time a reply byte was taken
    bool streamWaiting;               // a stream request waits for the next drain
    int streamAll;                    // its "all" flag
    struct timespec lastStream;       // when its last stream was answered
    bool lastStreamEmpty;             // that stream held no record
};

class Fanout {
public:
    Fanout(MonHandle_t *store, const int *listenFds, int listeners)
        : store_(store), listenFds_(listenFds, listenFds + listeners) {}
    ~Fanout()
    {
        for (auto &v : viewers_)
            close(v->fd);
    }
    void Run();

private:
    void Drain(bool all);
    void Absorb(const MonData_t &rec, bool all);
    void Mark(const Key &key, Entry *e, uint8_t bits);
    void Unpin(const Key &key);
    void AcceptAll(int listenFd);
    bool Seed(Viewer *v);
    bool ReadRequests(Viewer *v);
    bool HandleRequest(Viewer *v, const unsigned char *req, size_t len);
    void AnswerKeyed(Viewer *v, const unsigned char *req, size_t len);
    void AnswerStream(Viewer *v);
    void AppendFrame(Viewer *v, const MonData_t *rec);
    bool Flush(Viewer *v);
    bool Expired(Viewer *v, const struct timespec &now);
    void Drop(size_t i);
    int PollTimeout(const struct timespec &now);
    struct timespec StreamDue(const Viewer *v) const;
    // A viewer may have every running session unread, and kPendingMax more.
    size_t PendingLimit() const { return static_cast<size_t>(alive_) + kPendingMax; }

    MonHandle_t *store_;
    std::vector<int> listenFds_;
    bool stop_ = false;
    std::unordered_map<Key, std::unique_ptr<Entry>, KeyHash> cache_;
    std::vector<std::unique_ptr<Viewer>> viewers_;
    long alive_ = 0; // cached records whose session is running
    MonData_t batch_[kDrainBatch];
    MonData_t reply_;
    struct timespec lastDrain_ = {0, 0};
    struct timespec lastResync_ = {0, 0}; // last walk of every record
};

// ---- the cache and the viewers' pending bits ----

// Adds bits to every viewer's pending bits for key.
void Fanout::Mark(const Key &key, Entry *e, uint8_t bits)
{
    for (auto &v : viewers_) {
        auto [it, fresh] = v->pending.try_emplace(key, 0);
        it->second |= bits;
        if (fresh)
            ++e->pinned;
    }
}

// A viewer has read key: the cached record goes once it is over and unread.
void Fanout::Unpin(const Key &key)
{
    auto it = cache_.find(key);
    if (it == cache_.end())
        return;
    Entry *e = it->second.get();
    if (--e->pinned <= 0 && !e->alive)
        cache_.erase(it);
}

// Takes one record from a drain.  Its flags are this slot's change bits
// (0x8 added for an ended session).  A walk of every record (all) also
// returns records with no bits: they refresh the content, and an end is
// passed on only when the cache still had the session running.
void Fanout::Absorb(const MonData_t &rec, bool all)
{
    const Key key = KeyOf(&rec);
    uint8_t bits = static_cast<uint8_t>(rec.flags & 0xF);
    const bool ended = (bits & MON_FLAG_END) != 0;
    auto it = cache_.find(key);
    const bool knownAlive = it != cache_.end() && it->second->alive;
    if (all && bits == MON_FLAG_END && !knownAlive)
        bits = 0; // an end already passed on, or of a session never seen
    if (it == cache_.end()) {
        if (ended && bits == 0)
            return;
        auto e = std::make_unique<Entry>();
        e->pinned = 0;
        e->alive = false;
        it = cache_.emplace(key, std::move(e)).first;
    }
    Entry *e = it->second.get();
    e->rec = rec;
    e->rec.flags = 0;
    alive_ += static_cast<long>(!ended) - static_cast<long>(e->alive);
    e->alive = !ended;
    if (bits != 0)
        Mark(key, e, bits);
    if (!e->alive && e->pinned <= 0)
        cache_.erase(it);
}

// Moves the slot's changes (every record with all) from the store into the
// cache and the viewers' pending bits, one batch per hold of the hash lock.
// A walk of every record also finds the records the store has dropped
// without telling this slot (a reporter gone, cleaned up): they count as ended.
void Fanout::Drain(bool all)
{
    lastDrain_ = Now();
    if (all)
        lastResync_ = lastDrain_;
    std::unordered_map<Key, bool, KeyHash> seen;
    for (;;) {
        const int n = quelm::ShelfGetChanged(store_, all ? 1 : 0, batch_, kDrainBatch);
        for (int i = 0; i < n; ++i) {
            Absorb(batch_[i], all);
            if (all)
                seen.emplace(KeyOf(&batch_[i]), true);
        }
        if (n < kDrainBatch)
            break;
    }
    if (!all)
        return;
    for (auto it = cache_.begin(); it != cache_.end();) {
        Entry *e = it->second.get();
        if (seen.count(it->first) != 0 || !e->alive) {
            ++it;
            continue;
        }
        e->alive = false;
        --alive_;
        Mark(it->first, e, MON_FLAG_END);
        it = e->pinned <= 0 ? cache_.erase(it) : std::next(it);
    }
}

// ---- connections ----

// Seeds a new viewer as a new slot is seeded: every running session, marked
// started, and updated or with a status where it has them.  False when the
// viewer's pending bits would pass the limit (it is then dropped).
bool Fanout::Seed(Viewer *v)
{
    Drain(true);
    for (auto &[key, e] : cache_) {
        if (!e->alive)
            continue;
        uint8_t bits = MON_FLAG_START;
        if (e->rec.countA != 0 || e->rec.countB != 0)
            bits |= MON_FLAG_UPDATE;
        if (e->rec.status != 0 || e->rec.statusText[0] != '\0')
            bits |= MON_FLAG_STATUS;
        auto [it, fresh] = v->pending.try_emplace(key, 0);
        it->second |= bits;
        if (fresh)
            ++e->pinned;
    }
    return v->pending.size() <= PendingLimit();
}

void Fanout::AcceptAll(int listenFd)
{
    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            QxLogUpdate(WardenLog(), 1, 24, "accept() in %s: %m", "GUIAccept");
            // Short of descriptors or memory: the connection waits in the
            // backlog and poll tries again; every other error but a peer's
            // own ends the serving.
            if (errno != ECONNABORTED && errno != EPROTO && errno != EMFILE && errno != ENFILE &&
                errno != ENOBUFS && errno != ENOMEM)
                stop_ = true;
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
        v->fd = fd;
        v->inLen = 0;
        v->outPos = 0;
        v->lastRequest = v->lastProgress = Now();
        v->streamWaiting = false;
        v->streamAll = 0;
        v->lastStreamEmpty = false;
        v->lastStream = {0, 0};
        viewers_.push_back(std::move(v));
        if (!Seed(viewers_.back().get())) {
            QxLogUpdate(WardenLog(), 2, 17, "%s: closed viewer with %d changes unread", "GUIFanout",
                        static_cast<int>(viewers_.back()->pending.size()));
            Drop(viewers_.size() - 1);
        }
    }
}

// Closes viewer i; its pending bits release the records they held.
void Fanout::Drop(size_t i)
{
    Viewer *v = viewers_[i].get();
    for (auto &[key, bits] : v->pending)
        Unpin(key);
    close(v->fd);
    viewers_.erase(viewers_.begin() + static_cast<std::ptrdiff_t>(i));
}

// ---- requests and replies ----

// Appends one frame: rec's message, or the empty frame for null.
void Fanout::AppendFrame(Viewer *v, const MonData_t *rec)
{
    if (v->outPos == v->out.size())
        v->lastProgress = Now(); // a new reply: the stall limit counts from here
    const size_t at = v->out.size();
    v->out.resize(at + MON_FRAME_MAX);
    const int len = rec != nullptr ? ParcelPutData(rec, v->out.data() + at + 2) : 0;
    quelm::FramePutHeader(static_cast<unsigned>(len), v->out.data() + at);
    v->out.resize(at + 2 + static_cast<size_t>(len));
}

// A keyed read: the store's record as it stands now (so a record the store
// has dropped is answered with the empty frame, as a slot reader's is), its
// flags the viewer's unread bits together with those not yet drained.
void Fanout::AnswerKeyed(Viewer *v, const unsigned char *req, size_t len)
{
    if (len < kKeyedRequestSize) {
        AppendFrame(v, nullptr);
        return;
    }
    memcpy(&reply_, req + 1, MON_KEY_SIZE);
    reply_.clientTag = 0;
    if (QxMonRecvData(store_, &reply_) != 0) {
        AppendFrame(v, nullptr);
        return;
    }
    auto it = v->pending.find(KeyOf(req + 1));
    if (it != v->pending.end())
        reply_.flags |= it->second;
    AppendFrame(v, &reply_);
}

// A change stream: every record with bits pending for the viewer (with all,
// every cached record, those without bits having flags 0), then the empty
// frame.  Reading them releases the records the viewer held.
void Fanout::AnswerStream(Viewer *v)
{
    size_t sent = 0;
    auto send = [&](const Entry *e, uint8_t bits) {
        reply_ = e->rec;
        reply_.flags = bits | (e->alive ? 0 : MON_FLAG_END);
        AppendFrame(v, &reply_);
        ++sent;
    };
    if (v->streamAll != 0) {
        for (auto &[key, e] : cache_) {
            auto it = v->pending.find(key);
            send(e.get(), it != v->pending.end() ? it->second : 0);
        }
    } else {
        for (auto &[key, bits] : v->pending) {
            auto it = cache_.find(key);
            if (it != cache_.end())
                send(it->second.get(), bits);
        }
    }
    std::unordered_map<Key, uint8_t, KeyHash> read;
    read.swap(v->pending);
    for (auto &[key, bits] : read)
        Unpin(key);
    AppendFrame(v, nullptr);
    v->streamWaiting = false;
    v->lastStreamEmpty = sent == 0;
    v->lastStream = Now();
}

// Handles one whole request.  False when it ends the connection (an empty
// request frame).
bool Fanout::HandleRequest(Viewer *v, const unsigned char *req, size_t len)
{
    v->lastRequest = Now();
    switch (req[0]) {
    case kTypeStream:
        v->streamWaiting = true;
        v->streamAll = len >= 2 ? req[1] : 0;
        break;
    case kTypeKeyed:
        AnswerKeyed(v, req, len);
        break;
    default:
        QxLogUpdate(WardenLog(), 5, 14, "%s: Invalid msg type=%d from GUI client=%d", "GUIChild",
                    req[0], kSlot);
        break;
    }
    return true;
}

// Reads what the viewer sent and handles whole requests, one at a time:
// the next only after the reply to the one before has been written.  False
// when the connection is to end: closed, broken, an empty or oversized
// request frame (as a viewer child ends it).
bool Fanout::ReadRequests(Viewer *v)
{
    for (;;) {
        if (v->streamWaiting || v->outPos < v->out.size())
            return true;
        if (v->inLen >= 2) {
            const unsigned len = quelm::FrameGetHeader(v->in);
            if (len == 0 || len > MON_MSG_MAX)
                return false;
            if (v->inLen >= 2u + len) {
                if (!HandleRequest(v, v->in + 2, len))
                    return false;
                memmove(v->in, v->in + 2 + len, v->inLen - 2 - len);
                v->inLen -= 2u + len;
                continue;
            }
        }
        const ssize_t n = read(v->fd, v->in + v->inLen, sizeof v->in - v->inLen);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        v->inLen += static_cast<size_t>(n);
    }
}

// Writes what the socket takes of the reply.  False when the connection failed.
bool Fanout::Flush(Viewer *v)
{
    while (v->outPos < v->out.size()) {
        const ssize_t n = send(v->fd, v->out.data() + v->outPos, v->out.size() - v->outPos,
                               MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        v->outPos += static_cast<size_t>(n);
        v->lastProgress = Now();
    }
    v->out.clear();
    v->outPos = 0;
    if (v->out.capacity() > kOutKeep)
        std::vector<unsigned char>().swap(v->out);
    return true;
}

// Closes the viewer, logged once as a notice, when it has sent no request
// for the idle limit while one was awaited, or has taken no reply byte for
// that long, or has let too many changes pile up unread.
bool Fanout::Expired(Viewer *v, const struct timespec &now)
{
    const long limit = viewerSettings.idleSeconds * 1000L;
    if (v->outPos < v->out.size()) {
        if (ViewerMsBetween(&v->lastProgress, &now) < limit)
            return false;
        QxLogUpdate(WardenLog(), 2, 17, "%s: closed viewer that took no reply for %d s",
                    "GUIFanout", viewerSettings.idleSeconds);
        return true;
    }
    if (v->pending.size() > PendingLimit()) {
        QxLogUpdate(WardenLog(), 2, 17, "%s: closed viewer with %d changes unread", "GUIFanout",
                    static_cast<int>(v->pending.size()));
        return true;
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
        Later(v->lastStream, v->lastStreamEmpty ? kStreamPauseMs : kStreamBusyMs);
    if (Before(lastDrain_, v->lastRequest)) {
        const struct timespec drain = Later(lastDrain_, kDrainMinMs);
        if (Before(due, drain))
            due = drain;
    }
    return due;
}

// Milliseconds until the next thing to do: a drain, a due stream, a limit.
int Fanout::PollTimeout(const struct timespec &now)
{
    struct timespec next = Later(lastDrain_, kDrainIdleMs);
    const long limit = viewerSettings.idleSeconds * 1000L;
    for (auto &v : viewers_) {
        struct timespec t;
        if (v->streamWaiting)
            t = StreamDue(v.get());
        else if (v->outPos < v->out.size())
            t = Later(v->lastProgress, limit);
        else
            t = Later(v->lastRequest, limit);
        if (Before(t, next))
            next = t;
    }
    const long ms = ViewerMsBetween(&now, &next);
    return ms < 0 ? 0 : static_cast<int>(ms + 1);
}

void Fanout::Run()
{
    Drain(true);
    std::vector<struct pollfd> fds;
    while (!stop_) {
        fds.clear();
        for (int l : listenFds_)
            fds.push_back({l, POLLIN, 0});
        const size_t first = fds.size(); // viewers' entries start here
        for (auto &v : viewers_) {
            short events = 0;
            if (v->outPos < v->out.size())
                events = POLLOUT;
            else if (!v->streamWaiting)
                events = POLLIN;
            fds.push_back({v->fd, events, 0});
        }
        const int r = poll(fds.data(), fds.size(), PollTimeout(Now()));
        if (r < 0 && errno != EINTR) {
            QxLogUpdate(WardenLog(), 1, 24, "poll() in %s: %m", "GUIFanout");
            return;
        }
        // Viewers first, by the descriptor each had when poll was set up:
        // the accepts below add to the list.
        for (size_t i = viewers_.size(); i-- > 0;) {
            Viewer *v = viewers_[i].get();
            const short got = r > 0 ? fds[first + i].revents : 0;
            bool ok = true;
            if (got & (POLLOUT | POLLERR | POLLHUP))
                ok = Flush(v);
            if (ok && (got & (POLLIN | POLLERR | POLLHUP)))
                ok = ReadRequests(v);
            if (!ok)
                Drop(i);
        }
        for (size_t l = 0; r > 0 && l < first; ++l)
            if (fds[l].revents & POLLIN)
                AcceptAll(fds[l].fd);

        struct timespec now = Now();
        bool streamDue = false;
        for (auto &v : viewers_)
            streamDue = streamDue || (v->streamWaiting && Before(lastDrain_, v->lastRequest) &&
                                      !Before(now, StreamDue(v.get())));
        // Now and then every record: a session whose reporter died is ended
        // and dropped by the store's clean-up without a change bit for anyone.
        if (!Before(now, Later(lastResync_, kResyncMs)))
            Drain(true);
        else if (streamDue || !Before(now, Later(lastDrain_, kDrainIdleMs)))
            Drain(false);
        // Streams asked for before the latest drain began are answered from it.
        now = Now();
        for (size_t i = viewers_.size(); i-- > 0;) {
            Viewer *v = viewers_[i].get();
            bool ok = true;
            if (v->streamWaiting && !Before(lastDrain_, v->lastRequest) &&
                !Before(now, StreamDue(v))) {
                AnswerStream(v);
                ok = Flush(v) && ReadRequests(v);
            }
            if (!ok || Expired(v, now))
                Drop(i);
        }
    }
}

/* Stop signals of the fan-out process: free the slot, then end, as a viewer
 * child does.  One SIGINT is let pass: the one a store writer sends when it
 * ran out of space and purged ended records that readers had not yet seen
 * (a writer holds slot 0 or 1).  It stops a viewer child, which costs one
 * viewer; here it would cost every viewer, and the purged records are gone
 * whether this process ends or not. */
void FanoutStop(int sig, siginfo_t *info, void *)
{
    const bool mapped = shelfPtr != nullptr;
    if (mapped && sig == SIGINT && info != nullptr && info->si_code == SI_USER &&
        info->si_pid > 0) {
        const auto sender = static_cast<uint32_t>(info->si_pid);
        if (sender == quelm::ShelfSlotHolder(MON_SLOT_DAEMON) ||
            sender == quelm::ShelfSlotHolder(MON_SLOT_PROXY))
            return;
    }
    if (mapped)
        (void)quelm::ShelfReleaseSlot(kSlot, static_cast<uint32_t>(getpid()));
    _exit(1);
}

void InstallFanoutStop()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = FanoutStop;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        sigaction(s, &sa, nullptr);
}

} // namespace

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

long ViewerMsBetween(const struct timespec *a, const struct timespec *b)
{
    return (b->tv_sec - a->tv_sec) * 1000L + (b->tv_nsec - a->tv_nsec) / 1000000L;
}

int ViewerAwaitRequest(int fd, const struct timespec *since, const char *who)
{
    const struct timespec deadline = Later(*since, viewerSettings.idleSeconds * 1000L);
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
        const struct timespec now = Now();
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
    {
        const struct timespec due =
            Later(pace->lastWalk, pace->lastWasEmpty ? kStreamPauseMs : kStreamBusyMs);
        while (Before(Now(), due)) {
            const struct timespec now = Now();
            const long ms = ViewerMsBetween(&now, &due);
            struct timespec nap = {0, (ms > 0 ? ms : 1) * 1000000L};
            if (nap.tv_nsec >= 1000000000L)
                nap = {nap.tv_nsec / 1000000000L, nap.tv_nsec % 1000000000L};
            nanosleep(&nap, nullptr);
        }
    }
    pace->lastWalk = Now();
}

void ViewerNoteWalk(StreamPace_t *pace, int records)
{
    pace->lastWasEmpty = records == 0;
}

void FanoutServe(const int *listenFds, int listeners)
{
    InstallFanoutStop();
    MonHandle_t *store = nullptr;
    if (QxMonMemOpen("mon.mmap", kSlot, &store) != 0)
        return;
    GUIChildInit(store, kSlot);
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
