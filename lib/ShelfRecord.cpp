/*
 * ShelfRecord.cpp - the store's record operations: put, keyed get, the
 * change-stream step, and the clean-up that purges finished records.  Each
 * runs in one hold of the hash mutex ("mon.hash.mutex"), so no reader sees
 * half a record and no block is written after it was freed; helpers named
 * do_ assume the caller holds it.  Change bits: four per reading slot 3-9 in
 * each record's flags word (slot 3 bits 0-3 ... slot 9 bits 24-27), bit 31
 * alive.
 */
#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <span>

#include "Shelf_internal.h"
#include "monitor.h"

namespace quelm {
namespace {

using namespace shelf;

constexpr int kCleanupEvery = 10;  // started records between clean-ups
// Table entries one clean-up examines.  A table up to this size is walked
// whole, as it always was; a larger one in slices from where the last
// clean-up stopped, so the cost per started record stays bounded however
// large the store is.
constexpr uint32_t kCleanupSlice = 1024;

// A store that fills faster than its readers read drops ended records they
// have not read at every forced clean-up: one line now and then says how
// many, not one line per clean-up.
constexpr long kUnreadLogSeconds = 10;
uint64_t unreadDropped = 0;  // not yet logged
long unreadLoggedAt = -1;    // CLOCK_MONOTONIC seconds of the last line

void NoteUnreadDropped(uint32_t n) {
    unreadDropped += n;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (unreadLoggedAt >= 0 && now.tv_sec - unreadLoggedAt < kUnreadLogSeconds) return;
    QxLogUpdate(nullptr, 1, 20, "ShelfCreateData: store full, %llu ended records dropped before every reader had read them",
                static_cast<unsigned long long>(unreadDropped));
    unreadDropped = 0;
    unreadLoggedAt = now.tv_sec;
}

// Registers a reading handle whose slot entry was cleared (its holder taken
// for dead).  Returns false, after logging, for slot 0, which only the
// daemon may hold.
bool Register(ShelfClient_t *c) {
    if (ShelfSlotHolder(c->client) != 0) return true;
    if (c->client == MON_SLOT_DAEMON) {
        QxLogUpdate(nullptr, 1, 3, "bad client=%d", 0);
        return false;
    }
    ShelfClaimSlot(c->client, static_cast<uint32_t>(getpid()));
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
        if (ShelfSlotHolder(s) != 0) {
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
            const uint32_t tagger = ShelfSlotHolder(MON_SLOT_TAGGER);
            if (tagger != 0 && ShelfProcessGone(tagger)) ShelfReleaseSlot(MON_SLOT_TAGGER, tagger);
            // The record being put is spared: were its owner gone and no
            // reader registered, the clean-up would free the block that the
            // copy below is about to fill.
            if (hdr->hashSize <= kCleanupSlice) {
                do_Cleanup(h, c, false, stored);
            } else {
                uint32_t &sweep = HeaderWord(hdr, kSweepWord);
                const uint32_t from = sweep % hdr->hashSize;
                (void)do_CleanupRange(h, false, stored, from, kCleanupSlice);
                sweep = (from + kCleanupSlice) % hdr->hashSize;
            }
            flags = stored->flags;
        }
    }
    if (f & (MON_FLAG_UPDATE | MON_FLAG_STATUS)) flags |= MON_FLAG_ALIVE;
    if (f & MON_FLAG_END) flags &= ~MON_FLAG_ALIVE;  // last: an end always wins
    stored->flags = flags;
    ++HeaderWord(hdr, kChangeWord);

    rec->flags = stored->flags;
    rec->seqNum = stored->seqNum;
    rec->clientTag = stored->clientTag;
    memmove(stored, rec, sizeof *stored);
    return 0;
}

}  // namespace

namespace shelf {

// Runs under the hash mutex.  Walks every record from the start of the
// table: ends a record whose owner has gone (see do_EndOfGoneOwner), and
// deletes each record left with flags 0.  Forced, it also drops an ended
// record that readers have not read yet: they miss that end (counted in the
// log), and no reader is stopped for it.  keep, the record a put is
// writing, is never touched.
void do_Cleanup(MonHandle_t *h, ShelfClient_t *c, bool force, const MonData_t *keep) {
    c->cursor = 0;
    (void)do_CleanupRange(h, force, keep, 0, Hdr()->hashSize);
}

void do_EndOfGoneOwner(MonData_t *rec, int except, OwnerCache *pids) {
    uint32_t f = rec->flags & ~MON_FLAG_ALIVE;
    for (int s = kFirstReadSlot; s < MON_SLOTS; ++s) {
        const uint32_t holder = ShelfSlotHolder(s);
        if (s != except && holder != 0 && !pids->Gone(holder)) f |= uint32_t{MON_FLAG_END} << SlotShift(s);
    }
    rec->flags = f;
    ++HeaderWord(Hdr(), kChangeWord);  // the readers have an end to hand out
}

uint32_t do_CleanupRange(MonHandle_t *h, bool force, const MonData_t *keep, uint32_t from,
                         uint32_t count) {
    // Deleting leaves a marker in place and nothing here rebuilds the
    // table, so the span stays valid for the whole walk.
    const std::span<uint32_t> table = Table();
    const auto size = static_cast<uint32_t>(table.size());
    if (size == 0) return 0;
    OwnerCache owners;
    uint32_t deleted = 0;
    uint32_t unread = 0;
    for (uint32_t k = 0; k < count && k < size; ++k) {
        MonData_t *rec = EntryRecord(table[(uint64_t{from} + k) % size]);
        if (rec == nullptr || rec == keep) continue;
        if (rec->flags & MON_FLAG_ALIVE) {
            if (rec->handleNum == kDetachedHandle || !owners.Gone(rec->pid)) continue;
            do_EndOfGoneOwner(rec, -1, &owners);
        }
        if (force && rec->flags != 0) {
            ++unread;
            rec->flags = 0;
        }
        if (rec->flags == 0) {
            (void)do_DeleteData(h, rec);
            ++deleted;
        }
    }
    if (unread != 0) NoteUnreadDropped(unread);
    return deleted;
}

}  // namespace shelf

