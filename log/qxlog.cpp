// qxlog.cpp - levelled logging to standard error and syslog, used by every module.
// A handle holds a level threshold, output flags and an optional message
// catalogue. Logging never fails towards its caller and leaves errno as it
// found it, so callers may log a failure first and inspect errno afterwards.

#include <errno.h>
#include <nl_types.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "qxlog.h"
#include "qxlog_internal.h"

extern "C" {
LogHandle_t *QxLogDefaultHandle = nullptr;
int QxLogShowThreadIDS = 0;
}

namespace quelm {
int dontLoop = 0;
int logopened = 0;

int LogPriority(int level) {
    if (level <= 1) return LOG_ERR;  // levels below 1 are unused; treat as errors
    if (level == 2) return LOG_NOTICE;
    if (level <= 8) return LOG_WARNING;
    if (level <= 13) return LOG_NOTICE;
    if (level <= 18) return LOG_INFO;
    return LOG_DEBUG;
}
}  // namespace quelm

namespace {

constexpr size_t kLineSize = 2068;
constexpr size_t kNameSize = 1024;
constexpr intptr_t kNoCatalogue = -1;

// Flags from the environment: 2 for QUELM_LOG_SYSLOG, 1 for QUELM_LOG_STDERR,
// each counting when set at all, even to the empty string.
int EnvFlags() {
    int flags = 0;
    if (getenv("QUELM_LOG_SYSLOG") != nullptr) flags += QX_LOG_SYSLOG;
    if (getenv("QUELM_LOG_STDERR") != nullptr) flags += QX_LOG_STDERR;
    return flags;
}

// Threshold from QUELM_DEBUG: unset is off (-1), empty passes everything (29),
// a number n passes levels up to 5n + 4.
int EnvLevel() {
    const char *v = getenv("QUELM_DEBUG");
    if (v == nullptr) return -1;
    if (*v == '\0') return 29;
    return atoi(v) * 5 + 4;
}

// Appends src to dst (which holds *len bytes) without passing cap - 1 bytes.
void Append(char *dst, size_t *len, size_t cap, const char *src) {
    while (*src != '\0' && *len + 1 < cap) dst[(*len)++] = *src++;
    dst[*len] = '\0';
}

// Copies format after the prefix already in dst, replacing every "%m" by the
// text of err. "%%" pairs are copied as they stand, so "%%m" keeps meaning a
// literal "%m" to printf. Copying stops when dst is full.
void ReplacePercentM(char *dst, size_t *len, size_t cap, const char *format, int err) {
    const char *errText = strerror(err);
    for (const char *p = format; *p != '\0' && *len + 1 < cap; ++p) {
        if (p[0] == '%' && p[1] == 'm') {
            Append(dst, len, cap, errText);
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            dst[(*len)++] = '%';
            if (*len + 1 < cap) dst[(*len)++] = '%';
            ++p;
        } else {
            dst[(*len)++] = *p;
        }
    }
    dst[*len] = '\0';
}

}  // namespace

extern "C" void QxLogStart(LogHandle_t **where, int flags, int level, const char *name) {
    time_t now = time(nullptr);
    char catName[kNameSize];
    snprintf(catName, sizeof catName, "%s", name != nullptr ? name : "");
    if (flags == -1) flags = EnvFlags();
    if (level == -1) level = EnvLevel();

    bool existed = *where != nullptr;
    if (!existed) {
        auto *h = static_cast<LogHandle_t *>(calloc(1, sizeof(LogHandle_t)));
        if (h == nullptr) return;
        h->flags = flags;
        h->level = level;
        nl_catd cd = catopen(catName, 0);
        h->catd = reinterpret_cast<intptr_t>(cd);
        *where = h;
    }
    LogHandle_t *h = *where;
    if ((h->flags & QX_LOG_SYSLOG) != 0 && quelm::logopened == 0) {
        // syslog keeps the identity pointer: the caller's name must outlive it.
        openlog(name, LOG_PID, LOG_DAEMON);
        quelm::logopened = 1;
    }
    if (existed && h->flags != 0) {
        char when[kNameSize];
        struct tm tmv;
        localtime_r(&now, &tmv);
        strftime(when, sizeof when, "%c", &tmv);
        QxLogUpdate(h, 4, 0, "%s Logging (re)started at %s", name != nullptr ? name : "", when);
    }
}

extern "C" void QxLogUpdate(LogHandle_t *h, int level, int number, const char *format, ...) {
    va_list args;
    va_start(args, format);
    QxLogvUpdate(h, level, number, format, args);
    va_end(args);
}

extern "C" void QxLogvUpdate(LogHandle_t *h, int level, int number, const char *format,
                             va_list args) {
    int savedErrno = errno;
    if (h == nullptr) {
        // The default handle is made once, from the environment. Restarting it
        // on every call would put a false "(re)started" notice before each
        // message of a debugging run.
        if (QxLogDefaultHandle == nullptr) QxLogStart(&QxLogDefaultHandle, -1, -1, "libquelm");
        h = QxLogDefaultHandle;
        errno = savedErrno;
    }
    if (h == nullptr || h->flags == 0 || h->level == -1 || h->level < level ||
        quelm::dontLoop != 0)
        return;
    ++quelm::dontLoop;

    if (h->catd != kNoCatalogue)
        format = catgets(reinterpret_cast<nl_catd>(h->catd), 0, number, format);
    if (format == nullptr) {
        --quelm::dontLoop;
        errno = savedErrno;
        return;
    }

    char text[kLineSize];
    int n = snprintf(text, sizeof text, "%05d:", static_cast<int>(getpid()));
    size_t pidField = n > 0 ? static_cast<size_t>(n) : 0;
    if (QxLogShowThreadIDS != 0) {
        int m = snprintf(text + pidField, sizeof text - pidField, "%06d:", 0);
        n += m > 0 ? m : 0;
    }
    size_t len = static_cast<size_t>(n);
    Append(text, &len, sizeof text, " ");
    ReplacePercentM(text, &len, sizeof text, format, savedErrno);

    char line[kLineSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vsnprintf(line, sizeof line, text, args);
#pragma GCC diagnostic pop

    if ((h->flags & QX_LOG_STDERR) != 0) {
        fprintf(stderr, "%s\n", line);
        fflush(stderr);
    }
    if ((h->flags & QX_LOG_SYSLOG) != 0) {
        // syslog adds the PID itself; drop our PID field and the blank after it
        // (with thread IDs on, the thread field and the blank remain). The PID
        // field is measured, since PIDs above 99999 print more than 5 digits.
        size_t skip = pidField + (QxLogShowThreadIDS != 0 ? 0 : 1);
        if (skip > strlen(line)) skip = strlen(line);
        syslog(quelm::LogPriority(level), "%s", line + skip);
    }
    errno = savedErrno;
    --quelm::dontLoop;
}

extern "C" void QxLogEnd(LogHandle_t *h) {
    if (h == nullptr) return;
    if (h->catd != kNoCatalogue) catclose(reinterpret_cast<nl_catd>(h->catd));
    h->catd = kNoCatalogue;
    closelog();
    free(h);
}
