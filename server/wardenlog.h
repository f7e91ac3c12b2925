/*
 * wardenlog.h - the daemon's own log handle.  The main process starts it
 * once, before forking; the collector, the viewer server and its children
 * inherit it and log through WardenLog().  Library modules keep logging
 * through QxLogDefaultHandle, which WardenLogStart sets up the same way.
 */
#ifndef WARDEN_WARDENLOG_H
#define WARDEN_WARDENLOG_H

#include "qxlog.h"

/* Starts the library's default handle and then the daemon's handle, both
 * with flags (QX_LOG_STDERR in the foreground, QX_LOG_SYSLOG detached) and
 * level 3, so errors pass and notices do not.  No result: a handle that
 * cannot be made leaves that handle silent. */
void WardenLogStart(int flags);

/* The daemon's handle; null (logging nothing) until WardenLogStart ran. */
LogHandle_t *WardenLog(void);

/* Logs, once the viewer sockets fds[0..n-1] listen, that warden serves:
 * where proxies report and the viewer addresses as bound (at most 16). */
void WardenLogServing(const int *fds, int n);

#endif /* WARDEN_WARDENLOG_H */
