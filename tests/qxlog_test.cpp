// Logging: thresholds from the environment, the line format, "%m", the line
// cut, errno preservation, the re-entry guard, the restart notice, the
// counting of repeated lines, the formatter against the C library's, and
// logging from a thread with a small stack.
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qxlog.h"
#include "qxlog_internal.h"

namespace {

// A clock for the repeat limit.  Unless a test sets it, every reading is a
// second after the one before, so no line is ever held back as a repeat.
int64_t fakeNowMs = 0;
bool fakeClockSteps = true;
int64_t FakeClock() {
    if (fakeClockSteps) fakeNowMs += quelm::kLogRepeatWindowMs;
    return fakeNowMs;
}

class QxLog : public testing::Test {
protected:
    void SetUp() override {
        saved_ = quelm::logClockMs;
        quelm::logClockMs = FakeClock;
        fakeClockSteps = true;
        saveRepeats_ = getenv("QUELM_LOG_REPEATS") != nullptr;
        unsetenv("QUELM_LOG_REPEATS");
        quelm::LogRepeatReset();
    }
    void TearDown() override {
        quelm::logClockMs = saved_;
        if (saveRepeats_) setenv("QUELM_LOG_REPEATS", "1", 1);
        quelm::LogRepeatReset();
    }
    int64_t (*saved_)(void) = nullptr;
    bool saveRepeats_ = false;
};

// A handle made from the environment as it is set by the caller.
LogHandle_t *FromEnv(const char *debug, bool toStderr, bool toSyslog) {
    if (debug != nullptr) setenv("QUELM_DEBUG", debug, 1); else unsetenv("QUELM_DEBUG");
    if (toStderr) setenv("QUELM_LOG_STDERR", "", 1); else unsetenv("QUELM_LOG_STDERR");
    if (toSyslog) setenv("QUELM_LOG_SYSLOG", "", 1); else unsetenv("QUELM_LOG_SYSLOG");
    LogHandle_t *h = nullptr;
    QxLogStart(&h, -1, -1, "libquelm-test");
    return h;
}

std::string Pid5() {
    char buf[32];
    snprintf(buf, sizeof buf, "%05d:", static_cast<int>(getpid()));
    return buf;
}

TEST_F(QxLog, EnvironmentGivesLevelAndFlags) {
    struct Case { const char *debug; int level; } cases[] = {
        {nullptr, -1}, {"", 29}, {"0", 4}, {"1", 9}, {"3", 19}, {"-1", -1}, {"abc", 4}};
    for (auto &c : cases) {
        LogHandle_t *h = FromEnv(c.debug, true, false);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->level, c.level) << (c.debug ? c.debug : "(unset)");
        EXPECT_EQ(h->flags, 1);
        QxLogEnd(h);
    }
    LogHandle_t *h = FromEnv("", true, true);
    EXPECT_EQ(h->flags, 3);
    QxLogEnd(h);
    h = FromEnv("", false, false);
    EXPECT_EQ(h->flags, 0);
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 1, 0, "not shown");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    QxLogEnd(h);
}

TEST_F(QxLog, LineFormatAndThreshold) {
    LogHandle_t *h = nullptr;
    QxLogStart(&h, 1, 4, "t");
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 4, 0, "level %d passes", 4);
    QxLogUpdate(h, 5, 0, "level %d dropped", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Pid5() + " level 4 passes\n");

    QxLogShowThreadIDS = 1;
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 1, 0, "with thread");
    QxLogShowThreadIDS = 0;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Pid5() + "000000: with thread\n");

    h->level = -1;
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 0, 0, "off");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    QxLogEnd(h);
}

TEST_F(QxLog, PercentMIsErrnoTextAndErrnoSurvives) {
    LogHandle_t *h = nullptr;
    QxLogStart(&h, 1, 29, "t");
    testing::internal::CaptureStderr();
    errno = ENOENT;
    QxLogUpdate(h, 1, 0, "open %s: %m", "/nowhere");
    EXPECT_EQ(errno, ENOENT);
    errno = EPIPE;
    QxLogUpdate(h, 1, 0, "100%% literal %%m");
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              Pid5() + " open /nowhere: " + strerror(ENOENT) + "\n" + Pid5() +
                  " 100% literal %m\n");
    QxLogEnd(h);
}

