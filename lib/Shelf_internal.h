/*
 * Shelf_internal.h - the store module's private interface, shared by its
 * files (Shelf.cpp segment, ShelfAlloc.cpp allocator, ShelfTable.cpp hash
 * table, ShelfRecord.cpp record operations, ShelfSlots.cpp slot table and
 * liveness, ShelfFollow.cpp restarts) and the store's tests.  The daemon's
 * calls are in shelf_daemon.h, the seam table in shelf_sys.h; both are
 * included here.  C++ only and not installed; every name lives in namespace
 * quelm so the archive defines none of them as a plain C symbol that could
 * clash with a proxy's own.
 */
#ifndef QUELM_SHELF_INTERNAL_H
#define QUELM_SHELF_INTERNAL_H

#include <sys/types.h>

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

#include "monitor.h"
#include "shelf_daemon.h"
#include "shelf_sys.h"

namespace quelm {

/* Private part of a store handle (MonHandle_t.priv). */
struct ShelfClient_t {
    int32_t client;          /* slot number, 0 to 9                        */
    int32_t cursor;          /* next hash index ShelfIterate examines      */
    uint32_t passChange;     /* change word when the current pass began    */
    uint32_t idleChange;     /* change word after the last completed pass  */
    bool idleKnown;          /* a completed pass left this slot nothing     */
    uint32_t generation;     /* the process's store its mutexes belong to  */
    MonHandle_t *freeMutex;  /* "mon.free.mutex": guards the free list     */
    MonHandle_t *hashMutex;  /* "mon.hash.mutex": guards table + counters  */
};

/* Store operations, reached through the handle's table. */
int ShelfClose(MonHandle_t *h);
int ShelfPut(MonHandle_t *h, const MonData_t *rec);
int ShelfGet(MonHandle_t *h, MonData_t *rec);
int ShelfGetNext(MonHandle_t *h, int all, MonData_t *rec);

/* Allocator inside the segment. */
void *MmapAlloc(MonHandle_t *h, unsigned int bytes);
void MmapFree(MonHandle_t *h, void *addr);

/* Record hash table. */
uint32_t Hash(const void *key);
int Prime(int count);
int HashIndex(const void *key);
int CreateHashTable(MonHandle_t *h, int count);
int ResizeHashTable(MonHandle_t *h, int count);

/* Visits every live record under the hash mutex (fn must not re-enter the store). */
int ShelfWalk(MonHandle_t *h, void (*fn)(MonData_t *rec, void *ctx), void *ctx);

/* Per-process state, for tests: store handles open, descriptor of the file. */
int ShelfOpenCount();
int ShelfMapFd();

/* How many stores this process has mapped: 1 for its first, one more each
 * time a put followed a restarted daemon onto its new store. */
uint32_t ShelfGeneration() noexcept;

/* ---- liveness ----------------------------------------------------------
 * Async-signal-safe, like the slot calls (shelf_daemon.h). */

/* True when pid names no process: only a signal-0 kill failing with ESRCH
 * counts (EPERM means alive); a word that reads as a negative pid_t names no
 * process and counts as gone (kill would address a process group). */
bool ShelfProcessGone(uint32_t pid);
/* True when slot's entry names a process that has gone (a free slot is not). */
bool ShelfHolderGone(int slot);
/* True when the reporter owning rec has gone; never for a record with the
 * detached handle number, whose owner is not checked. */
bool ShelfOwnerGone(const MonData_t *rec);

/* ---- for the module's own files ------------------------------------------ */
namespace shelf {

constexpr char kPath[] = "/tmp/mon.mmap";
constexpr uint32_t kUnit = 8;                                         // allocator granule
constexpr uint32_t kSentinelOff = offsetof(ShelfHeader_t, sentinel);  // 116
constexpr uint32_t kFirstBlockOff = sizeof(ShelfHeader_t);            // 124
constexpr uint32_t kArenaOff = kFirstBlockOff + sizeof(MmapBlock_t);  // 132
constexpr uint32_t kEntryDeleted = 1;              // hash entry: a record was removed here
constexpr uint32_t kDetachedHandle = 0xffffffffu;  // handleNum whose owner is never checked
constexpr int kFirstReadSlot = 3;
constexpr uint32_t kRecordBytes = 2072;  // one record's block: 2060 rounded to 8, + header

// Two words of the header's reserved area carry state that a bigger store
// needs; both are zero in a new file and change only under the hash mutex.
constexpr size_t kChangeWord = 0;  // bumped by every put and seeding: readers skip idle walks
constexpr size_t kSweepWord = 1;   // table index where the next sliced clean-up starts
inline uint32_t &HeaderWord(ShelfHeader_t *hdr, size_t i) { return hdr->reserved1[i]; }

// The largest segment any capacity makes; an attaching process refuses a
// header that states more.
uint32_t MaxSegSize();

// Checks, before anything is mapped, that the header of the store file fd
// (fileSize bytes) describes a segment this process can map: the segment
// size, or 0 after logging (Shelf.cpp).
uint32_t AttachSize(int fd, off_t fileSize);

// Restarts (ShelfFollow.cpp).  The count of stores this process has mapped;
// marks the store file at path retired and removes its name (the daemon,
// before it makes a new one); the put of every slot but the daemon's, which
// follows a retired store to the new one and refuses (EPIPE) while no daemon
// serves the store.
extern uint32_t storeGeneration;
void RetireStore(const char *path);
int ShelfPutAttached(MonHandle_t *h, const MonData_t *rec);

// Per-process state, inherited by forked children (Shelf.cpp).
extern uint32_t mmapSize;
extern int openCount;
extern int mmapFd;

inline ShelfHeader_t *Hdr() { return static_cast<ShelfHeader_t *>(shelfPtr); }

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
uint32_t SegOff(const void *p);

// The hash table as a checked span; empty when the header does not describe
// a table inside the mapping.
std::span<uint32_t> Table();

// The live record of a table entry, or null for empty, deleted or corrupt.
inline MonData_t *EntryRecord(uint32_t entry) {
    return entry > kEntryDeleted ? SegAt<MonData_t>(entry) : nullptr;
}

inline ShelfClient_t *Client(MonHandle_t *h) {
    if (h == nullptr || h->magic != MON_MAGIC_STORE || h->priv == nullptr) return nullptr;
    return static_cast<ShelfClient_t *>(h->priv);
}

// Bit position and mask of a reading slot's change nibble in flags; 0 for
// the slots that read no bits.
inline int SlotShift(int slot) { return slot >= kFirstReadSlot ? 4 * (slot - kFirstReadSlot) : 0; }
inline uint32_t SlotMask(int slot) { return slot >= kFirstReadSlot ? 0xFu << SlotShift(slot) : 0; }

// ---- locks ----------------------------------------------------------------

// This process's holdings, for the lock-order assertion (hash before free).
extern bool hashHeld;
extern bool freeHeld;

// Takes a store mutex, waiting again after EINTR; 0 or -1.
int Acquire(MonHandle_t *m);

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
        assert(!*held_);                          // not recursive: a second request waits for ever
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

inline Lock HashLock(ShelfClient_t *c) { return Lock(c->hashMutex, &hashHeld); }
inline Lock FreeLock(ShelfClient_t *c) { return Lock(c->freeMutex, &freeHeld); }

// Under the hash mutex, for a batch of puts: the first block carved or
// given back takes the free mutex and it stays held until the scope ends,
// so a batch costs one round trip of it, not one per record created and
// one per record purged.  Every carve and release runs under the hash
// mutex (the lock order), so only one scope is open at a time.
class FreeKeep {
public:
    FreeKeep() noexcept;
    ~FreeKeep();
    FreeKeep(const FreeKeep &) = delete;
    FreeKeep &operator=(const FreeKeep &) = delete;
};

// Liveness answers remembered for one walk: a proxy owns many records under
// one process ID, so each distinct ID is asked once per walk, not once per
// record.  An open-addressing set that doubles as it fills; when memory is
// short it stops remembering and simply asks again.
class OwnerCache {
public:
    OwnerCache() = default;
    OwnerCache(const OwnerCache &) = delete;
    OwnerCache &operator=(const OwnerCache &) = delete;
    ~OwnerCache();
    bool Gone(uint32_t pidWord);

private:
    struct Entry {
        uint32_t pid;
        uint8_t used;
        uint8_t gone;
    };
    bool Grow();
    Entry *slots_ = nullptr;
    size_t size_ = 0;  // a power of two, or 0 before the first answer
    size_t used_ = 0;
};

// Helpers that run under the hash mutex (ShelfTable.cpp, ShelfRecord.cpp).
MonData_t *do_Iterate(ShelfClient_t *c);
MonData_t *do_CreateData(MonHandle_t *h, ShelfClient_t *c, const void *key);
int do_DeleteData(MonHandle_t *h, const void *key);
void do_Cleanup(MonHandle_t *h, ShelfClient_t *c, bool force, const MonData_t *keep);
// Ends a record whose owner has gone: clears its alive bit and gives every
// reading slot but except whose holder lives (asked through pids) its end
// bit, as a put of an end does, so the record stays until they have read it.
void do_EndOfGoneOwner(MonData_t *rec, int except, OwnerCache *pids);
// Purges finished records of table entries [from, from + count), wrapping;
// returns the number of records deleted.  do_Cleanup is the whole table.
uint32_t do_CleanupRange(MonHandle_t *h, bool force, const MonData_t *keep, uint32_t from,
                         uint32_t count);

}  // namespace shelf
}  // namespace quelm

#endif /* QUELM_SHELF_INTERNAL_H */
