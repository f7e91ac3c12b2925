/*
 * ShelfTable.cpp - the store's record hash table: an open-addressing array
 * of hashSize 32-bit entries in the segment (0 empty, 1 a deleted marker,
 * else a record's offset), its counters in the header, and the record
 * create, delete, lookup and walk built on it.  The table, its entries and
 * hashSize/hashCount/hashDeleted are guarded by the hash mutex
 * ("mon.hash.mutex"); functions named do_ assume the caller holds it.
 */
#include <errno.h>
#include <string.h>

#include <array>
#include <cstdint>
#include <span>

#include "Shelf_internal.h"
#include "monitor.h"

namespace quelm {
namespace {

using namespace shelf;

// This process has refused a create for want of room and not yet made one
// since: the episode's "store full" has been logged.
bool fullEpisode = false;

// The shift applied to each key byte: sValues repeated over the 10-byte key.
constexpr unsigned char sValues[11] = {0, 24, 3, 21, 5, 19, 7, 17, 9, 15, 11};
constexpr auto sConstants = [] {
    std::array<unsigned char, MON_KEY_SIZE> s{};
    for (size_t i = 0; i < s.size(); ++i) s[i] = sValues[i % 11];
    return s;
}();

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

// Runs under the hash mutex.  Creates the key's record (or clears the one
// already there): load test, then rebuild of a table clogged with markers,
// lookup and allocation.  Returns the record; null with *full true when
// a clean-up could make room (table at its load limit, no free entry on the
// path, no block left), false for a lock or segment failure.
MonData_t *do_TryCreate(MonHandle_t *h, const void *key, bool *full) {
    ShelfHeader_t *hdr = Hdr();
    const uint32_t limit = (3 * hdr->hashSize) / 4;
    *full = true;
    if (hdr->hashCount > limit) return nullptr;
    if (hdr->hashCount + hdr->hashDeleted > limit) (void)do_Rebuild(h, static_cast<int>(hdr->hashSize));

    const int idx = HashIndex(key);
    if (idx < 0) return nullptr;
    MonData_t *rec = EntryRecord(Table()[static_cast<size_t>(idx)]);
    const bool wasLive = rec != nullptr;
    if (rec == nullptr) {
        errno = 0;
        rec = static_cast<MonData_t *>(MmapAlloc(h, sizeof(MonData_t)));
        if (rec == nullptr) {
            *full = errno == ENOMEM;
            return nullptr;
        }
    }
    memset(rec, 0, sizeof *rec);
    memcpy(rec, key, MON_KEY_SIZE);
    Table()[static_cast<size_t>(idx)] = SegOff(rec);
    if (!wasLive) ++hdr->hashCount;
    return rec;
}

}  // namespace

namespace shelf {

// Runs under the hash mutex.  Creates the key's record; when the store is
// full, purges and tries once more: an unforced clean-up first, and a forced
// one (which also drops ended records that viewers have not read, and stops
// those viewers) only when the unforced one freed nothing.  The clean-ups
// run under the mutex already held, so the create never waits on itself.
// A refusal logs "store full" once per episode (until a create succeeds
// again), not once per report.  Returns the record or null.
MonData_t *do_CreateData(MonHandle_t *h, ShelfClient_t *c, const void *key) {
    ShelfHeader_t *hdr = Hdr();
    bool full = false;
    MonData_t *rec = do_TryCreate(h, key, &full);
    if (rec == nullptr && full) {
        const uint32_t before = hdr->hashCount;
        do_Cleanup(h, c, false, nullptr);
        if (hdr->hashCount == before) do_Cleanup(h, c, true, nullptr);
        rec = do_TryCreate(h, key, &full);
    }
    if (rec != nullptr) {
        fullEpisode = false;
        return rec;
    }
    if (full && !fullEpisode) {
        fullEpisode = true;
        QxLogUpdate(nullptr, 1, 20, "ShelfCreateData: store full, %u live records",
                    hdr->hashCount);
    }
    return nullptr;
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

}  // namespace shelf

using namespace shelf;

// Hash of the 10 key bytes: each byte shifted by its constant, exclusive-or'd.
uint32_t Hash(const void *key) {
    const auto *k = static_cast<const unsigned char *>(key);
    uint32_t h = 0;
    for (size_t i = 0; i < sConstants.size(); ++i) h ^= uint32_t{k[i]} << sConstants[i];
    return h;
}

// Smallest prime at least count (5 at least; even counts start one higher).
int Prime(int count) {
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
int HashIndex(const void *key) {
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
int CreateHashTable(MonHandle_t *h, int count) {
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
int ResizeHashTable(MonHandle_t *h, int count) {
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
int ShelfWalk(MonHandle_t *h, void (*fn)(MonData_t *rec, void *ctx), void *ctx) {
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

}  // namespace quelm