TEST_F(QxLog, LongLinesAreCutTo2067Characters) {
    LogHandle_t *h = nullptr;
    QxLogStart(&h, 1, 29, "t");
    std::string big(5000, 'x');
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 1, 0, "%s", big.c_str());
    std::string out = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.size(), 2067u + 1u);  // the line, cut, and the newline
    EXPECT_EQ(out.back(), '\n');
    // A format that fills the buffer itself is cut in the middle of %m's text.
    std::string fmt(2058, 'y');
    fmt += "%m";
    errno = ENOENT;
    testing::internal::CaptureStderr();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    QxLogUpdate(h, 1, 0, fmt.c_str());
#pragma GCC diagnostic pop
    out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.size(), 2067u + 1u);
    // 7 bytes of PID field, 2058 'y', then the first 2 characters of the text.
    EXPECT_EQ(out.substr(Pid5().size() + 1 + 2058, 2), std::string(strerror(ENOENT)).substr(0, 2));
    QxLogEnd(h);
}

TEST_F(QxLog, MessageDuringAMessageIsDropped) {
    LogHandle_t *h = nullptr;
    QxLogStart(&h, 1, 29, "t");
    quelm::dontLoop = 1;  // as if a signal handler interrupted a log call
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 1, 0, "nested");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    quelm::dontLoop = 0;
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 1, 0, "after");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Pid5() + " after\n");
    QxLogEnd(h);
}

TEST_F(QxLog, SecondStartKeepsValuesAndAnnouncesRestart) {
    LogHandle_t *h = nullptr;
    QxLogStart(&h, 1, 4, "first");
    testing::internal::CaptureStderr();
    QxLogStart(&h, 3, 29, "again");
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(h->flags, 1);
    EXPECT_EQ(h->level, 4);
    EXPECT_EQ(out.rfind(Pid5() + " again Logging (re)started at ", 0), 0u) << out;

    // The daemon's handles pass levels 1 to 3 only: no notice there.
    LogHandle_t *d = nullptr;
    QxLogStart(&d, 1, 3, "");
    testing::internal::CaptureStderr();
    QxLogStart(&d, 1, 3, "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    QxLogEnd(d);
    QxLogEnd(h);
}

TEST_F(QxLog, DefaultHandleIsMadeOnceFromTheEnvironment) {
    setenv("QUELM_DEBUG", "", 1);
    setenv("QUELM_LOG_STDERR", "", 1);
    unsetenv("QUELM_LOG_SYSLOG");
    ASSERT_EQ(QxLogDefaultHandle, nullptr);
    testing::internal::CaptureStderr();
    QxLogUpdate(nullptr, 1, 0, "one");
    QxLogUpdate(nullptr, 1, 0, "two");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Pid5() + " one\n" + Pid5() + " two\n");
    ASSERT_NE(QxLogDefaultHandle, nullptr);
    EXPECT_EQ(QxLogDefaultHandle->level, 29);
    QxLogEnd(QxLogDefaultHandle);
    QxLogDefaultHandle = nullptr;
}

TEST_F(QxLog, SyslogPriorities) {
    EXPECT_EQ(quelm::LogPriority(1), LOG_ERR);
    EXPECT_EQ(quelm::LogPriority(2), LOG_NOTICE);
    EXPECT_EQ(quelm::LogPriority(3), LOG_WARNING);
    EXPECT_EQ(quelm::LogPriority(8), LOG_WARNING);
    EXPECT_EQ(quelm::LogPriority(9), LOG_NOTICE);
    EXPECT_EQ(quelm::LogPriority(13), LOG_NOTICE);
    EXPECT_EQ(quelm::LogPriority(14), LOG_INFO);
    EXPECT_EQ(quelm::LogPriority(18), LOG_INFO);
    EXPECT_EQ(quelm::LogPriority(19), LOG_DEBUG);
    EXPECT_EQ(quelm::LogPriority(0), LOG_ERR);
}

// Counts the lines of out that equal line exactly.
size_t CountLines(const std::string &out, const std::string &line) {
    size_t n = 0;
    for (size_t pos = 0; (pos = out.find(line + "\n", pos)) != std::string::npos; pos += line.size())
        if (pos == 0 || out[pos - 1] == '\n') ++n;
    return n;
}

