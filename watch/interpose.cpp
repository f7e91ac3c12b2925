/*
 * interpose.cpp - the socket calls warden-watch interposes in a watched
 * server.  Each calls the next definition (resolved once, when the library
 * loads) and then, only for a descriptor the map marks as a watched client
 * connection, feeds the handshake parser or adds to the byte counts.  An
 * unwatched descriptor costs one array load; errno is the real call's.
 */
#include "tracker.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/uio.h>
#include <unistd.h>

#define WATCH_EXPORT extern "C" __attribute__((visibility("default")))

using namespace watch;

namespace {

/* The next definitions of the interposed calls. */
struct Real {
    int (*accept)(int, sockaddr *, socklen_t *);
    int (*accept4)(int, sockaddr *, socklen_t *, int);
    ssize_t (*read)(int, void *, size_t);
    ssize_t (*read_chk)(int, void *, size_t, size_t);
    ssize_t (*recv)(int, void *, size_t, int);
    ssize_t (*recv_chk)(int, void *, size_t, size_t, int);
    ssize_t (*recvfrom)(int, void *, size_t, int, sockaddr *, socklen_t *);
    ssize_t (*recvfrom_chk)(int, void *, size_t, size_t, int, sockaddr *, socklen_t *);
    ssize_t (*recvmsg)(int, msghdr *, int);
    ssize_t (*readv)(int, const iovec *, int);
    ssize_t (*write)(int, const void *, size_t);
    ssize_t (*send)(int, const void *, size_t, int);
    ssize_t (*sendto)(int, const void *, size_t, int, const sockaddr *, socklen_t);
    ssize_t (*sendmsg)(int, const msghdr *, int);
    ssize_t (*writev)(int, const iovec *, int);
    ssize_t (*splice)(int, loff_t *, int, loff_t *, size_t, unsigned);
    ssize_t (*sendfile)(int, int, off_t *, size_t);
    ssize_t (*sendfile64)(int, int, off_t *, size_t);
    int (*connect)(int, const sockaddr *, socklen_t);
    int (*shutdown)(int, int);
    int (*close)(int);
    int (*dup)(int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
    int (*fcntl)(int, int, ...);
    int (*fcntl64)(int, int, ...);
} real;

template <class F>
void Resolve(F &slot, const char *name)
{
    slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

/* Resolves every next definition; runs when the library loads, before the
 * program's own code, and again (harmlessly) if an interposed call comes
 * earlier from another library's constructor. */
void ResolveAll()
{
    Resolve(real.accept, "accept");
    Resolve(real.accept4, "accept4");
    Resolve(real.read, "read");
    Resolve(real.read_chk, "__read_chk");
    Resolve(real.recv, "recv");
    Resolve(real.recv_chk, "__recv_chk");
    Resolve(real.recvfrom, "recvfrom");
    Resolve(real.recvfrom_chk, "__recvfrom_chk");
    Resolve(real.recvmsg, "recvmsg");
    Resolve(real.readv, "readv");
    Resolve(real.write, "write");
    Resolve(real.send, "send");
    Resolve(real.sendto, "sendto");
    Resolve(real.sendmsg, "sendmsg");
    Resolve(real.writev, "writev");
    Resolve(real.splice, "splice");
    Resolve(real.sendfile, "sendfile");
    Resolve(real.sendfile64, "sendfile64");
    Resolve(real.connect, "connect");
    Resolve(real.shutdown, "shutdown");
    Resolve(real.close, "close");
    Resolve(real.dup, "dup");
    Resolve(real.dup2, "dup2");
    Resolve(real.dup3, "dup3");
    Resolve(real.fcntl, "fcntl");
    Resolve(real.fcntl64, "fcntl64");
}

#define NEXT(name) (real.name != nullptr ? real.name : (ResolveAll(), real.name))

__attribute__((constructor)) void WatchLoad()
{
    ResolveAll();
    // Made before the program runs, so that every process it forks shares
    // it.  Pages are touched only as slots are used.
    void *m = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m != MAP_FAILED)
        shared = static_cast<Shared *>(m);
    // Fork handlers rather than an interposed fork: they also run for the
    // forks inside libc (daemon(), system()), which no interposition sees.
    // The reporter's lock is not held across a fork, so a child that later
    // takes over reporting finds it free.
    pthread_atfork(ReporterLock, ReporterUnlock, ReporterAfterFork);
}
}  // namespace

/* ------------------------------------------------------------------ */

WATCH_EXPORT int accept(int fd, sockaddr *addr, socklen_t *len)
{
    const int r = NEXT(accept)(fd, addr, len);
    if (r >= 0)
        Claim(r, addr, len != nullptr ? *len : 0);
    return r;
}

WATCH_EXPORT int accept4(int fd, sockaddr *addr, socklen_t *len, int flags)
{
    const int r = NEXT(accept4)(fd, addr, len, flags);
    if (r >= 0)
        Claim(r, addr, len != nullptr ? *len : 0);
    return r;
}

#define AFTER_IN(fd, buf, r)                                  \
    do {                                                      \
        const uint32_t e_ = EntryOfFd(fd);                    \
        if (e_ != 0 && (r) > 0) {                             \
            ErrnoKeeper keep_;                                \
            FromClient(fd, e_, buf, static_cast<size_t>(r));  \
        }                                                     \
    } while (0)

#define AFTER_OUT(fd, buf, r)                                 \
    do {                                                      \
        const uint32_t e_ = EntryOfFd(fd);                    \
        if (e_ != 0 && (r) > 0) {                             \
            ErrnoKeeper keep_;                                \
            ToClient(fd, e_, buf, static_cast<size_t>(r));    \
        }                                                     \
    } while (0)

WATCH_EXPORT ssize_t read(int fd, void *buf, size_t n)
{
    const ssize_t r = NEXT(read)(fd, buf, n);
    AFTER_IN(fd, buf, r);
    return r;
}

WATCH_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
    const ssize_t r = NEXT(read_chk)(fd, buf, n, buflen);
    AFTER_IN(fd, buf, r);
    return r;
}

