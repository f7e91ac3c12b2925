/*
 * guiserver.cpp - the viewer server: one listening socket on port 5051 and
 * one forked child per viewer, bound to one of the store's slots 6 to 9.
 * Invariant: a slot's clientPid entry names the single live (or not yet
 * reaped) child that serves it, or is 0.  The server writes the entry right
 * after the fork with SIGCHLD held back, so the reaper, which frees the
 * entries of ended children, always runs after the entry exists.
 */
#include "guiserver.h"

#include "fanout.h"

#include "Shelf_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kViewerFirst = MON_SLOT_VIEWER_FIRST;
constexpr int kViewerLast = MON_SLOT_VIEWER_LAST;
constexpr int kBindAttempts = 3;
constexpr unsigned kBindRetrySeconds = 5;
constexpr int kBacklog = 5;
constexpr int kTypeKeyed = 1;  // request: 1 type byte + the 10-byte record key
constexpr int kTypeStream = 2; // request: 1 type byte + the "all" flag byte
constexpr int kKeyedRequestSize = 1 + MON_KEY_SIZE;
constexpr int kStreamRequestSize = 2;
constexpr uint32_t kNibbleStart = 0x1;
constexpr uint32_t kNibbleUpdate = 0x2;
constexpr uint32_t kNibbleStatus = 0x4;
constexpr uint32_t kUnknownHandle = 0xffffffffu; // records never checked for a live owner

/* Bit position of a reading slot's change nibble in a record's flags. */
constexpr int NibbleShift(int slot)
{
    return 4 * (slot - 3);
}

/* The slot table entry of slot, or null while this process has no store
 * mapped.  Entries are shared with other processes and written without a
 * lock, so every access below is one atomic 32-bit load or store. */
uint32_t *SlotEntry(int slot)
{
    auto *header = static_cast<ShelfHeader_t *>(shelfPtr);
    return header != nullptr ? &header->clientPid[slot] : nullptr;
}

uint32_t LoadSlot(int slot)
{
    uint32_t *entry = SlotEntry(slot);
    return entry != nullptr ? std::atomic_ref<uint32_t>(*entry).load(std::memory_order_relaxed) : 0;
}

void StoreSlot(int slot, uint32_t pid)
{
    if (uint32_t *entry = SlotEntry(slot))
        std::atomic_ref<uint32_t>(*entry).store(pid, std::memory_order_relaxed);
}

/* Frees slot only if it still names pid, so a claim made meanwhile by a
 * newer child is never undone. */
void ReleaseSlotOf(int slot, uint32_t pid)
{
    if (uint32_t *entry = SlotEntry(slot))
        std::atomic_ref<uint32_t>(*entry).compare_exchange_strong(pid, 0,
                                                                  std::memory_order_relaxed);
}

/* True when pid names a process that no longer exists (only ESRCH counts).
 * A word that reads as a negative PID names no process, as the store's own
 * clean-up also judges it (kill() would address process groups). */
bool ProcessGone(uint32_t pid)
{
    if (static_cast<pid_t>(pid) < 0)
        return true;
    return kill(static_cast<pid_t>(pid), 0) < 0 && errno == ESRCH;
}

// The slot this process serves, for its stop handler; 0 outside a viewer child.
volatile sig_atomic_t childSlot = 0;

/* Stop signals in a viewer child: free the slot, then end.  Once the viewer
 * server is gone no reaper would free it, and a slot left naming a dead PID
 * would have the daemon signal whichever process gets that PID next.  The
 * compare-and-swap on the shared word is lock-free, so safe in a handler. */
void ViewerChildStop(int)
{
    if (childSlot != 0)
        ReleaseSlotOf(childSlot, static_cast<uint32_t>(getpid()));
    _exit(1);
}

void InstallViewerChildStop(int slot)
{
    childSlot = slot;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ViewerChildStop;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        sigaction(s, &sa, nullptr);
}

/* Sends SIGINT to the holder of every viewer slot.  Entries that are not a
 * positive PID are skipped: kill() would read them as process groups. */
void StopViewerChildren()
{
    for (int slot = kViewerFirst; slot <= kViewerLast; ++slot) {
        const pid_t pid = static_cast<pid_t>(LoadSlot(slot));
        if (pid > 0)
            kill(pid, SIGINT);
    }
}

/* Accept errors that concern only the one connection being accepted (the
 * peer went away, or the network reported an error for it): the listening
 * socket stays good, so serving goes on. */
