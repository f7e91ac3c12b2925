/*
 * changecache.cpp - the fan-out's record cache and its readers' pending bits.
 */
#include "changecache.h"

#include "shelf_daemon.h"

#include <algorithm>

size_t CacheKeyHash::operator()(const CacheKey &k) const
{
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (unsigned char c : k.b)
        h = (h ^ c) * 1099511628211ull;
    return static_cast<size_t>(h);
}

CacheKey CacheKeyOf(const void *bytes)
{
    CacheKey k;
    memcpy(k.b, bytes, sizeof k.b);
    return k;
}

// Adds bits to every reader's pending bits for key.
void ChangeCache::Mark(const CacheKey &key, CacheEntry *e, uint8_t bits)
{
    for (PendingBits *r : readers_) {
        auto [it, fresh] = r->try_emplace(key, 0);
        it->second |= bits;
        if (fresh)
            ++e->pinned;
    }
}

// A reader has let go of the records in read: each goes once it is over
// and nobody else has it unread.
void ChangeCache::Release(const PendingBits &read)
{
    for (auto &[key, bits] : read) {
        auto it = cache_.find(key);
        if (it == cache_.end())
            continue;
        CacheEntry *e = it->second.get();
        if (--e->pinned <= 0 && !e->alive)
            cache_.erase(it);
    }
}

// Takes one record from a drain.  Its flags are this slot's change bits
// (0x8 added for an ended session).  A walk of every record (all) also
// returns records with no bits: they refresh the content, and an end is
// passed on only when the cache still had the session running.
void ChangeCache::Absorb(const MonData_t &rec, bool all)
{
    const CacheKey key = CacheKeyOf(&rec);
    uint8_t bits = static_cast<uint8_t>(rec.flags & 0xF);
    const bool ended = (bits & MON_FLAG_END) != 0;
    auto it = cache_.find(key);
    const bool knownAlive = it != cache_.end() && it->second->alive;
    if (all && bits == MON_FLAG_END && !knownAlive)
        bits = 0; // an end already passed on, or of a session never seen
    if (it == cache_.end()) {
        if (ended && bits == 0)
            return;
        auto e = std::make_unique<CacheEntry>();
        e->pinned = 0;
        e->alive = false;
        it = cache_.emplace(key, std::move(e)).first;
    }
    CacheEntry *e = it->second.get();
    e->rec = rec;
    e->rec.flags = 0;
    alive_ += static_cast<long>(!ended) - static_cast<long>(e->alive);
    e->alive = !ended;
    if (bits != 0)
        Mark(key, e, bits);
    if (!e->alive && e->pinned <= 0)
        cache_.erase(it);
}

void ChangeCache::Drain(bool all)
{
    std::unordered_map<CacheKey, bool, CacheKeyHash> seen;
    for (;;) {
        const int n = quelm::ShelfGetChanged(store_, all ? 1 : 0, batch_, kBatch);
        for (int i = 0; i < n; ++i) {
            Absorb(batch_[i], all);
            if (all)
                seen.emplace(CacheKeyOf(&batch_[i]), true);
        }
        if (n < kBatch)
            break;
    }
    if (!all)
        return;
    for (auto it = cache_.begin(); it != cache_.end();) {
        CacheEntry *e = it->second.get();
        if (seen.count(it->first) != 0 || !e->alive) {
            ++it;
            continue;
        }
        e->alive = false;
        --alive_;
        Mark(it->first, e, MON_FLAG_END);
        it = e->pinned <= 0 ? cache_.erase(it) : std::next(it);
    }
}

void ChangeCache::Join(PendingBits *reader)
{
    Drain(true);
    readers_.push_back(reader);
    for (auto &[key, e] : cache_) {
        if (!e->alive)
            continue;
        uint8_t bits = MON_FLAG_START;
        if (e->rec.countA != 0 || e->rec.countB != 0)
            bits |= MON_FLAG_UPDATE;
        if (e->rec.status != 0 || e->rec.statusText[0] != '\0')
            bits |= MON_FLAG_STATUS;
        auto [it, fresh] = reader->try_emplace(key, 0);
        it->second |= bits;
        if (fresh)
            ++e->pinned;
    }
}

void ChangeCache::Leave(PendingBits *reader)
{
    readers_.erase(std::remove(readers_.begin(), readers_.end(), reader), readers_.end());
    PendingBits read;
    read.swap(*reader);
    Release(read);
}

size_t ChangeCache::Prune(PendingBits *reader, size_t limit)
{
    PendingBits dropped;
    for (auto it = reader->begin(); it != reader->end() && reader->size() > limit;) {
        auto e = cache_.find(it->first);
        if (e != cache_.end() && e->second->alive) {
            ++it;
            continue;
        }
        dropped.insert(*it);
        it = reader->erase(it);
    }
    Release(dropped);
    return dropped.size();
}