TEST_F(QxLog, RepeatedLinesAreCountedNotWritten) {
    LogHandle_t *h = nullptr;
    QxLogStart(&h, 1, 29, "t");
    fakeClockSteps = false;
    fakeNowMs = 5000;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 10000; ++i) QxLogUpdate(h, 1, 20, "QxMonSendData() to shared mem failed");
    QxLogUpdate(h, 1, 21, "another number is not held back");
    fakeNowMs += quelm::kLogRepeatWindowMs - 1;  // still inside the window
    QxLogUpdate(h, 1, 20, "QxMonSendData() to shared mem failed");
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, Pid5() + " QxMonSendData() to shared mem failed\n" + Pid5() +
                       " another number is not held back\n");

    // A window later the next line is written, after the count of those left out.
    fakeNowMs += 1;
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 1, 20, "QxMonSendData() to shared mem failed");
    QxLogUpdate(h, 1, 20, "QxMonSendData() to shared mem failed");
    out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, Pid5() + " ... repeated 10000 times\n" + Pid5() +
                       " QxMonSendData() to shared mem failed\n");

    // Another text of the same number is another line: written at once, and
    // the count of the one repeat left out just above waits for its own line.
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 1, 20, "again %d", 1);
    QxLogUpdate(h, 1, 20, "again %d", 2);
    QxLogUpdate(h, 1, 20, "again %d", 2);
    fakeNowMs += 10 * quelm::kLogRepeatWindowMs;
    QxLogUpdate(h, 1, 20, "QxMonSendData() to shared mem failed");
    out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, Pid5() + " again 1\n" + Pid5() + " again 2\n" + Pid5() +
                       " ... repeated 1 times\n" + Pid5() + " QxMonSendData() to shared mem failed\n");

    // Lines below the threshold neither count nor open a window.
    testing::internal::CaptureStderr();
    h->level = 1;
    QxLogUpdate(h, 5, 14, "dropped by level");
    QxLogUpdate(h, 1, 14, "shown");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Pid5() + " shown\n");
    QxLogEnd(h);
}

// The lines found hidden behind another of their number (or of a number
// 64 apart) are each written, and so is every one of many distinct lines of
// one number, as --allow refusals of many addresses are; the same line
// stays limited throughout.
TEST_F(QxLog, NoLineHidesAnother) {
    LogHandle_t *h = nullptr;
    QxLogStart(&h, 1, 29, "t");
    fakeClockSteps = false;
    fakeNowMs = 5000;
    testing::internal::CaptureStderr();
    QxLogUpdate(h, 1, 1, "QxMonSendData: invalid handle=0x%lx specified", 0ul);
    QxLogUpdate(h, 1, 1, "QxMonRecvData: invalid handle=0x%lx specified", 0ul);
    QxLogUpdate(h, 1, 1, "QxMonSendData: invalid handle=0x%lx specified", 0ul);
    QxLogUpdate(h, 1, 4, "bad client type=%d specified", 2);
    QxLogUpdate(h, 1, 68, "QxSocksMonClose: bad handle=0x%x", 0x1234);
    QxLogUpdate(h, 1, 24, "main: cannot write /tmp/mon.pid: No space left on device");
    QxLogUpdate(h, 1, 24, "main: QxMonMemOpen(/tmp/mon.mmap) failed: ...; warden stops");
    for (int i = 0; i < 200; ++i)
        QxLogUpdate(h, 1, 15, "GUIAccept: connection from 10.0.%d.%d refused", i / 256, i % 256);
    for (int i = 0; i < 200; ++i)
        QxLogUpdate(h, 1, 15, "GUIAccept: connection from 10.0.0.0 refused");
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(out, Pid5() + " QxMonSendData: invalid handle=0x0 specified"), 1u) << out;
    EXPECT_EQ(CountLines(out, Pid5() + " QxMonRecvData: invalid handle=0x0 specified"), 1u);
    EXPECT_EQ(CountLines(out, Pid5() + " bad client type=2 specified"), 1u);
    EXPECT_EQ(CountLines(out, Pid5() + " QxSocksMonClose: bad handle=0x1234"), 1u);
    EXPECT_EQ(CountLines(out, Pid5() + " main: QxMonMemOpen(/tmp/mon.mmap) failed: ...; warden stops"), 1u);
    for (int i = 0; i < 200; ++i) {
        const std::string line = " GUIAccept: connection from 10.0." + std::to_string(i / 256) +
                                 "." + std::to_string(i % 256) + " refused";
        EXPECT_EQ(CountLines(out, Pid5() + line), 1u) << line;
    }
    // Nothing else: the repeats of 10.0.0.0 and of the first line are held back.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 1 + 1 + 1 + 2 + 200);
    QxLogEnd(h);
}

