/*
 * sockdiag.h - whether a TCP connection still has an owner, asked of the
 * kernel (NETLINK_SOCK_DIAG) by its addresses: a client connection whose
 * socket is gone, or left with inode 0 (orphaned: closed by its last holder
 * and finishing its shutdown), has been closed by every process that held
 * it.  One exact lookup per connection, never a dump of all sockets.
 */
#ifndef QUELM_WATCH_SOCKDIAG_H
#define QUELM_WATCH_SOCKDIAG_H

#include <stdint.h>
#include <sys/socket.h>

namespace watch {

/* A NETLINK_SOCK_DIAG socket, or -1 (errno set). */
int SockDiagOpen();

/* The inode of the TCP socket whose own end is local and whose peer is
 * peer, asked on fd: 1 with *ino set (0 for an orphaned socket), 0 when
 * there is no such socket, -1 when the kernel could not be asked. */
int SockDiagInode(int fd, const sockaddr_storage &local, const sockaddr_storage &peer,
                  uint64_t *ino);

}  // namespace watch

#endif  // QUELM_WATCH_SOCKDIAG_H
