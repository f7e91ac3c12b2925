/*
 * guiserver.cpp - the viewer server: a listening socket on port 5051 (or one
 * per --listen address) and one forked child per admitted viewer, bound to
 * one of the store's slots 6 to 9.
 * Invariant: a slot's clientPid entry names the single live (or not yet
 * reaped) child that serves it, or is 0.  The server writes the entry right
 * after the fork with SIGCHLD held back, so the reaper, which frees the
 * entries of ended children, always runs after the entry exists.
 */
#include "guiserver.h"

#include "access.h"
#include "wardenlog.h"
#include "fanout.h"
#include "viewrules.h"

#include "shelf_daemon.h"
#include "frame_internal.h"
#include "supervise.h"
#include "viewlink_wire.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kViewerFirst = MON_SLOT_VIEWER_FIRST;
constexpr int kViewerLast = MON_SLOT_VIEWER_LAST;
using quelm::kViewKeyedRequestSize;
using quelm::kViewRequestKeyed;
using quelm::kViewRequestStream;
using quelm::kViewStreamRequestSize;

/* True when /proc says that pid's parent is parent.  The slot table is
 * written by every process that maps the store, so a PID read from it is
 * only a claim; being our child is what makes it one of ours. */
bool ChildOf(pid_t pid, pid_t parent)
{
    if (pid <= 0)
        return false;
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char stat[512];
    const ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (n <= 0)
        return false;
    stat[n] = '\0';
    // "pid (comm) state ppid ...": comm may hold anything, so look after
    // its last closing parenthesis.
    const char *paren = strrchr(stat, ')');
    char state = 0;
    int ppid = 0;
    return paren != nullptr && sscanf(paren + 1, " %c %d", &state, &ppid) == 2 && ppid == parent;
}

/* Sends SIGINT to the holder of every viewer slot that is a child of this
 * process (the viewer server's own viewer children); any other PID in the
 * table is not ours to signal.  SIGCHLD is held back meanwhile, so a child
 * checked cannot be reaped, and its PID reused, before the signal. */
void StopViewerChildren()
{
    sigset_t chld, saved;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &saved);
    for (int slot = kViewerFirst; slot <= kViewerLast; ++slot) {
        const pid_t pid = static_cast<pid_t>(quelm::ShelfSlotHolder(slot));
        if (ChildOf(pid, getpid()))
            kill(pid, SIGINT);
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

// Process descriptors, called directly: the C library's header for them
// does not declare them for C++ in every version in use.
int PidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int PidfdSignal(int fd, int sig)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
}

// In the main process: descriptors of the viewer children recorded by
// MonGUIRecordChildren, so that MonGUICleanup signals exactly those
// processes even after their PIDs could have been reused.
int recordedChildren[kViewerLast - kViewerFirst + 1];
int recordedCount = 0;

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
    MonData_t *rec;         // records read from the store (kStreamReadBatch of them)
    unsigned char *msg;     // request received / keyed reply encoded (2141 bytes)
    quelm::FrameBatch out;  // stream frames gathered for writing (kStreamBatch bytes)
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

/* Writes the gathered frames whole, so the viewer never sees a frame cut
 * short by the server.  False (logged as the framing layer logs a failed
 * send) if the connection failed. */
bool FlushBatch(ChildBuffers *b)
{
    if (quelm::FrameBatchFlush(&b->out))
        return true;
    QxLogUpdate(QxLogDefaultHandle, 1, 24, "Error in %s: %m", "write");
    return false;
}

/* Appends rec's frame (rec null: the empty frame) to the batch, writing
 * the batch out first when the largest frame might not fit. */
bool BatchFrame(ChildBuffers *b, const MonData_t *rec)
{
    unsigned char *payload = quelm::FrameBatchRoom(&b->out, MON_MSG_MAX);
    if (payload == nullptr) {
        QxLogUpdate(QxLogDefaultHandle, 1, 24, "Error in %s: %m", "write");
        return false;
    }
    const int len = rec != nullptr ? ParcelPutData(rec, payload) : 0;
    quelm::FrameBatchAdd(&b->out, static_cast<unsigned>(len));
    return true;
}

/* Answers a change stream: every record with changes for the slot (every
 * record if all is not 0), then the empty frame.  The frames are the ones
 * a frame-by-frame send would produce, gathered into few writes, so the
 * stream neither stalls on the viewer's delayed acknowledgement nor pays
 * one system call per record.  False if a write failed. */
bool AnswerStream(MonHandle_t *store, int fd, int all, ChildBuffers *b, StreamPace_t *pace)
{
    b->out.fd = fd;
    b->out.used = 0;
    ViewerPaceWalk(pace);
    int records = 0;
    for (;;) {
        // Several records per hold of the store's lock: the collector's puts
        // wait for one batch, not behind one hand-off per record.
        const int n = quelm::ShelfGetChanged(store, all, b->rec, kStreamReadBatch);
        for (int i = 0; i < n; ++i)
            if (!BatchFrame(b, &b->rec[i]))
                return false;
        records += n > 0 ? n : 0;
        if (n < kStreamReadBatch)
            break;
    }
    ViewerNoteWalk(pace, records);
    return BatchFrame(b, nullptr) && FlushBatch(b);
}

