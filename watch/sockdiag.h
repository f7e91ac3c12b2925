/*
 * sockdiag.h - which TCP sockets of this network namespace still have an
 * owner, asked of the kernel (NETLINK_SOCK_DIAG): a client connection whose
 * inode is not among them has been closed by every process that held it.
 */
#ifndef QUELM_WATCH_SOCKDIAG_H
#define QUELM_WATCH_SOCKDIAG_H

#include <stddef.h>
#include <stdint.h>

namespace watch {

/* A growing, sorted set of inodes. */
struct InodeSet {
    uint64_t *v = nullptr;
    size_t n = 0;
    size_t cap = 0;
};

/* Fills set with the inodes of every IPv4 and IPv6 TCP socket that is not
 * listening, in TIME_WAIT or closed and that a descriptor still refers to,
 * sorted: true, or false (errno set) when the kernel could not be asked;
 * the set is then of no use. */
bool SockDiagInodes(InodeSet *set);

/* Whether ino is in the set. */
bool InodeSetHas(const InodeSet *set, uint64_t ino);

}  // namespace watch

#endif  // QUELM_WATCH_SOCKDIAG_H
