/*
 * access.cpp - the viewer port's addresses, the peers let in and the
 * keepalive of viewer connections.  The tables are filled by the main
 * process while it parses options and only read afterwards (the viewer
 * server has its own copy); the refusal log's memory lives in the viewer
 * server alone, which is single-threaded.
 */
#include "access.h"
#include "viewrules.h"
#include "wardenlog.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int kBindAttempts = 3;
constexpr unsigned kBindRetrySeconds = 5;
// A viewer's host that vanishes without FIN or RST is found out after
// kKeepIdle + kKeepCount * kKeepInterval = 40 s of silence.
constexpr int kKeepIdle = 20;
constexpr int kKeepInterval = 5;
constexpr int kKeepCount = 4;
constexpr time_t kRefusalLogSeconds = 60; // one line per peer address per minute
constexpr int kRefusalMemory = 64;        // peer addresses remembered for that

// One address in a form both families share: IPv4 as its 4 bytes, IPv6 as
// its 16.  An IPv4-mapped IPv6 peer is taken as the IPv4 address it maps.
struct Address {
    int family = AF_UNSPEC;
    unsigned char bytes[16] = {};
};

struct Range {
    Address net;    // host bits cleared
    int prefix = 0; // leading bits that must match
};

sockaddr_storage listenAddr[kAccessListenMax];
socklen_t listenLen[kAccessListenMax];
int listenCount = 0;
Range allow[kAccessAllowMax];
int allowCount = 0;

struct Refusal {
    Address peer;
    time_t last = 0; // CLOCK_MONOTONIC seconds of the last line logged
    bool used = false;
};
Refusal refusals[kRefusalMemory];

int Width(int family)
{
    return family == AF_INET ? 4 : 16;
}

/* Parses a decimal number from..to in text (all of it); -1 if it is not. */
long ParseNumber(const char *text, long from, long to)
{
    if (text[0] < '0' || text[0] > '9')
        return -1;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < from || v > to)
        return -1;
    return v;
}

/* An IPv4 or IPv6 literal into a; false if text is neither. */
bool ParseAddress(const char *text, Address *a)
{
    if (inet_pton(AF_INET, text, a->bytes) == 1) {
        a->family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, text, a->bytes) == 1) {
        a->family = AF_INET6;
        return true;
    }
    return false;
}

/* The peer of a connected socket; false if it has none of either family. */
bool PeerOf(int fd, Address *a)
{
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return false;
    if (ss.ss_family == AF_INET) {
        a->family = AF_INET;
        memcpy(a->bytes, &reinterpret_cast<sockaddr_in *>(&ss)->sin_addr, 4);
        return true;
    }
    if (ss.ss_family != AF_INET6)
        return false;
    const in6_addr &v6 = reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        a->family = AF_INET;
        memcpy(a->bytes, v6.s6_addr + 12, 4);
    } else {
        a->family = AF_INET6;
        memcpy(a->bytes, v6.s6_addr, 16);
    }
    return true;
}

/* True when the first prefix bits of a and b agree. */
bool SamePrefix(const unsigned char *a, const unsigned char *b, int prefix)
{
    const int whole = prefix / 8;
    if (memcmp(a, b, static_cast<size_t>(whole)) != 0)
        return false;
    const int rest = prefix % 8;
    if (rest == 0)
        return true;
    const unsigned mask = (0xffu << (8 - rest)) & 0xffu;
    return ((a[whole] ^ b[whole]) & mask) == 0;
}

bool Allowed(const Address &peer)
{
    if (allowCount == 0)
        return true;
    for (int i = 0; i < allowCount; ++i)
        if (allow[i].net.family == peer.family &&
            SamePrefix(allow[i].net.bytes, peer.bytes, allow[i].prefix))
            return true;
    return false;
}

bool SameAddress(const Address &a, const Address &b)
{
    return a.family == b.family && memcmp(a.bytes, b.bytes, 16) == 0;
}

time_t MonotonicSeconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

/* The slot to note a refusal of peer in when it is to be logged now (the
 * first in a minute for that address), or nullptr.  Remembers the newest
 * kRefusalMemory addresses; a flood of distinct ones costs a line each,
 * which is what it is.  The caller notes the refusal (RefusalLogged) once
 * its line is out: an address noted before would stay unnamed for a minute
 * whenever its line did not get written. */
