/*
 * Shelf.cpp - the shared record store: /tmp/mon.mmap, 1 MiB mapped MAP_SHARED
 * by every attached process.  The header, a next-fit allocator in 8-byte
 * units, an open-addressing table of records and each record's per-slot change
 * bits all live in the file; every reference in it is a 32-bit offset.
 * Lock order: the hash mutex, then the free mutex inside it, never the reverse.
 */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "Shelf_internal.h"
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

namespace {

constexpr char kPath[] = "/tmp/mon.mmap";
constexpr char kFreeMutexName[] = "mon.free.mutex";
constexpr char kHashMutexName[] = "mon.hash.mutex";

constexpr uint32_t kUnit = 8;                                          // allocator granule
constexpr uint32_t kSentinelOff = offsetof(ShelfHeader_t, sentinel);   // 116
constexpr uint32_t kFirstBlockOff = sizeof(ShelfHeader_t);             // 124
constexpr uint32_t kArenaOff = kFirstBlockOff + sizeof(MmapBlock_t);   // 132
constexpr uint32_t kEntryDeleted = 1;          // hash entry: a record was removed here
constexpr uint32_t kDetachedHandle = 0xffffffffu;  // handleNum whose owner is never checked
constexpr int kFirstReadSlot = 3;
constexpr int kCleanupEvery = 10;              // started records between clean-ups

// Per-process state, inherited by forked children.
uint32_t mmapSize = SHELF_MMAP_SIZE;
int openCount = 0;
int mmapFd = -1;
const unsigned char zeros[1024] = {};

// ---- the segment: offsets in, addresses out ---------------------------

ShelfHeader_t *Hdr() { return static_cast<ShelfHeader_t *>(shelfPtr); }

// The one place that turns a segment offset into an address.  Null for
// offset 0, for len bytes that do not fit inside the mapping, and for an
// offset misaligned for T, so a corrupt link can never point outside.
template <class T>
T *SegAt(uint32_t off, size_t len = sizeof(T)) {
    if (off == 0 || shelfPtr == nullptr) return nullptr;
    if (len > mmapSize || off > mmapSize - len) return nullptr;
    if (off % alignof(T) != 0) return nullptr;
    return reinterpret_cast<T *>(static_cast<unsigned char *>(shelfPtr) + off);
}

// The one place that turns an address back into an offset: 0 for null and
// for an address outside the mapping.
uint32_t SegOff(const void *p) {
    if (p == nullptr || shelfPtr == nullptr) return 0;
    auto a = reinterpret_cast<uintptr_t>(p);
    auto base = reinterpret_cast<uintptr_t>(shelfPtr);
    if (a < base || a - base >= mmapSize) return 0;
    return static_cast<uint32_t>(a - base);
}

MmapBlock_t *Block(uint32_t off) { return SegAt<MmapBlock_t>(off); }

// The hash table as a checked span; empty when the header does not describe
// a table inside the mapping.
std::span<uint32_t> Table() {
    ShelfHeader_t *hdr = Hdr();
    if (hdr == nullptr) return {};
    uint32_t *t = SegAt<uint32_t>(hdr->hashTable, size_t{hdr->hashSize} * 4);
    if (t == nullptr) return {};
    return {t, hdr->hashSize};
}

// The live record of a table entry, or null for empty, deleted or corrupt.
MonData_t *EntryRecord(uint32_t entry) {
    return entry > kEntryDeleted ? SegAt<MonData_t>(entry) : nullptr;
}

ShelfClient_t *Client(MonHandle_t *h) {
    if (h == nullptr || h->magic != MON_MAGIC_STORE || h->priv == nullptr) return nullptr;
    return static_cast<ShelfClient_t *>(h->priv);
}

// ---- locks ------------------------------------------------------------

// This process's holdings, for the lock-order assertion (hash before free).
bool hashHeld = false;
bool freeHeld = false;

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

// One store mutex held for a scope; released on every exit path.
class Lock {
public:
    Lock(MonHandle_t *m, bool *held) : m_(m), held_(held) {}
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    ~Lock() {
        if (mine_) (void)Release();
    }
    // Returns true once the mutex is held by this process.
    bool Take() {
        assert(!*held_);  // not recursive: a second request waits for ever
        assert(held_ != &hashHeld || !freeHeld);  // never hash inside free
        if (Acquire(m_) != 0) return false;
        mine_ = true;
        *held_ = true;
        return true;
    }
    // Returns false when the semaphore refused the release.
    bool Release() {
        mine_ = false;
        *held_ = false;
        return MonMutexRelease(m_) == 0;
    }

private:
    MonHandle_t *m_;
    bool *held_;
    bool mine_ = false;
};

Lock HashLock(ShelfClient_t *c) { return Lock(c->hashMutex, &hashHeld); }
Lock FreeLock(ShelfClient_t *c) { return Lock(c->freeMutex, &freeHeld); }

// ---- processes named in the segment -------------------------------------

// True when no process has this ID: a signal-0 kill fails with ESRCH.  A
// word that reads as a negative pid_t names no process (kill would address
// a process group), so it counts as gone.
bool ProcessGone(uint32_t pidWord) {
    auto pid = static_cast<pid_t>(pidWord);
    if (pid < 0) return true;
    return kill(pid, 0) == -1 && errno == ESRCH;
}

// Liveness answers remembered for one clean-up walk.  A proxy owns many
// records under one process ID, so asking the kernel once per ID instead of
// once per record keeps the walk from being a burst of kill() calls.
class OwnerCache {
public:
    bool Gone(uint32_t pidWord) {
        for (size_t i = 0; i < used_; ++i)
            if (pids_[i] == pidWord) return gone_[i];
        const bool gone = ProcessGone(pidWord);
        pids_[next_] = pidWord;
        gone_[next_] = gone;
        next_ = (next_ + 1) % pids_.size();
        if (used_ < pids_.size()) ++used_;
        return gone;
    }

private:
    std::array<uint32_t, 16> pids_{};
    std::array<bool, 16> gone_{};
    size_t used_ = 0;
    size_t next_ = 0;
};

// Stops a viewer child.  Only a positive ID is signalled: 0 or -1 would
// reach this process's group or every process.
void StopViewer(uint32_t pidWord) {
    auto pid = static_cast<pid_t>(pidWord);
    if (pid > 0) kill(pid, SIGINT);
}

int SlotShift(int slot) { return slot >= kFirstReadSlot ? 4 * (slot - kFirstReadSlot) : 0; }
uint32_t SlotMask(int slot) { return slot >= kFirstReadSlot ? 0xFu << SlotShift(slot) : 0; }

// ---- allocator, under the free mutex ------------------------------------

// End of the arena (exclusive): where the initial single block stops, and
// never past the mapping whatever the size word says.
uint32_t ArenaEnd(const ShelfHeader_t *hdr) {
    const uint64_t end = kFirstBlockOff + uint64_t{((hdr->segSize - 128) >> 3) << 3};
    return end < mmapSize - 4 ? static_cast<uint32_t>(end) : mmapSize - 4;
}

// Longest walk a sane ring can need; a longer one means a corrupt list.
uint32_t RingLimit() { return mmapSize / kUnit + 2; }

// Runs under the free mutex.  Next fit from the rover, carving from the tail
// of the first block that fits.  Returns the offset of the block header, or
// 0 when nothing fits (rover unchanged).
uint32_t do_Carve(ShelfHeader_t *hdr, uint64_t units) {
    const uint32_t roverOff = hdr->rover;
    MmapBlock_t *prev = Block(roverOff);
    if (prev == nullptr) return 0;
    uint32_t prevOff = roverOff;
    uint32_t pOff = prev->next;
    for (uint32_t step = 0; step < RingLimit(); ++step) {
        MmapBlock_t *p = Block(pOff);
        if (p == nullptr) return 0;
        if (p->units >= units) {
            if (p->units == units) {
                prev->next = p->next;
            } else {
                p->units -= static_cast<uint32_t>(units);
                pOff += p->units * kUnit;
                p = Block(pOff);
                if (p == nullptr) return 0;
                p->units = static_cast<uint32_t>(units);
            }
            hdr->rover = prevOff;
            return pOff;
        }
        if (pOff == roverOff) return 0;  // the whole ring was searched
        prevOff = pOff;
        prev = p;
        pOff = p->next;
    }
    return 0;
}

// Runs under the free mutex.  Links the block at bpOff back into the
// address-ordered ring, merging it with free neighbours.  Returns false,
// changing nothing, when the block is not one that can be live: no size,
// past the arena, or overlapping a free block (a double free among them).
bool do_Release(ShelfHeader_t *hdr, uint32_t bpOff) {
    MmapBlock_t *bp = Block(bpOff);
    if (bp == nullptr || bp->units == 0) return false;
    const uint64_t bpEnd = uint64_t{bpOff} + uint64_t{bp->units} * kUnit;
    if (bpEnd > ArenaEnd(hdr)) return false;

    uint32_t pOff = hdr->rover;
    MmapBlock_t *p = nullptr;
    uint32_t sOff = 0;
    bool placed = false;
    for (uint32_t step = 0; step < RingLimit(); ++step) {
        p = Block(pOff);
        if (p == nullptr || pOff == bpOff) return false;
        sOff = p->next;
        if (bpOff > pOff && bpOff < sOff) {
            placed = true;
            break;
        }
        if (pOff >= sOff && (bpOff > pOff || bpOff < sOff)) {
            placed = true;  // bp goes at the wrap, after the highest block
            break;
        }
        pOff = sOff;
    }
    MmapBlock_t *s = Block(sOff);
    if (!placed || s == nullptr) return false;
    // A live block never overlaps a free one; the walk visits both
    // neighbours anyway, so a double free costs nothing to catch.
    if (pOff < bpOff && uint64_t{pOff} + uint64_t{p->units} * kUnit > bpOff) return false;
    if (sOff > bpOff && bpEnd > sOff) return false;

    if (bpEnd == sOff) {
        bp->units += s->units;
        bp->next = s->next;
    } else {
        bp->next = sOff;
    }
    if (uint64_t{pOff} + uint64_t{p->units} * kUnit == bpOff) {
        p->units += bp->units;
        p->next = bp->next;
    } else {
        p->next = bpOff;
    }
    hdr->rover = pOff;
    return true;
}

// Builds the ring in a new segment: the sentinel alone, then the whole arena
// handed to MmapFree.  Runs unguarded, during the creator's open, before any
// other process can attach.
void InitFreeList(MonHandle_t *h, ShelfHeader_t *hdr) {
    hdr->sentinel.next = kSentinelOff;
    hdr->rover = kSentinelOff;
    hdr->sentinel.units = 0;
    MmapBlock_t *first = Block(kFirstBlockOff);
    first->units = (hdr->segSize - 128) >> 3;
    MmapFree(h, SegAt<unsigned char>(kArenaOff));
}

// ---- hash table, under the hash mutex -------------------------------------

// The shift applied to each key byte: sValues repeated over the 10-byte key.
constexpr unsigned char sValues[11] = {0, 24, 3, 21, 5, 19, 7, 17, 9, 15, 11};
constexpr auto sConstants = [] {
    std::array<unsigned char, MON_KEY_SIZE> s{};
    for (size_t i = 0; i < s.size(); ++i) s[i] = sValues[i % 11];
    return s;
}();

MonData_t *do_CreateData(MonHandle_t *h, ShelfClient_t *c, const void *key);
int do_DeleteData(MonHandle_t *h, const void *key);
void do_Cleanup(MonHandle_t *h, ShelfClient_t *c, bool force, const MonData_t *keep);

// Runs under the hash mutex.  Replaces the table by an empty one of
// Prime(count) entries and moves the live entries over; markers vanish.
// Returns 0, or -1 with the old table in place when no space was found.
int do_Rebuild(MonHandle_t *h, int count) {
    ShelfHeader_t *hdr = Hdr();
    const int size = Prime(count);
    auto *fresh = static_cast<uint32_t *>(MmapAlloc(h, static_cast<unsigned>(size) * 4));
    if (fresh == nullptr) return -1;
    memset(fresh, 0, static_cast<size_t>(size) * 4);

    std::span<uint32_t> old = Table();
    const uint32_t oldOff = hdr->hashTable;
    hdr->hashSize = static_cast<uint32_t>(size);
    hdr->hashDeleted = 0;
    hdr->hashTable = SegOff(fresh);
    std::span<uint32_t> now = Table();
    for (uint32_t entry : old) {
        MonData_t *rec = EntryRecord(entry);
        if (rec == nullptr) continue;
        int idx = HashIndex(rec);
        if (idx >= 0) now[static_cast<size_t>(idx)] = entry;
    }
    if (!old.empty()) MmapFree(h, SegAt<unsigned char>(oldOff));
    return 0;
}

// Runs under the hash mutex.  Advances the handle's cursor to just past the
// next live entry and returns its record; at the end of the table returns
// null and puts the cursor back to 0.
MonData_t *do_Iterate(ShelfClient_t *c) {
    std::span<uint32_t> table = Table();
    while (c->cursor >= 0 && static_cast<size_t>(c->cursor) < table.size()) {
        uint32_t entry = table[static_cast<size_t>(c->cursor)];
        ++c->cursor;
        if (MonData_t *rec = EntryRecord(entry)) return rec;
    }
    c->cursor = 0;
    return nullptr;
}

// Runs under the hash mutex.  Creates the key's record (or clears the one
// already there): load test, rebuild of a table clogged with markers, and a
// forced clean-up when space has run out, run under the mutex already held
// so the create never waits on itself.  Returns the record, or null when
// the table is full or no block could be had even after the clean-up.
MonData_t *do_CreateData(MonHandle_t *h, ShelfClient_t *c, const void *key) {
    ShelfHeader_t *hdr = Hdr();
    const uint32_t limit = (3 * hdr->hashSize) / 4;
    if (hdr->hashCount > limit) return nullptr;
    if (hdr->hashCount + hdr->hashDeleted > limit) (void)do_Rebuild(h, static_cast<int>(hdr->hashSize));

    int idx = HashIndex(key);
    if (idx < 0) return nullptr;
    MonData_t *rec = EntryRecord(Table()[static_cast<size_t>(idx)]);
    const bool wasLive = rec != nullptr;
    if (rec == nullptr) {
        errno = 0;
        rec = static_cast<MonData_t *>(MmapAlloc(h, sizeof(MonData_t)));
        if (rec == nullptr) {
            // Purge only when space ran out: a lock or segment failure would
            // otherwise cost every ended record and stop the viewers for nothing.
            if (errno != ENOMEM) return nullptr;
            do_Cleanup(h, c, true, nullptr);
            // The clean-up only turns live entries into markers, but look
            // again rather than trust an index from before it.
            idx = HashIndex(key);
            if (idx < 0) return nullptr;
            rec = static_cast<MonData_t *>(MmapAlloc(h, sizeof(MonData_t)));
            if (rec == nullptr) return nullptr;
        }
    }
    memset(rec, 0, sizeof *rec);
    memcpy(rec, key, MON_KEY_SIZE);
    Table()[static_cast<size_t>(idx)] = SegOff(rec);
    if (!wasLive) ++hdr->hashCount;
    return rec;
}

// Runs under the hash mutex.  Removes the key's record, leaving a marker.
// Returns 0, also when the key is absent.
int do_DeleteData(MonHandle_t *h, const void *key) {
    ShelfHeader_t *hdr = Hdr();
    int idx = HashIndex(key);
    if (idx < 0) return 0;
    uint32_t &entry = Table()[static_cast<size_t>(idx)];
    MonData_t *rec = EntryRecord(entry);
    if (rec == nullptr) return 0;
    entry = kEntryDeleted;
    MmapFree(h, rec);
    --hdr->hashCount;
    ++hdr->hashDeleted;
    return 0;
}

// Runs under the hash mutex.  Walks every record from the start of the
// table: clears the alive bit of a record whose owner has gone, and deletes
// each record left with flags 0.  Forced, it first stops the viewers that
// still had bits on a record that is not alive and zeroes its flags.  keep,
// the record a put is writing, is never touched.
void do_Cleanup(MonHandle_t *h, ShelfClient_t *c, bool force, const MonData_t *keep) {
    ShelfHeader_t *hdr = Hdr();
    OwnerCache owners;
    c->cursor = 0;
    while (MonData_t *rec = do_Iterate(c)) {
        if (rec == keep) continue;
        uint32_t f = rec->flags;
        if (f & MON_FLAG_ALIVE) {
            if (rec->handleNum != kDetachedHandle && owners.Gone(rec->pid)) {
                f &= ~MON_FLAG_ALIVE;
                rec->flags = f;
            }
            if (f & MON_FLAG_ALIVE) continue;
        }
        if (force) {
            for (int s = MON_SLOT_VIEWER_FIRST; s <= MON_SLOT_VIEWER_LAST; ++s) {
                if (hdr->clientPid[s] != 0 && (f & SlotMask(s)) != 0) StopViewer(hdr->clientPid[s]);
            }
            f = 0;
            rec->flags = 0;
        }
        if (f == 0) (void)do_DeleteData(h, rec);
    }
}

// Registers a reading handle whose slot entry was cleared (its holder taken
// for dead).  Returns false, after logging, for slot 0, which only the
// daemon may hold.
bool Register(ShelfHeader_t *hdr, ShelfClient_t *c) {
    if (hdr->clientPid[c->client] != 0) return true;
    if (c->client == MON_SLOT_DAEMON) {
        QxLogUpdate(nullptr, 1, 3, "bad client=%d", 0);
        return false;
    }
    hdr->clientPid[c->client] = static_cast<uint32_t>(getpid());
    return true;
}

// Runs under the hash mutex.  The whole put: lookup or create, change bits
// of every reading slot, alive bit, sequence number, the clean-up of every
// tenth start, and the copy.  Returns 0 or -1 (store unchanged unless a
// create had begun).
int do_Put(MonHandle_t *h, ShelfClient_t *c, MonData_t *rec) {
    ShelfHeader_t *hdr = Hdr();
    const uint32_t f = rec->flags;
    int idx = HashIndex(rec);
    MonData_t *stored = idx >= 0 ? EntryRecord(Table()[static_cast<size_t>(idx)]) : nullptr;
    if (stored == nullptr) {
        if ((f & MON_FLAG_START) == 0) return -1;
        stored = do_CreateData(h, c, rec);
        if (stored == nullptr) return -1;
    }

    // The whole word is shifted, so bits above a slot's nibble spill into
    // the next slot's (bit 30 through slot 3); an unregistered slot has the
    // same bits cleared, so it collects nothing while nobody reads it.
    uint32_t flags = stored->flags;
    for (int s = kFirstReadSlot; s < MON_SLOTS; ++s) {
        const uint32_t bits = f << SlotShift(s);
        if (hdr->clientPid[s] != 0) {
            flags |= bits;
        } else {
            flags &= ~bits;
        }
    }
    if (f & MON_FLAG_START) {
        flags |= MON_FLAG_ALIVE;
        const uint32_t seq = ++hdr->putCount;
        stored->seqNum = seq;
        if (seq % kCleanupEvery == 0) {
            stored->flags = flags;
            const uint32_t tagger = hdr->clientPid[MON_SLOT_TAGGER];
            if (tagger != 0 && ProcessGone(tagger)) hdr->clientPid[MON_SLOT_TAGGER] = 0;
            // The record being put is spared: were its owner gone and no
            // reader registered, the clean-up would free the block that the
            // copy below is about to fill.
            do_Cleanup(h, c, false, stored);
            flags = stored->flags;
        }
    }
    if (f & (MON_FLAG_UPDATE | MON_FLAG_STATUS)) flags |= MON_FLAG_ALIVE;
    if (f & MON_FLAG_END) flags &= ~MON_FLAG_ALIVE;  // last: an end always wins
    stored->flags = flags;

    rec->flags = stored->flags;
    rec->seqNum = stored->seqNum;
    rec->clientTag = stored->clientTag;
    memmove(stored, rec, sizeof *stored);
    return 0;
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
    // the creator writes the whole length before it maps.
    if (client != MON_SLOT_DAEMON && st.st_size < static_cast<off_t>(mmapSize)) {
        QxLogUpdate(nullptr, 1, 29, "QxMonMemOpen: could not map memory mapped file");
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// ---- allocator ------------------------------------------------------------

// Allocates bytes of contents from the segment (not cleared).  Returns
// their address, or null after logging 29 (no usable segment) or 30 (no
// block large enough; rover unchanged); null without a message when the
// free mutex fails.
extern "C" void *MmapAlloc(MonHandle_t *h, unsigned int bytes) {
    ShelfHeader_t *hdr = Hdr();
    // The size word must describe the mapping: one from 128 up to 0xfffff
    // is refused as too small, and one below 128 (which wraps when 128 is
    // taken off) or above the mapping would let the arena run past the
    // mapped bytes.
    if (hdr == nullptr || hdr->segSize - 128u <= 0xfff7fu || hdr->segSize < 128u ||
        hdr->segSize > mmapSize) {
        QxLogUpdate(nullptr, 1, 29, "MmapAlloc: Could not map memory mapped file");
        return nullptr;
    }
    ShelfClient_t *c = Client(h);
    if (c == nullptr) return nullptr;
    const uint64_t units = ((uint64_t{bytes} + 7) >> 3) + 1;

    if (hdr->rover == 0) InitFreeList(h, hdr);

    Lock lock = FreeLock(c);
    if (!lock.Take()) return nullptr;
    const uint32_t found = do_Carve(hdr, units);
    if (!lock.Release()) return nullptr;
    if (found == 0) {
        QxLogUpdate(nullptr, 1, 30, "MmapAlloc: no more free shared memory");
        errno = ENOMEM; // the one failure that a clean-up can mend
        return nullptr;
    }
    return SegAt<unsigned char>(found + sizeof(MmapBlock_t));
}

// Gives a block from MmapAlloc back, merging it with free neighbours.  An
// address that cannot be a live block (outside the arena, off the 8-byte
// grid, sizeless, running past the arena, or overlapping a free block as a
// double free does) logs 33 and leaves the list unchanged.
extern "C" void MmapFree(MonHandle_t *h, void *addr) {
    ShelfHeader_t *hdr = Hdr();
    const uint32_t off = SegOff(addr);
    if (hdr == nullptr || off < kArenaOff || off > hdr->segSize - 4 ||
        (off - kArenaOff) % kUnit != 0) {
        QxLogUpdate(nullptr, 1, 33, "MmapFree: can't free bad addr=0x%lx",
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(addr)));
        return;
    }
    ShelfClient_t *c = Client(h);
    if (c == nullptr) return;
    Lock lock = FreeLock(c);
    if (!lock.Take()) return;
    if (!do_Release(hdr, off - sizeof(MmapBlock_t))) {
        QxLogUpdate(nullptr, 1, 33, "MmapFree: can't free bad addr=0x%lx",
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(addr)));
    }
    (void)lock.Release();
}

// ---- hash table -------------------------------------------------------------

// Hash of the 10 key bytes: each byte shifted by its constant, exclusive-or'd.
extern "C" uint32_t Hash(const void *key) {
    const auto *k = static_cast<const unsigned char *>(key);
    uint32_t h = 0;
    for (size_t i = 0; i < sConstants.size(); ++i) h ^= uint32_t{k[i]} << sConstants[i];
    return h;
}

// Smallest prime at least count (5 at least; even counts start one higher).
extern "C" int Prime(int count) {
    int n = count <= 4 ? 5 : count;
    if (n % 2 == 0) ++n;
    for (int d = 3; d <= n / d; d += 2) {
        if (n % d == 0) {
            n += 2;
            d = 1;  // the loop's += 2 starts again at 3
        }
    }
    return n;
}

// The caller holds the hash mutex.  Returns the index where key lives, or
// the first empty entry of its probe path: hash mod size, then restart at
// hash mod (size - 4), then linear.  -1 when the header holds no usable table
// or the path has no empty entry.
extern "C" int HashIndex(const void *key) {
    std::span<uint32_t> table = Table();
    const auto size = static_cast<uint32_t>(table.size());
    if (size < 5 || key == nullptr) return -1;
    const uint32_t h = Hash(key);
    uint32_t idx = h % size;
    for (uint32_t probe = 0; probe <= size; ++probe) {
        const uint32_t entry = table[idx];
        if (entry == 0) return static_cast<int>(idx);
        MonData_t *rec = EntryRecord(entry);
        if (rec != nullptr && memcmp(rec, key, MON_KEY_SIZE) == 0) return static_cast<int>(idx);
        idx = probe == 0 ? h % (size - 4) : (idx + 1) % size;
    }
    return -1;
}

// Builds an empty table of Prime(count) entries.  Returns 0 or -1 (the
// block is given back when the hash mutex fails).
extern "C" int CreateHashTable(MonHandle_t *h, int count) {
    ShelfClient_t *c = Client(h);
    ShelfHeader_t *hdr = Hdr();
    if (c == nullptr || hdr == nullptr) return -1;
    const int size = Prime(count);
    void *block = MmapAlloc(h, static_cast<unsigned>(size) * 4);
    if (block == nullptr) return -1;
    memset(block, 0, static_cast<size_t>(size) * 4);
    Lock lock = HashLock(c);
    if (!lock.Take()) {
        MmapFree(h, block);
        return -1;
    }
    hdr->hashTable = SegOff(block);
    hdr->hashSize = static_cast<uint32_t>(size);
    hdr->hashCount = 0;
    hdr->hashDeleted = 0;
    return lock.Release() ? 0 : -1;
}

// Rebuilds the table at Prime(count) entries, live entries moved, markers
// dropped.  Returns 0 or -1 (old table kept when no space was found).
extern "C" int ResizeHashTable(MonHandle_t *h, int count) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr) return -1;
    Lock lock = HashLock(c);
    if (!lock.Take()) return -1;
    int rc = do_Rebuild(h, count);
    if (!lock.Release()) return -1;
    return rc;
}

