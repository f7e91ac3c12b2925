/*
 * httpsweep.cpp - the HTTP server's sweeping thread.  Once every quarter
 * second it walks the open connections and shuts down at the socket those
 * past a deadline: a request header not complete within its time from the
 * connect (a client sending one byte a second renews any inactivity
 * timeout), a kept-alive connection idle too long between requests, and an
 * event stream whose client takes none of what it is sent (the socket
 * buffers of both ends would absorb writes for minutes before any write
 * blocked).  The library then sees the end of the connection and closes it
 * in its own thread.
 */
#include "httpconns.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace hub {

/* Whether the client of a stream takes what it is sent: the part of the
 * peer's receive window in use (what arrived and was not read) plus what
 * is still in this side's send queue.  A client that reads brings that
 * down now and then; one that does not only sees it grow. */
void HttpServer::Impl::WatchStream(Conn *conn, Clock::time_point now)
{
    struct tcp_info ti;
    std::memset(&ti, 0, sizeof ti);
    socklen_t len = sizeof ti;
    int queued = 0;
    if (getsockopt(conn->fd, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0 ||
        len < offsetof(struct tcp_info, tcpi_snd_wnd) + sizeof ti.tcpi_snd_wnd || ioctl(conn->fd, SIOCOUTQ, &queued) != 0)
        return;
    conn->maxWindow = std::max(conn->maxWindow, ti.tcpi_snd_wnd);
    const uint64_t unread = uint64_t{conn->maxWindow - ti.tcpi_snd_wnd} + static_cast<uint64_t>(std::max(queued, 0));
    const bool taking = unread <= lim.unreadMax || unread < conn->lastUnread;
    conn->lastUnread = unread;
    if (taking) {
        conn->stalled = false;
    } else if (!conn->stalled) {
        conn->stalled = true;
        conn->stallSince = now;
    } else if (now - conn->stallSince >= std::chrono::seconds(lim.stallSeconds)) {
        conn->drop = true;
    }
}

void HttpServer::Impl::Sweep()
{
    std::unique_lock<std::mutex> slock(smu);
    while (!stopping) {
        scv.wait_for(slock, std::chrono::milliseconds(250));
        if (stopping)
            break;
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mu);
        for (Conn *conn : conns) {
            if (conn->closing || conn->fd < 0)
                continue;
            bool late = false;
            if (conn->phase == Phase::Header)
                late = now - conn->since >= std::chrono::seconds(lim.headerSeconds);
            else if (conn->phase == Phase::Idle)
                late = now - conn->since >= std::chrono::seconds(lim.idleSeconds);
            else if (conn->stream && !conn->drop)
                WatchStream(conn, now);
            if (conn->drop && conn->suspended) {
                conn->suspended = false;  /* its source is called, sees drop and ends */
                MHD_resume_connection(conn->c);
            }
            if (late || conn->drop) {
                conn->closing = true;
                (void)shutdown(conn->fd, SHUT_RDWR);
            }
        }
    }
}

}  // namespace hub