/* Answers a keyed read of request bytes 1..10: the record, or the empty
 * frame when the store has none (or the request is too short to hold a
 * key).  False if the send failed. */
bool AnswerKeyed(MonHandle_t *store, int fd, int len, ChildBuffers *b)
{
    if (len < kViewKeyedRequestSize)
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
        case kViewRequestStream:
            // A one-byte stream request has no "all" flag: it asks for the
            // changed records only, never for whatever the buffer held.
            ok = AnswerStream(store, fd, len >= kViewStreamRequestSize ? b->msg[1] : 0, b, &pace);
            break;
        case kViewRequestKeyed:
            ok = AnswerKeyed(store, fd, len, b);
            break;
        default:
            QxLogUpdate(WardenLog(), 5, 14, "%s: Invalid msg type=%d from GUI client=%d",
                        "GUIChild", b->msg[0], slot);
            break;
        }
        if (!ok)
            return;
    }
}

} // namespace

int GUIAccept(int listenFd)
{
    int pauseMs = 0;
    const int fd = AccessAccept(listenFd, 0, &pauseMs);
    if (fd < 0) {
        if (pauseMs > 0) {
            const struct timespec pause = {0, pauseMs * 1000000L};
            nanosleep(&pause, nullptr);
        }
        return pauseMs < 0 ? -1 : 0;
    }
    if (!AccessAdmit(fd)) {
        close(fd);
        return 0;
    }

    // --viewers below four leaves the upper slots unused.
    const int last = std::min(kViewerFirst + viewerSettings.maxViewers - 1, kViewerLast);
    int slot = kViewerFirst;
    while (slot <= last && quelm::ShelfSlotHolder(slot) != 0)
        ++slot;
    if (slot > last) {
        QxLogUpdate(WardenLog(), 1, 4, "%s: Too many GUIs", "GUIAccept");
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
        ViewerCatchStops(slot);
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
        QxLogUpdate(WardenLog(), 1, 0, "%s: fork() child for GUI connection failed", "GUIAccept");
        sigprocmask(SIG_SETMASK, &saved, nullptr);
        close(fd);
        return -1;
    }
    quelm::ShelfClaimSlot(slot, static_cast<uint32_t>(pid));
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close(fd);
    return 0;
}

int GUIChild(int slot, int fd)
{
    MonHandle_t *store = nullptr;
    ChildBuffers b{nullptr, nullptr, {fd, nullptr, kStreamBatch, 0}};
    if (QxMonMemOpen("mon.mmap", slot, &store) == 0) {
        ViewerTakeSlot(store, slot);
        b.rec = static_cast<MonData_t *>(calloc(kStreamReadBatch, sizeof(MonData_t)));
        b.msg = static_cast<unsigned char *>(calloc(1, MON_MSG_MAX));
        b.out.buf = static_cast<unsigned char *>(calloc(1, kStreamBatch));
        if (b.rec == nullptr || b.msg == nullptr || b.out.buf == nullptr)
            QxLogUpdate(WardenLog(), 1, 41, "%s: malloc() failed", "GUIChild");
        else
            Serve(store, slot, fd, &b);
    }
    free(b.out.buf);
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
            quelm::ShelfReleaseSlot(slot, static_cast<uint32_t>(pid));
    }
    errno = saved;
}

void MonGUIRecordChildren(pid_t server)
{
    for (int i = 0; i < recordedCount; ++i)
        close(recordedChildren[i]);
    recordedCount = 0;
    if (server <= 0)
        return;
    for (int slot = kViewerFirst; slot <= kViewerLast; ++slot) {
        const pid_t pid = static_cast<pid_t>(quelm::ShelfSlotHolder(slot));
        if (!ChildOf(pid, server))
            continue;
        const int fd = PidfdOpen(pid);
        // Checked again through the descriptor: the PID could have changed
        // hands between the check and the open.
        if (fd >= 0 && ChildOf(pid, server))
            recordedChildren[recordedCount++] = fd;
        else if (fd >= 0)
            close(fd);
    }
}

void MonGUICleanup(void)
{
    for (int i = 0; i < recordedCount; ++i) {
        (void)PidfdSignal(recordedChildren[i], SIGINT);
        close(recordedChildren[i]);
    }
    recordedCount = 0;
}

void MonGUIServer(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = GUISigChldHandler;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);

    int fds[kAccessListenMax];
    const int n = AccessOpenListeners(fds);
    if (n > 0) {
        WorkerStarted();
        WardenLogServing(fds, n);
    }
    if (n > 0 && viewerSettings.maxViewers > kChildViewersMax) {
        // Many viewers: this process serves them all from the first slot.
        FanoutServe(fds, n);
        AccessCloseListeners(fds, n);
        return;
    }
    for (int fd; (fd = AccessNextListener(fds, n)) != -1;) {
        if (fd >= 0 && GUIAccept(fd) == -1)
            break;
    }
    AccessCloseListeners(fds, n);
    StopViewerChildren();
}
