/*
 * Shelf_internal.h - the store module's private functions and its handle's
 * private part.  Not installed: reached by the module itself, through the
 * store handle's operation table, and by the tests.
 */
#ifndef QUELM_SHELF_INTERNAL_H
#define QUELM_SHELF_INTERNAL_H

#include "monitor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Private part of a store handle (MonHandle_t.priv). */
typedef struct ShelfClient {
    int32_t client;          /* slot number, 0 to 9                        */
    int32_t cursor;          /* next hash index ShelfIterate examines      */
    MonHandle_t *freeMutex;  /* "mon.free.mutex": guards the free list     */
    MonHandle_t *hashMutex;  /* "mon.hash.mutex": guards table + counters  */
} ShelfClient_t;

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

/* Visits live records from the handle's cursor under one hold of the hash
 * mutex until fn returns non-zero: 1 stopped by fn, 0 table ended (cursor 0),
 * -1 mutex refused. */
int ShelfWalkOn(MonHandle_t *h, int (*fn)(MonData_t *rec, void *ctx), void *ctx);

/* Copies up to max records with change bits for the handle's slot (every
 * record when all is non-zero) into recs under one hold of the hash mutex,
 * as that many ShelfGetNext calls would: the count copied, fewer than max
 * once the pass is over; -1 (logged) for an unregistered slot 0. */
int ShelfGetChanged(MonHandle_t *h, int all, MonData_t *recs, int max);

/* Per-process state, for tests: store handles open, descriptor of the file. */
int ShelfOpenCount(void);
int ShelfMapFd(void);

#ifdef __cplusplus
}
#endif

#endif /* QUELM_SHELF_INTERNAL_H */
