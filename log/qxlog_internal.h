// qxlog_internal.h - process-wide state of the logging module, for its tests.
// Not installed: programs use the QxLog* functions of qxlog.h.
#ifndef QUELM_QXLOG_INTERNAL_H
#define QUELM_QXLOG_INTERNAL_H

namespace quelm {
// Nonzero while a message is being produced; a message requested meanwhile
// (from a signal handler that interrupted a log call) is dropped.
extern int dontLoop;
// 1 once openlog() has been called in this process.
extern int logopened;
// Syslog priority for a message level.
int LogPriority(int level);
}  // namespace quelm

#endif
