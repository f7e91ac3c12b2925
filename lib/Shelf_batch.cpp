/*
 * Shelf_batch.cpp - batched change-stream reads of the record store.  One
 * hold of the hash mutex hands out several changed records, so a reader that
 * drains its changes takes the semaphore once per batch instead of once per
 * record, and the collector's puts are not queued behind a stream of hand-offs.
 * Each record handed out is exactly what ShelfGetNext would have returned.
 */
#include <unistd.h>

#include <cstring>

#include "Shelf_internal.h"
#include "monitor.h"

namespace {

constexpr int kFirstReadSlot = 3; // lowest slot that owns change bits

// One batched read in progress (a ShelfWalkOn visitor's state).
struct Batch {
    int all;         // copy every record, not only changed ones
    uint32_t mask;   // the slot's change nibble in a record's flags
    int shift;       // bit position of that nibble
    MonData_t *recs; // caller's records
    int max;         // room in recs
    int count;       // records copied so far
};

// Runs under the hash mutex.  Copies rec when it is wanted, as ShelfGetNext
// does: flags become the slot's nibble (0x8 added for an ended session) and
// the slot's bits are cleared in the store.  Stops the walk once recs is full.
int CopyChanged(MonData_t *rec, void *ctx)
{
    auto *b = static_cast<Batch *>(ctx);
    const uint32_t flags = rec->flags;
    if (b->all == 0 && (flags & b->mask) == 0)
        return 0;
    MonData_t *out = &b->recs[b->count++];
    memcpy(out, rec, sizeof *out);
    out->flags = ((flags & b->mask) >> b->shift) | ((flags & MON_FLAG_ALIVE) ? 0 : MON_FLAG_END);
    rec->flags = flags & ~b->mask;
    return b->count == b->max ? 1 : 0;
}

} // namespace

/* Copies up to max changed records (every record with all) in one hold of
 * the hash mutex.  Returns the count; fewer than max means the pass is over
 * and the next call starts a new one.  A slot whose entry was cleared
 * registers itself again, as with ShelfGetNext; slot 0 unregistered is
 * refused with -1 (logged); a refused mutex ends the pass (returns what was
 * copied, 0). */
extern "C" int ShelfGetChanged(MonHandle_t *h, int all, MonData_t *recs, int max)
{
    if (h == nullptr || h->magic != MON_MAGIC_STORE || h->priv == nullptr || recs == nullptr ||
        max <= 0 || shelfPtr == nullptr)
        return -1;
    auto *c = static_cast<ShelfClient_t *>(h->priv);
    auto *hdr = static_cast<ShelfHeader_t *>(shelfPtr);
    if (hdr->clientPid[c->client] == 0) {
        if (c->client == MON_SLOT_DAEMON) {
            QxLogUpdate(nullptr, 1, 3, "bad client=%d", 0);
            return -1;
        }
        hdr->clientPid[c->client] = static_cast<uint32_t>(getpid());
    }
    Batch b{all, 0, 0, recs, max, 0};
    if (c->client >= kFirstReadSlot) {
        b.shift = 4 * (c->client - kFirstReadSlot);
        b.mask = 0xFu << b.shift;
    }
    if (ShelfWalkOn(h, CopyChanged, &b) < 0)
        return 0;
    return b.count;
}
