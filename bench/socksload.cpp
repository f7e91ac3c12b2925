// socksload.cpp - the SOCKS5 load generator and its source server; see
// socksload.h.
#include "socksload.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace socksload {
namespace {

constexpr size_t kChunk = 256 * 1024;
unsigned char zeros[kChunk];  // what the source sends

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One connection of the source: the count as it arrives, then the bytes left.
struct Conn {
    int fd;
    unsigned char head[8];
    unsigned got = 0;
    uint64_t left = 0;
};

void CloseConn(int ep, Conn *c)
{
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    delete c;
}

// Reads the count; then sends while the socket takes it.  False once the
// connection is done (closed here).
bool Serve(int ep, Conn *c)
{
    while (c->got < sizeof c->head) {
        const ssize_t r = read(c->fd, c->head + c->got, sizeof c->head - c->got);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
            CloseConn(ep, c);
            return false;
        }
        if (r < 0)
            return true;
        c->got += static_cast<unsigned>(r);
        if (c->got == sizeof c->head) {
            for (unsigned char b : c->head)
                c->left = c->left << 8 | b;
            epoll_event ev{};
            ev.events = EPOLLOUT;
            ev.data.ptr = c;
            epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
        }
    }
    while (c->left > 0) {
        const size_t n = c->left < kChunk ? static_cast<size_t>(c->left) : kChunk;
        const ssize_t w = write(c->fd, zeros, n);
        if (w < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (w <= 0) {
            CloseConn(ep, c);
            return false;
        }
        c->left -= static_cast<uint64_t>(w);
    }
    CloseConn(ep, c);
    return false;
}

bool ReadAll(int fd, void *p, size_t n)
{
    auto *b = static_cast<unsigned char *>(p);
    while (n > 0) {
        const ssize_t r = read(fd, b, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const void *p, size_t n)
{
    auto *b = static_cast<const unsigned char *>(p);
    while (n > 0) {
        const ssize_t w = write(fd, b, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        b += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// A connection to the proxy, or -1.
int Dial(const Proxy &proxy)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(proxy.port);
    if (inet_pton(AF_INET, proxy.host.c_str(), &a.sin_addr) != 1)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The greeting, the CONNECT and the count: true once the proxy has replied
// success and the count is on its way.
bool Handshake(int fd, uint16_t sourcePort, uint64_t bytes)
{
    const unsigned char hello[3] = {5, 1, 0};
    unsigned char choice[2];
    if (!WriteAll(fd, hello, sizeof hello) || !ReadAll(fd, choice, sizeof choice) ||
        choice[0] != 5 || choice[1] != 0)
        return false;
    const unsigned char req[10] = {5, 1, 0, 1, 127, 0, 0, 1,
                                   static_cast<unsigned char>(sourcePort >> 8),
                                   static_cast<unsigned char>(sourcePort & 0xff)};
    unsigned char rep[10];
    if (!WriteAll(fd, req, sizeof req) || !ReadAll(fd, rep, 4) || rep[0] != 5 || rep[1] != 0)
        return false;
    // The bound address: IPv4 (6 more bytes) or IPv6 (18).
    unsigned char rest[18];
    const size_t restLen = rep[3] == 4 ? 18 : rep[3] == 1 ? 6 : 0;
    if (restLen == 0 || !ReadAll(fd, rest, restLen))
        return false;
    unsigned char count[8];
    for (int i = 0; i < 8; ++i)
        count[i] = static_cast<unsigned char>(bytes >> (56 - 8 * i));
    return WriteAll(fd, count, sizeof count);
}

// Receives until the end: the bytes that came.
uint64_t Drain(int fd)
{
    static thread_local unsigned char buf[kChunk];
    uint64_t got = 0;
    for (;;) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return got;
        got += static_cast<uint64_t>(r);
    }
}

}  // namespace

bool Source::Start()
{
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const int one = 1;
    if (listenFd_ < 0)
        return false;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listenFd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(listenFd_, 1024) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        Stop();
        return false;
    }
    port_ = ntohs(a.sin_port);
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd_ < 0 || wakeFd_ < 0) {
        Stop();
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
    ev.data.ptr = &wakeFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void Source::Stop()
{
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    for (int *fd : {&listenFd_, &epollFd_, &wakeFd_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void Source::Loop()
{
    epoll_event evs[64];
    for (;;) {
        const int n = epoll_wait(epollFd_, evs, 64, -1);
        for (int i = 0; i < n; ++i) {
            void *p = evs[i].data.ptr;
            if (p == &wakeFd_)
                return;  // connections still open are the kernel's to close
            if (p == nullptr) {
                int c;
                while ((c = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >=
                       0) {
                    auto *conn = new Conn{c, {}, 0, 0};
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.ptr = conn;
                    epoll_ctl(epollFd_, EPOLL_CTL_ADD, c, &ev);
                }
                continue;
            }
            (void)Serve(epollFd_, static_cast<Conn *>(p));
        }
    }
}

bool Session(int fd, uint16_t sourcePort, uint64_t bytes)
{
    return Handshake(fd, sourcePort, bytes) && Drain(fd) == bytes;
}

ShortResult RunShort(const Proxy &proxy, uint16_t sourcePort, uint64_t bytes, int clients,
                     double seconds, uint64_t count)
{
    std::atomic<uint64_t> done{0}, failed{0}, begun{0};
    const double start = Now();
    const double end = seconds > 0 ? start + seconds : 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            for (;;) {
                if (count > 0 && begun.fetch_add(1) >= count)
                    return;
                if (end > 0 && Now() >= end)
                    return;
                const int fd = Dial(proxy);
                const bool ok = fd >= 0 && Session(fd, sourcePort, bytes);
                if (fd >= 0)
                    close(fd);
                (ok ? done : failed).fetch_add(1);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    ShortResult r;
    r.sessions = done.load();
    r.failures = failed.load();
    r.seconds = Now() - start;
    return r;
}

BulkResult RunBulk(const Proxy &proxy, uint16_t sourcePort, uint64_t bytes)
{
    BulkResult r;
    const double start = Now();
    const int fd = Dial(proxy);
    if (fd < 0)
        return r;
    if (Handshake(fd, sourcePort, bytes))
        r.bytes = Drain(fd);
    close(fd);
    r.seconds = Now() - start;
    r.ok = r.bytes == bytes;
    return r;
}

}  // namespace socksload
