/*
 * httpconns.h - inside the hub's HTTP server (not for its users): the table
 * of open connections, shared by the library's callbacks (httpserver.cpp)
 * and the thread that sweeps it for deadlines and stalled streams
 * (httpsweep.cpp).
 */
#ifndef WARDEN_HUB_HTTPCONNS_H
#define WARDEN_HUB_HTTPCONNS_H

#include "httpserver.h"

#include <microhttpd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

namespace hub {

using Clock = std::chrono::steady_clock;

enum class Phase { Header, Busy, Idle };

/* One open connection, from the library's start notice to its close. */
struct Conn {
    MHD_Connection *c = nullptr;
    int fd = -1;
    Clock::time_point since;  /* of the connect, or of the last reply's end */
    Phase phase = Phase::Header;
    bool closing = false;     /* shut down by the sweeper */
    bool stream = false;
    bool suspended = false;
    bool drop = false;        /* the stream is to end */
    uint32_t maxWindow = 0;   /* the largest receive window the peer offered */
    uint64_t lastUnread = 0;
    bool stalled = false;
    Clock::time_point stallSince;
};

struct HttpServer::Impl {
    HttpLimits lim;
    std::map<std::pair<std::string, std::string>, HttpHandler> routes;
    MHD_Daemon *daemon = nullptr;

    std::mutex mu;  /* the connection table; taken before the library's own locks */
    std::set<Conn *> conns;
    unsigned streams = 0;

    std::mutex smu;
    std::condition_variable scv;
    bool stopping = false;
    std::thread sweeper;

    void Sweep();
    void WatchStream(Conn *conn, Clock::time_point now);
};

}  // namespace hub

#endif /* WARDEN_HUB_HTTPCONNS_H */
