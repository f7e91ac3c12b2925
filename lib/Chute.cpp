/*
 * Chute.cpp - the pipe transport: records as frames through /tmp/mon.fifo.
 *
 * A frame is a 2-byte big-endian length and that many bytes of record
 * message.  Writers put each frame with one writev of at most 2143 bytes, less
 * than PIPE_BUF, so frames of concurrent writers never interleave and a good
 * frame always begins where a write began.  The one reader (the collector)
 * takes only whole frames that decode; after anything else, whatever a
 * broken writer left, it searches on byte by byte for the next good frame,
 * so one writer's bad bytes never cost the other writers' later reports.  A
 * process opens the pipe once and every later handle shares that descriptor
 * until the process exits.
 */
#include "Chute_internal.h"

#include "frame_internal.h"
#include "monapi_internal.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(MON_FRAME_MAX <= PIPE_BUF, "a frame must reach the pipe in one piece");

namespace {
/* Sleeps us (below a second) microseconds: 0, or -1 with errno EINTR. */
int SleepUs(long us) noexcept
{
    const struct timespec t = {0, us * 1000};
    return nanosleep(&t, nullptr);
}
}  // namespace

constexpr quelm::ChuteSys_t quelm::kChuteSysDefault = {SleepUs};
constinit quelm::ChuteSys_t quelm::chuteSys = quelm::kChuteSysDefault;

namespace {

/* Per process: the descriptor every pipe handle uses, and how many handles
 * were opened on it.  Once a descriptor was opened the count never drops
 * below 1, so the descriptor is kept (and reused) for the process's life. */
int fifoFd = -1;
int openCount = 0;
/* How fifoFd was opened: a writer's descriptor is renewed when its pipe has
 * lost its reader (see RenewWriter); a reader's never is. */
bool fifoWriter = false;

/* Counts the writer descriptor's renewals.  A starting daemon makes a new
 * pipe file, so a writer still holding the old pipe learns of the restart
 * from EPIPE at its next write and opens the new one in its place.  Several
 * threads may find that at once: the lock lets one renew, the generation
 * tells the others that it has been done. */
std::atomic<uint32_t> writerGeneration{1};
pthread_mutex_t renewLock = PTHREAD_MUTEX_INITIALIZER;

// Anyone may write reports, only the owner may read them: a second reader
// would take frames (or parts of them) from the collector.
constexpr mode_t kFifoMode = 0622;
constexpr int kPipeSizeDefault = 65536;

/* Keeps errno across calls whose own failures are of no interest. */
class ErrnoKeeper {
public:
    ErrnoKeeper() noexcept : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper &) = delete;
    ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

private:
    int saved_;
};

/* The reader's buffer on the process's pipe descriptor.  The collector
 * would otherwise pay two system calls per report; one large read takes in
 * every frame that is waiting.  Only the bytes already in the pipe are taken
 * (a pipe read returns what is there), so no frame waits for a later one.
 * The same buffer lets the reader find its way back into step after a
 * broken writer's bytes (see FrameScan).  It serves fifoFd alone: bytes read
 * from it must never be handed out for another descriptor.  Like fifoFd, it
 * belongs to the one process that reads the pipe: a reader must not fork
 * while frames wait in it, or both processes would hand them out. */
constexpr size_t kReadAheadSize = 64 * 1024;
unsigned char readAhead[kReadAheadSize];
int GatherPause(long us) noexcept
{
    return quelm::chuteSys.pause(us);
}
quelm::FrameScan scan = {
    -1, readAhead, kReadAheadSize, 0, 0, MON_MSG_HEADER, MON_MSG_MAX, MON_MSG_TYPE,
    CHUTE_STALL_MS, false, false, 0, 0, CHUTE_GATHER_US, GatherPause, true};

/* Bytes given up since the last report of them, and when that was. */
unsigned long long droppedUnreported = 0;
time_t droppedLoggedAt = 0;
constexpr time_t kDropLogSeconds = 10;

/* Logs the bytes the reader gave up to stay in step: the first time at once,
 * then at most once in kDropLogSeconds with the count since the last line,
 * so a writer that sends garbage cannot flood the log. */
void ReportDropped() noexcept
{
    droppedUnreported += scan.dropped;
    scan.dropped = 0;
    if (droppedUnreported == 0)
        return;
    const time_t now = time(nullptr);
    if (droppedLoggedAt != 0 && now - droppedLoggedAt < kDropLogSeconds)
        return;
    ErrnoKeeper keep;
    QxLogUpdate(nullptr, 1, 13, "%s: skipped %llu bytes of the pipe that were no whole report",
                "ChuteGetNext", droppedUnreported);
    droppedUnreported = 0;
    droppedLoggedAt = now;
}