using namespace shelf;

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

// Stores the caller's record under its key; a record not yet stored is
// created only when flags carries the start bit.  Returns 0 with the
// caller's flags, seqNum and clientTag set to the stored values, or -1.
// Lookup, change bits and copy happen in one hold of the hash mutex, so no
// reader sees half a record and no block is written after it was freed.
int ShelfPut(MonHandle_t *h, const MonData_t *in) {
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

// Stores n records as n ShelfPut calls would, in one hold of the hash
// mutex: the number of records refused (each left as the caller gave it,
// as a refused ShelfPut leaves it), or -1 when the lock failed (nothing
// stored).
int ShelfPutMany(MonHandle_t *h, MonData_t *recs, int n) {
    ShelfClient_t *c = Client(h);
    if (c == nullptr || Hdr() == nullptr || recs == nullptr || n < 0) return -1;
    Lock lock = HashLock(c);
    if (!lock.Take()) return -1;
    int refused = 0;
    {
        FreeKeep keep;
        for (int i = 0; i < n; ++i) refused += do_Put(h, c, &recs[i]) < 0 ? 1 : 0;
    }
    if (!lock.Release()) return -1;
    return refused;
}

// Copies the record with the caller's key into the caller's buffer, flags
// reduced to this slot's four change bits (left as stored), and stores the
// caller's clientTag in the record.  Returns 0, or -1 when absent, on a lock
// failure, or (logged) for an unregistered slot 0.
int ShelfGet(MonHandle_t *h, MonData_t *rec) {
    ShelfClient_t *c = Client(h);
    ShelfHeader_t *hdr = Hdr();
    if (c == nullptr || hdr == nullptr || rec == nullptr) return -1;
    if (!Register(c)) return -1;
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

namespace {

// Under the hash mutex: copies up to max records of the slot's pass, in
// table order from the handle's cursor, into recs (see ShelfGetNext for what
// a copy holds and clears).  Returns how many; fewer than max means the pass
// is over and the next call starts a new one.
int do_GetChanged(ShelfClient_t *c, ShelfHeader_t *hdr, int all, MonData_t *recs, int max,
                  uint32_t tag) {
    const uint32_t mask = SlotMask(c->client);
    const int shift = SlotShift(c->client);
    // Every put and every seeding bumps the change word, so when it still
    // holds what it held after this slot's last complete pass, no record
    // can have gained bits for the slot: the pass is over without a walk.
    if (c->cursor == 0) {
        const uint32_t now = HeaderWord(hdr, kChangeWord);
        if (all == 0 && c->idleKnown && now == c->idleChange) return 0;
        c->passChange = now;
    }
    int n = 0;
    while (n < max) {
        MonData_t *stored;
        while ((stored = do_Iterate(c)) != nullptr) {
            if (all != 0 || (stored->flags & mask) != 0) break;
        }
        if (stored == nullptr) {
            c->idleKnown = true;
            c->idleChange = c->passChange;
            break;
        }
        const uint32_t flags = stored->flags;
        memmove(&recs[n], stored, sizeof recs[n]);
        recs[n].flags = ((flags & mask) >> shift) | ((flags & MON_FLAG_ALIVE) ? 0 : MON_FLAG_END);
        stored->flags = flags & ~mask;
        if (tag != 0 && c->client == MON_SLOT_TAGGER) stored->clientTag = tag;
        ++n;
    }
    return n;
}

}  // namespace

// Copies the next record, in table order from the handle's cursor, that has
// change bits for this slot (any record when all is non-zero); its flags in
// the buffer are the slot's bits, plus 0x8 when it is no longer alive, and
// the slot's stored bits are cleared.  Returns 1 for a record, 0 when the
// pass is over (or the lock fails), -1 (logged) for an unregistered slot 0.
int ShelfGetNext(MonHandle_t *h, int all, MonData_t *rec) {
    ShelfClient_t *c = Client(h);
    ShelfHeader_t *hdr = Hdr();
    if (c == nullptr || hdr == nullptr || rec == nullptr) return -1;
    if (!Register(c)) return -1;
    Lock lock = HashLock(c);
    if (!lock.Take()) return 0;
    if (do_GetChanged(c, hdr, all, rec, 1, rec->clientTag) == 0) return 0;
    return lock.Release() ? 1 : 0;
}

// The same pass as ShelfGetNext, up to max records per hold of the hash
// mutex: a reader draining its changes then hands the semaphore over once
// per batch, not once per record, and the collector's puts are not queued
// behind a stream of hand-offs.
int ShelfGetChanged(MonHandle_t *h, int all, MonData_t *recs, int max) {
    ShelfClient_t *c = Client(h);
    ShelfHeader_t *hdr = Hdr();
    if (c == nullptr || hdr == nullptr || recs == nullptr || max <= 0) return -1;
    if (!Register(c)) return -1;
    Lock lock = HashLock(c);
    if (!lock.Take()) return 0;
    const int n = do_GetChanged(c, hdr, all, recs, max, 0);
    (void)lock.Release();  // the records are taken: their bits are cleared
    return n;
}

}  // namespace quelm
