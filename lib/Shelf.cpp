/*
 * Shelf.cpp - the shared record store's segment: /tmp/mon.mmap mapped
 * MAP_SHARED by every attached process, its header layout, and the open and
 * close of a store handle.  The per-process state (mapping, descriptor, open
 * count) is unguarded: a process uses the store from one thread at a time.
 * Slot-table words are touched only through ShelfSlots.cpp's atomic helpers.
 * Lock order for the whole module: the hash mutex, then the free mutex
 * inside it, never the reverse.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "Shelf_internal.h"
#include "monapi_internal.h"
#include "semgate_internal.h"
#include "monitor.h"

// Other processes map the same bytes, so the layouts are part of the file
// format: any drift here would make two builds disagree about the file.
static_assert(sizeof(MonData_t) == MON_RECORD_SIZE);
static_assert(std::is_standard_layout_v<MonData_t> && std::is_trivially_copyable_v<MonData_t>);
static_assert(offsetof(MonData_t, pid) == 0 && offsetof(MonData_t, handleNum) == 4 &&
              offsetof(MonData_t, recordNum) == 8);
static_assert(offsetof(MonData_t, seqNum) == 20 && offsetof(MonData_t, flags) == 24 &&
              offsetof(MonData_t, clientTag) == 40);
static_assert(sizeof(MmapBlock_t) == 8 && offsetof(MmapBlock_t, units) == 4);
static_assert(sizeof(ShelfHeader_t) == 124);
static_assert(std::is_standard_layout_v<ShelfHeader_t> &&
              std::is_trivially_copyable_v<ShelfHeader_t>);
static_assert(offsetof(ShelfHeader_t, self) == 0 && offsetof(ShelfHeader_t, segSize) == 4);
static_assert(offsetof(ShelfHeader_t, clientPid) == 8 && offsetof(ShelfHeader_t, reserved1) == 48);
static_assert(offsetof(ShelfHeader_t, hashSize) == 88 && offsetof(ShelfHeader_t, hashCount) == 92);
static_assert(offsetof(ShelfHeader_t, hashDeleted) == 96 &&
              offsetof(ShelfHeader_t, putCount) == 100);
static_assert(offsetof(ShelfHeader_t, hashTable) == 104 && offsetof(ShelfHeader_t, rover) == 108);
static_assert(offsetof(ShelfHeader_t, reserved2) == 112 &&
              offsetof(ShelfHeader_t, sentinel) == 116);

// Where this process mapped the segment; null while it has no store handle.
void *shelfPtr = nullptr;

namespace quelm {
namespace shelf {

uint32_t mmapSize = SHELF_MMAP_SIZE;
int openCount = 0;
int mmapFd = -1;
bool hashHeld = false;
bool freeHeld = false;

// The one place that turns an address back into an offset: 0 for null and
// for an address outside the mapping.
uint32_t SegOff(const void *p) {
    if (p == nullptr || shelfPtr == nullptr) return 0;
    auto a = reinterpret_cast<uintptr_t>(p);
    auto base = reinterpret_cast<uintptr_t>(shelfPtr);
    if (a < base || a - base >= mmapSize) return 0;
    return static_cast<uint32_t>(a - base);
}

// The hash table as a checked span; empty when the header does not describe
// a table inside the mapping.
std::span<uint32_t> Table() {
    ShelfHeader_t *hdr = Hdr();
    if (hdr == nullptr) return {};
    uint32_t *t = SegAt<uint32_t>(hdr->hashTable, size_t{hdr->hashSize} * 4);
    if (t == nullptr) return {};
    return {t, hdr->hashSize};
}

// Takes a store mutex, waiting again after a signal: the daemon's processes
// take SIGCHLD, and a put or get must not fail because one arrived.  errno is
// cleared first so that a refusal that sets none is not taken for EINTR.
int Acquire(MonHandle_t *m) {
    int rc;
    do {
        errno = 0;
        rc = MonMutexRequest(m);
    } while (rc == -1 && errno == EINTR);
    return rc;
}

// Checks, before anything is mapped, that the header of an existing store
// describes a segment this process can map: at least 1 MiB, no larger than
// the largest capacity makes, inside the file, and a table inside the
// segment.  Returns the segment size, or 0 after logging (declared in
// Shelf_internal.h; the restart path uses it too).
uint32_t AttachSize(int fd, off_t fileSize) {
    ShelfHeader_t hdr;
    if (pread(fd, &hdr, sizeof hdr, 0) != static_cast<ssize_t>(sizeof hdr)) {
        QxLogUpdate(nullptr, 1, 29, "QxMonMemOpen: could not map memory mapped file");
        return 0;
    }
    const uint64_t tableEnd = uint64_t{hdr.hashTable} + uint64_t{hdr.hashSize} * 4;
    const bool sane = hdr.segSize >= SHELF_MMAP_SIZE && hdr.segSize <= MaxSegSize() &&
                      hdr.segSize % kUnit == 0 && static_cast<uint64_t>(fileSize) >= hdr.segSize &&
                      hdr.hashSize >= 5 && hdr.hashTable >= kArenaOff && hdr.hashTable % 4 == 0 &&
                      tableEnd <= hdr.segSize - 4;
    if (!sane) {
        QxLogUpdate(nullptr, 1, 29,
                    "QxMonMemOpen: store header not sane (segSize=%u hashSize=%u hashTable=%u, "
                    "file %lld bytes), not mapped",
                    hdr.segSize, hdr.hashSize, hdr.hashTable, static_cast<long long>(fileSize));
        return 0;
    }
    return hdr.segSize;
}

}  // namespace shelf

namespace {

using namespace shelf;

constexpr char kFreeMutexName[] = "mon.free.mutex";
constexpr char kHashMutexName[] = "mon.hash.mutex";
const unsigned char zeros[1024] = {};
constexpr uint32_t kPage = 4096;

// What this process's next slot-0 open creates: the default store unless
// ShelfSetCapacity asked for another size.
uint32_t createSize = SHELF_MMAP_SIZE;
int createHash = SHELF_HASH_INITIAL;

// Gives a new file its length, all zero, with every block of it allocated
// now: a store that got its blocks only when records touched its pages
// would kill every process that maps it with SIGBUS once /tmp filled up.
// The default store is written out as it always was (1025 blocks of 1024
// zero bytes); a larger one is allocated in one call, written where the
// file system cannot allocate.  False with errno set (ENOSPC: /tmp has no
// room) after giving back what was taken.
bool WriteZeros(int fd, uint64_t length) {
    for (uint64_t done = 0; done < length;) {
        const size_t n = length - done < sizeof zeros ? static_cast<size_t>(length - done) : sizeof zeros;
        const ssize_t w = pwrite(fd, zeros, n, static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<uint64_t>(w);
    }
    return true;
}

bool ZeroFill(int fd, uint32_t size) {
    const uint64_t length = uint64_t{size} + sizeof zeros;
    bool made = false;
    if (ftruncate(fd, 0) == 0) {
        if (size == SHELF_MMAP_SIZE) {
            made = WriteZeros(fd, length);
        } else {
            const int rc = posix_fallocate(fd, 0, static_cast<off_t>(length));
            if (rc == EOPNOTSUPP)
                made = WriteZeros(fd, length);  // no allocation on this file system
            else if (rc != 0)
                errno = rc;
            else
                made = true;
        }
    }
    if (!made) {
        const int err = errno;
        QxLogUpdate(nullptr, 1, 12, "QxMonMemOpen: cannot give %s its %llu bytes: %m", kPath,
                    static_cast<unsigned long long>(length));
        (void)ftruncate(fd, 0);  // what was taken goes back to /tmp
        errno = err;
    }
    return made;
}

// Closes whatever a failed open made before it failed: the mutex handles,
// the private part and the handle; with no other store handle in the
// process, also the mapping and the descriptor, so nothing half-open stays.
int FailOpen(MonHandle_t *h, ShelfClient_t *c) {
    if (c != nullptr) {
        if (c->freeMutex != nullptr) MonMutexClose(c->freeMutex);
        if (c->hashMutex != nullptr) MonMutexClose(c->hashMutex);
    }
    if (openCount == 0) {
        if (shelfPtr != nullptr) {
            munmap(shelfPtr, mmapSize);
            shelfPtr = nullptr;
        }
        if (mmapFd >= 0) {
            close(mmapFd);
            mmapFd = -1;
        }
    }
    if (h != nullptr) h->magic = MON_MAGIC_DEAD;
    free(c);
    free(h);
    return -1;
}

// Opens /tmp/mon.mmap without following a symlink and makes sure it is a
// regular file (and, for an attaching slot, long enough to map).  Returns
// the descriptor or -1 after logging.
int OpenStoreFile(const char *path, int client) {
    // The creator's file must be its own alone: a file planted by another
    // user (or a second name for one) would let that user rewrite the slot
    // table, whose PIDs the daemon signals, or cut the file short under the
    // mapping.
    const int fd = client == MON_SLOT_DAEMON
                       ? MonOpenOwnFile(path, 0600)
                       : open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && client == MON_SLOT_DAEMON) (void)fchmod(fd, 0600);
    if (fd < 0) {
        QxLogUpdate(nullptr, 1, 27, "QxMonMemOpen: Error in opening file: %s ", path);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        QxLogUpdate(nullptr, 1, 27, "QxMonMemOpen: Error in opening file: %s ", path);
        close(fd);
        return -1;
    }
    // Touching a mapped page past the end of a short file raises SIGBUS;
    // the creator writes the whole length before it maps, an attaching
    // process maps what the header states once AttachSize has checked it.
    if (client != MON_SLOT_DAEMON) {
        const uint32_t size = st.st_size < static_cast<off_t>(SHELF_MMAP_SIZE)
                                  ? 0
                                  : AttachSize(fd, st.st_size);
        if (size == 0) {
            if (st.st_size < static_cast<off_t>(SHELF_MMAP_SIZE))
                QxLogUpdate(nullptr, 1, 29, "QxMonMemOpen: could not map memory mapped file");
            close(fd);
            return -1;
        }
        mmapSize = size;
    } else {
        mmapSize = createSize;
    }
    return fd;
}

}  // namespace

// Opens a store handle on slot client.  Slot 0 in a process with no store
// handle (re)creates the file, zero-filled, with the semaphores and an empty
// table; other slots attach, refusing a slot 2-9 held by a live process.
// Returns 0 with *out set, or -1 with *out null after logging; a failed open
// leaves no handle, and no mapping or descriptor unless another handle of
// this process uses them.
extern "C" int QxMonMemOpen(const char * /*name*/, int client, MonHandle_t **out) {
    if (out == nullptr) return -1;
    *out = nullptr;
    if (static_cast<unsigned>(client) >= MON_SLOTS) {
        QxLogUpdate(nullptr, 1, 3, "QxMonMemOpen: bad client=%d", client);
        return -1;
    }
    const quelm::HandleOps ops = {QxMonMemOpen, ShelfClose,
                                  client == MON_SLOT_DAEMON ? ShelfPut : ShelfPutAttached,
                                  ShelfGet, ShelfGetNext};
    static_assert(sizeof kPath <= MON_PATH_SIZE);
    MonHandle_t *h = quelm::HandleNew(ops, sizeof(ShelfClient_t), kPath);
    if (h == nullptr) {
        QxLogUpdate(nullptr, 1, 35, "QxMonMemOpen: malloc() handle failed");
        return -1;
    }
    auto *c = static_cast<ShelfClient_t *>(h->priv);
    c->client = client;
    c->cursor = 0;
    c->generation = storeGeneration;

    const int creator = client == MON_SLOT_DAEMON ? 1 : 0;
    if (MonMutexOpen(kFreeMutexName, creator, &c->freeMutex) != 0 ||
        MonMutexOpen(kHashMutexName, creator, &c->hashMutex) != 0) {
        return FailOpen(h, c);
    }
    // Two key files that reach one semaphore set (their keys collide) would
    // make a create, which holds one lock while it asks for the other, wait
    // on itself for ever: refuse the store instead.
    if (static_cast<MonMutex_t *>(c->freeMutex->priv)->semId ==
        static_cast<MonMutex_t *>(c->hashMutex->priv)->semId) {
        QxLogUpdate(nullptr, 1, 27, "QxMonMemOpen: %s and %s share one semaphore", kFreeMutexName,
                    kHashMutexName);
        return FailOpen(h, c);
    }
    h->magic = MON_MAGIC_STORE;

    if (openCount > 0) {
        ShelfClaimSlot(client, static_cast<uint32_t>(getpid()));
        ++openCount;
        *out = h;
        return 0;
    }

    if (client == MON_SLOT_DAEMON) RetireStore(kPath);
    mmapFd = OpenStoreFile(kPath, client);
    if (mmapFd < 0) return FailOpen(h, c);

    if (client == MON_SLOT_DAEMON && !ZeroFill(mmapFd, mmapSize)) {
        QxLogUpdate(nullptr, 1, 12, "QxMonMemOpen: failed to zero page of mapped file");
        return FailOpen(h, c);
    }

    void *map = mmap(nullptr, mmapSize, PROT_READ | PROT_WRITE, MAP_SHARED, mmapFd, 0);
    if (map == MAP_FAILED) {
        QxLogUpdate(nullptr, 1, 29, "QxMonMemOpen: could not map memory mapped file");
        return FailOpen(h, c);
    }
    shelfPtr = map;
    ShelfHeader_t *hdr = Hdr();

    if (client == MON_SLOT_DAEMON) {
        hdr->self = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(map));
        hdr->segSize = mmapSize;
        for (int s = 0; s < MON_SLOTS; ++s) ShelfClaimSlot(s, 0);
        if (CreateHashTable(h, createHash) != 0) return FailOpen(h, c);
    } else if (client != MON_SLOT_PROXY) {
        const uint32_t holder = ShelfSlotHolder(client);
        if (holder != 0 && !ShelfProcessGone(holder)) {
            QxLogUpdate(nullptr, 1, 2, "QxMonMemOpen: Duplicate client=%d, in use by PID=%d",
                        client, static_cast<int>(holder));
            return FailOpen(h, c);
        }
    }

    ShelfClaimSlot(client, static_cast<uint32_t>(getpid()));
    ++openCount;
    *out = h;
    return 0;
}

