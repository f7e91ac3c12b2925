/*
 * shelf_sys.h - the store module's seam table (see seam.h): the calls its
 * liveness check goes through, so that tests can make kill() fail the way
 * they need (EPERM, ESRCH).  C++ only and not installed.
 */
#ifndef QUELM_SHELF_SYS_H
#define QUELM_SHELF_SYS_H

#include <sys/types.h>

#include "seam.h"

namespace quelm {

struct ShelfSys_t {
    int (*kill)(pid_t pid, int sig); /* ShelfProcessGone's signal-0 probe */
};
extern const ShelfSys_t kShelfSysDefault;
extern ShelfSys_t shelfSys;

}  // namespace quelm

#endif /* QUELM_SHELF_SYS_H */