Refusal *RefusalToLog(const Address &peer)
{
    const time_t now = MonotonicSeconds();
    Refusal *slot = nullptr;
    for (Refusal &r : refusals) {
        if (r.used && SameAddress(r.peer, peer)) {
            if (now - r.last < kRefusalLogSeconds)
                return nullptr;
            return &r;
        }
        if (slot == nullptr || !r.used || (slot->used && r.last < slot->last))
            slot = &r;
    }
    return slot;
}

void RefusalLogged(Refusal *slot, const Address &peer)
{
    slot->peer = peer;
    slot->last = MonotonicSeconds();
    slot->used = true;
}

void SetOption(int fd, int level, int option, int value)
{
    (void)setsockopt(fd, level, option, &value, sizeof value);
}

} // namespace

namespace {

/* "IPv4[:port]", "IPv6" or "[IPv6][:port]" into *ss and *len; false if
 * text is none of them. */
bool ParseListen(const char *text, sockaddr_storage *ss, socklen_t *len)
{
    char host[INET6_ADDRSTRLEN + 8];
    if (strlen(text) >= sizeof host)
        return false;
    strcpy(host, text);
    const bool bracketed = host[0] == '[';
    char *portText = nullptr;
    if (bracketed) {
        char *close = strchr(host, ']');
        if (close == nullptr || (close[1] != '\0' && close[1] != ':'))
            return false;
        if (close[1] == ':')
            portText = close + 2;
        *close = '\0';
        memmove(host, host + 1, strlen(host));
    } else if (char *colon = strchr(host, ':'); colon != nullptr && strchr(colon + 1, ':') == nullptr) {
        // one colon: "v4:port"; more than one: a bare IPv6 address
        *colon = '\0';
        portText = colon + 1;
    }
    const long port = portText != nullptr ? ParseNumber(portText, 1, 65535) : MON_VIEWER_PORT;
    Address a;
    if (port < 0 || !ParseAddress(host, &a) || (bracketed && a.family != AF_INET6))
        return false;
    memset(ss, 0, sizeof *ss);
    if (a.family == AF_INET) {
        auto *in = reinterpret_cast<sockaddr_in *>(ss);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        memcpy(&in->sin_addr, a.bytes, 4);
        *len = sizeof(sockaddr_in);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(ss);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        memcpy(&in6->sin6_addr, a.bytes, 16);
        *len = sizeof(sockaddr_in6);
    }
    return true;
}

/* "address[/prefix]" into *r with the host bits cleared; false if text is
 * not that. */
bool ParseRange(const char *text, Range *r)
{
    char host[INET6_ADDRSTRLEN + 8];
    if (strlen(text) >= sizeof host)
        return false;
    strcpy(host, text);
    char *slash = strchr(host, '/');
    if (slash != nullptr)
        *slash = '\0';
    if (!ParseAddress(host, &r->net))
        return false;
    const int bits = 8 * Width(r->net.family);
    r->prefix = slash != nullptr ? static_cast<int>(ParseNumber(slash + 1, 0, bits)) : bits;
    if (r->prefix < 0)
        return false;
    // Keep the network part only, so that "10.1.2.3/8" means 10.0.0.0/8.
    for (int i = 0; i < 16; ++i) {
        const int keep = r->prefix - 8 * i;
        if (keep <= 0)
            r->net.bytes[i] = 0;
        else if (keep < 8)
            r->net.bytes[i] &= static_cast<unsigned char>(0xff << (8 - keep));
    }
    return true;
}

} // namespace

bool AccessAddListen(const char *text)
{
    if (listenCount == kAccessListenMax ||
        !ParseListen(text, &listenAddr[listenCount], &listenLen[listenCount])) {
        fprintf(stderr, "warden: cannot listen on %s\n", text);
        return false;
    }
    ++listenCount;
    return true;
}

bool AccessAddAllow(const char *text)
{
    if (allowCount == kAccessAllowMax || !ParseRange(text, &allow[allowCount])) {
        fprintf(stderr, "warden: cannot allow %s\n", text);
        return false;
    }
    ++allowCount;
    return true;
}