// Returns the key's record cleared to all but the key and entered in the
// table (an existing record of that key is reused), or null when the table
// is full, no space is left even after a forced clean-up, or the lock fails.
extern "C" MonData_t *ShelfCreateData(MonHandle_t *h, const void *key) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr || key == nullptr) return nullptr;
    Lock lock = HashLock(c);
    if (!lock.Take()) return nullptr;
    MonData_t *rec = do_CreateData(h, c, key);
    if (!lock.Release()) return nullptr;
    return rec;
}

// Removes the key's record and frees its block.  Returns 0 (also for an
// absent key), -1 when the hash mutex fails.
extern "C" int ShelfDeleteData(MonHandle_t *h, const void *key) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr || key == nullptr) return -1;
    Lock lock = HashLock(c);
    if (!lock.Take()) return -1;
    (void)do_DeleteData(h, key);
    return lock.Release() ? 0 : -1;
}

// Returns the key's record in place in the segment (not a copy), or null.
extern "C" MonData_t *ShelfDataPtr(MonHandle_t *h, const void *key) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr || key == nullptr) return nullptr;
    Lock lock = HashLock(c);
    if (!lock.Take()) return nullptr;
    const int idx = HashIndex(key);
    MonData_t *rec = idx >= 0 ? EntryRecord(Table()[static_cast<size_t>(idx)]) : nullptr;
    if (!lock.Release()) return nullptr;
    return rec;
}

