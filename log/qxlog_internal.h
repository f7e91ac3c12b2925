// qxlog_internal.h - process-wide state of the logging module, for its own
// files and its tests.  Not installed: programs use the QxLog* functions of
// qxlog.h.
#ifndef QUELM_QXLOG_INTERNAL_H
#define QUELM_QXLOG_INTERNAL_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

namespace quelm {
// Nonzero while this thread produces a message; a message it requests
// meanwhile (from a signal handler that interrupted a log call) is dropped.
// Per thread: two threads may log at once, each into its own line buffer.
extern thread_local int dontLoop;
// 1 once openlog() has been called in this process.
extern int logopened;
// Syslog priority for a message level.
int LogPriority(int level);

// Formats like vsnprintf into buf[len..cap-1] (the bytes before len are
// kept), with "%m" the text of err, cutting at the end of buf and always
// terminating it.  Returns the new length.  Uses a few hundred bytes of
// stack, where the C library's formatter takes about 2 KiB.
size_t LogFormat(char *buf, size_t cap, size_t len, const char *format, va_list args, int err);

// Repeated lines: per line (message number and text alike), the first is
// written, then at most one per kLogRepeatWindowMs; before the next written
// one a line "... repeated N times" counts the repeats left out.  A line of
// another text is never held back.  With QUELM_LOG_REPEATS set in the
// environment every line is written.
constexpr int64_t kLogRepeatWindowMs = 1000;
// The clock the limit runs on (milliseconds, monotonic); a seam for tests.
extern int64_t (*logClockMs)(void);
// Forgets every line's last writing and count and reads QUELM_LOG_REPEATS
// again (tests start from a clean slate).
void LogRepeatReset();
}  // namespace quelm

#endif
