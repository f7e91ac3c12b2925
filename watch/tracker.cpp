/*
 * tracker.cpp - what the interposed calls do for a watched client
 * connection: claim its slot at accept, feed the handshake parser with the
 * bytes the server reads and writes, count the bytes after the handshake,
 * follow the descriptor through dup and through another process (by the
 * socket's inode), and note the outbound connect.  No lock, no allocation;
 * the few system calls here (fstat, getpeername, getsockname) are made for
 * accepted and passed connections only, never per read or write.
 */
#include "tracker.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

namespace watch {

Shared *shared = nullptr;
std::atomic<uint32_t> fdMap[kMaxFd];

/* The session whose request this thread saw last and whose reply has not
 * been written yet: a connect the thread makes meanwhile is its outbound
 * connection.  Initial-exec, so that reaching it never allocates. */
__thread uint32_t currentEntry __attribute__((tls_model("initial-exec"))) = 0;

namespace {

/* Forgets fd's session in this process and has the reporter look at the
 * session's liveness soon. */
void Unmap(int fd)
{
    if (Slot *s = SlotOfEntry(fdMap[fd].load(std::memory_order_relaxed)))
        s->closes.fetch_add(1, std::memory_order_relaxed);
    fdMap[fd].store(0, std::memory_order_relaxed);
}

/* Marks a session that turned out not to be SOCKS: the reporter frees it. */
void Drop(Slot *s, int fd)
{
    s->state.store(kDropped, std::memory_order_release);
    fdMap[fd].store(0, std::memory_order_relaxed);
}

}  // namespace

/* A new client connection on fd: claims a slot for it.  Nothing happens
 * when the table is full or fd is not an Internet stream socket. */
void Claim(int fd, const sockaddr *addr, socklen_t addrLen)
{
    if (shared == nullptr || static_cast<unsigned>(fd) >= static_cast<unsigned>(kMaxFd))
        return;
    ErrnoKeeper keep;
    struct sockaddr_storage peer;
    socklen_t len = sizeof peer;
    if (addr != nullptr && addrLen >= sizeof(sa_family_t) && addrLen <= sizeof peer) {
        memset(&peer, 0, sizeof peer);
        memcpy(&peer, addr, addrLen);
    } else if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0) {
        return;
    }
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6)
        return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
        return;
    const uint32_t start = shared->rover.fetch_add(1, std::memory_order_relaxed);
    for (uint32_t i = 0; i < kSlots; ++i) {
        const uint32_t n = (start + i) % kSlots;
        Slot *s = &shared->slots[n];
        uint32_t expect = kFree;
        if (!s->state.compare_exchange_strong(expect, kClaimed, std::memory_order_acquire))
            continue;
        s->inode = st.st_ino;
        s->startTime = time(nullptr);
        s->peer = peer;
        socklen_t ll = sizeof s->local;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&s->local), &ll) != 0)
            memset(&s->local, 0, sizeof s->local);
        memset(&s->outPeer, 0, sizeof s->outPeer);
        memset(&s->outLocal, 0, sizeof s->outLocal);
        memset(&s->parse, 0, sizeof s->parse);
        s->fromClient.store(0, std::memory_order_relaxed);
        s->toClient.store(0, std::memory_order_relaxed);
        uint32_t hw = shared->highWater.load(std::memory_order_relaxed);
        while (hw < n + 1 && !shared->highWater.compare_exchange_weak(hw, n + 1)) {}
        const uint32_t gen = s->gen.load(std::memory_order_relaxed);
        s->state.store(kLive, std::memory_order_release);
        fdMap[fd].store(EntryOf(n, gen), std::memory_order_relaxed);
        EnsureReporter();
        return;
    }
}

/* n bytes the server read from its client on fd (from the map entry e). */
void FromClient(int fd, uint32_t e, const void *buf, size_t n)
{
    Slot *s = SlotOfEntry(e);
    if (s == nullptr || s->state.load(std::memory_order_acquire) != kLive) {
        fdMap[fd].store(0, std::memory_order_relaxed);
        return;
    }
    SocksParse_t *p = &s->parse;
    if ((p->done & SP_REQUEST) == 0) {
        const size_t took = SocksParseClient(p, static_cast<const uint8_t *>(buf), n);
        if (p->done & SP_BAD) {
            Drop(s, fd);
            return;
        }
        n -= took;
        if ((p->done & SP_REQUEST) == 0)
            return;
        currentEntry = e;
    }
    if (n != 0)
        s->fromClient.fetch_add(n, std::memory_order_relaxed);
}

