/*
 * semgate_internal.h - the private part of a semaphore mutex handle.
 *
 * Not installed: only the store module and the tests look inside a mutex
 * handle, to reach the System V set identifier behind it.
 */
#ifndef QUELM_SEMGATE_INTERNAL_H
#define QUELM_SEMGATE_INTERNAL_H

#include "monitor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MonMutex {
    int semId;             /* semaphore set identifier from semget()       */
    unsigned char creator; /* 1 when this handle was opened as the creator */
} MonMutex_t;

#ifdef __cplusplus
}
#endif

#endif /* QUELM_SEMGATE_INTERNAL_H */
