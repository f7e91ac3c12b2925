/*
 * ownpaths.cpp - clearing the daemon's fixed paths of planted entries and
 * making the report pipe with the permissions chosen on the command line.
 * Runs in the main process only, before the workers are forked.
 */
#include "ownpaths.h"
#include "wardenlog.h"

#include "Chute_internal.h"
#include "claim.h"
#include "guiserver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>

namespace {

// The pipe is written by the proxies and read by the collector alone.
constexpr mode_t kPipeMode = 0622;      // anyone reports
constexpr mode_t kGroupPipeMode = 0620; // the pipe group's members report

struct OwnPath {
    const char *path;
    mode_t type;
};
const OwnPath kPaths[] = {
    {"/tmp/mon.mmap", S_IFREG},
    {"/tmp/mon.free.mutex", S_IFREG},
    {"/tmp/mon.hash.mutex", S_IFREG},
    {CHUTE_PATH, S_IFIFO},
};

gid_t pipeGroup = static_cast<gid_t>(-1); // none set: every local user reports

} // namespace

bool OwnPathsSetPipeGroup(const char *name)
{
    if (name[0] >= '0' && name[0] <= '9') {
        char *end = nullptr;
        errno = 0;
        const unsigned long id = strtoul(name, &end, 10);
        if (errno == 0 && *end == '\0' && id < static_cast<gid_t>(-1)) {
            pipeGroup = static_cast<gid_t>(id);
            return true;
        }
    }
    if (const struct group *g = getgrnam(name)) {
        pipeGroup = g->gr_gid;
        return true;
    }
    fprintf(stderr, "warden: no group %s\n", name);
    return false;
}

bool OwnPathsClaim(void)
{
    for (const OwnPath &p : kPaths) {
        if (ClaimEntry(p.path, p.type) != 0) {
            fprintf(stderr, "Can't run Monitor, cannot replace %s: %s\n", p.path, strerror(errno));
            return false;
        }
    }
    return true;
}

bool OwnPathsMakePipe(void)
{
    mode_t mode = kGroupPipeMode;
    if (pipeGroup == static_cast<gid_t>(-1)) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = kPipeMode & ~(mask & 0222);
    }
    if (ClaimFifo(CHUTE_PATH, mode, pipeGroup) != 0) {
        QxLogUpdate(WardenLog(), 1, 18, "Failed to create FIFO %s: %m", CHUTE_PATH);
        return false;
    }
    return true;
}
