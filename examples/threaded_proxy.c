/*
 * threaded_proxy.c - the smallest useful threaded SOCKS5 proxy that reports
 * to warden: RFC 1928 CONNECT without authentication, one thread per client,
 * each thread with a reporting handle of its own.  It shows the calls a
 * threaded proxy needs and nothing else: no options, no login, no timeouts.
 *
 * Usage: threaded_proxy PORT    (listens on 127.0.0.1:PORT until killed)
 *
 * The reporting, as socks5-demo does it:
 *   QxSocksMonOpen / QxSocksMonClose   per thread, from that thread
 *   QxMonAddrFromSockaddr              client, destination, own end
 *   QxSocksMonReport + MonCounts_t     64-bit byte counters, never wrapping
 *   QxSocksMonDueIn / QxSocksMonSendDue  the relay's poll timeout sends what
 *                                      the throttle held back, so the
 *                                      counters warden shows stay fresh
 *   QxSocksReplyText                   the status text of a reply code
 */
#define _POSIX_C_SOURCE 200809L

#include <quelm/monitor.h>

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define BUF_SIZE 16384
#define REPORT_INTERVAL 1 /* seconds between two sends of a record */

struct session {
    int client;
    int remote;
    struct sockaddr_storage peer;
    MonHandle_t *mon; /* null when warden is not running */
    MonConnInfo_t info;
    MonCounts_t counts; /* runCountA up (client to destination), B down */
};

/* Reads exactly len bytes: 0, or -1 when the client went away. */
/* 0 with --no-monitor: the same proxy without reporting, for comparisons. */
static int monitor = 1;

static int read_full(int fd, void *buf, size_t len)
{
    unsigned char *p = buf;
    while (len > 0) {
        ssize_t r = read(fd, p, len);
        if (r <= 0)
            return -1;
        p += r;
        len -= (size_t)r;
    }
    return 0;
}

/* Writes all of buf: 0, or -1 on error. */
static int write_full(int fd, const void *buf, size_t len)
{
    const unsigned char *p = buf;
    while (len > 0) {
        ssize_t w = write(fd, p, len);
        if (w <= 0)
            return -1;
        p += w;
        len -= (size_t)w;
    }
    return 0;
}

/* One report; a report that cannot be delivered only costs its news. */
static void report(struct session *s, int flags, int status)
{
    if (s->mon != NULL)
        (void)QxSocksMonReport(s->mon, flags, &s->info, &s->counts, 0, NULL, status,
                               (flags & MON_FLAG_STATUS) ? QxSocksReplyText(status) : NULL);
}

/* Reads the request and connects to its destination: the reply code. */
static int connect_request(struct session *s)
{
    unsigned char hdr[4], len, port[2];
    char host[256], service[8];
    struct addrinfo hints, *res = NULL, *ai;
    int rep = 4; /* Host unreachable */

    if (read_full(s->client, hdr, 4) < 0 || hdr[0] != 5)
        return -1;
    if (hdr[3] == 1) {
        unsigned char a[4];
        if (read_full(s->client, a, 4) < 0)
            return -1;
        snprintf(host, sizeof host, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    } else if (hdr[3] == 3) {
        if (read_full(s->client, &len, 1) < 0 || read_full(s->client, host, len) < 0)
            return -1;
        host[len] = '\0';
    } else {
        return 8; /* Address type not supported (an IPv6 request is left out) */
    }
    if (read_full(s->client, port, 2) < 0)
        return -1;
    snprintf(service, sizeof service, "%u", (unsigned)(port[0] << 8 | port[1]));
    snprintf(s->info.text2, sizeof s->info.text2, "%.100s:%s", host, service);
    snprintf(s->info.text3, sizeof s->info.text3, "%s", hdr[1] == 1 ? "CONNECT" : "?");
    s->info.code2 = hdr[1];
    s->info.code1 = hdr[3];
    report(s, MON_FLAG_START, 0);
    if (hdr[1] != 1)
        return 7; /* Command not supported */

    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, service, &hints, &res) != 0)
        return 4;
    for (ai = res; ai != NULL; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, SOCK_STREAM, 0);
        if (fd < 0)
            continue;
        (void)QxMonAddrFromSockaddr(s->info.addrB, ai->ai_addr);
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            struct sockaddr_storage local;
            socklen_t localLen = sizeof local;
            if (getsockname(fd, (struct sockaddr *)&local, &localLen) == 0)
                (void)QxMonAddrFromSockaddr(s->info.addrC, (struct sockaddr *)&local);
            s->remote = fd;
            rep = 0;
            break;
        }
        rep = 5; /* Connection refused */
        close(fd);
    }
    freeaddrinfo(res);
    return rep;
}

