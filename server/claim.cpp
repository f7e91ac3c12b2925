/*
 * claim.cpp - taking possession of a fixed path under /tmp.
 *
 * Every look at a path is an lstat: nothing here follows a symlink, opens a
 * planted object (a FIFO would block, a device could act) or writes into
 * it.  Anything at the path that is not the caller's own entry of the
 * expected type is removed, or, for a directory with entries, renamed aside.
 */
#include "claim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kAttempts = 3; // someone may plant again between our steps

/* True when st is the caller's own entry of the given type with one name. */
bool IsOwn(const struct stat &st, mode_t type)
{
    return (st.st_mode & S_IFMT) == type && st.st_uid == geteuid() && st.st_nlink == 1;
}

/* Renames the directory at path to "<path>.displaced-<16 hex digits>" without
 * replacing anything that stands under that name.  0, or -1 with errno. */
int DisplaceDirectory(const char *path)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        unsigned char random[8];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return -1;
        char aside[4096];
        int len = snprintf(aside, sizeof aside, "%s.displaced-", path);
        if (len < 0 || static_cast<size_t>(len) + 2 * sizeof random >= sizeof aside) {
            errno = ENAMETOOLONG;
            return -1;
        }
        for (unsigned char b : random)
            len += snprintf(aside + len, sizeof aside - static_cast<size_t>(len), "%02x", b);
        if (renameat2(AT_FDCWD, path, AT_FDCWD, aside, RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

int ClaimRemove(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode))
        return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
    if (rmdir(path) == 0 || errno == ENOENT)
        return 0;
    // A directory with entries cannot go with one call, and emptying one that
    // another user controls would mean walking their tree: move it aside.
    if (errno != ENOTEMPTY && errno != EEXIST)
        return -1;
    return DisplaceDirectory(path);
}

int ClaimEntry(const char *path, mode_t type)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (IsOwn(st, type))
        return 0;
    return ClaimRemove(path);
}

int ClaimFifo(const char *path, mode_t mode, gid_t group)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        struct stat st;
        if (lstat(path, &st) == 0) {
            if (IsOwn(st, S_IFIFO) && (st.st_mode & 07777) == mode &&
                (group == static_cast<gid_t>(-1) || st.st_gid == group))
                return 0;
            if (ClaimRemove(path) != 0)
                return -1;
        } else if (errno != ENOENT) {
            return -1;
        }
        // The mode is given whole; the umask must not take bits off it.
        const mode_t saved = umask(0);
        const int made = mkfifo(path, mode);
        const int err = errno;
        umask(saved);
        if (made != 0) {
            if (err == EEXIST)
                continue; // planted again meanwhile: look once more
            errno = err;
            return -1;
        }
        if (group == static_cast<gid_t>(-1))
            return 0;
        // Change the group through a descriptor of the very FIFO just made,
        // never through the name, which could meanwhile name something else.
        const int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return -1;
        int r = -1;
        if (fstat(fd, &st) == 0 && IsOwn(st, S_IFIFO))
            r = fchownat(fd, "", static_cast<uid_t>(-1), group, AT_EMPTY_PATH);
        else
            errno = EPERM;
        const int e = errno;
        close(fd);
        if (r != 0) {
            // A FIFO with the wrong group would keep the group's proxies out
            // while seeming in place: take it away again.
            (void)unlink(path);
            errno = e;
            return -1;
        }
        return 0;
    }
    errno = EEXIST;
    return -1;
}
