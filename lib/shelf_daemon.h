/*
 * shelf_daemon.h - the store calls the daemon makes beyond the generic API:
 * the collector's batched put, the viewer servers' batched change read, the
 * store's capacity, and the slot table the viewer servers keep.  C++ only
 * and not installed; the store's own files reach these through
 * Shelf_internal.h.
 */
#ifndef QUELM_SHELF_DAEMON_H
#define QUELM_SHELF_DAEMON_H

#include <cstdint>

#include "monitor.h"

namespace quelm {

/* n puts in one hold of the hash mutex: how many were refused, or -1 when
 * the lock failed (nothing stored). */
int ShelfPutMany(MonHandle_t *h, MonData_t *recs, int n);

/* Copies up to max records with change bits for the handle's slot (every
 * record when all is non-zero) into recs under one hold of the hash mutex,
 * as that many ShelfGetNext calls would: the count copied, fewer than max
 * once the pass is over; -1 (logged) for an unregistered slot 0. */
int ShelfGetChanged(MonHandle_t *h, int all, MonData_t *recs, int max);

/* ---- capacity --------------------------------------------------------------
 * A store is sized for a number of live records: the table gets hashSize =
 * Prime(count) entries with 3 x hashSize / 4 >= capacity - 1 (what the load
 * rule admits), the file room for those records, two tables (a rebuild
 * holds old and new at once) and allocator slack; never below 1 MiB. */
constexpr long kShelfMaxCapacity = 1000000;  // keeps every offset far inside 32 bits

struct ShelfGeometry_t {
    uint32_t segSize;   /* mapping size in bytes, a multiple of 4096         */
    uint32_t hashSize;  /* table entries (a prime)                          */
    uint32_t records;   /* live records the table admits                     */
};

/* The geometry for capacity live records; false (nothing set) for a
 * capacity outside 1..kShelfMaxCapacity. */
bool ShelfGeometry(long capacity, ShelfGeometry_t *out);

/* Makes this process's next slot-0 open create a store for capacity live
 * records instead of the 1 MiB default.  Returns 0, or -1 with errno EINVAL
 * (capacity outside 1..kShelfMaxCapacity), ENOMEM (larger than the
 * machine's memory) or ENOSPC (larger than the space free under /tmp);
 * *need then holds the segment size asked for, when need is not null. */
int ShelfSetCapacity(long capacity, uint64_t *need);

/* ---- the slot table -------------------------------------------------------
 * Slot entries are shared words written without a lock by several
 * processes (and by signal handlers); every access is one atomic 32-bit
 * load, store or compare-and-swap.  The first three are async-signal-safe
 * and answer 0 / false while this process has no store mapped. */

/* The PID holding slot (0 to 9), or 0 when the slot is free. */
uint32_t ShelfSlotHolder(int slot);
/* Writes pid into slot's entry. */
void ShelfClaimSlot(int slot, uint32_t pid);
/* Frees slot only if it still names pid, so a claim made meanwhile by a
 * newer holder is never undone.  True when the entry was freed. */
bool ShelfReleaseSlot(int slot, uint32_t pid);
/* Seeds viewer slot's change bits (one walk under the hash mutex): marks the
 * records of vanished reporters ended, frees a viewer slot whose dead holder
 * still has changes pending on a record, and sets start, update and status
 * bits on every alive record as its contents call for.  Returns the number
 * of records walked, or -1 when the lock failed or slot reads no bits. */
int ShelfSeedSlot(MonHandle_t *h, int slot);

}  // namespace quelm

#endif /* QUELM_SHELF_DAEMON_H */
