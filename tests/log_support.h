// log_support.h - the log's repeat limit in in-process tests.  The library
// limits repeats of a line per process; a test program runs many cases in
// one process, so each case starts with the limit's memory cleared, as a
// fresh process would (the limit itself stays on).  A case that counts the
// repeats of one line asks for every line with EveryLogLine.
#ifndef QUELM_LOG_SUPPORT_H
#define QUELM_LOG_SUPPORT_H

#include <stdlib.h>

#include <gtest/gtest.h>

#include "qxlog_internal.h"

namespace testsupport {

class FreshLogPerCase : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { quelm::LogRepeatReset(); }
};

// Registered before main runs, once per program that includes this header.
inline const bool freshLogRegistered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new FreshLogPerCase);
    return true;
}();

// While it lives, this process writes every log line, repeats included.
class EveryLogLine {
public:
    EveryLogLine() {
        setenv("QUELM_LOG_REPEATS", "1", 1);
        quelm::LogRepeatReset();
    }
    ~EveryLogLine() {
        unsetenv("QUELM_LOG_REPEATS");
        quelm::LogRepeatReset();
    }
    EveryLogLine(const EveryLogLine &) = delete;
    EveryLogLine &operator=(const EveryLogLine &) = delete;
};

}  // namespace testsupport

#endif
