// socksload.h - a SOCKS5 load generator for the benchmarks: short sessions
// (greeting, CONNECT, N bytes, close) from K concurrent clients for a time
// or a count, and one bulk transfer of N bytes, through a SOCKS5 server at
// an address, to a source server of its own on loopback.
//
// The source server (Source) runs on 127.0.0.1 in a thread of the calling
// process: each connection sends 8 bytes, a big-endian byte count, and gets
// that many bytes back before the server closes.  So a session's bytes all
// flow server to client, as a download does, and a client knows when its
// session is whole without any framing through the proxy.
//
// Self-contained: libc, the C++ standard library and pthreads only.
#ifndef QUELM_BENCH_SOCKSLOAD_H
#define QUELM_BENCH_SOCKSLOAD_H

#include <cstdint>
#include <string>
#include <thread>

namespace socksload {

// The source server.  Start binds 127.0.0.1 on a free port and serves from
// a thread of its own (one epoll loop, non-blocking sockets) until Stop or
// the destructor.
class Source {
public:
    Source() = default;
    ~Source() { Stop(); }
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    // True once listening; port() then names the port.
    bool Start();
    void Stop();
    uint16_t port() const { return port_; }

private:
    void Loop();
    int listenFd_ = -1;
    int epollFd_ = -1;
    int wakeFd_ = -1;  // an eventfd that ends the loop
    uint16_t port_ = 0;
    std::thread thread_;
};

// Where the SOCKS5 server listens: an IPv4 address in dotted form (loopback
// only, by the benchmarks' rule) and a port.
struct Proxy {
    std::string host = "127.0.0.1";
    uint16_t port = 1080;
};

struct ShortResult {
    uint64_t sessions = 0;  // sessions that moved all their bytes
    uint64_t failures = 0;  // sessions refused, cut or short
    double seconds = 0;     // wall time from the first connect to the last close
};

// Runs short sessions of `bytes` bytes each through proxy to the source at
// sourcePort, from `clients` threads at once, until `seconds` have passed
// (when > 0) or `count` sessions were made in all (when > 0), whichever
// comes first.  Each session: connect, greeting without authentication,
// CONNECT 127.0.0.1:sourcePort, the 8-byte count, the bytes until the end,
// close.
ShortResult RunShort(const Proxy &proxy, uint16_t sourcePort, uint64_t bytes, int clients,
                     double seconds, uint64_t count);

struct BulkResult {
    bool ok = false;     // all bytes arrived
    uint64_t bytes = 0;  // bytes received
    double seconds = 0;  // from the connect to the last byte
};

// One session through proxy that receives `bytes` bytes from the source.
BulkResult RunBulk(const Proxy &proxy, uint16_t sourcePort, uint64_t bytes);

// One short session on a socket already connected: true when it moved all
// its bytes.  For callers that open their own connections.
bool Session(int fd, uint16_t sourcePort, uint64_t bytes);

}  // namespace socksload

#endif  // QUELM_BENCH_SOCKSLOAD_H
