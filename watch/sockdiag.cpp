/*
 * sockdiag.cpp - one inet_diag request for one connection, answered from
 * the kernel's connection hash: its cost does not grow with the sockets the
 * system holds (a dump would walk every one of them, TIME_WAIT included).
 */
#include "sockdiag.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

namespace watch {

int SockDiagOpen()
{
    return socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
}

int SockDiagInode(int fd, const sockaddr_storage &local, const sockaddr_storage &peer,
                  uint64_t *ino)
{
    if (local.ss_family != peer.ss_family ||
        (local.ss_family != AF_INET && local.ss_family != AF_INET6)) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    struct {
        nlmsghdr nh;
        inet_diag_req_v2 req;
    } msg;
    memset(&msg, 0, sizeof msg);
    msg.nh.nlmsg_len = sizeof msg;
    msg.nh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nh.nlmsg_flags = NLM_F_REQUEST;
    msg.req.sdiag_family = static_cast<uint8_t>(local.ss_family);
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0u;
    inet_diag_sockid &id = msg.req.id;
    id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (local.ss_family == AF_INET) {
        const auto &l = reinterpret_cast<const sockaddr_in &>(local);
        const auto &p = reinterpret_cast<const sockaddr_in &>(peer);
        id.idiag_sport = l.sin_port;
        id.idiag_dport = p.sin_port;
        memcpy(id.idiag_src, &l.sin_addr, 4);
        memcpy(id.idiag_dst, &p.sin_addr, 4);
    } else {
        const auto &l = reinterpret_cast<const sockaddr_in6 &>(local);
        const auto &p = reinterpret_cast<const sockaddr_in6 &>(peer);
        id.idiag_sport = l.sin6_port;
        id.idiag_dport = p.sin6_port;
        memcpy(id.idiag_src, &l.sin6_addr, 16);
        memcpy(id.idiag_dst, &p.sin6_addr, 16);
    }
    sockaddr_nl nl;
    memset(&nl, 0, sizeof nl);
    nl.nl_family = AF_NETLINK;
    if (sendto(fd, &msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&nl), sizeof nl) < 0)
        return -1;
    alignas(nlmsghdr) char buf[1024];
    ssize_t r;
    do
        r = recv(fd, buf, sizeof buf, 0);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return -1;
    const auto *h = reinterpret_cast<const nlmsghdr *>(buf);
    if (!NLMSG_OK(h, static_cast<size_t>(r)))
        return -1;
    if (h->nlmsg_type == NLMSG_ERROR) {
        const auto *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
        if (e->error == -ENOENT)
            return 0;
        errno = -e->error;
        return -1;
    }
    *ino = static_cast<const inet_diag_msg *>(NLMSG_DATA(h))->idiag_inode;
    return 1;
}

}  // namespace watch
