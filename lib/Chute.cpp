/*
 * Chute.cpp - the pipe transport: records as frames through /tmp/mon.fifo.
 *
 * A frame is a 2-byte big-endian length and that many bytes of record
 * message.  Writers put each frame with one writev of at most 2143 bytes, less
 * than PIPE_BUF, so frames of concurrent writers never interleave; the one
 * reader (the collector) reads frame by frame and stays at a frame boundary
 * after every failure it reports.  A process opens the pipe once and every
 * later handle shares that descriptor until the process exits.
 */
#include "Chute_internal.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static_assert(MON_FRAME_MAX <= PIPE_BUF, "a frame must reach the pipe in one piece");

namespace {

/* Per process: the descriptor every pipe handle uses, and how many handles
 * were opened on it.  Once a descriptor was opened the count never drops
 * below 1, so the descriptor is kept (and reused) for the process's life. */
int fifoFd = -1;
int openCount = 0;

constexpr mode_t kFifoMode = 0666;
constexpr unsigned kHeaderSize = 2;
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

/* Read-ahead for the process's pipe descriptor.  The collector would
 * otherwise pay two system calls per report; one large read takes in every
 * frame that is waiting.  Only the bytes already in the pipe are taken (a
 * pipe read returns what is there), so no frame waits for a later one.  The
 * buffer serves fifoFd alone: bytes read from it must never be handed out
 * for another descriptor. */
constexpr size_t kReadAheadSize = 64 * 1024;
struct ReadAhead {
    unsigned char *data; // allocated at the first read; null: read directly
    size_t head;         // next byte to hand out
    size_t tail;         // end of the bytes read
};
// Like fifoFd, it belongs to the one process that reads the pipe: a reader
// must not fork while frames wait in it, or both processes would hand them out.
ReadAhead ahead = {nullptr, 0, 0};

/* Behaves as read(2) on a pipe: at most len bytes of what is waiting, 0 at
 * end of file, -1 with errno on failure. */
ssize_t PipeRead(int fd, unsigned char *p, size_t len) noexcept
{
    if (fd < 0 || fd != fifoFd)
        return read(fd, p, len);
    if (ahead.head == ahead.tail) {
        if (ahead.data == nullptr)
            ahead.data = static_cast<unsigned char *>(malloc(kReadAheadSize));
        if (ahead.data == nullptr)
            return read(fd, p, len);
        const ssize_t r = read(fd, ahead.data, kReadAheadSize);
        if (r <= 0)
            return r;
        ahead.head = 0;
        ahead.tail = static_cast<size_t>(r);
    }
    const size_t n = len < ahead.tail - ahead.head ? len : ahead.tail - ahead.head;
    memcpy(p, ahead.data + ahead.head, n);
    ahead.head += n;
    return static_cast<ssize_t>(n);
}

/* Reads inside a frame, where the rest of the frame is already on its way
 * (each frame entered the pipe whole), so EINTR is retried: giving up here
 * would leave the stream in the middle of a frame.  Returns read()'s result. */
ssize_t ReadInFrame(int fd, unsigned char *p, size_t len) noexcept
{
    ssize_t r;
    do
        r = PipeRead(fd, p, len);
    while (r < 0 && errno == EINTR);
    return r;
}

/* Logs a read that failed inside a frame and returns -1.  An end of file
 * there means the last writer left in the middle of its frame; it is
 * reported as EPIPE, like an end of file at a boundary, since the
 * stream has nothing more and the next frame of a new writer starts afresh. */
int FailInFrame(ssize_t r) noexcept
{
    if (r == 0)
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
    if (fstat(fd, &st) < 0 || !S_ISFIFO(st.st_mode)) {
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

/* One writev of the whole frame; its result (EINTR retried: a blocked write
 * of at most PIPE_BUF bytes that was interrupted wrote nothing). */
ssize_t WriteFrame(int fd, const unsigned char *msg, int len) noexcept
{
    unsigned char header[kHeaderSize] = {static_cast<unsigned char>(len >> 8),
                                         static_cast<unsigned char>(len & 0xff)};
    struct iovec iov[2] = {{header, kHeaderSize},
                           {const_cast<unsigned char *>(msg), static_cast<size_t>(len)}};
    SigPipeGuard guard;
    ssize_t w;
    do
        w = writev(fd, iov, 2);
    while (w < 0 && errno == EINTR);
    if (w < 0 && errno == EPIPE)
        guard.NoteEpipe();
    return w;
}

}  // namespace

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

    auto *h = static_cast<MonHandle_t *>(calloc(1, sizeof(MonHandle_t)));
    auto *priv = static_cast<ChutePriv_t *>(calloc(1, sizeof(ChutePriv_t)));
    if (h == nullptr || priv == nullptr) {
        QxLogUpdate(nullptr, 1, 35, "malloc() handle failed");
        free(priv);
        free(h);
        return -1;
    }
    h->magic = MON_MAGIC_DEAD;
    h->priv = priv;
    priv->type = static_cast<int>(type);
    /* Never called through the handle; stored to name the opener. */
    h->openFn = reinterpret_cast<MonOpenFn_t>(&QxChuteOpen);
    h->closeFn = ChuteClose;
    h->putFn = ChutePut;
    h->getNextFn = type == MON_FIFO_READER ? ChuteGetNext : nullptr;
    static_assert(sizeof(CHUTE_PATH) <= MON_PATH_SIZE);
    memcpy(h->path, CHUTE_PATH, sizeof(CHUTE_PATH));
    h->magic = MON_MAGIC_FIFO;

    if (openCount <= 0) {
        fifoFd = OpenFifoFile(type);
        if (fifoFd < 0) {
            const int err = errno;
            fifoFd = -1;
            free(priv);
            free(h);
            errno = err;
            return -1;
        }
    }
    priv->fd = fifoFd;
    ++openCount;
    *out = h;
    return 0;
}

/* Encodes rec and writes it as one frame: 2 + message length, or -1 (logged;
 * the record is lost: errno EPIPE when no reader has the pipe open, EAGAIN
 * when the pipe is full).  Never blocks on a writer handle, never raises
 * SIGPIPE in the caller. */
extern "C" int ChutePut(MonHandle_t *h, const MonData_t *rec)
{
    auto *p = static_cast<ChutePriv_t *>(h->priv);
    const int len = ParcelPutData(rec, p->buf);
    if (len < 0) {
        errno = EINVAL;
        QxLogUpdate(nullptr, 1, 12, "Failed to write FIFO");
        return -1;
    }
    const ssize_t w = WriteFrame(p->fd, p->buf, len);
    if (w != len + static_cast<int>(kHeaderSize)) {
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
extern "C" int ChuteRecv(int fd, unsigned int size, unsigned char *buf)
{
    unsigned char header[kHeaderSize];
    /* At a boundary a signal may end the wait: the caller sees EINTR and
     * can look at why it was woken before it reads on. */
    ssize_t r = PipeRead(fd, header, kHeaderSize);
    if (r < 0) {
        QxLogUpdate(nullptr, 1, 13, "failed to read FIFO");
        return -1;
    }
    if (r == 0) {
        errno = EPIPE;
        return -1;
    }
    if (r == 1) {
        /* Frames enter the pipe whole, but only a sound writer keeps to that. */
        r = ReadInFrame(fd, header + 1, 1);
        if (r <= 0)
            return FailInFrame(r);
    }

    const unsigned len = (static_cast<unsigned>(header[0]) << 8) | header[1];
    if (len > size) {
        QxLogUpdate(nullptr, 1, 51, "%s failed", "msg len > buf len, read() FIFO");
        unsigned char scratch[256];
        unsigned char *sink = size > 0 ? buf : scratch;
        const unsigned piece = size > 0 ? size : sizeof scratch;
        for (unsigned left = len; left > 0;) {
            r = ReadInFrame(fd, sink, left < piece ? left : piece);
            if (r <= 0)
                break;
            left -= static_cast<unsigned>(r);
        }
        errno = EMSGSIZE;
        return -1;
    }
    if (len == 0)
        return 0;

    for (unsigned got = 0; got < len;) {
        r = ReadInFrame(fd, buf + got, len - got);
        if (r <= 0)
            return FailInFrame(r);
        got += static_cast<unsigned>(r);
    }
    return static_cast<int>(len);
}

/* Reads the next frame and decodes it into rec: 1 for a record, 0 for an
 * empty frame, -1 on failure (errno as ChuteRecv's, or EBADMSG for a message
 * the length-checked decoder refuses; the stream stays in step).  rec is
 * written only when 1 is returned.  mode is not used. */
extern "C" int ChuteGetNext(MonHandle_t *h, int mode, MonData_t *rec)
{
    (void)mode;
    if (rec == nullptr) {
        errno = EINVAL;
        QxLogUpdate(nullptr, 1, 13, "%s failed", "no record to fill, FIFO");
        return -1;
    }
    auto *p = static_cast<ChutePriv_t *>(h->priv);
    const int len = ChuteRecv(p->fd, MON_MSG_MAX, p->buf);
    if (len <= 0)
        return len < 0 ? -1 : 0;
    /* The decoder zeroes its record when it refuses a message; the caller's
     * record must come out of a refusal as it went in. */
    MonData_t decoded;
    if (ParcelGetDataChecked(&decoded, p->buf, static_cast<size_t>(len)) < 0) {
        QxLogUpdate(nullptr, 1, 13, "%s failed", "malformed record message, FIFO");
        errno = EBADMSG;
        return -1;
    }
    memcpy(rec, &decoded, sizeof decoded);
    return 1;
}

/* Frees the handle; the shared descriptor stays open for the process's later
 * opens.  Always 0. */
extern "C" int ChuteClose(MonHandle_t *h)
{
    if (h == nullptr)
        return 0;
    h->magic = MON_MAGIC_DEAD;
    free(h->priv);
    free(h);
    if (openCount-- <= 1)
        openCount = 1;
    return 0;
}