// Releases the handle's slot and frees the handle; the last close in the
// process unmaps the segment and closes the file.  Returns 0, or -1 when a
// mutex close, the unmap or the file close failed (the handle is freed in
// every case).
int ShelfClose(MonHandle_t *h) {
    if (h == nullptr || h->priv == nullptr) return -1;
    auto *c = static_cast<ShelfClient_t *>(h->priv);
    int rc = 0;
    h->magic = MON_MAGIC_DEAD;
    ShelfClaimSlot(c->client, 0);

    const int freeClosed = MonMutexClose(c->freeMutex);
    const int hashClosed = MonMutexClose(c->hashMutex);
    if (freeClosed != 0 || hashClosed != 0) {
        rc = -1;
    } else if (openCount-- <= 1) {
        openCount = 0;
        void *old = shelfPtr;
        if (old != nullptr) {
            shelfPtr = nullptr;
            if (munmap(old, mmapSize) != 0) {
                QxLogUpdate(nullptr, 1, 31, "ShelfClose: could not unmap memory mapped file (0x%lx)",
                            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(old)));
                rc = -1;
            }
        }
        // Descriptor 0 is a valid one too when standard input was closed.
        if (rc == 0 && mmapFd >= 0) {
            int fd = mmapFd;
            mmapFd = -1;
            if (close(fd) != 0) {
                QxLogUpdate(nullptr, 1, 32, "ShelfClose: could not close mapped file (0x%lx) path=%s",
                            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(old)), h->path);
                rc = -1;
            }
        }
    }
    free(c);
    free(h);
    return rc;
}

