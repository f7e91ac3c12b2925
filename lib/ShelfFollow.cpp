/*
 * ShelfFollow.cpp - the store across daemon restarts.  A starting daemon
 * never rewrites the store it finds: it marks that file retired and takes
 * its name away, then makes a new one.  A process still mapping the old file
 * (a proxy reporting straight into the store) reads the mark at its next put
 * and moves onto the new file, instead of writing into a store that no
 * daemon serves, or under semaphores that are gone.  Per-process state as in
 * Shelf.cpp: a process uses the store from one thread at a time.
 */
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "Shelf_internal.h"
#include "semgate_internal.h"
#include "monitor.h"

namespace quelm {
namespace shelf {

// A header word of the reserved area: zero in a live store, the mark in a
// retired one.
constexpr size_t kRetiredWord = 9;
constexpr uint32_t kRetired = 0x52455449u;  // "RETI"
constexpr off_t kRetiredAt = offsetof(ShelfHeader_t, reserved1) + kRetiredWord * sizeof(uint32_t);

// How many stores this process has mapped (its first, then one per move).
uint32_t storeGeneration = 1;

// Marks the store file at path retired, if it is a store this user made, and
// removes the name.  Whatever stands at the path otherwise is left to the
// create, which refuses or replaces it as before.
void RetireStore(const char *path) {
    const int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        st.st_size >= static_cast<off_t>(sizeof(ShelfHeader_t))) {
        const uint32_t mark = kRetired;
        if (pwrite(fd, &mark, sizeof mark, kRetiredAt) == static_cast<ssize_t>(sizeof mark))
            (void)unlink(path);
    }
    close(fd);
}

namespace {

bool MappedRetired() {
    ShelfHeader_t *hdr = Hdr();
    return hdr != nullptr &&
           __atomic_load_n(&HeaderWord(hdr, kRetiredWord), __ATOMIC_ACQUIRE) == kRetired;
}

// Moves this process's mapping onto the store now at the path when the one
// it maps was retired.  True when the mapping serves a live store (moved or
// not); false (errno EPIPE) while no new store is there yet or it cannot be
// mapped: the old mapping stays, to be tried again at the next put.
bool FollowStore() {
    if (!MappedRetired()) return true;
    const int fd = open(kPath, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    uint32_t size = 0;
    uint32_t mark = 0;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size >= static_cast<off_t>(SHELF_MMAP_SIZE) &&
        pread(fd, &mark, sizeof mark, kRetiredAt) == static_cast<ssize_t>(sizeof mark) && mark == 0)
        size = AttachSize(fd, st.st_size);
    void *map = size != 0 ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                          : MAP_FAILED;
    if (map == MAP_FAILED) {
        if (fd >= 0) close(fd);
        errno = EPIPE;
        return false;
    }
    munmap(shelfPtr, mmapSize);
    close(mmapFd);
    shelfPtr = map;
    mmapSize = size;
    mmapFd = fd;
    ++storeGeneration;
    return true;
}

}  // namespace

// The put of an attached handle (every slot but the daemon's): follows a
// restarted daemon onto its new store first, reopening the handle's
// semaphores there and claiming its slot again, and refuses (EPIPE, the
// record not stored) while no daemon serves the store: its slot 0 free or
// held by a process that has gone.  A report is then never taken into a
// store that nobody will read.
int ShelfPutAttached(MonHandle_t *h, const MonData_t *rec) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr) return ShelfPut(h, rec);
    if (!FollowStore()) {
        QxLogUpdate(nullptr, 1, 20, "%s: no store served by a daemon", "ShelfPut");
        errno = EPIPE;
        return -1;
    }
    if (c->generation != storeGeneration) {
        MonHandle_t *freeMutex = nullptr;
        MonHandle_t *hashMutex = nullptr;
        if (MonMutexOpen("mon.free.mutex", 0, &freeMutex) != 0 ||
            MonMutexOpen("mon.hash.mutex", 0, &hashMutex) != 0) {
            if (freeMutex != nullptr) MonMutexClose(freeMutex);
            errno = EPIPE;
            return -1;
        }
        MonMutexClose(c->freeMutex);
        MonMutexClose(c->hashMutex);
        c->freeMutex = freeMutex;
        c->hashMutex = hashMutex;
        c->cursor = 0;
        c->idleKnown = false;
        c->generation = storeGeneration;
        ShelfClaimSlot(c->client, static_cast<uint32_t>(getpid()));
    }
    const uint32_t daemon = ShelfSlotHolder(MON_SLOT_DAEMON);
    if (daemon == 0 || ShelfProcessGone(daemon)) {
        QxLogUpdate(nullptr, 1, 20, "%s: no daemon serves the store", "ShelfPut");
        errno = EPIPE;
        return -1;
    }
    return ShelfPut(h, rec);
}

}  // namespace shelf

uint32_t ShelfGeneration() noexcept { return shelf::storeGeneration; }

}  // namespace quelm