WATCH_EXPORT ssize_t recv(int fd, void *buf, size_t n, int flags)
{
    const ssize_t r = NEXT(recv)(fd, buf, n, flags);
    if ((flags & MSG_PEEK) == 0)
        AFTER_IN(fd, buf, r);
    return r;
}

WATCH_EXPORT ssize_t __recv_chk(int fd, void *buf, size_t n, size_t buflen, int flags)
{
    const ssize_t r = NEXT(recv_chk)(fd, buf, n, buflen, flags);
    if ((flags & MSG_PEEK) == 0)
        AFTER_IN(fd, buf, r);
    return r;
}

WATCH_EXPORT ssize_t recvfrom(int fd, void *buf, size_t n, int flags, sockaddr *a, socklen_t *l)
{
    const ssize_t r = NEXT(recvfrom)(fd, buf, n, flags, a, l);
    if ((flags & MSG_PEEK) == 0)
        AFTER_IN(fd, buf, r);
    return r;
}

WATCH_EXPORT ssize_t __recvfrom_chk(int fd, void *buf, size_t n, size_t buflen, int flags,
                                    sockaddr *a, socklen_t *l)
{
    const ssize_t r = NEXT(recvfrom_chk)(fd, buf, n, buflen, flags, a, l);
    if ((flags & MSG_PEEK) == 0)
        AFTER_IN(fd, buf, r);
    return r;
}

WATCH_EXPORT ssize_t recvmsg(int fd, msghdr *msg, int flags)
{
    const ssize_t r = NEXT(recvmsg)(fd, msg, flags);
    if (r >= 0 && msg != nullptr) {
        if (msg->msg_controllen != 0)
            Received(msg);
        const uint32_t e = EntryOfFd(fd);
        if (e != 0 && r > 0 && (flags & MSG_PEEK) == 0) {
            ErrnoKeeper keep;
            Vector(fd, e, msg->msg_iov, msg->msg_iovlen, static_cast<size_t>(r), true);
        }
    }
    return r;
}

WATCH_EXPORT ssize_t readv(int fd, const iovec *iov, int count)
{
    const ssize_t r = NEXT(readv)(fd, iov, count);
    const uint32_t e = EntryOfFd(fd);
    if (e != 0 && r > 0) {
        ErrnoKeeper keep;
        Vector(fd, e, iov, static_cast<size_t>(count), static_cast<size_t>(r), true);
    }
    return r;
}

WATCH_EXPORT ssize_t write(int fd, const void *buf, size_t n)
{
    const ssize_t r = NEXT(write)(fd, buf, n);
    AFTER_OUT(fd, buf, r);
    return r;
}

WATCH_EXPORT ssize_t send(int fd, const void *buf, size_t n, int flags)
{
    const ssize_t r = NEXT(send)(fd, buf, n, flags);
    AFTER_OUT(fd, buf, r);
    return r;
}