bool ShelfGeometry(long capacity, ShelfGeometry_t *out) {
    if (capacity < 1 || capacity > kShelfMaxCapacity || out == nullptr) return false;
    const uint64_t need = static_cast<uint64_t>(capacity) - 1;
    int count = static_cast<int>((4 * need + 2) / 3);
    while (3 * static_cast<uint64_t>(Prime(count)) / 4 < need) ++count;
    const auto hashSize = static_cast<uint32_t>(Prime(count));
    const uint32_t records = 3 * hashSize / 4 + 1;
    const uint64_t tableBytes = (uint64_t{hashSize} * 4 + 7) / 8 * 8 + sizeof(MmapBlock_t);
    const uint64_t recordBytes = uint64_t{records} * kRecordBytes;
    // Slack for the allocator's next fit: a little room beyond the exact
    // sum keeps a nearly full store from failing on fragmentation.
    const uint64_t bytes = kArenaOff + 2 * tableBytes + recordBytes + recordBytes / 64 + 65536;
    const uint64_t size = (bytes + kPage - 1) / kPage * kPage;
    out->segSize = static_cast<uint32_t>(size < SHELF_MMAP_SIZE ? SHELF_MMAP_SIZE : size);
    out->hashSize = hashSize;
    out->records = records;
    return true;
}

namespace shelf {
// Worked out on each call, a few operations: a function-local static would
// need the C++ runtime's guard functions, which a C program linking the
// archive with -lquelm alone does not have.
uint32_t MaxSegSize() {
    ShelfGeometry_t g{};
    (void)ShelfGeometry(kShelfMaxCapacity, &g);
    return g.segSize;
}
}  // namespace shelf

int ShelfSetCapacity(long capacity, uint64_t *need) {
    ShelfGeometry_t g{};
    if (!ShelfGeometry(capacity, &g)) {
        errno = EINVAL;
        return -1;
    }
    if (need != nullptr) *need = g.segSize;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0 && uint64_t{g.segSize} > uint64_t(pages) * uint64_t(pageSize)) {
        errno = ENOMEM;
        return -1;
    }
    struct statvfs fs;
    if (statvfs("/tmp", &fs) == 0 && uint64_t{g.segSize} > uint64_t{fs.f_bavail} * fs.f_frsize) {
        errno = ENOSPC;
        return -1;
    }
    createSize = g.segSize;
    createHash = static_cast<int>(g.hashSize);
    return 0;
}

int ShelfOpenCount() { return openCount; }
int ShelfMapFd() { return mmapFd; }

}  // namespace quelm