/* Takes a payload as a record when the length-checked decoder accepts it. */
bool DecodeRecord(const unsigned char *payload, unsigned len, void *rec) noexcept
{
    return ParcelGetDataChecked(static_cast<MonData_t *>(rec), payload, len) >= 0;
}

/* Behaves as read(2) on a pipe: at most len bytes of what is waiting, 0 at
 * end of file, -1 with errno on failure. */
ssize_t PipeRead(int fd, unsigned char *p, size_t len) noexcept
{
    if (fd < 0 || fd != fifoFd)
        return read(fd, p, len);
    return quelm::FrameScanRead(&scan, p, len);
}

/* Logs a read that failed inside a frame and returns -1.  An end of file
 * there means the last writer left in the middle of its frame; it is
 * reported as EPIPE, like an end of file at a boundary, since the
 * stream has nothing more and the next frame of a new writer starts afresh. */
int FailInFrame(quelm::FrameFault fault) noexcept
{
    if (fault == quelm::FrameFault::kEndInFrame)
        errno = EPIPE;
    QxLogUpdate(nullptr, 1, 13, "Failed to read FIFO");
    return -1;
}

/* Asks the kernel for a pipe buffer that holds a burst of reports, as large
 * as this process may have it: 1 MiB, halving on EPERM (above the
 * unprivileged limit, /proc/sys/fs/pipe-max-size, or over the user's pipe
 * quota) and EBUSY, never below the default.  Failing leaves the default. */
void EnlargePipe(int fd) noexcept
{
    ErrnoKeeper keep;
    const int current = fcntl(fd, F_GETPIPE_SZ);
    for (int want = CHUTE_PIPE_SIZE_WANTED; want > current && want > kPipeSizeDefault;
         want /= 2) {
        if (fcntl(fd, F_SETPIPE_SZ, want) >= 0)
            return;
        if (errno != EPERM && errno != EBUSY)
            return;
    }
}

/* Opens the pipe file for this process: the descriptor, or -1 (logged; the
 * file is left as it was).  Only a FIFO is accepted: a symlink planted at
 * the path fails the open (O_NOFOLLOW), any other file is closed again
 * unread and unwritten.  No O_CREAT: mkfifo has just made sure the path
 * exists, and creating it here could only ever make the wrong kind of file. */
int OpenFifoFile(unsigned int type) noexcept
{
    if (mkfifo(CHUTE_PATH, kFifoMode) < 0 && errno != EEXIST) {
        QxLogUpdate(nullptr, 1, 18, "Failed to create FIFO");
        return -1;
    }
    // Close-on-exec: a proxy that runs other programs must not hand them the
    // pipe, nor keep it open on their behalf.
    const int flags =
        (type == MON_FIFO_WRITER ? O_WRONLY | O_NONBLOCK : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
    errno = 0;
    /* A reader waits here until the first writer opens the pipe. */
    const int fd = open(CHUTE_PATH, flags, kFifoMode);
    if (fd < 0) {
        QxLogUpdate(nullptr, 1, 11, "Failed to open FIFO");
        return -1;
    }
    struct stat st;
    // The reader takes only its own pipe: reports written into a FIFO that
    // another user planted would be theirs to read or to block.
    if (fstat(fd, &st) < 0 || !S_ISFIFO(st.st_mode) ||
        (type == MON_FIFO_READER && st.st_uid != geteuid())) {
        (void)close(fd);
        errno = EINVAL;
        QxLogUpdate(nullptr, 1, 11, "Failed to open FIFO");
        return -1;
    }
    if (type == MON_FIFO_READER)
        EnlargePipe(fd);
    return fd;
}

/* Blocks SIGPIPE for the span of one write so that a vanished reader costs
 * the writer an EPIPE, not its life, without touching the process's signal
 * dispositions.  The SIGPIPE that the failed write raised is taken back
 * (unless one was already pending before, which is not ours to take) and
 * the caller's mask is restored.  A process that ignores SIGPIPE (most
 * proxies do) needs none of that: an ignored signal is dropped when raised,
 * never left pending.  The disposition is asked at every write, one
 * sigaction call instead of two mask changes, so a proxy that stops
 * ignoring SIGPIPE later is guarded again from its next report on. */
class SigPipeGuard {
public:
    SigPipeGuard() noexcept
    {
        struct sigaction current;
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            ignored_ = true;
            return;
        }
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldMask_);
        // Only a caller that blocks SIGPIPE itself can have one pending: an
        // unblocked one would have been delivered already. Sparing the
        // sigpending call keeps the common case at two extra system calls.
        alreadyBlocked_ = sigismember(&oldMask_, SIGPIPE) == 1;
        if (alreadyBlocked_) {
            sigset_t pending;
            sigemptyset(&pending);
            wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        }
    }
    ~SigPipeGuard()
    {
        if (ignored_)
            return;
        ErrnoKeeper keep;
        if (raised_ && !wasPending_) {
            const struct timespec now = {0, 0};
            (void)sigtimedwait(&pipeSet_, nullptr, &now);
        }
        if (!alreadyBlocked_)
            pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }
    /* Records that a write failed with EPIPE and so raised SIGPIPE. */
    void NoteEpipe() noexcept { raised_ = true; }
    SigPipeGuard(const SigPipeGuard &) = delete;
    SigPipeGuard &operator=(const SigPipeGuard &) = delete;