// Returns the next live record after the handle's cursor, or null at the end
// of the table (cursor back to 0) or when the lock fails (cursor unchanged).
// The mutex is released before return: the record may change or go at once.
extern "C" MonData_t *ShelfIterate(MonHandle_t *h) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr) return nullptr;
    Lock lock = HashLock(c);
    if (!lock.Take()) return nullptr;
    MonData_t *rec = do_Iterate(c);
    if (!lock.Release()) return nullptr;
    return rec;
}

// Calls fn(record, ctx) for every live record, in table order, all under one
// hold of the hash mutex, so no record can be freed or torn while fn looks at
// or changes it in place. fn must not call back into the store. Returns the
// number of records visited, or -1 when the mutex could not be taken.
extern "C" int ShelfWalk(MonHandle_t *h, void (*fn)(MonData_t *rec, void *ctx), void *ctx) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr || fn == nullptr) return -1;
    Lock lock = HashLock(c);
    if (!lock.Take()) return -1;
    int visited = 0;
    for (uint32_t entry : Table()) {
        MonData_t *rec = EntryRecord(entry);
        if (rec == nullptr) continue;
        fn(rec, ctx);
        ++visited;
    }
    (void)lock.Release();
    return visited;
}

// ---- segment: open, close, clean-up ---------------------------------------

