/*
 * ShelfSlots.cpp - the store's client slot table and its liveness rule.
 * The ten clientPid words in the header are written without a lock by
 * several processes and by signal handlers, so every access is one atomic
 * 32-bit operation here and nowhere else.  Seeding a viewer slot's change
 * bits walks the records under the hash mutex ("mon.hash.mutex").
 */
#include <errno.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cstdint>

#include "Shelf_internal.h"
#include "monitor.h"

namespace quelm {

constexpr ShelfSys_t kShelfSysDefault = {::kill};
constinit ShelfSys_t shelfSys = kShelfSysDefault;

namespace {

using namespace shelf;

constexpr uint32_t kSeedStart = MON_FLAG_START;
constexpr uint32_t kSeedUpdate = MON_FLAG_UPDATE;
constexpr uint32_t kSeedStatus = MON_FLAG_STATUS;

// The slot's entry, or null while no store is mapped or slot is out of range.
uint32_t *SlotWord(int slot) {
    ShelfHeader_t *hdr = Hdr();
    if (hdr == nullptr || slot < 0 || slot >= MON_SLOTS) return nullptr;
    return &hdr->clientPid[slot];
}

// Seeds one alive record for the slot at shift, freeing the viewer slots
// whose dead holders still have bits pending on it.  Runs under the hash
// mutex.
void do_SeedRecord(MonData_t *rec, int shift, OwnerCache *pids) {
    for (int v = MON_SLOT_VIEWER_FIRST; v <= MON_SLOT_VIEWER_LAST; ++v) {
        if ((rec->flags & SlotMask(v)) == 0) continue;
        const uint32_t holder = ShelfSlotHolder(v);
        if (holder != 0 && pids->Gone(holder)) {
            ShelfReleaseSlot(v, holder);
            rec->flags &= ~SlotMask(v);
        }
    }
    uint32_t bits = kSeedStart;
    if (rec->countA != 0 || rec->countB != 0) bits |= kSeedUpdate;
    if (rec->status != 0 || rec->statusText[0] != '\0') bits |= kSeedStatus;
    rec->flags |= bits << shift;
}

}  // namespace

namespace shelf {

OwnerCache::~OwnerCache() { free(slots_); }

// Doubles the set (64 entries at first); false when memory is short.
bool OwnerCache::Grow() {
    const size_t size = size_ == 0 ? 64 : size_ * 2;
    auto *fresh = static_cast<Entry *>(calloc(size, sizeof(Entry)));
    if (fresh == nullptr) return false;
    for (size_t i = 0; i < size_; ++i) {
        if (!slots_[i].used) continue;
        size_t j = slots_[i].pid * 2654435761u & (size - 1);
        while (fresh[j].used) j = (j + 1) & (size - 1);
        fresh[j] = slots_[i];
    }
    free(slots_);
    slots_ = fresh;
    size_ = size;
    return true;
}

bool OwnerCache::Gone(uint32_t pidWord) {
    size_t j = 0;
    if (size_ != 0) {
        j = pidWord * 2654435761u & (size_ - 1);
        while (slots_[j].used) {
            if (slots_[j].pid == pidWord) return slots_[j].gone != 0;
            j = (j + 1) & (size_ - 1);
        }
    }
    const bool gone = ShelfProcessGone(pidWord);
    // Kept at most half full, so a probe always ends at an empty entry.
    if ((used_ + 1) * 2 > size_) {
        if (!Grow()) return gone;
        j = pidWord * 2654435761u & (size_ - 1);
        while (slots_[j].used) j = (j + 1) & (size_ - 1);
    }
    slots_[j] = Entry{pidWord, 1, static_cast<uint8_t>(gone)};
    ++used_;
    return gone;
}

}  // namespace shelf

uint32_t ShelfSlotHolder(int slot) {
    uint32_t *w = SlotWord(slot);
    return w != nullptr ? std::atomic_ref<uint32_t>(*w).load(std::memory_order_relaxed) : 0;
}

void ShelfClaimSlot(int slot, uint32_t pid) {
    if (uint32_t *w = SlotWord(slot)) std::atomic_ref<uint32_t>(*w).store(pid, std::memory_order_relaxed);
}

bool ShelfReleaseSlot(int slot, uint32_t pid) {
    uint32_t *w = SlotWord(slot);
    return w != nullptr && std::atomic_ref<uint32_t>(*w).compare_exchange_strong(
                               pid, 0, std::memory_order_relaxed);
}

bool ShelfProcessGone(uint32_t pidWord) {
    auto pid = static_cast<pid_t>(pidWord);
    if (pid < 0) return true;
    return shelfSys.kill(pid, 0) == -1 && errno == ESRCH;
}

bool ShelfHolderGone(int slot) {
    const uint32_t holder = ShelfSlotHolder(slot);
    return holder != 0 && ShelfProcessGone(holder);
}

bool ShelfOwnerGone(const MonData_t *rec) {
    return rec != nullptr && rec->handleNum != kDetachedHandle && ShelfProcessGone(rec->pid);
}

int ShelfSeedSlot(MonHandle_t *h, int slot) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr || SlotMask(slot) == 0 || slot >= MON_SLOTS) return -1;
    Lock lock = HashLock(c);
    if (!lock.Take()) return -1;
    // Viewer holders and record owners share one cache: both are process
    // IDs, and one walk needs each answer once.
    OwnerCache pids;
    int walked = 0;
    for (uint32_t entry : Table()) {
        MonData_t *rec = EntryRecord(entry);
        if (rec == nullptr) continue;
        ++walked;
        if ((rec->flags & MON_FLAG_ALIVE) != 0 && rec->handleNum != kDetachedHandle && pids.Gone(rec->pid))
            do_EndOfGoneOwner(rec, slot, &pids);
        // An ended session is neither seeded nor examined.
        if ((rec->flags & MON_FLAG_ALIVE) != 0) do_SeedRecord(rec, SlotShift(slot), &pids);
    }
    ++HeaderWord(Hdr(), kChangeWord);  // the slot has bits to hand out now
    (void)lock.Release();
    return walked;
}

}  // namespace quelm
