/*
 * tracker.h - the bookkeeping behind the interposed calls (tracker.cpp):
 * each function is called after the real call succeeded, only for a
 * descriptor that concerns a watched connection, and keeps errno.
 */
#ifndef QUELM_WATCH_TRACKER_H
#define QUELM_WATCH_TRACKER_H

#include "watchtable.h"

#include <errno.h>
#include <sys/uio.h>

namespace watch {

/* Keeps errno for the server across our bookkeeping. */
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }

private:
    int saved_;
};

/* fd's map entry, 0 when it is not a watched connection: the whole cost of
 * an interposed call on any other descriptor. */
inline uint32_t EntryOfFd(int fd)
{
    return static_cast<unsigned>(fd) < static_cast<unsigned>(kMaxFd)
               ? fdMap[fd].load(std::memory_order_relaxed)
               : 0;
}

/* The session whose request this thread saw last and whose reply has not
 * been written yet (its map entry), 0 for none. */
extern __thread uint32_t currentEntry __attribute__((tls_model("initial-exec")));

/* A new client connection on fd (accept's address, if it gave one). */
void Claim(int fd, const sockaddr *addr, socklen_t addrLen);
/* n bytes read from / written to the client on fd, whose entry is e. */
void FromClient(int fd, uint32_t e, const void *buf, size_t n);
void ToClient(int fd, uint32_t e, const void *buf, size_t n);
/* The same for the r bytes a vectored call moved (in: read). */
void Vector(int fd, uint32_t e, const iovec *iov, size_t count, size_t r, bool in);
/* Bytes moved without passing through the server's memory. */
void Counted(uint32_t e, size_t n, bool in);
/* Descriptors that arrived in msg (SCM_RIGHTS). */
void Received(const msghdr *msg);
/* A connect on fd to addr (ok: done or begun). */
void Connected(int fd, const sockaddr *addr, socklen_t len, bool ok);
/* to became a copy of from. */
void Copied(int from, int to);
/* fd is about to be closed or replaced. */
void Closing(int fd);

}  // namespace watch

#endif  // QUELM_WATCH_TRACKER_H
