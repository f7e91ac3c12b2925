/*
 * wirelink.cpp - length-prefixed frames over a TCP connection (IPv4).
 *
 * A frame is a 2-byte big-endian payload length and the payload.  A frame
 * goes out whole or the send fails: partial writes are continued, so a peer
 * never sees a torn stream; a receive returns whole frames only and keeps
 * the stream in step across a frame too large for the caller's buffer.  No
 * state, no allocation; every failure is logged as "Error in <call>: %m".
 */
#include "monitor.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr unsigned kHeaderSize = 2;
constexpr unsigned kFrameMax = 65535;

/* Logs a failed call under errno as it stands and returns -1. */
int Fail(const char *call) noexcept
{
    QxLogUpdate(nullptr, 1, 24, "Error in %s: %m", call);
    return -1;
}

/* Waits until fd is ready for events; used only inside a frame on a
 * non-blocking descriptor, where giving up would tear the stream.  false
 * (errno set) when poll fails. */
bool WaitReady(int fd, short events) noexcept
{
    struct pollfd pfd = {fd, events, 0};
    int r;
    do
        r = poll(&pfd, 1, -1);
    while (r < 0 && errno == EINTR);
    return r > 0;
}

/* One read inside a frame: EINTR retried, EAGAIN waited out.  read()'s
 * result. */
ssize_t ReadInFrame(int fd, unsigned char *p, size_t len) noexcept
{
    for (;;) {
        const ssize_t r = read(fd, p, len);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitReady(fd, POLLIN))
            return -1;
    }
}

/* Reads the 2-byte header, which may arrive in two pieces: true with the
 * length in *len; false (logged) with errno ECONNRESET when the peer closed
 * before or inside the header, else the read's. */
bool ReadHeader(int fd, unsigned *len) noexcept
{
    unsigned char header[kHeaderSize];
    ssize_t r;
    do
        r = read(fd, header, kHeaderSize);
    while (r < 0 && errno == EINTR);
    if (r == 1) {
        r = ReadInFrame(fd, header + 1, 1);
        if (r == 1)
            r = kHeaderSize;
    }
    if (r != static_cast<ssize_t>(kHeaderSize)) {
        if (r == 0)
            errno = ECONNRESET;
        Fail("read");
        return false;
    }
    *len = (static_cast<unsigned>(header[0]) << 8) | header[1];
    return true;
}

}  // namespace

/* Connects to host (dotted IPv4 address or host name) at the low 16 bits of
 * port: the connected socket, or -1 (logged with the failed call; no socket
 * is left open).  Sets SIGPIPE to ignored for the whole process, for good:
 * a send to a peer that has gone then fails with EPIPE instead of ending
 * the process. */
extern "C" int Mon_TcpConnect(const char *host, int port)
{
    signal(SIGPIPE, SIG_IGN);

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (host == nullptr) {
        errno = EINVAL;
        return Fail("gethostbyname");
    }
    addr.sin_addr.s_addr = inet_addr(host);
    if (addr.sin_addr.s_addr == INADDR_NONE) {
        /* "255.255.255.255" lands here too: it converts to INADDR_NONE. */
        errno = 0;
        const struct hostent *he = gethostbyname(host);
        if (he == nullptr || he->h_addrtype != AF_INET || he->h_addr_list[0] == nullptr) {
            if (errno == 0)
                errno = ESRCH;
            return Fail("gethostbyname");
        }
        const size_t n = static_cast<size_t>(he->h_length) < sizeof addr.sin_addr
                             ? static_cast<size_t>(he->h_length)
                             : sizeof addr.sin_addr;
        memcpy(&addr.sin_addr, he->h_addr_list[0], n);
    }

    // Close-on-exec, so a viewer that runs another program does not keep its
    // connection, and with it one of the daemon's four viewer places, alive.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Fail("socket");
    if (connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr) < 0) {
        Fail("connect");
        const int err = errno;
        (void)close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

/* Sends one frame of len (0 to 65535) payload bytes: len + 2, or -1 (logged;
 * errno from the failed writev, EMSGSIZE for a len out of range).  A partial
 * write is continued until the frame is out, so the peer sees either the
 * whole frame or, after a real error, a connection that is of no more use;
 * EINTR is retried, and on a non-blocking descriptor a frame once begun is
 * finished by waiting. */
extern "C" int Mon_TcpSend(int fd, int len, const unsigned char *buf)
{
    if (len < 0 || static_cast<unsigned>(len) > kFrameMax) {
        errno = EMSGSIZE;
        return Fail("writev");
    }
    unsigned char header[kHeaderSize] = {static_cast<unsigned char>(len >> 8),
                                         static_cast<unsigned char>(len & 0xff)};
    struct iovec iov[2] = {{header, kHeaderSize},
                           {const_cast<unsigned char *>(buf), static_cast<size_t>(len)}};
    struct iovec *next = iov;
    int pieces = len > 0 ? 2 : 1;
    const size_t total = kHeaderSize + static_cast<size_t>(len);
    size_t sent = 0;
    while (sent < total) {
        const ssize_t w = writev(fd, next, pieces);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (sent > 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(fd, POLLOUT))
                continue;
            return Fail("writev");
        }
        if (w == 0) {
            errno = EIO;
            return Fail("writev");
        }
        sent += static_cast<size_t>(w);
        /* Step over what went out: whole pieces first, then into the next. */
        for (size_t done = static_cast<size_t>(w); done > 0;) {
            if (done >= next->iov_len) {
                done -= next->iov_len;
                ++next;
                --pieces;
            } else {
                next->iov_base = static_cast<unsigned char *>(next->iov_base) + done;
                next->iov_len -= done;
                done = 0;
            }
        }
    }
    return static_cast<int>(total);
}

/* Receives one frame into buf, which holds size bytes: the payload length,
 * 0 for an empty frame, or -1 (logged).  errno after -1: ECONNRESET when the
 * peer closed the connection, between frames or inside one; EMSGSIZE when
 * the frame was longer than size and was read and thrown away (the next
 * call reads the following frame); otherwise the failed read's.  EINTR is
 * retried. */
extern "C" int Mon_TcpRecv(int fd, int size, unsigned char *buf)
{
    const unsigned cap = size < 0 ? 0 : size > static_cast<int>(kFrameMax) ? kFrameMax
                                                                           : static_cast<unsigned>(size);
    unsigned len;
    if (!ReadHeader(fd, &len))
        return -1;

    if (len > cap) {
        /* Never read beyond this frame: the next one must stay intact. */
        unsigned char scratch[256];
        unsigned char *sink = cap > 0 ? buf : scratch;
        const unsigned piece = cap > 0 ? cap : sizeof scratch;
        for (unsigned left = len; left > 0;) {
            const ssize_t r = ReadInFrame(fd, sink, left < piece ? left : piece);
            if (r <= 0)
                break;
            left -= static_cast<unsigned>(r);
        }
        errno = EMSGSIZE;
        return Fail("read");
    }
    if (len == 0)
        return 0;

    for (unsigned got = 0; got < len;) {
        const ssize_t r = ReadInFrame(fd, buf + got, len - got);
        if (r <= 0) {
            if (r == 0)
                errno = ECONNRESET;
            return Fail("read");
        }
        got += static_cast<unsigned>(r);
    }
    return static_cast<int>(len);
}

/* Closes fd when it is greater than 0; always 0. */
extern "C" int Mon_TcpClose(int fd)
{
    if (fd > 0)
        (void)close(fd);
    return 0;
}