WATCH_EXPORT ssize_t sendto(int fd, const void *buf, size_t n, int flags, const sockaddr *a,
                            socklen_t l)
{
    const ssize_t r = NEXT(sendto)(fd, buf, n, flags, a, l);
    AFTER_OUT(fd, buf, r);
    return r;
}

WATCH_EXPORT ssize_t sendmsg(int fd, const msghdr *msg, int flags)
{
    const ssize_t r = NEXT(sendmsg)(fd, msg, flags);
    const uint32_t e = EntryOfFd(fd);
    if (e != 0 && r > 0 && msg != nullptr) {
        ErrnoKeeper keep;
        Vector(fd, e, msg->msg_iov, msg->msg_iovlen, static_cast<size_t>(r), false);
    }
    return r;
}

WATCH_EXPORT ssize_t writev(int fd, const iovec *iov, int count)
{
    const ssize_t r = NEXT(writev)(fd, iov, count);
    const uint32_t e = EntryOfFd(fd);
    if (e != 0 && r > 0) {
        ErrnoKeeper keep;
        Vector(fd, e, iov, static_cast<size_t>(count), static_cast<size_t>(r), false);
    }
    return r;
}

WATCH_EXPORT ssize_t splice(int in, loff_t *inOff, int out, loff_t *outOff, size_t n,
                            unsigned flags)
{
    const ssize_t r = NEXT(splice)(in, inOff, out, outOff, n, flags);
    if (r > 0) {
        if (const uint32_t e = EntryOfFd(in))
            Counted(e, static_cast<size_t>(r), true);
        if (const uint32_t e = EntryOfFd(out))
            Counted(e, static_cast<size_t>(r), false);
    }
    return r;
}

WATCH_EXPORT ssize_t sendfile(int out, int in, off_t *off, size_t n)
{
    const ssize_t r = NEXT(sendfile)(out, in, off, n);
    if (r > 0)
        if (const uint32_t e = EntryOfFd(out))
            Counted(e, static_cast<size_t>(r), false);
    return r;
}

WATCH_EXPORT ssize_t sendfile64(int out, int in, off_t *off, size_t n)
{
    const ssize_t r = NEXT(sendfile64)(out, in, off, n);
    if (r > 0)
        if (const uint32_t e = EntryOfFd(out))
            Counted(e, static_cast<size_t>(r), false);
    return r;
}

WATCH_EXPORT int connect(int fd, const sockaddr *addr, socklen_t len)
{
    const int r = NEXT(connect)(fd, addr, len);
    if (currentEntry != 0)
        Connected(fd, addr, len, r == 0 || errno == EINPROGRESS);
    return r;
}

WATCH_EXPORT int shutdown(int fd, int how)
{
    if (Slot *s = SlotOfEntry(EntryOfFd(fd)))
        s->closes.fetch_add(1, std::memory_order_relaxed);
    return NEXT(shutdown)(fd, how);
}

WATCH_EXPORT int close(int fd)
{
    Closing(fd);
    return NEXT(close)(fd);
}

WATCH_EXPORT int dup(int fd)
{
    const int r = NEXT(dup)(fd);
    if (r >= 0 && EntryOfFd(fd) != 0)
        Copied(fd, r);
    return r;
}

WATCH_EXPORT int dup2(int fd, int to)
{
    if (fd != to)
        Closing(to);
    const int r = NEXT(dup2)(fd, to);
    if (r >= 0 && fd != to && EntryOfFd(fd) != 0)
        Copied(fd, r);
    return r;
}

WATCH_EXPORT int dup3(int fd, int to, int flags)
{
    if (fd != to)
        Closing(to);
    const int r = NEXT(dup3)(fd, to, flags);
    if (r >= 0 && EntryOfFd(fd) != 0)
        Copied(fd, r);
    return r;
}

/* fcntl's third argument is an int or a pointer; both travel as a word. */
static int Fcntl(int (*next)(int, int, ...), int fd, int cmd, void *arg)
{
    const int r = next(fd, cmd, arg);
    if ((cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && r >= 0 && EntryOfFd(fd) != 0)
        Copied(fd, r);
    return r;
}

WATCH_EXPORT int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return Fcntl(NEXT(fcntl), fd, cmd, arg);
}

WATCH_EXPORT int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return Fcntl(NEXT(fcntl64), fd, cmd, arg);
}