/* n bytes the server wrote to its client on fd. */
void ToClient(int fd, uint32_t e, const void *buf, size_t n)
{
    Slot *s = SlotOfEntry(e);
    if (s == nullptr || s->state.load(std::memory_order_acquire) != kLive) {
        fdMap[fd].store(0, std::memory_order_relaxed);
        return;
    }
    SocksParse_t *p = &s->parse;
    if ((p->done & (SP_REPLY | SP_AUTHFAIL)) == 0) {
        const size_t took = SocksParseServer(p, static_cast<const uint8_t *>(buf), n);
        if (p->done & (SP_BAD | SP_NOMETHOD)) {
            Drop(s, fd);
            return;
        }
        n -= took;
        if ((p->done & SP_REPLY) == 0)
            return;
        if (currentEntry == e)
            currentEntry = 0;
    }
    if (n != 0)
        s->toClient.fetch_add(n, std::memory_order_relaxed);
}

/* The same for the r bytes a vectored call moved. */
void Vector(int fd, uint32_t e, const iovec *iov, size_t count, size_t r, bool in)
{
    for (size_t i = 0; i < count && r != 0; ++i) {
        const size_t n = iov[i].iov_len < r ? iov[i].iov_len : r;
        if (in)
            FromClient(fd, e, iov[i].iov_base, n);
        else
            ToClient(fd, e, iov[i].iov_base, n);
        r -= n;
    }
}

/* Counts bytes that moved without passing through the server's memory
 * (splice, sendfile): only data after the handshake can move so. */
void Counted(uint32_t e, size_t n, bool in)
{
    Slot *s = SlotOfEntry(e);
    if (s == nullptr)
        return;
    (in ? s->fromClient : s->toClient).fetch_add(n, std::memory_order_relaxed);
}

/* Descriptors another process passed in msg: a client connection whose
 * session the family watches is mapped here too, found by its inode. */
void Received(const msghdr *msg)
{
    if (shared == nullptr || msg->msg_controllen == 0)
        return;
    ErrnoKeeper keep;
    const uint32_t hw = shared->highWater.load(std::memory_order_acquire);
    for (cmsghdr *c = CMSG_FIRSTHDR(const_cast<msghdr *>(msg)); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr *>(msg), c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
            struct stat st;
            if (static_cast<unsigned>(fd) >= static_cast<unsigned>(kMaxFd) || fstat(fd, &st) != 0 ||
                !S_ISSOCK(st.st_mode))
                continue;
            for (uint32_t n = 0; n < hw; ++n) {
                Slot *s = &shared->slots[n];
                if (s->state.load(std::memory_order_acquire) != kLive || s->inode != st.st_ino)
                    continue;
                const uint32_t e = EntryOf(n, s->gen.load(std::memory_order_relaxed));
                fdMap[fd].store(e, std::memory_order_relaxed);
                if ((s->parse.done & SP_REQUEST) && !(s->parse.done & SP_REPLY))
                    currentEntry = e;
                break;
            }
        }
    }
}

/* A connect the server made (ok: or began) on fd: when this thread is
 * between a session's request and its reply, the session's outbound
 * connection; after a failed one, the address tried last. */
void Connected(int fd, const sockaddr *addr, socklen_t len, bool ok)
{
    Slot *s = SlotOfEntry(currentEntry);
    if (s == nullptr || addr == nullptr || (addr->sa_family != AF_INET && addr->sa_family != AF_INET6) ||
        len > sizeof(sockaddr_storage))
        return;
    ErrnoKeeper keep;
    // No check of the socket's type: a name lookup's datagram "connect"
    // comes before the stream connect that replaces it.
    memset(&s->outPeer, 0, sizeof s->outPeer);
    memcpy(&s->outPeer, addr, len);
    socklen_t ll = sizeof s->outLocal;
    memset(&s->outLocal, 0, sizeof s->outLocal);
    if (ok)
        (void)getsockname(fd, reinterpret_cast<sockaddr *>(&s->outLocal), &ll);
    s->outSeq.fetch_add(1, std::memory_order_release);
}

/* A descriptor made as a copy of another (dup and friends). */
void Copied(int from, int to)
{
    if (static_cast<unsigned>(to) >= static_cast<unsigned>(kMaxFd))
        return;
    fdMap[to].store(EntryOfFd(from), std::memory_order_relaxed);
}

/* fd is about to be closed or replaced. */
void Closing(int fd)
{
    if (EntryOfFd(fd) != 0)
        Unmap(fd);
}

}  // namespace watch