// Purges finished records (see do_Cleanup) in one pass under the hash mutex.
// Always returns 0; a lock failure purges nothing.
extern "C" int ShelfCleanup(MonHandle_t *h, unsigned char force) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr) return 0;
    Lock lock = HashLock(c);
    if (!lock.Take()) return 0;
    do_Cleanup(h, c, force != 0, nullptr);
    (void)lock.Release();
    return 0;
}

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
    auto *h = static_cast<MonHandle_t *>(calloc(1, sizeof(MonHandle_t)));
    auto *c = static_cast<ShelfClient_t *>(calloc(1, sizeof(ShelfClient_t)));
    if (h == nullptr || c == nullptr) {
        QxLogUpdate(nullptr, 1, 35, "QxMonMemOpen: malloc() handle failed");
        free(c);
        free(h);
        return -1;
    }
    h->magic = MON_MAGIC_DEAD;
    c->client = client;
    c->cursor = 0;
    h->priv = c;
    h->openFn = QxMonMemOpen;
    h->closeFn = ShelfClose;
    h->putFn = ShelfPut;
    h->getFn = ShelfGet;
    h->getNextFn = ShelfGetNext;
    static_assert(sizeof kPath <= MON_PATH_SIZE);
    memcpy(h->path, kPath, sizeof kPath);

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
        Hdr()->clientPid[client] = static_cast<uint32_t>(getpid());
        ++openCount;
        *out = h;
        return 0;
    }

    mmapFd = OpenStoreFile(kPath, client);
    if (mmapFd < 0) return FailOpen(h, c);

    if (client == MON_SLOT_DAEMON) {
        for (uint32_t i = 0; i < mmapSize / sizeof zeros + 1; ++i) {
            if (write(mmapFd, zeros, sizeof zeros) != static_cast<ssize_t>(sizeof zeros)) {
                QxLogUpdate(nullptr, 1, 12, "QxMonMemOpen: failed to zero page of mapped file");
                return FailOpen(h, c);
            }
        }
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
        for (uint32_t &pid : hdr->clientPid) pid = 0;
        if (CreateHashTable(h, SHELF_HASH_INITIAL) != 0) return FailOpen(h, c);
    } else if (client != MON_SLOT_PROXY) {
        const uint32_t holder = hdr->clientPid[client];
        if (holder != 0 && !ProcessGone(holder)) {
            QxLogUpdate(nullptr, 1, 2, "QxMonMemOpen: Duplicate client=%d, in use by PID=%d",
                        client, static_cast<int>(holder));
            return FailOpen(h, c);
        }
    }

    hdr->clientPid[client] = static_cast<uint32_t>(getpid());
    ++openCount;
    *out = h;
    return 0;
}