TEST_F(QxLog, EnvironmentCanAskForEveryRepeat) {
    LogHandle_t *h = nullptr;
    QxLogStart(&h, 1, 29, "t");
    fakeClockSteps = false;
    setenv("QUELM_LOG_REPEATS", "", 1);
    quelm::LogRepeatReset();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) QxLogUpdate(h, 1, 20, "same");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Pid5() + " same\n" + Pid5() + " same\n" + Pid5() + " same\n");
    unsetenv("QUELM_LOG_REPEATS");
    quelm::LogRepeatReset();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) QxLogUpdate(h, 1, 20, "same");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), Pid5() + " same\n");
    QxLogEnd(h);
}

TEST_F(QxLog, TenThousandFailuresFromThreadsWriteAFewLines) {
    // The real clock: a flood spread over threads and a little time still
    // leaves at most one line (and its count) per line and second.
    quelm::logClockMs = saved_;
    LogHandle_t *h = nullptr;
    QxLogStart(&h, 1, 29, "t");
    testing::internal::CaptureStderr();
    std::vector<pthread_t> threads(4);
    for (pthread_t &t : threads)
        pthread_create(&t, nullptr, [](void *arg) -> void * {
            for (int i = 0; i < 2500; ++i)
                QxLogUpdate(static_cast<LogHandle_t *>(arg), 1, 20, "put failed");
            return nullptr;
        }, h);
    for (pthread_t &t : threads) pthread_join(t, nullptr);
    const std::string out = testing::internal::GetCapturedStderr();
    const size_t lines = static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 24u) << out;
    EXPECT_GE(CountLines(out, Pid5() + " put failed"), 1u);
    QxLogEnd(h);
}

