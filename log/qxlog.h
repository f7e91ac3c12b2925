/*
 * qxlog.h - levelled logging of the warden library and daemon: a log handle
 * says where lines go (standard error, syslog or both), how detailed they
 * may be and which message catalogue supplies translated texts.  This is the
 * ground floor: it needs nothing of the rest of the library, which includes
 * it.  C99 and C++; a program that includes <quelm/monitor.h> gets it too.
 */
#ifndef QUELM_QXLOG_H
#define QUELM_QXLOG_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef QX_PRINTF
#if defined(__GNUC__) || defined(__clang__)
#define QX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define QX_PRINTF(f, a)
#endif
#endif

typedef struct LogHandle {
    intptr_t catd; /* catopen() descriptor, -1 when there is no catalogue */
    int level;     /* threshold: levels above it are dropped; -1 = off    */
    int flags;     /* 1 standard error, 2 syslog, 3 both, 0 nothing       */
} LogHandle_t;

#define QX_LOG_STDERR 1
#define QX_LOG_SYSLOG 2

/* The library's handle, made from QUELM_DEBUG, QUELM_LOG_STDERR and
 * QUELM_LOG_SYSLOG on first use when a call passes a null handle. */
extern LogHandle_t *QxLogDefaultHandle;
/* Nonzero: a thread field follows the PID field of every line. */
extern int QxLogShowThreadIDS;

/* Creates the handle at *where (flags/level -1: from the environment), or,
 * when *where is already a handle, keeps its values and logs a restart
 * notice at level 4.  No result; *where stays null if allocation fails. */
void QxLogStart(LogHandle_t **where, int flags, int level, const char *name);
/* Logs one line when level passes the handle's threshold; a null handle is
 * the default handle.  No result; errno is left as it was. */
void QxLogUpdate(LogHandle_t *h, int level, int number, const char *format, ...)
    QX_PRINTF(4, 5);
/* QxLogUpdate with a va_list.  No result; errno is left as it was. */
void QxLogvUpdate(LogHandle_t *h, int level, int number, const char *format,
                  va_list args) QX_PRINTF(4, 0);
/* Closes the handle's catalogue and syslog and frees it.  No result; the
 * caller's pointer is not cleared. */
void QxLogEnd(LogHandle_t *h);

#ifdef __cplusplus
}
#endif

#endif /* QUELM_QXLOG_H */