private:
    sigset_t pipeSet_;
    sigset_t oldMask_;
    bool ignored_ = false;
    bool alreadyBlocked_ = false;
    bool wasPending_ = false;
    bool raised_ = false;
};

/* Writes the whole frame (one piece: it is at most PIPE_BUF bytes) with
 * SIGPIPE held back; the frame module's result. */
ssize_t WriteFrame(int fd, const unsigned char *msg, int len) noexcept
{
    SigPipeGuard guard;
    const ssize_t w = quelm::FrameWrite(fd, msg, static_cast<unsigned>(len));
    if (w < 0 && errno == EPIPE)
        guard.NoteEpipe();
    return w;
}

/* Puts a descriptor of the pipe now at the path in place of the writer's
 * descriptor, whose pipe has no reader since the generation seen was gen:
 * true when the writer may write again (renewed here or by another thread
 * meanwhile), false when no reader has the path open either (errno EPIPE).
 * dup3 swaps the pipe under the same descriptor number in one step, so a
 * thread writing at that moment writes into one pipe or the other, never
 * into a closed or reused descriptor. */
bool RenewWriter(uint32_t gen) noexcept
{
    (void)pthread_mutex_lock(&renewLock);
    bool ok = writerGeneration.load() != gen;
    if (!ok) {
        const int fd = open(CHUTE_PATH, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (fd >= 0) {
            ok = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && dup3(fd, fifoFd, O_CLOEXEC) >= 0;
            (void)close(fd);
        }
        if (ok)
            writerGeneration.fetch_add(1);
    }
    (void)pthread_mutex_unlock(&renewLock);
    if (!ok)
        errno = EPIPE;
    return ok;
}

}  // namespace

uint32_t quelm::ChuteGeneration() noexcept
{
    return writerGeneration.load(std::memory_order_acquire);
}

/* Opens a pipe handle of the given type (0 reader, 1 writer) into *out: 0,
 * or -1 with *out null and nothing allocated (errno EINVAL for a bad type or
 * a file at the path that is not a FIFO).  The first successful open of the
 * process opens the pipe; later ones share its descriptor. */
extern "C" int QxChuteOpen(const char *name, unsigned int type, MonHandle_t **out)
{
    (void)name; /* the path is fixed */
    if (out == nullptr) {
        QxLogUpdate(nullptr, 5, 3, "%s: no place for the handle", "QxChuteOpen");
        errno = EINVAL;
        return -1;
    }
    *out = nullptr;
    if (type > MON_FIFO_WRITER) {
        QxLogUpdate(nullptr, 5, 3, "bad client type=%d specified", static_cast<int>(type));
        errno = EINVAL;
        return -1;
    }

    /* The opener is never called through the handle; stored to name it. */
    const quelm::HandleOps ops = {reinterpret_cast<MonOpenFn_t>(&QxChuteOpen), ChuteClose,
                                  ChutePut, nullptr,
                                  type == MON_FIFO_READER ? ChuteGetNext : nullptr};
    static_assert(sizeof(CHUTE_PATH) <= MON_PATH_SIZE);
    MonHandle_t *h = quelm::HandleNew(ops, sizeof(ChutePriv_t), CHUTE_PATH);
    if (h == nullptr) {
        QxLogUpdate(nullptr, 1, 35, "malloc() handle failed");
        return -1;
    }
    auto *priv = static_cast<ChutePriv_t *>(h->priv);
    priv->type = static_cast<int>(type);
    h->magic = MON_MAGIC_FIFO;

    if (openCount <= 0) {
        fifoFd = OpenFifoFile(type);
        if (fifoFd < 0) {
            const int err = errno;
            fifoFd = -1;
            quelm::HandleFree(h);
            errno = err;
            return -1;
        }
        fifoWriter = type == MON_FIFO_WRITER;
    }
    priv->fd = fifoFd;
    scan.fd = fifoFd;
    ++openCount;
    *out = h;
    return 0;
}

/* Encodes rec and writes it as one frame: 2 + message length, or -1 (logged;
 * the record is lost: errno EPIPE when no reader has the pipe open, EAGAIN
 * when the pipe is full).  A writer whose pipe lost its reader opens the
 * pipe a restarted daemon made and writes the frame there, with the start
 * bit added: the new reader knows nothing of the records before.  Never
 * blocks on a writer handle, never raises SIGPIPE in the caller. */
