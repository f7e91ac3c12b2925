/*
 * sockdiag.cpp - the TCP socket inodes of the namespace, from one
 * inet_diag dump per address family.  The kernel gives an orphaned socket
 * (closed by its last holder, still finishing its shutdown) the inode 0, so
 * it is not counted as held.
 */
#include "sockdiag.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace watch {

namespace {

bool Add(InodeSet *set, uint64_t ino)
{
    if (set->n == set->cap) {
        const size_t cap = set->cap != 0 ? set->cap * 2 : 1024;
        void *v = realloc(set->v, cap * sizeof *set->v);
        if (v == nullptr)
            return false;
        set->v = static_cast<uint64_t *>(v);
        set->cap = cap;
    }
    set->v[set->n++] = ino;
    return true;
}

int Compare(const void *a, const void *b)
{
    const uint64_t x = *static_cast<const uint64_t *>(a), y = *static_cast<const uint64_t *>(b);
    return x < y ? -1 : x > y;
}

/* One family's dump into set: true when it reached its end. */
bool Dump(int fd, uint8_t family, InodeSet *set)
{
    struct {
        nlmsghdr nh;
        inet_diag_req_v2 req;
    } msg;
    memset(&msg, 0, sizeof msg);
    msg.nh.nlmsg_len = sizeof msg;
    msg.nh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    msg.req.sdiag_family = family;
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = 0xfffu & ~(1u << TCP_LISTEN | 1u << TCP_TIME_WAIT | 1u << TCP_CLOSE);
    sockaddr_nl nl;
    memset(&nl, 0, sizeof nl);
    nl.nl_family = AF_NETLINK;
    if (sendto(fd, &msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&nl), sizeof nl) < 0)
        return false;
    alignas(nlmsghdr) char buf[32768];
    for (;;) {
        const ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        size_t left = static_cast<size_t>(r);
        for (auto *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE)
                return true;
            if (h->nlmsg_type == NLMSG_ERROR) {
                errno = EPROTO;
                return false;
            }
            const auto *d = static_cast<const inet_diag_msg *>(NLMSG_DATA(h));
            if (d->idiag_inode != 0 && !Add(set, d->idiag_inode))
                return false;
        }
    }
}

}  // namespace

bool SockDiagInodes(InodeSet *set)
{
    set->n = 0;
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    const bool ok = Dump(fd, AF_INET, set) && Dump(fd, AF_INET6, set);
    const int err = errno;
    close(fd);
    errno = err;
    if (ok)
        qsort(set->v, set->n, sizeof *set->v, Compare);
    return ok;
}

bool InodeSetHas(const InodeSet *set, uint64_t ino)
{
    return set->n != 0 && bsearch(&ino, set->v, set->n, sizeof *set->v, Compare) != nullptr;
}

}  // namespace watch
