/*
 * monapi_internal.h - building and freeing handles, shared by every opener.
 *
 * A handle is built zero-filled under the magic 0xdeadbeef, so that the
 * generic calls refuse it until its opener writes the kind's magic, and it
 * is freed under that magic again.  Internal to the library, not installed.
 */
#ifndef QUELM_MONAPI_INTERNAL_H
#define QUELM_MONAPI_INTERNAL_H

#include <stddef.h>
#include <stdlib.h>

#include "monitor.h"

namespace quelm {

/* A kind's operations, as they go into the handle's slots. */
struct HandleOps {
    MonOpenFn_t open;      // the opener; never called through the handle
    MonCloseFn_t close;
    MonPutFn_t put;
    MonGetFn_t get;
    MonGetNextFn_t getNext;
};

/* Allocates a zero-filled handle and a zero-filled private part of privSize
 * bytes with alloc (calloc's contract), links them, fills the slots from ops
 * and the path from path (at most 255 characters; null leaves it empty), and
 * leaves the magic at 0xdeadbeef for the opener to set.  Returns the handle,
 * or null with nothing allocated (errno ENOMEM); logs nothing. */
MonHandle_t *HandleNew(const HandleOps &ops, size_t privSize, const char *path,
                       void *(*alloc)(size_t, size_t) = calloc) noexcept;

/* Makes h, a handle built by HandleNew with a private part of privSize
 * bytes, as HandleNew would have made it anew (zero-filled, slots from ops,
 * path, magic 0xdeadbeef), keeping both blocks.  For openers that reuse
 * handles instead of freeing and allocating them again. */
void HandleRenew(MonHandle_t *h, const HandleOps &ops, size_t privSize, const char *path) noexcept;

/* Marks h closed (0xdeadbeef) and frees its private part and h; null is
 * ignored. */
void HandleFree(MonHandle_t *h) noexcept;

}  // namespace quelm

#endif /* QUELM_MONAPI_INTERNAL_H */