extern "C" int ChutePut(MonHandle_t *h, const MonData_t *rec)
{
    auto *p = static_cast<ChutePriv_t *>(h->priv);
    int len = ParcelPutData(rec, p->buf);
    if (len < 0) {
        errno = EINVAL;
        QxLogUpdate(nullptr, 1, 12, "Failed to write FIFO");
        return -1;
    }
    const uint32_t gen = writerGeneration.load(std::memory_order_acquire);
    ssize_t w = WriteFrame(p->fd, p->buf, len);
    if (w < 0 && errno == EPIPE && fifoWriter && p->fd == fifoFd && RenewWriter(gen)) {
        MonData_t again;
        memcpy(&again, rec, sizeof again);
        again.flags |= MON_FLAG_START;
        len = ParcelPutData(&again, p->buf);
        w = WriteFrame(p->fd, p->buf, len);
    }
    if (w != len + static_cast<int>(quelm::kFrameHeaderSize)) {
        if (w >= 0)
            errno = EIO; /* cannot happen below PIPE_BUF; never leave errno stale */
        QxLogUpdate(nullptr, 1, 12, "Failed to write FIFO");
        return -1;
    }
    return static_cast<int>(w);
}

/* Reads one frame of at most size bytes into buf: the message length, 0 for
 * an empty frame, -1 on failure.  errno after -1: EPIPE when no writer has
 * the pipe open; EMSGSIZE when a longer frame was read and thrown away;
 * otherwise the failed read's, EINTR included when a signal arrived before
 * the frame began.  Every -1 but a read error inside a frame leaves the
 * stream at the next frame's start. */
int quelm::ChuteRecv(int fd, unsigned int size, unsigned char *buf)
{
    /* At a boundary a signal may end the wait: the caller sees EINTR and
     * can look at why it was woken before it reads on. */
    const quelm::FrameSource src = {fd, PipeRead, false};
    quelm::FrameFault fault;
    const int len = quelm::FrameRecv(src, size, buf, &fault);
    switch (fault) {
    case quelm::FrameFault::kNone:
        return len;
    case quelm::FrameFault::kEnd:
        errno = EPIPE;
        return -1;
    case quelm::FrameFault::kReadFailed:
        QxLogUpdate(nullptr, 1, 13, "failed to read FIFO");
        return -1;
    case quelm::FrameFault::kTooLong:
        QxLogUpdate(nullptr, 1, 51, "%s failed", "msg len > buf len, read() FIFO");
        errno = EMSGSIZE;
        return -1;
    default:
        return FailInFrame(fault);
    }
}

/* Reads the next record from the pipe into rec: 1 for a record, 0 for an
 * empty frame, -1 on failure (errno EPIPE when no writer has the pipe open;
 * EINTR when a signal came before a frame began; otherwise the failed
 * read's).  Bytes that are no whole, decodable report (a broken writer's
 * garbage, an impossible length, a frame left unfinished for
 * CHUTE_STALL_MS) are skipped and counted, and reading goes on with the
 * next good frame.  rec is written only when 1 is returned.  mode is not
 * used. */
extern "C" int ChuteGetNext(MonHandle_t *h, int mode, MonData_t *rec)
{
    (void)mode;
    (void)h;
    if (rec == nullptr) {
        errno = EINVAL;
        QxLogUpdate(nullptr, 1, 13, "%s failed", "no record to fill, FIFO");
        return -1;
    }
    /* The decoder zeroes its record when it refuses a message; the caller's
     * record must come out of a refusal as it went in. */
    MonData_t decoded;
    const int len = quelm::FrameScanNext(&scan, DecodeRecord, &decoded);
    ReportDropped();
    if (len < 0) {
        const int err = errno;
        if (err != EPIPE)
            QxLogUpdate(nullptr, 1, 13, "failed to read FIFO");
        errno = err;
        return -1;
    }
    if (len == 0)
        return 0;
    memcpy(rec, &decoded, sizeof decoded);
    return 1;
}

/* Takes the next record out of what the reader has already read, without a
 * read: see the declaration. */
int quelm::ChuteNextBuffered(MonData_t *rec)
{
    MonData_t decoded;
    if (rec == nullptr || quelm::FrameScanTakeBuffered(&scan, DecodeRecord, &decoded) < 0)
        return 0;
    memcpy(rec, &decoded, sizeof decoded);
    return 1;
}

/* Frees the handle; the shared descriptor stays open for the process's later
 * opens.  Always 0. */
extern "C" int ChuteClose(MonHandle_t *h)
{
    if (h == nullptr)
        return 0;
    quelm::HandleFree(h);
    if (openCount-- <= 1)
        openCount = 1;
    return 0;
}
