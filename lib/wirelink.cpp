/*
 * wirelink.cpp - length-prefixed frames over a TCP connection (IPv4).
 *
 * A frame is a 2-byte big-endian payload length and the payload; the frame
 * module reads and writes it (whole frames out, whole frames in, in step
 * across a frame too large for the caller's buffer).  This file adds the
 * connection, the TCP errno contract and the log lines: no state, no
 * allocation; every failure is logged as "Error in <call>: %m".
 */
#include "monitor.h"

#include "frame_internal.h"
#include "wirelink_internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

/* Logs a failed call under errno as it stands and returns -1. */
int Fail(const char *call) noexcept
{
    QxLogUpdate(nullptr, 1, 24, "Error in %s: %m", call);
    return -1;
}

ssize_t SocketRead(int fd, unsigned char *p, size_t len) noexcept
{
    return read(fd, p, len);
}

}  // namespace

namespace quelm {

int TcpConnectStart(const char *host, int port) noexcept
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
    // Non-blocking only for the connect itself: a peer whose listen backlog
    // is full drops the handshake, and a blocking connect would then wait
    // out every retry of the kernel (over two minutes), whatever the caller
    // allows.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return Fail("socket");
    const int rc = connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
    if ((rc < 0 && errno != EINPROGRESS) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0) {
        Fail(rc < 0 && errno != EINPROGRESS ? "connect" : "fcntl");
        const int err = errno;
        (void)close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int TcpConnectWait(int fd, int ms) noexcept
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int wait = -1;
        if (ms >= 0) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long spent = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
            wait = spent >= ms ? 0 : static_cast<int>(ms - spent);
        }
        struct pollfd p = {fd, POLLOUT, 0};
        const int r = poll(&p, 1, wait);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Fail("poll");
        if (r == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            return Fail("getsockopt");
        if (err == 0)
            return 0;
        errno = err;
        return Fail("connect");
    }
}

}  // namespace quelm

/* Connects to host (dotted IPv4 address or host name) at the low 16 bits of
 * port: the connected socket, or -1 (logged with the failed call; no socket
 * is left open).  Sets SIGPIPE to ignored for the whole process, for good:
 * a send to a peer that has gone then fails with EPIPE instead of ending
 * the process.  Waits for the connection as long as the kernel tries. */
extern "C" int Mon_TcpConnect(const char *host, int port)
{
    const int fd = quelm::TcpConnectStart(host, port);
    if (fd < 0 || quelm::TcpConnectWait(fd, -1) == 0)
        return fd;
    const int err = errno;
    (void)close(fd);
    errno = err;
    return -1;
}

/* Sends one frame of len (0 to 65535) payload bytes: len + 2, or -1 (logged;
 * errno from the failed writev, EMSGSIZE for a len out of range).  A partial
 * write is continued until the frame is out, so the peer sees either the
 * whole frame or, after a real error, a connection that is of no more use;
 * EINTR is retried, and on a non-blocking descriptor a frame once begun is
 * finished by waiting. */
extern "C" int Mon_TcpSend(int fd, int len, const unsigned char *buf)
{
    if (len < 0 || static_cast<unsigned>(len) > quelm::kFramePayloadMax) {
        errno = EMSGSIZE;
        return Fail("writev");
    }
    const ssize_t w = quelm::FrameWrite(fd, buf, static_cast<unsigned>(len));
    return w < 0 ? Fail("writev") : static_cast<int>(w);
}

/* Receives one frame into buf, which holds size bytes: the payload length,
 * 0 for an empty frame, or -1 (logged).  errno after -1: ECONNRESET when the
 * peer closed the connection, between frames or inside one; EMSGSIZE when
 * the frame was longer than size and was read and thrown away (the next
 * call reads the following frame); otherwise the failed read's.  EINTR is
 * retried. */
extern "C" int Mon_TcpRecv(int fd, int size, unsigned char *buf)
{
    const unsigned cap = size < 0 ? 0
                         : size > static_cast<int>(quelm::kFramePayloadMax)
                             ? quelm::kFramePayloadMax
                             : static_cast<unsigned>(size);
    const quelm::FrameSource src = {fd, SocketRead, true};
    quelm::FrameFault fault;
    const int len = quelm::FrameRecv(src, cap, buf, &fault);
    if (len >= 0)
        return len;
    if (fault == quelm::FrameFault::kEnd || fault == quelm::FrameFault::kEndInFrame)
        errno = ECONNRESET;
    else if (fault == quelm::FrameFault::kTooLong)
        errno = EMSGSIZE;
    return Fail("read");
}

/* Closes fd when it is greater than 0; always 0. */
extern "C" int Mon_TcpClose(int fd)
{
    if (fd > 0)
        (void)close(fd);
    return 0;
}
