/*
 * changecache.h - the fan-out's copy of what its one reading slot drained
 * from the store: the last content of every record drained, and for each
 * viewer the changes that viewer has not yet read, coalesced per record
 * (bits ORed), as the store does per slot.  Invariant: a cached record stays
 * while it is alive or while any viewer still has bits pending on it;
 * nothing else holds it.
 */
#ifndef WARDEN_CHANGECACHE_H
#define WARDEN_CHANGECACHE_H

#include <quelm/monitor.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

/* A record's key: its first 10 bytes, as a keyed request carries them. */
struct CacheKey {
    unsigned char b[MON_KEY_SIZE];
    bool operator==(const CacheKey &o) const { return memcmp(b, o.b, sizeof b) == 0; }
};

struct CacheKeyHash {
    size_t operator()(const CacheKey &k) const;
};

CacheKey CacheKeyOf(const void *bytes);

/* One record as last drained from the store. */
struct CacheEntry {
    MonData_t rec; /* its content; flags are replaced when it is sent */
    bool alive;    /* the session is running as far as the drains told */
    int pinned;    /* viewers that have bits pending on it */
};

/* One viewer's unread change bits per record. */
using PendingBits = std::unordered_map<CacheKey, uint8_t, CacheKeyHash>;

class ChangeCache {
public:
    explicit ChangeCache(MonHandle_t *store) : store_(store) {}

    /* Moves the slot's changes (every record with all) from the store into
     * the cache and every reader's pending bits.  A walk of every record
     * also finds records the store dropped without telling the slot: they
     * count as ended. */
    void Drain(bool all);

    /* Adds a reader and seeds it as a new slot is seeded: every running
     * session, marked started, and updated or with a status where it has
     * them.  Drains every record first. */
    void Join(PendingBits *reader);

    /* Removes a reader; its pending bits release the records they held. */
    void Leave(PendingBits *reader);

    /* Hands the reader's pending bits to fn(entry, bits) (with all, every
     * cached record, those without bits as 0), then clears them.  The
     * count of records handed out. */
    template <class Fn> size_t Take(PendingBits *reader, bool all, Fn fn);

    /* Drops from the reader's pending bits ended sessions it has not read
     * until it holds at most limit; the number dropped. */
    size_t Prune(PendingBits *reader, size_t limit);

    /* Records whose session is running. */
    long Alive() const { return alive_; }

private:
    void Absorb(const MonData_t &rec, bool all);
    void Mark(const CacheKey &key, CacheEntry *e, uint8_t bits);
    void Release(const PendingBits &read);

    static constexpr int kBatch = 32; // records copied per hold of the hash lock
    MonHandle_t *store_;
    std::unordered_map<CacheKey, std::unique_ptr<CacheEntry>, CacheKeyHash> cache_;
    std::vector<PendingBits *> readers_;
    long alive_ = 0;
    MonData_t batch_[kBatch];
};

template <class Fn> size_t ChangeCache::Take(PendingBits *reader, bool all, Fn fn)
{
    size_t sent = 0;
    if (all) {
        for (auto &[key, e] : cache_) {
            auto it = reader->find(key);
            fn(*e, it != reader->end() ? it->second : uint8_t{0});
            ++sent;
        }
    } else {
        for (auto &[key, bits] : *reader) {
            auto it = cache_.find(key);
            if (it != cache_.end()) {
                fn(*it->second, bits);
                ++sent;
            }
        }
    }
    PendingBits read;
    read.swap(*reader);
    Release(read);
    return sent;
}

#endif /* WARDEN_CHANGECACHE_H */
