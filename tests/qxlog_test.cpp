// Logging: thresholds from the environment, the line format, "%m", the line
// cut, errno preservation, the re-entry guard and the restart notice.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "qxlog.h"
#include "qxlog_internal.h"

namespace {

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

TEST(QxLog, EnvironmentGivesLevelAndFlags) {
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

TEST(QxLog, LineFormatAndThreshold) {
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

TEST(QxLog, PercentMIsErrnoTextAndErrnoSurvives) {
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

TEST(QxLog, LongLinesAreCutTo2067Characters) {
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

TEST(QxLog, MessageDuringAMessageIsDropped) {
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

TEST(QxLog, SecondStartKeepsValuesAndAnnouncesRestart) {
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

TEST(QxLog, DefaultHandleIsMadeOnceFromTheEnvironment) {
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

TEST(QxLog, SyslogPriorities) {
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

}  // namespace
