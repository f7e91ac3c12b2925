/*
 * claim.h - taking possession of a fixed path under /tmp.
 *
 * The daemon uses these before it creates its files, to make sure that what
 * stands at its fixed names is its own, of the right type, with no second
 * name; whatever else stands there (a symlink, a directory, a FIFO or file
 * of another user) is moved out of the way.  The library's openers of the
 * store and the key files stay strict on their own: they never follow or
 * adopt such an entry, they only refuse it.
 */
#ifndef WARDEN_CLAIM_H
#define WARDEN_CLAIM_H

#include <sys/types.h>

/* Removes whatever stands at path, never following it: a file of any type is
 * unlinked, an empty directory removed, a directory with entries renamed
 * aside to "<path>.displaced-<random>".  Returns 0 (also when nothing stood
 * there), or -1 with errno (EPERM, EACCES: not this process's to remove). */
int ClaimRemove(const char *path);

/* Leaves path alone if it is absent or an entry of type (S_IFREG, S_IFIFO)
 * owned by the caller's effective user with one name; removes anything else
 * (ClaimRemove).  Returns 0, or -1 with errno when it could not. */
int ClaimEntry(const char *path, mode_t type);

/* Makes path a FIFO of the caller's effective user with exactly the
 * permission bits mode and, unless group is (gid_t)-1, owned by group.  An
 * own FIFO that already has both is kept (writers that hold it open stay
 * connected); anything else is removed and a fresh FIFO made.  Returns 0, or
 * -1 with errno (the path is then either absent or not the caller's). */
int ClaimFifo(const char *path, mode_t mode, gid_t group);

#endif /* WARDEN_CLAIM_H */