int AccessListenOn(const struct sockaddr *addr, socklen_t len)
{
    const int fd = socket(addr->sa_family, SOCK_STREAM, 0);
    if (fd < 0) {
        QxLogUpdate(WardenLog(), 1, 24, "socket() in %s: %m", "GUIOpen");
        return -1;
    }
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        (addr->sa_family == AF_INET6 &&
         setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) < 0)) {
        // IPv6-only: "::" and "0.0.0.0" can then be listened on side by side.
        QxLogUpdate(WardenLog(), 1, 24, "setsockopt() in %s: %m", "GUIOpen");
        close(fd);
        return -1;
    }
    for (int attempt = 1;; ++attempt) {
        if (bind(fd, addr, len) == 0)
            break;
        if (attempt == kBindAttempts)
            QxLogUpdate(WardenLog(), 1, 24, "bind() in %s: %m", "GUIOpen");
        sleep(kBindRetrySeconds);
        if (attempt == kBindAttempts) {
            close(fd);
            return -1;
        }
    }
    if (listen(fd, ViewerBacklog()) < 0) {
        QxLogUpdate(WardenLog(), 1, 24, "Error in %s (listen): %m", "GUIOpen");
        close(fd);
        return -1;
    }
    return fd;
}

/* The default listener, when no --listen was given: 0.0.0.0:5051. */
static int OpenDefaultListener()
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(MON_VIEWER_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    return AccessListenOn(reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
}

int AccessOpenListeners(int *fds)
{
    if (listenCount == 0) {
        fds[0] = OpenDefaultListener();
        return fds[0] >= 0 ? 1 : 0;
    }
    const int n = listenCount;
    for (int i = 0; i < n; ++i) {
        fds[i] = AccessListenOn(reinterpret_cast<const sockaddr *>(&listenAddr[i]), listenLen[i]);
        if (fds[i] < 0) {
            // Serving some of the addresses asked for would hide the fault.
            AccessCloseListeners(fds, i);
            return 0;
        }
        if (n > 1)
            (void)fcntl(fds[i], F_SETFL, fcntl(fds[i], F_GETFL) | O_NONBLOCK);
    }
    return n;
}

int AccessNextListener(const int *fds, int n)
{
    if (n <= 0)
        return -1;
    if (n == 1)
        return fds[0];
    pollfd p[kAccessListenMax];
    for (int i = 0; i < n; ++i)
        p[i] = pollfd{fds[i], POLLIN, 0};
    if (poll(p, static_cast<nfds_t>(n), -1) < 0) {
        if (errno == EINTR)
            return -2;
        QxLogUpdate(WardenLog(), 1, 24, "poll() in %s: %m", "GUIAccept");
        return -1;
    }
    // Begin after the socket served last, so one busy address cannot keep
    // the others waiting.
    static int next = 0;
    for (int k = 0; k < n; ++k) {
        const int i = (next + k) % n;
        if (p[i].revents != 0) {
            next = (i + 1) % n;
            return fds[i];
        }
    }
    return -2;
}

int AccessAccept(int listenFd, int flags, int *pauseMs)
{
    *pauseMs = 0;
    const int fd = accept4(listenFd, nullptr, nullptr, flags);
    if (fd >= 0)
        return fd;
    // EAGAIN: with non-blocking listening sockets the connection that poll
    // saw waiting went away before the accept, or the backlog is empty.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
        return -1;
    const int err = errno;
    QxLogUpdate(WardenLog(), 1, 24, "accept() in %s: %m", "GUIAccept");
    switch (err) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        // Short of descriptors or memory for the moment.
        *pauseMs = kAccessAcceptPauseMs;
        break;
    case ECONNABORTED: // errors of the one connection, or of the network:
    case EPROTO:       // the listening socket stays good
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
        break;
    default:
        *pauseMs = -1;
        break;
    }
    errno = err;
    return -1;
}

void AccessCloseListeners(const int *fds, int n)
{
    for (int i = 0; i < n; ++i)
        close(fds[i]);
}

bool AccessAdmit(int fd)
{
    Address peer;
    if (allowCount > 0 && !(PeerOf(fd, &peer) && Allowed(peer))) {
        Refusal *slot = peer.family != AF_UNSPEC ? RefusalToLog(peer) : nullptr;
        if (slot != nullptr) {
            char text[INET6_ADDRSTRLEN] = "?";
            inet_ntop(peer.family, peer.bytes, text, sizeof text);
            QxLogUpdate(WardenLog(), 1, 15, "%s: connection from %s refused", "GUIAccept", text);
            RefusalLogged(slot, peer);
        }
        return false;
    }
    SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdle);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepInterval);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
    return true;
}