// Releases the handle's slot and frees the handle; the last close in the
// process unmaps the segment and closes the file.  Returns 0, or -1 when a
// mutex close, the unmap or the file close failed (the handle is freed in
// every case).
extern "C" int ShelfClose(MonHandle_t *h) {
    if (h == nullptr || h->priv == nullptr) return -1;
    auto *c = static_cast<ShelfClient_t *>(h->priv);
    int rc = 0;
    h->magic = MON_MAGIC_DEAD;
    if (ShelfHeader_t *hdr = Hdr()) hdr->clientPid[c->client] = 0;

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

// ---- record operations -------------------------------------------------------

// Stores the caller's record under its key; a record not yet stored is
// created only when flags carries the start bit.  Returns 0 with the
// caller's flags, seqNum and clientTag set to the stored values, or -1.
// Lookup, change bits and copy happen in one hold of the hash mutex, so no
// reader sees half a record and no block is written after it was freed.
extern "C" int ShelfPut(MonHandle_t *h, const MonData_t *in) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr || in == nullptr) return -1;
    // The contract hands the stored flags, seqNum and clientTag back in the
    // caller's buffer, although the generic put takes it as const.
    auto *rec = const_cast<MonData_t *>(in);
    Lock lock = HashLock(c);
    if (!lock.Take()) return -1;
    const int rc = do_Put(h, c, rec);
    if (!lock.Release()) return -1;
    return rc;
}