bool TransientAcceptError(int err)
{
    switch (err) {
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

void SetTcpOption(int fd, int option, int value)
{
    (void)setsockopt(fd, IPPROTO_TCP, option, &value, sizeof value);
}

// A change stream is gathered into this many bytes before it is written:
// room for 30 of the largest frames, so a long stream leaves in a handful
// of writes and a short one (with its closing empty frame) in one.
constexpr size_t kStreamBatch = 30 * MON_FRAME_MAX;

// Changed records copied out of the store per hold of its hash lock.
constexpr int kStreamReadBatch = 16;

// The child's buffers, allocated once and used for every request.
struct ChildBuffers {
    MonData_t *rec;       // records read from the store (kStreamReadBatch of them)
    unsigned char *msg;   // request received / keyed reply encoded (2141 bytes)
    unsigned char *batch; // stream frames gathered for writing (kStreamBatch bytes)
    size_t used;          // bytes of batch filled
};

/* Encodes rec into msg and sends it as one frame; false if the send failed. */
bool SendRecord(int fd, const MonData_t *rec, unsigned char *msg)
{
    const int len = ParcelPutData(rec, msg);
    return Mon_TcpSend(fd, static_cast<uint16_t>(len), msg) >= 0;
}

bool SendEmptyFrame(int fd, unsigned char *msg)
{
    return Mon_TcpSend(fd, 0, msg) >= 0;
}

/* Writes the gathered frames whole, going on after partial writes, so the
 * viewer never sees a frame cut short by the server.  False (logged as the
 * framing layer logs a failed send) if the connection failed. */
bool FlushBatch(int fd, ChildBuffers *b)
{
    size_t done = 0;
    while (done < b->used) {
        const ssize_t n = write(fd, b->batch + done, b->used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            QxLogUpdate(QxLogDefaultHandle, 1, 24, "Error in %s: %m", "write");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    b->used = 0;
    return true;
}

/* Appends rec's frame (rec null: the empty frame) to the batch, writing
 * the batch out first when the largest frame might not fit. */
bool BatchFrame(int fd, ChildBuffers *b, const MonData_t *rec)
{
    if (b->used + MON_FRAME_MAX > kStreamBatch && !FlushBatch(fd, b))
        return false;
    unsigned char *frame = b->batch + b->used;
    const int len = rec != nullptr ? ParcelPutData(rec, frame + 2) : 0;
    ParcelPutInt16(static_cast<uint16_t>(len), frame);
    b->used += 2 + static_cast<size_t>(len);
    return true;
}

/* Answers a change stream: every record with changes for the slot (every
 * record if all is not 0), then the empty frame.  The frames are the ones
 * a frame-by-frame send would produce, gathered into few writes, so the
 * stream neither stalls on the viewer's delayed acknowledgement nor pays
 * one system call per record.  False if a write failed. */
bool AnswerStream(MonHandle_t *store, int fd, int all, ChildBuffers *b, StreamPace_t *pace)
{
    b->used = 0;
    ViewerPaceWalk(pace);
    int records = 0;
    for (;;) {
        // Several records per hold of the store's lock: the collector's puts
        // wait for one batch, not behind one hand-off per record.
        const int n = ShelfGetChanged(store, all, b->rec, kStreamReadBatch);
        for (int i = 0; i < n; ++i)
            if (!BatchFrame(fd, b, &b->rec[i]))
                return false;
        records += n > 0 ? n : 0;
        if (n < kStreamReadBatch)
            break;
    }
    ViewerNoteWalk(pace, records);
    return BatchFrame(fd, b, nullptr) && FlushBatch(fd, b);
}

/* Answers a keyed read of request bytes 1..10: the record, or the empty
 * frame when the store has none (or the request is too short to hold a
 * key).  False if the send failed. */
bool AnswerKeyed(MonHandle_t *store, int fd, int len, ChildBuffers *b)
{
    if (len < kKeyedRequestSize)
        return SendEmptyFrame(fd, b->msg);
    memcpy(reinterpret_cast<unsigned char *>(b->rec), b->msg + 1, MON_KEY_SIZE);
    b->rec->clientTag = 0;
    if (QxMonRecvData(store, b->rec) == 0)
        return SendRecord(fd, b->rec, b->msg);
    return SendEmptyFrame(fd, b->msg);
}

/* Serves requests one at a time until the viewer leaves, sends an empty
 * or unreadable request, or a reply cannot be sent. */
void Serve(MonHandle_t *store, int slot, int fd, ChildBuffers *b)
{
    // A reply is written whole and the viewer waits for all of it: nothing
    // is gained by holding its last segment back for an acknowledgement.
    SetTcpOption(fd, TCP_NODELAY, 1);
    StreamPace_t pace{};
    struct timespec since;
    clock_gettime(CLOCK_MONOTONIC, &since);
    for (;;) {
        if (ViewerAwaitRequest(fd, &since, "GUIChild") <= 0)
            return;
        const int len = Mon_TcpRecv(fd, MON_MSG_MAX, b->msg);
        clock_gettime(CLOCK_MONOTONIC, &since);
        if (len <= 0)
            return;
        bool ok = true;
        switch (b->msg[0]) {
        case kTypeStream:
            // A one-byte stream request has no "all" flag: it asks for the
            // changed records only, never for whatever the buffer held.
            ok = AnswerStream(store, fd, len >= kStreamRequestSize ? b->msg[1] : 0, b, &pace);
            break;
        case kTypeKeyed:
            ok = AnswerKeyed(store, fd, len, b);
            break;
        default:
            QxLogUpdate(MonLogHandle, 5, 14, "%s: Invalid msg type=%d from GUI client=%d",
                        "GUIChild", b->msg[0], slot);
            break;
        }
        if (!ok)
            return;
    }
}

// State of one seeding walk: the slot's nibble position and the owner last
// checked, since the records of one reporter usually come in numbers.
struct SeedState {
    int shift;            // bit position of the seeding slot's nibble
    bool checked = false; // lastPid/lastGone hold a result
    uint32_t lastPid = 0; // reporting process checked last
    bool lastGone = false; // whether that process no longer exists
    // Viewer slot holders checked during this walk: each holder is asked at
    // most once, not once per record that has bits pending for its slot.
    uint32_t holderPid[kViewerLast - kViewerFirst + 1] = {};
    bool holderGone[kViewerLast - kViewerFirst + 1] = {};
};

/* Whether the process holding viewer slot v, holder (not 0), has gone. */
bool HolderGone(SeedState *seed, int v, uint32_t holder)
{
    const int i = v - kViewerFirst;
    if (seed->holderPid[i] != holder) {
        seed->holderPid[i] = holder;
        seed->holderGone[i] = ProcessGone(holder);
    }
    return seed->holderGone[i];
}

/* Seeds one record for the slot in seed (a ShelfWalk visitor, run under
 * the hash lock): marks the record ended if its reporter has gone, frees a
 * viewer slot whose dead holder still has changes pending on it, and sets
 * the start, update and status bits the record's contents call for. */
void SeedRecord(MonData_t *rec, void *ctx)
{
    auto *seed = static_cast<SeedState *>(ctx);
    // The owner check is skipped for records without a real handle number,
    // exactly as the store's own clean-up does.
    if (rec->handleNum != kUnknownHandle) {
        if (!seed->checked || rec->pid != seed->lastPid) {
            seed->checked = true;
            seed->lastPid = rec->pid;
            seed->lastGone = ProcessGone(rec->pid);
        }
        if (seed->lastGone)
            rec->flags &= ~MON_FLAG_ALIVE;
    }
    if ((rec->flags & MON_FLAG_ALIVE) == 0)
        return; // an ended session is neither seeded nor examined
    for (int v = kViewerFirst; v <= kViewerLast; ++v) {
        const uint32_t nibble = 0xFu << NibbleShift(v);
        if ((rec->flags & nibble) == 0)
            continue;
        const uint32_t holder = LoadSlot(v);
        if (holder != 0 && HolderGone(seed, v, holder)) {
            ReleaseSlotOf(v, holder);
            rec->flags &= ~nibble;
        }
    }
    uint32_t bits = kNibbleStart;
    if (rec->countA != 0 || rec->countB != 0)
        bits |= kNibbleUpdate;
    if (rec->status != 0 || rec->statusText[0] != '\0')
        bits |= kNibbleStatus;
    rec->flags |= bits << seed->shift;
}

} // namespace

int GUIOpen(void)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        QxLogUpdate(MonLogHandle, 1, 24, "socket() in %s: %m", "GUIOpen");
        return -1;
    }
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        QxLogUpdate(MonLogHandle, 1, 24, "setsockopt() in %s: %m", "GUIOpen");
        close(fd);
        return -1;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(MON_VIEWER_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    for (int attempt = 1;; ++attempt) {
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0)
            break;
        if (attempt == kBindAttempts)
            QxLogUpdate(MonLogHandle, 1, 24, "bind() in %s: %m", "GUIOpen");
        sleep(kBindRetrySeconds);
        if (attempt == kBindAttempts) {
            close(fd);
            return -1;
        }
    }
    if (listen(fd, kBacklog) < 0) {
        QxLogUpdate(MonLogHandle, 1, 24, "Error in %s (listen): %m", "GUIOpen");
        close(fd);
        return -1;
    }
    return fd;
}

int GUIAccept(int listenFd)
{
    struct sockaddr_in peer;
    socklen_t peerLen = sizeof peer;
    const int fd = accept(listenFd, reinterpret_cast<struct sockaddr *>(&peer), &peerLen);
    if (fd < 0) {
        if (errno == EINTR)
            return 0;
        QxLogUpdate(MonLogHandle, 1, 24, "accept() in %s: %m", "GUIAccept");
        return TransientAcceptError(errno) ? 0 : -1;
    }

    // --viewers below four leaves the upper slots unused.
    const int last = std::min(kViewerFirst + viewerSettings.maxViewers - 1, kViewerLast);
    int slot = kViewerFirst;
    while (slot <= last && LoadSlot(slot) != 0)
        ++slot;
    if (slot > last) {
        QxLogUpdate(MonLogHandle, 1, 4, "%s: Too many GUIs", "GUIAccept");
        close(fd);
        return 0;
    }

    // Until the slot's entry names the child, the reaper must not run: a
    // child that ended first would otherwise leave its PID in the entry.
    sigset_t chld, saved;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &saved);
    const pid_t server = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        InstallViewerChildStop(slot);
        sigprocmask(SIG_SETMASK, &saved, nullptr);
        // A viewer child must not outlive the server that owns its slot.
        (void)prctl(PR_SET_PDEATHSIG, SIGINT);
        if (getppid() != server)
            _exit(1);
        close(listenFd);
        GUIChild(slot, fd);
        exit(1);
    }
    if (pid < 0) {
        QxLogUpdate(MonLogHandle, 1, 0, "%s: fork() child for GUI connection failed", "GUIAccept");
        sigprocmask(SIG_SETMASK, &saved, nullptr);
        close(fd);
        return -1;
    }
    StoreSlot(slot, static_cast<uint32_t>(pid));
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close(fd);
    return 0;
}

