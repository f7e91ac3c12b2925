// viewer_daemon.h - a real foreground warden for the viewer tests (the
// daemon fixture): started with arguments, waited for until it serves
// viewers and reads the pipe, fed reports through the library's pipe
// writer, its viewer server found, and stopped (with the sanitizer check)
// whatever happened.
#ifndef QUELM_VIEWER_DAEMON_H
#define QUELM_VIEWER_DAEMON_H

#include "Shelf_internal.h"

#include <gtest/gtest.h>

#include "records.h"
#include "test_support.h"
#include "warden_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace viewerdaemon {

using testsupport::CpuTicks;
using testsupport::WaitFor;

// A record of this process (a live owner), its text1 naming it.
inline MonData_t Record(uint32_t handle, uint16_t num, uint32_t flags)
{
    return testsupport::NamedRecord(static_cast<uint32_t>(getpid()), handle, num, flags);
}

// The inode of the socket listening on the viewer port, or "".
inline std::string ListenerInode()
{
    std::istringstream f(testsupport::ViewerListener());
    std::string field;
    for (int i = 0; i < 10 && f >> field; ++i) {
    }
    return field;
}

// True when pid holds the socket whose inode is given.
inline bool HoldsSocket(pid_t pid, const std::string &inode)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    bool found = false;
    while (dirent *e = d != nullptr && !found ? readdir(d) : nullptr) {
        char target[64];
        const ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        found = n > 0 && std::string(target, static_cast<size_t>(n)) == "socket:[" + inode + "]";
    }
    if (d != nullptr)
        closedir(d);
    return found;
}

class Daemon : public testing::Test {
protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void TearDown() override
    {
        if (stopped_ > 0)
            kill(stopped_, SIGCONT);
        for (MonHandle_t *v : viewers_)
            QxMonClose(v);
        for (int fd : raw_)
            close(fd);
        if (chute_ != nullptr)
            QxMonClose(chute_);
        warden_.Stop(SIGTERM, true);
    }

    // Starts "warden -f args..." and waits until it serves viewers and reads
    // the pipe through a writer handle of the library's own.
    void Start(std::vector<std::string> args)
    {
        unlink("/tmp/mon.pid");
        testsupport::WardenStart s;
        s.args = std::move(args);
        s.waitReady = false;
        ASSERT_TRUE(warden_.Start(s));
        ASSERT_TRUE(WaitFor([] { return !ListenerInode().empty(); })) << Log();
        ASSERT_TRUE(WaitFor([this] { return QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &chute_) == 0; }));
    }

    // Sends one report through the pipe, on a fresh writer handle when the
    // pipe refused it; false when it could not be sent for a while.
    bool Send(const MonData_t &r)
    {
        return WaitFor([&] {
            if (chute_ != nullptr && QxMonSendData(chute_, &r) > 0)
                return true;
            if (chute_ != nullptr)
                QxMonClose(chute_);
            chute_ = nullptr;
            return QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &chute_) == 0 && QxMonSendData(chute_, &r) > 0;
        });
    }

    // Sends reports and waits until the store has taken them (starts are
    // counted: the last must carry the start flag).
    void Report(const std::vector<MonData_t> &recs)
    {
        uint32_t want = PutCount();
        for (const MonData_t &r : recs) {
            want += (r.flags & MON_FLAG_START) != 0 ? 1 : 0;
            ASSERT_TRUE(Send(r)) << Log();
        }
        ASSERT_TRUE(WaitFor([&] { return PutCount() >= want; })) << Log();
    }

    static uint32_t PutCount() { return testsupport::Warden::PutCount(); }

    // The process that serves viewers: the daemon's child holding the port.
    pid_t ViewerServer() const
    {
        const std::string inode = ListenerInode();
        for (pid_t kid : testsupport::Children(warden_.Pid()))
            if (!inode.empty() && HoldsSocket(kid, inode))
                return kid;
        return -1;
    }

    // A library viewer on 127.0.0.1 with a reply bound of ms, closed at the end.
    MonHandle_t *Viewer(int ms = 10000)
    {
        MonHandle_t *v = nullptr;
        EXPECT_EQ(QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &v), 0);
        if (v == nullptr)
            return nullptr;
        viewers_.push_back(v);
        EXPECT_EQ(QxMonNetSetTimeout(v, ms), 0);
        return v;
    }

    int Raw()
    {
        const int fd = testsupport::ConnectViewer();
        EXPECT_GE(fd, 0);
        if (fd >= 0)
            raw_.push_back(fd);
        return fd;
    }

    std::string Log()
    {
        std::lock_guard<std::mutex> hold(logLock_);
        return warden_.Log();
    }

    testsupport::Warden warden_;
    pid_t stopped_ = -1; // a process the test stopped: continued at the end
    std::mutex logLock_;
    MonHandle_t *chute_ = nullptr;
    std::vector<MonHandle_t *> viewers_;
    std::vector<int> raw_;
};

// One whole change stream: the number of records, or -1 when it failed.
inline int StreamCount(MonHandle_t *v, int all = 0)
{
    MonData_t r;
    int n = 0, rc;
    while ((rc = QxMonRecvNextData(v, all, &r)) == 1)
        ++n;
    return rc == 0 ? n : -1;
}

}  // namespace viewerdaemon

#endif  // QUELM_VIEWER_DAEMON_H
