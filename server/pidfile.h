/*
 * pidfile.h - the daemon's PID file, /tmp/mon.pid: the main process' PID as
 * decimal text.  /tmp is writable by every user, so only a file that the
 * daemon can trust is read or written: a regular file with one name, owned
 * by the daemon's user or by root.  Anything else at the path is another
 * user's (or a trap, such as a hard link to a file elsewhere) and is
 * neither believed nor written through, but replaced.
 */
#ifndef WARDEN_PIDFILE_H
#define WARDEN_PIDFILE_H

#include <sys/types.h>

/* The PID recorded at path, or 0 when there is none: no trusted file (a
 * symlink is never followed), or no decimal number at its start. */
long PidFileRead(const char *path);

/* Records pid at path as "%d", in a trusted file of mode 0644 whatever the
 * umask; whatever else stands at the path is removed first.  0, or -1 with
 * errno when the path cannot be made the daemon's own file. */
int PidFileWrite(const char *path, pid_t pid);

#endif /* WARDEN_PIDFILE_H */