/* Moves bytes both ways until both have ended or one fails.  Waits at most
 * until the library has a held-back report due, then has it sent. */
static void relay(struct session *s)
{
    unsigned char buf[BUF_SIZE];
    int open[2] = {1, 1}; /* client->remote, remote->client */

    while (open[0] || open[1]) {
        struct pollfd fds[2];
        int due = s->mon != NULL ? QxSocksMonDueIn(s->mon) : -1;
        int i;
        fds[0].fd = open[0] ? s->client : -1;
        fds[1].fd = open[1] ? s->remote : -1;
        fds[0].events = fds[1].events = POLLIN;
        if (poll(fds, 2, due < 0 ? -1 : due * 1000) < 0)
            return;
        for (i = 0; i < 2; ++i) {
            int from = i == 0 ? s->client : s->remote, to = i == 0 ? s->remote : s->client;
            ssize_t r;
            if (!open[i] || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            r = read(from, buf, sizeof buf);
            if (r <= 0) {
                open[i] = 0;
                shutdown(to, SHUT_WR);
                continue;
            }
            if (write_full(to, buf, (size_t)r) < 0)
                return;
            if (i == 0)
                s->counts.runCountA += (uint64_t)r;
            else
                s->counts.runCountB += (uint64_t)r;
            /* Every chunk is reported: the throttle decides what is sent. */
            report(s, MON_FLAG_UPDATE, 0);
        }
        if (s->mon != NULL && QxSocksMonDueIn(s->mon) == 0)
            (void)QxSocksMonSendDue(s->mon);
    }
}

static void *session_thread(void *arg)
{
    struct session *s = arg;
    unsigned char greeting[2], methods[255];
    static const unsigned char choice[2] = {5, 0};
    unsigned char reply[10] = {5, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    int rep;

    /* Opened and closed in this thread: other threads do the same at once. */
    if (monitor && QxSocksMonOpen("threaded_proxy", MON_TRANSPORT_FIFO, &s->mon) == 0)
        (void)QxSocksMonSetThrottle(s->mon, 4, REPORT_INTERVAL);
    memset(&s->info, 0, sizeof s->info);
    (void)QxMonAddrFromSockaddr(s->info.addrA, (struct sockaddr *)&s->peer);
    snprintf(s->info.text4, sizeof s->info.text4, "threaded_proxy");

    if (read_full(s->client, greeting, 2) == 0 && greeting[0] == 5 &&
        read_full(s->client, methods, greeting[1]) == 0 && write_full(s->client, choice, 2) == 0 &&
        (rep = connect_request(s)) >= 0) {
        reply[1] = (unsigned char)rep;
        if (write_full(s->client, reply, sizeof reply) == 0 && rep == 0) {
            report(s, MON_FLAG_STATUS, 0);
            relay(s);
            report(s, MON_FLAG_END, 0);
        } else {
            report(s, MON_FLAG_STATUS | MON_FLAG_END, rep);
        }
    }
    if (s->mon != NULL)
        QxSocksMonClose(s->mon);
    if (s->remote >= 0)
        close(s->remote);
    close(s->client);
    free(s);
    return NULL;
}

int main(int argc, char **argv)
{
    struct sockaddr_in addr;
    int one = 1, fd;

    if (argc == 3 && strcmp(argv[2], "--no-monitor") == 0)
        monitor = 0;
    else if (argc != 2) {
        fprintf(stderr, "usage: threaded_proxy PORT [--no-monitor]\n");
        return 2;
    }
    /* A client that goes away must not kill the proxy; the library then
     * spends no system calls on guarding its writes to warden either. */
    signal(SIGPIPE, SIG_IGN);
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)atoi(argv[1]));
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        bind(fd, (struct sockaddr *)&addr, sizeof addr) < 0 || listen(fd, 64) < 0) {
        perror("threaded_proxy");
        return 1;
    }
    for (;;) {
        struct session *s = calloc(1, sizeof *s);
        socklen_t len = sizeof s->peer;
        pthread_t tid;
        if (s == NULL)
            return 1;
        s->remote = -1;
        s->client = accept(fd, (struct sockaddr *)&s->peer, &len);
        if (s->client < 0 || pthread_create(&tid, NULL, session_thread, s) != 0) {
            if (s->client >= 0)
                close(s->client);
            free(s);
            continue;
        }
        pthread_detach(tid);
    }
}
