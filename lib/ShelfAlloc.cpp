/*
 * ShelfAlloc.cpp - the store's allocator: a next-fit, address-ordered ring
 * of free blocks in 8-byte units inside the segment's arena, anchored at the
 * header's sentinel and entered at the rover.  The ring and the rover are
 * guarded by the free mutex ("mon.free.mutex"), which is taken inside the
 * hash mutex when both are needed, never the other way round.
 */
#include <errno.h>

#include <cstdint>

#include "Shelf_internal.h"
#include "monitor.h"

namespace quelm {
namespace {

using namespace shelf;

MmapBlock_t *Block(uint32_t off) { return SegAt<MmapBlock_t>(off); }

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

}  // namespace

namespace {

// The open FreeKeep scope's state: whether one is open, and the free mutex
// it holds (null until a carve or release took it).
bool keeping = false;
MonHandle_t *keptFree = nullptr;

// Holds the free mutex for one carve or release: through lock, or inside a
// FreeKeep scope once for the scope.  False when the mutex failed.
bool EnterFree(ShelfClient_t *c, Lock &lock) {
    if (!keeping) return lock.Take();
    if (keptFree == nullptr) {
        if (Acquire(c->freeMutex) != 0) return false;
        keptFree = c->freeMutex;
        freeHeld = true;
    }
    return true;
}

// Ends what EnterFree began: false when the semaphore refused the release.
bool LeaveFree(Lock &lock) { return keeping ? true : lock.Release(); }

}  // namespace

FreeKeep::FreeKeep() noexcept {
    assert(hashHeld && !keeping);
    keeping = true;
}

FreeKeep::~FreeKeep() {
    keeping = false;
    if (keptFree == nullptr) return;
    freeHeld = false;
    (void)MonMutexRelease(keptFree);
    keptFree = nullptr;
}

// Allocates bytes of contents from the segment (not cleared).  Returns
// their address, or null after logging 29 (no usable segment) or 30 (no
// block large enough; rover unchanged); null without a message when the
// free mutex fails.
void *MmapAlloc(MonHandle_t *h, unsigned int bytes) {
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
    if (!EnterFree(c, lock)) return nullptr;
    const uint32_t found = do_Carve(hdr, units);
    if (!LeaveFree(lock)) return nullptr;
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
void MmapFree(MonHandle_t *h, void *addr) {
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
    if (!EnterFree(c, lock)) return;
    if (!do_Release(hdr, off - sizeof(MmapBlock_t))) {
        QxLogUpdate(nullptr, 1, 33, "MmapFree: can't free bad addr=0x%lx",
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(addr)));
    }
    (void)LeaveFree(lock);
}

}  // namespace quelm
