/*
 * semgate.cpp - a lock shared between processes: one System V semaphore whose
 * key comes from a file under /tmp.  Value 0 is free, 1 is held; the raise and
 * the lowering both carry SEM_UNDO, so the kernel gives the lock back when a
 * holder dies.  A failure is the -1 result and errno; failed opens and long
 * waits are logged as well, since a daemon that cannot get its locks must
 * say why.  Sets are 0600 and must belong to the key file's owner: the
 * store behind them is 0600 too, so no other user has a reason to hold one.
 * A process' first creator open of a name starts from a fresh, unlocked
 * set, so a new daemon never waits on a lock of the store it replaces.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "monitor.h"
#include "semgate_internal.h"
#include "monapi_internal.h"

namespace {

constexpr char kDir[] = "/tmp/";
constexpr size_t kNameMax = 250;  // characters of the name kept in the path
constexpr int kProject = 'V';     // ftok project character
constexpr int kSetMode = 0600;    // only the store's owner takes its locks
constexpr mode_t kKeyFileMode = 0644;
constexpr int kMsgCallFailed = 24;  // a call failed; the format ends in "%m"
constexpr int kMsgLockWait = 55;    // a lock has been held for long

// Keys of the sets this process image created fresh.  A forked child (the
// collector, a restarted worker) inherits the list and attaches to the set
// its daemon made; a newly started daemon has an empty list.
constexpr int kCreatedMax = 8;
key_t createdKeys[kCreatedMax];
int createdCount = 0;

bool CreatedHere(key_t key) {
    for (int i = 0; i < createdCount; ++i)
        if (createdKeys[i] == key) return true;
    return false;
}

// Wait until the value is 0, then raise it to 1; one semop applies both.
sembuf requestOp[2] = {
    {0, 0, 0},
    {0, 1, SEM_UNDO},
};
// Lower by 1, failing at once (EAGAIN) when the lock is not held.
sembuf releaseOp[1] = {
    {0, -1, SEM_UNDO | IPC_NOWAIT},
};

// Some C libraries leave the semctl argument union to the caller.
union SemArg {
    int val;
    semid_ds *buf;
    unsigned short *array;
};

// Puts a lock operation into a data slot of another type.  The detour
// through void(*)(void), the generic function pointer type, says that the
// mismatch is meant.
template <class To, class From>
To SlotCast(From fn) {
    return reinterpret_cast<To>(reinterpret_cast<void (*)(void)>(fn));
}

// The private part of an open mutex handle, or null when h is not one.
MonMutex_t *OpenMutex(MonHandle_t *h) {
    if (h == nullptr || h->magic != MON_MAGIC_MUTEX) return nullptr;
    return static_cast<MonMutex_t *>(h->priv);
}

// Opens the key file without following a symlink and checks that it is a
// regular file.  The creator may create it (mode 0666, less the umask) and
// makes sure it is its own; any other opener only needs the inode, so it
// opens a path descriptor.  Returns the descriptor or -1 with errno set.
int OpenKeyFile(const char *path, bool creator) {
    // A key file that another user planted, or a hard link to the other
    // key file, would hand the lock to someone else or give both locks one
    // semaphore (and the store would then wait on itself for ever).
    if (creator) return MonOpenOwnFile(path, kKeyFileMode);
#ifdef O_PATH
    const int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
#else
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
#endif
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// The owner of set id, or -1 with errno.
long SetOwner(int id) {
    semid_ds ds;
    SemArg arg;
    arg.buf = &ds;
    if (semctl(id, 0, IPC_STAT, arg) != 0) return -1;
    return static_cast<long>(ds.sem_perm.uid);
}

// Creates a fresh set for key, removing one that stands in the way (an
// earlier daemon's, possibly still locked, or one planted by another
// user).  Returns the identifier or -1 with errno.
int FreshSet(key_t key) {
    int id = semget(key, 1, IPC_CREAT | IPC_EXCL | kSetMode);
    if (id >= 0 || errno != EEXIST) return id;
    const int old = semget(key, 0, 0);
    if (old >= 0 && semctl(old, 0, IPC_RMID) != 0) return -1;
    return semget(key, 1, IPC_CREAT | IPC_EXCL | kSetMode);
}

// The set for key as the creator needs it: fresh on this process' first
// open, afterwards the one made then.  A set of another owner found later
// (ours was removed and another put in its place) is replaced as well.
int CreatorSet(key_t key) {
    if (!CreatedHere(key)) {
        const int id = FreshSet(key);
        if (id >= 0 && createdCount < kCreatedMax) createdKeys[createdCount++] = key;
        return id;
    }
    const int id = semget(key, 1, IPC_CREAT | kSetMode);
    if (id >= 0 && SetOwner(id) != static_cast<long>(geteuid())) return FreshSet(key);
    return id;
}

// The existing set for key, refused (EACCES) unless it belongs to owner,
// the key file's owner.
int AttachSet(key_t key, uid_t owner) {
    const int id = semget(key, 0, 0);
    if (id < 0) return -1;
    if (SetOwner(id) != static_cast<long>(owner)) {
        errno = EACCES;
        return -1;
    }
    return id;
}

// Frees a handle that never became an open mutex; keeps errno.
void Discard(MonHandle_t *h, int fd) {
    int e = errno;
    if (fd >= 0) close(fd);
    if (h != nullptr) free(h->priv);
    free(h);
    errno = e;
}

}  // namespace

int quelm::MonOpenOwnFile(const char *path, mode_t mode) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int exclusive = attempt == 0 ? 0 : O_EXCL;
        const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | exclusive, mode);
        if (fd < 0) return -1;
        struct stat st;
        if (fstat(fd, &st) != 0) {
            const int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        if (!S_ISREG(st.st_mode)) {
            close(fd);
            errno = EINVAL;
            return -1;
        }
        if (st.st_uid == geteuid() && st.st_nlink == 1) return fd;
        close(fd);
        if (attempt == 1 || (unlink(path) != 0 && errno != ENOENT)) {
            errno = EPERM;
            return -1;
        }
    }
    errno = EPERM;
    return -1;
}

// Opens (creator: creates) the mutex called name.  Returns 0 with *out set
// to the new handle, or -1 with *out null and nothing left open or allocated.
extern "C" int MonMutexOpen(const char *name, int creator, MonHandle_t **out) {
    if (out == nullptr) return -1;
    *out = nullptr;
    // The lock operations sit in the data slots; the generic layer refuses
    // a mutex handle for everything but close, so they are never called
    // through these pointer types.
    const quelm::HandleOps ops = {SlotCast<MonOpenFn_t>(MonMutexOpen), MonMutexClose,
                                  SlotCast<MonPutFn_t>(MonMutexRequest),
                                  SlotCast<MonGetFn_t>(MonMutexRelease),
                                  SlotCast<MonGetNextFn_t>(MonMutexQuery)};
    MonHandle_t *h = quelm::HandleNew(ops, sizeof(MonMutex_t), nullptr);
    if (h == nullptr) return -1;
    auto *m = static_cast<MonMutex_t *>(h->priv);
    m->semId = -1;

    if (name == nullptr || name[0] == '\0') {
        Discard(h, -1);
        errno = EINVAL;
        return -1;
    }
    snprintf(h->path, sizeof h->path, "%s%.*s", kDir, static_cast<int>(kNameMax), name);

    const bool isCreator = (creator & 0xff) != 0;
    int fd = OpenKeyFile(h->path, isCreator);
    if (fd < 0) {
        QxLogUpdate(nullptr, 1, kMsgCallFailed, "%s: open(%s) failed: %m", "MonMutexOpen", h->path);
        Discard(h, -1);
        return -1;
    }
    m->creator = isCreator ? 1 : 0;

    key_t key = ftok(h->path, kProject);
    struct stat keyStat;
    if (key == static_cast<key_t>(-1) || fstat(fd, &keyStat) != 0) {
        QxLogUpdate(nullptr, 1, kMsgCallFailed, "%s: ftok(%s) failed: %m", "MonMutexOpen", h->path);
        Discard(h, fd);
        return -1;
    }
    int id = isCreator ? CreatorSet(key) : AttachSet(key, keyStat.st_uid);
    if (id < 0) {
        QxLogUpdate(nullptr, 1, kMsgCallFailed, "%s: semget(%s) failed: %m", "MonMutexOpen", h->path);
        Discard(h, fd);
        return -1;
    }
    m->semId = id;

    if (isCreator) {
        // The identifier as decimal digits over the start of the file, no
        // line end and no truncation: readers parse the leading digits.
        char idBuf[128];
        int len = snprintf(idBuf, sizeof idBuf, "%d", id);
        ssize_t done = pwrite(fd, idBuf, static_cast<size_t>(len), 0);
        (void)done;  // the file is informational; the set is what counts
    }
    close(fd);

    h->magic = MON_MAGIC_MUTEX;
    *out = h;
    return 0;
}

constexpr quelm::SemgateSys_t quelm::kSemgateSysDefault = {2000, 10000};
constinit quelm::SemgateSys_t quelm::semgateSys = quelm::kSemgateSysDefault;

// Takes the lock, waiting while another process holds it, at most
// semgateSys.waitLimitMs; every semgateSys.waitStepMs of waiting logs which process
// holds it (the last one to operate on the semaphore).  Returns 0 when
// held, -1 for a bad handle, a wait past the limit (ETIMEDOUT) or a failed
// semop (EINTR included: no retry here, callers that must not fail retry
// themselves).
extern "C" int MonMutexRequest(MonHandle_t *h) {
    MonMutex_t *m = OpenMutex(h);
    if (m == nullptr) return -1;
    const int step = quelm::semgateSys.waitStepMs > 0 ? quelm::semgateSys.waitStepMs : 1;
    for (int waited = 0;;) {
        const struct timespec timeout = {step / 1000, (step % 1000) * 1000000L};
        if (semtimedop(m->semId, requestOp, 2, &timeout) == 0) return 0;
        if (errno != EAGAIN) return -1;
        waited += step;
        const int holder = semctl(m->semId, 0, GETPID);
        QxLogUpdate(nullptr, 1, kMsgLockWait, "%s: lock held by PID %d for %d seconds", h->path,
                    holder, waited / 1000);
        if (waited >= quelm::semgateSys.waitLimitMs) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

// Gives the lock back.  Returns 0, or -1 at once (EAGAIN) when it was not
// held, or for a bad handle.
extern "C" int MonMutexRelease(MonHandle_t *h) {
    MonMutex_t *m = OpenMutex(h);
    if (m == nullptr) return -1;
    return semop(m->semId, releaseOp, 1) == 0 ? 0 : -1;
}

// Returns the semaphore's value (0 free, 1 held), or -1.
extern "C" int MonMutexQuery(MonHandle_t *h) {
    MonMutex_t *m = OpenMutex(h);
    if (m == nullptr) return -1;
    unsigned short value[1] = {0};
    SemArg arg;
    arg.array = value;
    if (semctl(m->semId, 0, GETALL, arg) == -1) return -1;
    return value[0];
}

// Frees an open mutex handle; the set and the key file stay.  Returns 0, or
// -1 (handle untouched) for null or anything that is not an open mutex.
extern "C" int MonMutexClose(MonHandle_t *h) {
    MonMutex_t *m = OpenMutex(h);
    if (m == nullptr) return -1;
    h->magic = MON_MAGIC_DEAD;
    free(m);
    h->priv = nullptr;
    free(h);
    return 0;
}

void quelm::MonMutexForgetCreated() {
    createdCount = 0;
}
