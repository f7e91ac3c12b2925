// restart_support.h - what the restart tests share: spawning a program,
// its exit status, and a warden in the foreground that the test stops and
// starts again, ready only once the pipe at the path is the new daemon's.
#ifndef QUELM_RESTART_SUPPORT_H
#define QUELM_RESTART_SUPPORT_H

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quelm/monitor.h>

#include "proxytap_internal.h"
#include "test_support.h"
#include "warden_fixture.h"

namespace restartsupport {

using testsupport::CanConnect;
using testsupport::WaitExit;
using testsupport::WaitFor;

// Runs args, its output to /dev/null unless RESTART_TEST_VERBOSE is set.
inline pid_t Spawn(const std::vector<std::string> &args)
{
    const bool verbose = getenv("RESTART_TEST_VERBOSE") != nullptr;
    return testsupport::Spawn(args, {}, verbose ? "/dev/stderr" : "", testsupport::kSpawnAppend);
}

// warden in the foreground (the daemon fixture), with a writer of its pipe
// held by the test so the collector never waits for one.  Ready once the
// pipe at the path has a reader and is the new daemon's (a killed daemon's
// collector may linger on the old pipe for a moment).
class Warden {
public:
    ~Warden() { Stop(SIGTERM); }
    bool Start()
    {
#ifdef WARDEN_BIN
        if (!warden_.Start({{}, 0, {}, false}))
            return false;
        if (getenv("RESTART_TEST_VERBOSE") != nullptr) fprintf(stderr, "warden %d\n", warden_.Pid());
        return WaitFor([&] {
            if (keeper_ < 0)
                keeper_ = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            struct stat a, b;
            if (keeper_ >= 0 && (fstat(keeper_, &a) != 0 || stat("/tmp/mon.fifo", &b) != 0 ||
                                 a.st_ino != b.st_ino || a.st_ino == lastPipe_)) {
                close(keeper_);
                keeper_ = -1;
            }
            if (keeper_ >= 0)
                lastPipe_ = a.st_ino;
            return keeper_ >= 0;
        });
#else
        return false;
#endif
    }
    void Stop(int sig)
    {
#ifdef WARDEN_BIN
        warden_.Stop(sig);
#endif
        if (keeper_ >= 0)
            close(keeper_);
        keeper_ = -1;
    }

private:
#ifdef WARDEN_BIN
    testsupport::Warden warden_;
#endif
    int keeper_ = -1;
    ino_t lastPipe_ = 0;  // every start makes a new pipe: the last one's is not it
};

}  // namespace restartsupport

#endif  // QUELM_RESTART_SUPPORT_H