// Copies the record with the caller's key into the caller's buffer, flags
// reduced to this slot's four change bits (left as stored), and stores the
// caller's clientTag in the record.  Returns 0, or -1 when absent, on a lock
// failure, or (logged) for an unregistered slot 0.
extern "C" int ShelfGet(MonHandle_t *h, MonData_t *rec) {
    ShelfClient_t *c = Client(h);
    ShelfHeader_t *hdr = Hdr();
    if (c == nullptr || hdr == nullptr || rec == nullptr) return -1;
    if (!Register(hdr, c)) return -1;
    const uint32_t tag = rec->clientTag;
    const uint32_t mask = SlotMask(c->client);
    const int shift = SlotShift(c->client);

    Lock lock = HashLock(c);
    if (!lock.Take()) return -1;
    const int idx = HashIndex(rec);
    MonData_t *stored = idx >= 0 ? EntryRecord(Table()[static_cast<size_t>(idx)]) : nullptr;
    if (stored == nullptr) return -1;
    memmove(rec, stored, sizeof *rec);
    rec->flags = (stored->flags & mask) >> shift;
    stored->clientTag = tag;
    return lock.Release() ? 0 : -1;
}

// Copies the next record, in table order from the handle's cursor, that has
// change bits for this slot (any record when all is non-zero); its flags in
// the buffer are the slot's bits, plus 0x8 when it is no longer alive, and
// the slot's stored bits are cleared.  Returns 1 for a record, 0 when the
// pass is over (or the lock fails), -1 (logged) for an unregistered slot 0.
extern "C" int ShelfGetNext(MonHandle_t *h, int all, MonData_t *rec) {
    ShelfClient_t *c = Client(h);
    ShelfHeader_t *hdr = Hdr();
    if (c == nullptr || hdr == nullptr || rec == nullptr) return -1;
    if (!Register(hdr, c)) return -1;
    const uint32_t tag = rec->clientTag;
    const uint32_t mask = SlotMask(c->client);
    const int shift = SlotShift(c->client);

    Lock lock = HashLock(c);
    if (!lock.Take()) return 0;
    MonData_t *stored;
    while ((stored = do_Iterate(c)) != nullptr) {
        if (all != 0 || (stored->flags & mask) != 0) break;
    }
    if (stored == nullptr) return 0;
    const uint32_t flags = stored->flags;
    memmove(rec, stored, sizeof *rec);
    rec->flags = ((flags & mask) >> shift) | ((flags & MON_FLAG_ALIVE) ? 0 : MON_FLAG_END);
    stored->flags = flags & ~mask;
    if (tag != 0 && c->client == MON_SLOT_TAGGER) stored->clientTag = tag;
    return lock.Release() ? 1 : 0;
}

// ---- per-process state, for tests ------------------------------------------------

extern "C" int ShelfOpenCount(void) { return openCount; }
extern "C" int ShelfMapFd(void) { return mmapFd; }

// Visits live records from the handle's cursor on, all under one hold of the
// hash mutex, until fn returns non-zero (the cursor then rests just past that
// record) or the table ends (the cursor goes back to 0).  fn must not call
// back into the store.  Returns 1 when fn stopped the walk, 0 at the end of
// the table, -1 when the mutex could not be taken (cursor unchanged).
extern "C" int ShelfWalkOn(MonHandle_t *h, int (*fn)(MonData_t *rec, void *ctx), void *ctx) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr || fn == nullptr) return -1;
    Lock lock = HashLock(c);
    if (!lock.Take()) return -1;
    while (MonData_t *rec = do_Iterate(c)) {
        if (fn(rec, ctx) != 0) return lock.Release() ? 1 : -1;
    }
    return lock.Release() ? 0 : -1;
}
