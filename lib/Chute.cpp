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
 * until the process exits.  The reader's side is in ChuteRead.cpp.
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


/* Asks the kernel for a pipe buffer that holds a burst of reports, as large
 * as this process may have it: 1 MiB, halving on EPERM (above the
 * unprivileged limit, /proc/sys/fs/pipe-max-size, or over the user's pipe
 * quota) and EBUSY, never below the default.  Failing leaves the default. */
void EnlargePipe(int fd) noexcept
{
    quelm::ErrnoKeeper keep;
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
        quelm::ErrnoKeeper keep;
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
    quelm::ChuteReaderOn(fifoFd);
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