// LogFormat against the C library's snprintf, conversion by conversion.
std::string Ours(const char *format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    quelm::LogFormat(buf, sizeof buf, 0, format, args, ENOENT);
    va_end(args);
    return buf;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
std::string Libc(const char *format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

#define SAME_AS_LIBC(...) EXPECT_EQ(Ours(__VA_ARGS__), Libc(__VA_ARGS__)) << #__VA_ARGS__

TEST_F(QxLog, FormatterAgreesWithTheCLibrary) {
    SAME_AS_LIBC("%05d:", 417);
    SAME_AS_LIBC("%05d:", 1234567);
    SAME_AS_LIBC("[%d|%i|%5d|%-5d|%+d|% d|%05d|%.3d|%8.3d|%-08d]", -42, 7, -3, 12, 9, 9, -17, 5, -5, 3);
    SAME_AS_LIBC("[%d %d %u]", INT32_MIN, INT32_MAX, 4294967295u);
    SAME_AS_LIBC("[%ld %lu %lld %llu %zu %zd %jd %hd %hhd %hu %hhu]", -9000000000L, 18446744073709551615UL,
                 INT64_MIN, 12345678901234ULL, static_cast<size_t>(77), static_cast<ssize_t>(-77),
                 static_cast<intmax_t>(-5), 70000, 300, 70000, 300);
    SAME_AS_LIBC("[%x %X %#x %#X %08lx %lx %#o %o %.0d %.0x]", 255u, 255u, 255u, 0xabcu, 0xdeadUL,
                 0xffffffffffUL, 8u, 0u, 0, 0u);
    SAME_AS_LIBC("[%s|%10s|%-10s|%.3s|%.*s|%*s|%-*s]", "abc", "abc", "abc", "abcdef", 2, "abcdef", 6,
                 "ab", -6, "ab");
    SAME_AS_LIBC("[%c%c|%3c|%-3c|%%|%5%]", 'o', 'k', 'x', 'y');
    SAME_AS_LIBC("[%p %p]", reinterpret_cast<void *>(0x1234), static_cast<void *>(nullptr));
    SAME_AS_LIBC("[%f %.2f %.0f %8.3f %-8.1f| %f]", 3.14159, -2.005, 2.7, 1.0, 9.99, 0.0);
    SAME_AS_LIBC("%s Logging (re)started at %s", "name", "Tue Dec  8 21:00:00 2026");
    // "%m" is the given errno's text, with the string's width and precision.
    EXPECT_EQ(Ours("open: %m (%.2m)"), std::string("open: ") + strerror(ENOENT) + " (" +
                                           std::string(strerror(ENOENT)).substr(0, 2) + ")");
    // Unknown conversions are shown as written and take no argument.
    EXPECT_EQ(Ours("%y then %d", 5), "%y then 5");
    EXPECT_EQ(Ours("trailing %"), "trailing %");
}
#pragma GCC diagnostic pop

TEST_F(QxLog, FormatterCutsAtTheBufferEndAndKeepsWhatWasThere) {
    char buf[8];
    auto format = [&](size_t len, const char *fmt, ...) {
        va_list args;
        va_start(args, fmt);
        const size_t n = quelm::LogFormat(buf, sizeof buf, len, fmt, args, 0);
        va_end(args);
        return n;
    };
    memcpy(buf, "AB", 3);
    EXPECT_EQ(format(2, "%d-%s", 12345, "xyz"), 7u);
    EXPECT_STREQ(buf, "AB12345");
    EXPECT_EQ(format(0, "%20s", "x"), 7u);
    EXPECT_STREQ(buf, "       ");
    // A length at or past the end leaves the buffer full and terminated.
    EXPECT_EQ(format(sizeof buf, "more"), 7u);
    EXPECT_EQ(buf[7], '\0');
}

// Deepest stack use of one log call on a thread of a small stack: the
// stack below the caller is filled with a pattern first, and the lowest
// byte that changed shows how far the call reached.
struct StackProbe {
    LogHandle_t *h;
    size_t used;
};

constexpr size_t kSmallStack = 32 * 1024;
constexpr size_t kPainted = 12 * 1024;
constexpr unsigned char kPaint = 0xA5;

__attribute__((noinline)) void Paint(unsigned char *low, size_t n) {
    for (size_t i = 0; i < n; ++i) reinterpret_cast<volatile unsigned char *>(low)[i] = kPaint;
}

void *LogOnSmallStack(void *arg) {
    auto *probe = static_cast<StackProbe *>(arg);
    unsigned char here;
    // 256 bytes of room for this frame itself, then the painted area.
    auto *low = reinterpret_cast<unsigned char *>(reinterpret_cast<uintptr_t>(&here) - 256 - kPainted);
    Paint(low, kPainted);
    errno = ENOENT;
    QxLogUpdate(probe->h, 1, 24, "%s: open(%s) failed, errno=%d: %m (%lx)", "ChuteOpen", "/tmp/mon.fifo",
                errno, 0xdeadbeefUL);
    size_t untouched = 0;
    while (untouched < kPainted && low[untouched] == kPaint) ++untouched;
    probe->used = reinterpret_cast<uintptr_t>(&here) - reinterpret_cast<uintptr_t>(low) - untouched;
    return nullptr;
}

TEST_F(QxLog, LoggingFitsAThreadWithA32KiBStack) {
    LogHandle_t *h = nullptr;
    QxLogStart(&h, QX_LOG_STDERR, 29, "t");
    StackProbe probe{h, 0};
    // The first call of each C library function goes through the dynamic
    // linker, whose resolver saves the vector registers on the stack (some
    // KiB, once per process); resolve them before measuring the log call.
    testing::internal::CaptureStderr();
    errno = ENOENT;
    QxLogUpdate(h, 1, 24, "warm-up %s %m", "x");
    testing::internal::GetCapturedStderr();
    quelm::LogRepeatReset();
    pthread_attr_t attr;
    pthread_attr_init(&attr);
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's frames are several times larger; the bound below is
    // for the plain build.
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 8 * kSmallStack), 0);
#else
    ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
#endif
    pthread_t t;
    testing::internal::CaptureStderr();
    ASSERT_EQ(pthread_create(&t, &attr, LogOnSmallStack, &probe), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(std::string("ChuteOpen: open(/tmp/mon.fifo) failed, errno=2: ") + strerror(ENOENT) +
                       " (deadbeef)\n"),
              std::string::npos)
        << out;
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(probe.used, 2048u);
    RecordProperty("stack_bytes", static_cast<int>(probe.used));
#endif
    EXPECT_GT(probe.used, 0u);
    QxLogEnd(h);
}

}  // namespace
