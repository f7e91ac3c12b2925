/*
 * semgate_internal.h - the private part of a semaphore mutex handle, the
 * owner-only file opener the store shares, and the module's seam table.
 *
 * Not installed: only the store module and the tests look inside a mutex
 * handle, to reach the System V set identifier behind it.
 */
#ifndef QUELM_SEMGATE_INTERNAL_H
#define QUELM_SEMGATE_INTERNAL_H

#include "monitor.h"

#ifdef __cplusplus
#include "seam.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MonMutex {
    int semId;             /* semaphore set identifier from semget()       */
    unsigned char creator; /* 1 when this handle was opened as the creator */
} MonMutex_t;

#ifdef __cplusplus
}

/* Internal to the library: outside the archive's documented C names, so a
 * program with a function of the same name still links.  The using-
 * declaration lets the library's own files call it unqualified. */
namespace quelm {
/* Opens path (under /tmp) for a creator: read-write, created with mode if
 * absent, never through a symlink, and only as a regular file that is the
 * caller's own and has no other name.  Anything else at the path (another
 * user's file, a hard link to a file of the caller) is removed and a fresh
 * file created in its place, so no one else holds a way to write into it.
 * Returns the descriptor, or -1 with errno (EINVAL for a path that is not a
 * regular file, EPERM for one that cannot be replaced). */
int MonOpenOwnFile(const char *path, mode_t mode);
/* The module's seam table (see seam.h): how long MonMutexRequest waits for
 * a held lock, a line naming the holder every waitStepMs and -1 (ETIMEDOUT)
 * once waitLimitMs have passed.  Tests shorten them. */
struct SemgateSys_t {
    int waitStepMs;  /* 2000 */
    int waitLimitMs; /* 10000 */
};
extern const SemgateSys_t kSemgateSysDefault;
extern SemgateSys_t semgateSys;
/* Forgets the sets this process created, so that its next creator open
 * starts from a fresh set as a newly started daemon does (for tests). */
void MonMutexForgetCreated();
}  // namespace quelm
using quelm::MonOpenOwnFile;
#endif

#endif /* QUELM_SEMGATE_INTERNAL_H */