int GUIChildInit(MonHandle_t *store, int slot)
{
    StoreSlot(slot, static_cast<uint32_t>(getpid()));
    SeedState seed{NibbleShift(slot)};
    // One walk under the hash lock: no record can be freed by another
    // process's clean-up while its flags are being examined and changed.
    (void)ShelfWalk(store, SeedRecord, &seed);
    return 0;
}

int GUIChild(int slot, int fd)
{
    MonHandle_t *store = nullptr;
    ChildBuffers b{nullptr, nullptr, nullptr, 0};
    if (QxMonMemOpen("mon.mmap", slot, &store) == 0) {
        GUIChildInit(store, slot);
        b.rec = static_cast<MonData_t *>(calloc(kStreamReadBatch, sizeof(MonData_t)));
        b.msg = static_cast<unsigned char *>(calloc(1, MON_MSG_MAX));
        b.batch = static_cast<unsigned char *>(calloc(1, kStreamBatch));
        if (b.rec == nullptr || b.msg == nullptr || b.batch == nullptr)
            QxLogUpdate(MonLogHandle, 1, 41, "%s: malloc() failed", "GUIChild");
        else
            Serve(store, slot, fd, &b);
    }
    free(b.batch);
    free(b.msg);
    free(b.rec);
    // The slot is freed before the viewer sees its connection end, so a
    // viewer that reconnects at once is never refused for its own old slot.
    const int closed = QxMonClose(store);
    Mon_TcpClose(fd);
    return closed;
}

void GUISigChldHandler(int)
{
    const int saved = errno;
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
        for (int slot = kViewerFirst; slot <= kViewerLast; ++slot)
            ReleaseSlotOf(slot, static_cast<uint32_t>(pid));
    }
    errno = saved;
}

void MonGUICleanup(void)
{
    StopViewerChildren();
}

void MonGUIServer(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = GUISigChldHandler;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);

    const int fd = GUIOpen();
    if (fd >= 0 && viewerSettings.maxViewers > kChildViewersMax) {
        // Many viewers: this process serves them all from the first slot.
        FanoutServe(fd);
        close(fd);
        return;
    }
    if (fd >= 0) {
        while (GUIAccept(fd) != -1) {
        }
        close(fd);
    }
    StopViewerChildren();
}
