/*
 * semgate.cpp - a lock shared between processes: one System V semaphore whose
 * key comes from a file under /tmp.  Value 0 is free, 1 is held; the raise and
 * the lowering both carry SEM_UNDO, so the kernel gives the lock back when a
 * holder dies.  Nothing here logs; a failure is the -1 result and errno.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include "monitor.h"
#include "semgate_internal.h"
#include "monapi_internal.h"

namespace {

constexpr char kDir[] = "/tmp/";
constexpr size_t kNameMax = 250;  // characters of the name kept in the path
constexpr int kProject = 'V';     // ftok project character

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
    if (creator) return MonOpenOwnFile(path, 0666);
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
        Discard(h, -1);
        return -1;
    }
    m->creator = isCreator ? 1 : 0;

    key_t key = ftok(h->path, kProject);
    if (key == static_cast<key_t>(-1)) {
        Discard(h, fd);
        return -1;
    }
    int id = isCreator ? semget(key, 1, IPC_CREAT | 0666) : semget(key, 0, 0666);
    if (id < 0) {
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

// Takes the lock, blocking while another process holds it.  Returns 0 when
// held, -1 for a bad handle or a failed semop (EINTR included: no retry
// here, callers that must not fail retry themselves).
extern "C" int MonMutexRequest(MonHandle_t *h) {
    MonMutex_t *m = OpenMutex(h);
    if (m == nullptr) return -1;
    return semop(m->semId, requestOp, 2) == 0 ? 0 : -1;
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
