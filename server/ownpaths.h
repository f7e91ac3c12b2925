/*
 * ownpaths.h - the daemon's fixed names under /tmp and who may use the
 * report pipe.  Before it detaches, the daemon clears whatever another user
 * planted at its paths (so a refusal still reaches the terminal); once
 * detached, it makes the pipe: writable by every local user by default, or
 * only by one group (--pipe-group), and readable by the daemon alone.
 */
#ifndef WARDEN_OWNPATHS_H
#define WARDEN_OWNPATHS_H

/* Sets the group whose members alone may report (--pipe-group): a group
 * name or a numeric ID.  False, with a complaint on standard error, for a
 * name that no group has. */
bool OwnPathsSetPipeGroup(const char *name);

/* Clears the store file, the key files and the pipe of everything that is
 * not the daemon's own entry of the right type.  False after printing "Can't
 * run Monitor, cannot replace <path>: <reason>" to standard error. */
bool OwnPathsClaim(void);

/* Makes /tmp/mon.fifo the daemon's own FIFO: mode 0620 and the pipe group
 * when one was set, else 0622 less the umask's write bits.  A pipe already
 * so is kept.  False after logging the failure with the path. */
bool OwnPathsMakePipe(void);

#endif /* WARDEN_OWNPATHS_H */
