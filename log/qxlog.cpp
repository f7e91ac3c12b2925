// qxlog.cpp - levelled logging to standard error and syslog, used by every module.
// A handle holds a level threshold, output flags and an optional message
// catalogue. Logging never fails towards its caller and leaves errno as it
// found it, so callers may log a failure first and inspect errno afterwards.
// A line is formatted into a per-thread buffer and leaves in one write, so
// logging needs little stack (a proxy's threads may have 32 KiB) and lines
// of two threads never interleave. Repeats of a line (same number, same
// text) are counted, not written, beyond one a second: a fault in a loop
// cannot flood the log, and no line hides another.

#include <errno.h>
#include <nl_types.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <tuple>

#include "qxlog.h"
#include "qxlog_internal.h"

extern "C" {
LogHandle_t *QxLogDefaultHandle = nullptr;
int QxLogShowThreadIDS = 0;
}

namespace quelm {
thread_local int dontLoop = 0;
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

int64_t MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Repeat accounting per line: a line is known by its message number and
// its text as written (a 64-bit hash of both), so a line of another text
// is never held back by one that shares its number, as syslog daemons
// count "last message repeated" only for the same message.  The table
// remembers the lines written last; a line it does not hold is written.
// The threads of a proxy log through one table, under a spin lock held for
// a few dozen instructions; a thread that still finds it taken after a
// bounded wait writes its line rather than wait on, so the lock can never
// stall a thread.  A child of fork() starts with it free: the thread that
// may have held it is not in the child.
constexpr size_t kRepeatSlots = 64;
constexpr int64_t kNever = INT64_MIN;
struct RepeatSlot {
    uint64_t key = 0;
    int64_t lastMs = kNever;  // when the line was last written; kNever: slot unused
    uint32_t left = 0;        // its repeats left out since then
};
RepeatSlot repeatSlots[kRepeatSlots];
std::atomic_flag repeatLock = ATOMIC_FLAG_INIT;
constexpr int kRepeatLockTries = 10000;
void FreeRepeatLock() { repeatLock.clear(std::memory_order_relaxed); }
[[maybe_unused]] const int repeatLockForks = pthread_atfork(nullptr, nullptr, FreeRepeatLock);

// Nonzero when QUELM_LOG_REPEATS is set (to any value): every line is then
// written, repeats included, as a debugging run may want; -1 until read.
std::atomic<int> everyRepeat{-1};

bool EveryRepeat() {
    int v = everyRepeat.load(std::memory_order_relaxed);
    if (v < 0) {
        v = getenv("QUELM_LOG_REPEATS") != nullptr ? 1 : 0;
        everyRepeat.store(v, std::memory_order_relaxed);
    }
    return v != 0;
}

// Takes repeatLock; false when it stayed taken through the wait.
bool RepeatLock() {
    for (int tries = 0; repeatLock.test_and_set(std::memory_order_acquire); ++tries) {
        if (tries == kRepeatLockTries) return false;
        if (tries >= 64) sched_yield();  // its holder may be off the processor
    }
    return true;
}

// FNV-1a over the number and the text.
uint64_t LineKey(int number, const char *text, size_t len) {
    uint64_t k = 14695981039346656037ull;
    auto mix = [&k](unsigned char b) { k = (k ^ b) * 1099511628211ull; };
    for (size_t i = 0; i < sizeof number; ++i) mix(static_cast<unsigned char>(number >> (8 * i)));
    for (size_t i = 0; i < len; ++i) mix(static_cast<unsigned char>(text[i]));
    return k;
}

// How willingly a slot is given to a line the table does not hold (lower
// first): a free one, then one with no count waiting, then the one written
// longest ago.
std::tuple<int, int, int64_t> SpareRank(const RepeatSlot &s) {
    return {s.lastMs == kNever ? 0 : 1, s.left == 0 ? 0 : 1, s.lastMs};
}

// True when the line (number, text) may be written now; then *left is the
// count of the same line left out since it was last written.  False: this
// repeat is left out (and counted).
bool RepeatAllows(int number, const char *text, size_t len, uint32_t *left) {
    *left = 0;
    if (EveryRepeat()) return true;
    if (!RepeatLock()) return true;
    const uint64_t key = LineKey(number, text, len);
    const int64_t now = quelm::logClockMs();
    RepeatSlot *match = nullptr;
    RepeatSlot *spare = &repeatSlots[0];
    for (RepeatSlot &s : repeatSlots) {
        if (s.lastMs != kNever && s.key == key) {
            match = &s;
            break;
        }
        if (SpareRank(s) < SpareRank(*spare)) spare = &s;
    }
    bool allow = true;
    if (match != nullptr && now - match->lastMs < quelm::kLogRepeatWindowMs) {
        ++match->left;
        allow = false;
    } else {
        RepeatSlot &slot = match != nullptr ? *match : *spare;
        if (match != nullptr) *left = slot.left;
        slot.key = key;
        slot.lastMs = now;
        slot.left = 0;
    }
    repeatLock.clear(std::memory_order_release);
    return allow;
}

// The line being produced, per thread: a 2 KiB array on the stack would
// take all the room a small thread stack has.  One byte more than a line
// for its newline.
constexpr size_t kLineSize = 2068;
thread_local char lineBuf[kLineSize + 1];
// A "... repeated N times" line: the prefix fields and the count.
constexpr size_t kNoteSize = 96;

// Writes line (len bytes, a newline appended) to the handle's outputs.
// pidField is the length of the leading "%05d:" field that syslog, which
// adds the PID itself, is not given.
void Emit(const LogHandle_t *h, int level, char *line, size_t len, size_t pidField) {
    if ((h->flags & QX_LOG_STDERR) != 0) {
        line[len] = '\n';
        size_t done = 0;
        while (done < len + 1) {
            const ssize_t n = write(STDERR_FILENO, line + done, len + 1 - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        line[len] = '\0';
    }
    if ((h->flags & QX_LOG_SYSLOG) != 0) {
        // Drop our PID field and the blank after it (with thread IDs on,
        // the thread field and the blank remain).
        size_t skip = pidField + (QxLogShowThreadIDS != 0 ? 0 : 1);
        if (skip > len) skip = len;
        syslog(quelm::LogPriority(level), "%s", line + skip);
    }
}

size_t Format(char *buf, size_t cap, size_t len, const char *format, ...) {
    va_list args;
    va_start(args, format);
    len = quelm::LogFormat(buf, cap, len, format, args, 0);
    va_end(args);
    return len;
}

// Puts the "%05d:" PID field (and the thread field when asked for) and one
// blank at the start of line.  Returns the length; *pidField receives the
// PID field's own length (PIDs above 99999 print more than 5 digits).
size_t Prefix(char *line, size_t *pidField) {
    size_t len = Format(line, kLineSize, 0, "%05d:", static_cast<int>(getpid()));
    *pidField = len;
    if (QxLogShowThreadIDS != 0) len = Format(line, kLineSize, len, "%06d:", 0);
    return Format(line, kLineSize, len, " ");
}

}  // namespace

int64_t (*quelm::logClockMs)(void) = MonotonicMs;

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
    uint32_t left = 0;
    if (format != nullptr) {
        size_t pidField = 0;
        const size_t prefix = Prefix(lineBuf, &pidField);
        const size_t len = quelm::LogFormat(lineBuf, kLineSize, prefix, format, args, savedErrno);
        if (RepeatAllows(number, lineBuf + prefix, len - prefix, &left)) {
            if (left > 0) {
                // The count goes before the line it counts, in a buffer of
                // its own: lineBuf holds that line already.
                char note[kNoteSize + 1];
                memcpy(note, lineBuf, prefix);
                const size_t n = Format(note, kNoteSize, prefix, "... repeated %u times", left);
                Emit(h, level, note, n, pidField);
            }
            Emit(h, level, lineBuf, len, pidField);
        }
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

void quelm::LogRepeatReset() {
    everyRepeat.store(-1, std::memory_order_relaxed);
    while (repeatLock.test_and_set(std::memory_order_acquire)) {
    }
    for (RepeatSlot &slot : repeatSlots) slot = RepeatSlot{};
    repeatLock.clear(std::memory_order_release);
}
