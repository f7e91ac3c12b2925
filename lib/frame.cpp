/*
 * frame.cpp - the 2-byte length framing: read a frame (split header
 * completed, oversized frame skipped in step), write a frame whole, gather
 * frames into few writes.  No state and no allocation; the pipe transport,
 * the TCP framing calls and the viewer server's streams all go through here.
 */
#include "frame_internal.h"

#include <cerrno>
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

}  // namespace

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
