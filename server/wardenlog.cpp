/*
 * wardenlog.cpp - owns the daemon's log handle.  It is process-wide state
 * written once by the main process before any worker is forked, so every
 * process of the daemon reads the same handle without a lock.
 */
#include "wardenlog.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>

namespace {

constexpr int kDaemonLevel = 3; // errors pass; the level-4 restart notice does not

LogHandle_t *daemonLog = nullptr;

} // namespace

void WardenLogStart(int flags)
{
    QxLogStart(&QxLogDefaultHandle, flags, kDaemonLevel, "");
    QxLogStart(&daemonLog, flags, kDaemonLevel, "");
}

LogHandle_t *WardenLog(void)
{
    return daemonLog;
}

/* One line once the viewer port is open, so that whoever started warden in
 * the foreground sees it is ready: where proxies report, where viewers
 * connect (the addresses as bound). */
void WardenLogServing(const int *fds, int n)
{
    char where[16 * (INET6_ADDRSTRLEN + 10)] = "";
    size_t len = 0;
    for (int i = 0; i < n; ++i) {
        sockaddr_storage ss{};
        socklen_t sl = sizeof ss;
        char host[INET6_ADDRSTRLEN] = "?";
        unsigned port = 0;
        if (getsockname(fds[i], reinterpret_cast<sockaddr *>(&ss), &sl) == 0) {
            if (ss.ss_family == AF_INET6) {
                const auto *a = reinterpret_cast<const sockaddr_in6 *>(&ss);
                inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
                port = ntohs(a->sin6_port);
            } else if (ss.ss_family == AF_INET) {
                const auto *a = reinterpret_cast<const sockaddr_in *>(&ss);
                inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
                port = ntohs(a->sin_port);
            }
        }
        const char *form = ss.ss_family == AF_INET6 ? "%s[%s]:%u" : "%s%s:%u";
        const int w = snprintf(where + len, sizeof where - len, form, i > 0 ? " " : "", host, port);
        if (w < 0 || static_cast<size_t>(w) >= sizeof where - len)
            break;
        len += static_cast<size_t>(w);
    }
    QxLogUpdate(WardenLog(), 2, 42, "warden serves: reports from /tmp/mon.fifo, viewers on %s", where);
}
