/*
 * frame.cpp - the 2-byte length framing: read a frame (split header
 * completed, oversized frame skipped in step), write a frame whole, gather
 * frames into few writes, and find frames again in a shared stream after
 * bytes that are none.  No state of its own and no allocation; the pipe
 * transport, the TCP framing calls and the viewer server's streams all go
 * through here.
 */
#include "frame_internal.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

namespace quelm {
namespace {

/* Waits until fd is ready for events: true, or false (errno set) when poll
 * fails.  Used only inside a frame, where giving up would tear the stream. */
bool WaitReady(int fd, short events) noexcept
{
    struct pollfd pfd = {fd, events, 0};
    int r;
    do
        r = poll(&pfd, 1, -1);
    while (r < 0 && errno == EINTR);
    return r > 0;
}

/* One read inside a frame: EINTR retried, EAGAIN waited out; read()'s
 * result. */
ssize_t ReadInFrame(const FrameSource &src, unsigned char *p, size_t len) noexcept
{
    for (;;) {
        const ssize_t r = src.read(src.fd, p, len);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitReady(src.fd, POLLIN))
            return -1;
    }
}

/* Reads exactly len bytes inside a frame: true, or false with *fault set. */
bool ReadFull(const FrameSource &src, unsigned char *p, size_t len, FrameFault *fault) noexcept
{
    for (size_t got = 0; got < len;) {
        const ssize_t r = ReadInFrame(src, p + got, len - got);
        if (r <= 0) {
            *fault = r == 0 ? FrameFault::kEndInFrame : FrameFault::kReadFailedInFrame;
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

/* Writes the pieces of iov whole: the bytes written, or -1 with errno.  What
 * went out is stepped over, whole pieces first, then into the next; once a
 * byte is out, EAGAIN is waited out, since stopping would tear a frame. */
ssize_t WriteWhole(int fd, struct iovec *iov, int pieces) noexcept
{
    size_t total = 0;
    for (int i = 0; i < pieces; ++i)
        total += iov[i].iov_len;
    size_t sent = 0;
    while (sent < total) {
        while (iov->iov_len == 0) {
            ++iov;
            --pieces;
        }
        const ssize_t w = writev(fd, iov, pieces);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (sent > 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(fd, POLLOUT))
                continue;
            return -1;
        }
        if (w == 0) {
            errno = EIO;
            return -1;
        }
        sent += static_cast<size_t>(w);
        for (size_t done = static_cast<size_t>(w); done > 0;) {
            const size_t step = done < iov->iov_len ? done : iov->iov_len;
            iov->iov_base = static_cast<unsigned char *>(iov->iov_base) + step;
            iov->iov_len -= step;
            done -= step;
            if (iov->iov_len == 0 && done > 0) {
                ++iov;
                --pieces;
            }
        }
    }
    return static_cast<ssize_t>(total);
}

long long NowMs() noexcept
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/* Outcome of one attempt to bring more bytes into a scan's buffer. */
enum class Fill { kMore, kRetry, kFailed };

/* Reads what the stream has, blocking, into an empty buffer, after the
 * gathering wait: kMore, or kFailed with errno (EPIPE at the end of the
 * stream, EINTR for a signal, also one that cut the wait short). */
Fill FillAtBoundary(FrameScan *s) noexcept
{
    s->head = s->tail = 0;
    if (s->gatherUs > 0 && s->pause != nullptr && !s->readAtOnce && s->pause(s->gatherUs) < 0) {
        s->readAtOnce = true;
        return Fill::kFailed;  // EINTR: the caller looks at why it was woken
    }
    const ssize_t r = read(s->fd, s->buf, s->cap);
    if (r > 0) {
        s->tail = static_cast<size_t>(r);
        s->readAtOnce = static_cast<size_t>(r) == s->cap;
        return Fill::kMore;
    }
    s->readAtOnce = true;
    if (r == 0)
        errno = EPIPE;
    return Fill::kFailed;
}

/* Waits, within the frame's deadline, for bytes that complete the need bytes
 * at the buffer's head: kMore when some came, kRetry (draining set) when the
 * deadline passed or the stream ended, kRetry after a signal, kFailed with
 * errno when poll or read failed. */
Fill FillInFrame(FrameScan *s, size_t need) noexcept
{
    const size_t avail = s->tail - s->head;
    if (s->head + need > s->cap) {
        memmove(s->buf, s->buf + s->head, avail);
        s->head = 0;
        s->tail = avail;
    }
    const long long now = NowMs();
    if (s->deadlineMs == 0)
        s->deadlineMs = now + s->stallMs;
    if (now >= s->deadlineMs) {
        s->draining = true;
        return Fill::kRetry;
    }
    struct pollfd pfd = {s->fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(s->deadlineMs - now));
    if (ready == 0) {
        s->draining = true;
        return Fill::kRetry;
    }
    if (ready < 0)
        return errno == EINTR ? Fill::kRetry : Fill::kFailed;
    const ssize_t r = read(s->fd, s->buf + s->tail, s->cap - s->tail);
    if (r > 0) {
        s->tail += static_cast<size_t>(r);
        return Fill::kMore;
    }
    if (r == 0) {
        s->draining = true; // no writer is left to finish the frame
        return Fill::kRetry;
    }
    return errno == EINTR || errno == EAGAIN ? Fill::kRetry : Fill::kFailed;
}

/* Whether the len bytes at p may begin a frame worth searching for: a
 * plausible length and first payload byte (an empty frame does not count:
 * zeros are what a cut-short frame most often ends in); too few bytes to
 * tell count as a yes. */
bool MayStartFrame(const FrameScan *s, const unsigned char *p, size_t len) noexcept
{
    if (len < kFrameHeaderSize + 1)
        return true;
    const unsigned n = FrameGetHeader(p);
    return n >= s->minLen && n <= s->maxLen &&
           (s->firstByte < 0 || p[kFrameHeaderSize] == s->firstByte);
}

/* Whether a frame that accept takes begins inside the frame of len payload
 * bytes at the buffer's head; *tried tells whether accept was called (and
 * so may have overwritten what it wrote for the frame at the head). */
bool FrameInside(const FrameScan *s, unsigned len, FrameAccept accept, void *ctx,
                 bool *tried) noexcept
{
    const unsigned char *f = s->buf + s->head;
    const size_t avail = s->tail - s->head;
    *tried = false;
    for (size_t at = 1; at < kFrameHeaderSize + len; ++at) {
        if (avail - at < kFrameHeaderSize + 1)
            break;
        const unsigned n = FrameGetHeader(f + at);
        if (n < s->minLen || n > s->maxLen || avail - at < kFrameHeaderSize + n ||
            (s->firstByte >= 0 && f[at + kFrameHeaderSize] != s->firstByte))
            continue;
        *tried = true;
        if (accept(f + at + kFrameHeaderSize, n, ctx))
            return true;
    }
    return false;
}

/* Whether to take the frame of len payload bytes at the buffer's head, which
 * is whole.  accept must take it; and a frame whose header lied (a writer cut
 * short, the rest made up of other writers' frames) can still be taken by
 * accept, but then shows itself by ending where no frame can begin while a
 * frame that accept takes begins inside it.  A good frame followed by
 * garbage contains none, and in step the bytes after a frame begin the next,
 * so the search inside runs only after a frame that is followed by garbage. */
bool TakeFrame(const FrameScan *s, unsigned len, FrameAccept accept, void *ctx) noexcept
{
    const unsigned char *f = s->buf + s->head;
    const size_t end = kFrameHeaderSize + len;
    if (!accept(f + kFrameHeaderSize, len, ctx))
        return false;
    if (MayStartFrame(s, f + end, s->tail - s->head - end))
        return true;
    bool tried;
    if (FrameInside(s, len, accept, ctx, &tried))
        return false;
    return !tried || accept(f + kFrameHeaderSize, len, ctx);
}

}  // namespace

int FrameScanNext(FrameScan *s, FrameAccept accept, void *ctx) noexcept
{
    for (;;) {
        const size_t avail = s->tail - s->head;
        if (avail == 0) {
            // Nothing is buffered, so nothing is waiting to be completed.
            s->draining = false;
            s->deadlineMs = 0;
            if (FillAtBoundary(s) == Fill::kFailed)
                return -1;
            continue;
        }
        size_t need = kFrameHeaderSize;
        if (avail >= kFrameHeaderSize) {
            const unsigned char *f = s->buf + s->head;
            const unsigned len = FrameGetHeader(f);
            if (len == 0 && !s->searching) {
                s->head += kFrameHeaderSize;
                return 0;
            }
            bool plausible = len >= s->minLen && len <= s->maxLen &&
                             (avail == kFrameHeaderSize || s->firstByte < 0 ||
                              f[kFrameHeaderSize] == s->firstByte);
            if (plausible && avail >= kFrameHeaderSize + len) {
                if (TakeFrame(s, len, accept, ctx)) {
                    s->head += kFrameHeaderSize + len;
                    s->searching = false;
                    s->deadlineMs = 0;
                    return static_cast<int>(len);
                }
                plausible = false;
            }
            if (!plausible) {
                ++s->head;
                ++s->dropped;
                s->searching = true;
                continue;
            }
            need = kFrameHeaderSize + len;
        }
        if (s->draining) {
            // Every write made is buffered: what is here will not grow.
            ++s->head;
            ++s->dropped;
            s->searching = true;
            continue;
        }
        if (FillInFrame(s, need) == Fill::kFailed)
            return -1;
    }
}

int FrameScanTakeBuffered(FrameScan *s, FrameAccept accept, void *ctx) noexcept
{
    for (;;) {
        const size_t avail = s->tail - s->head;
        if (s->searching || avail < kFrameHeaderSize)
            return -1;
        const unsigned char *f = s->buf + s->head;
        const unsigned len = FrameGetHeader(f);
        if (len == 0) {
            s->head += kFrameHeaderSize;
            continue;  // an empty frame in step carries nothing
        }
        const size_t end = kFrameHeaderSize + len;
        // Only what FrameScanNext would take as it stands: a whole plausible
        // frame, followed by nothing yet or by what may begin a frame.
        if (avail < end || !MayStartFrame(s, f, avail) ||
            !MayStartFrame(s, f + end, avail - end) || !accept(f + kFrameHeaderSize, len, ctx))
            return -1;
        s->head += end;
        s->deadlineMs = 0;
        return static_cast<int>(len);
    }
}

ssize_t FrameScanRead(FrameScan *s, unsigned char *p, size_t len) noexcept
{
    if (s->head == s->tail) {
        const ssize_t r = read(s->fd, s->buf, s->cap);
        if (r <= 0)
            return r;
        s->head = 0;
        s->tail = static_cast<size_t>(r);
    }
    const size_t n = len < s->tail - s->head ? len : s->tail - s->head;
    memcpy(p, s->buf + s->head, n);
    s->head += n;
    return static_cast<ssize_t>(n);
}

int FrameRecv(const FrameSource &src, unsigned cap, unsigned char *buf, FrameFault *fault) noexcept
{
    *fault = FrameFault::kNone;
    unsigned char header[kFrameHeaderSize];
    ssize_t r;
    do
        r = src.read(src.fd, header, kFrameHeaderSize);
    while (r < 0 && errno == EINTR && src.retryStartEintr);
    if (r <= 0) {
        *fault = r == 0 ? FrameFault::kEnd : FrameFault::kReadFailed;
        return -1;
    }
    /* A header may arrive in two pieces: a byte is in, so the frame has begun. */
    if (r == 1 && !ReadFull(src, header + 1, 1, fault))
        return -1;

    const unsigned len = FrameGetHeader(header);
    if (len > cap) {
        /* Never read beyond this frame: the next one must stay intact. */
        unsigned char scratch[256];
        unsigned char *sink = cap > 0 ? buf : scratch;
        const unsigned piece = cap > 0 ? cap : sizeof scratch;
        for (unsigned left = len; left > 0;) {
            r = ReadInFrame(src, sink, left < piece ? left : piece);
            if (r <= 0)
                break;
            left -= static_cast<unsigned>(r);
        }
        *fault = FrameFault::kTooLong;
        return -1;
    }
    if (len > 0 && !ReadFull(src, buf, len, fault))
        return -1;
    return static_cast<int>(len);
}

ssize_t FrameWrite(int fd, const unsigned char *payload, unsigned len) noexcept
{
    unsigned char header[kFrameHeaderSize];
    FramePutHeader(len, header);
    struct iovec iov[2] = {{header, kFrameHeaderSize},
                           {const_cast<unsigned char *>(payload), len}};
    return WriteWhole(fd, iov, len > 0 ? 2 : 1);
}

unsigned char *FrameBatchRoom(FrameBatch *b, unsigned maxLen) noexcept
{
    const size_t need = kFrameHeaderSize + maxLen;
    if (need > b->cap) {
        errno = EMSGSIZE;
        return nullptr;
    }
    if (b->used + need > b->cap && !FrameBatchFlush(b))
        return nullptr;
    return b->buf + b->used + kFrameHeaderSize;
}

void FrameBatchAdd(FrameBatch *b, unsigned len) noexcept
{
    FramePutHeader(len, b->buf + b->used);
    b->used += kFrameHeaderSize + len;
}

bool FrameBatchFlush(FrameBatch *b) noexcept
{
    struct iovec iov = {b->buf, b->used};
    const ssize_t w = b->used > 0 ? WriteWhole(b->fd, &iov, 1) : 0;
    b->used = 0;
    return w >= 0;
}

}  // namespace quelm
