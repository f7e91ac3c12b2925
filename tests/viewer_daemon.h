// viewer_daemon.h - a real foreground warden for the viewer tests: started
// with arguments, waited for until it serves viewers and reads the pipe,
// fed reports through the library's pipe writer, its log kept, its viewer
// server found, and stopped (with the sanitizer check) whatever happened.
#ifndef QUELM_VIEWER_DAEMON_H
#define QUELM_VIEWER_DAEMON_H

#include "Shelf_internal.h"

#include <gtest/gtest.h>

#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace viewerdaemon {

using testsupport::WaitFor;

inline MonData_t Record(uint32_t handle, uint16_t num, uint32_t flags)
{
    MonData_t r;
    memset(&r, 0, sizeof r);
    r.pid = static_cast<uint32_t>(getpid());
    r.handleNum = handle;
    r.recordNum = num;
    r.flags = flags;
    snprintf(r.text1, sizeof r.text1, "session %u.%u", handle, num);
    return r;
}

// The inode of the socket listening on the viewer port, or "".
inline std::string ListenerInode()
{
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    while (std::getline(tcp, line)) {
        if (line.find(":13BB 00000000:0000 0A") == std::string::npos)
            continue;
        std::istringstream f(line);
        std::string field;
        for (int i = 0; i < 10 && f >> field; ++i) {
        }
        return field;
    }
    return "";
}

// The process IDs of pid's children.
inline std::vector<pid_t> ChildrenOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> kids;
    for (pid_t k; in >> k;)
        kids.push_back(k);
    return kids;
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

// Clock ticks of CPU time (user and system) pid has used.
inline long CpuTicks(pid_t pid)
{
    std::string stat = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream f(stat.substr(paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && f >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
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
        if (pid_ > 0)
            kill(pid_, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end &&
               (waitpid(-1, nullptr, WNOHANG) >= 0 || errno != ECHILD))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(Log().find("Sanitizer"), std::string::npos) << Log();
        if (err_ >= 0)
            close(err_);
        if (header_ != nullptr)
            munmap(const_cast<ShelfHeader_t *>(header_), SHELF_MMAP_SIZE);
    }

    // Starts "warden -f args..." and waits until it serves viewers and reads
    // the pipe through a writer handle of the library's own.
    void Start(std::vector<std::string> args)
    {
        unlink("/tmp/mon.pid");
        args.insert(args.begin(), "-f");
        int errPipe[2];
        ASSERT_EQ(pipe2(errPipe, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(errPipe[1], 2);
            std::vector<char *> argv{const_cast<char *>(WARDEN_BIN)};
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(WARDEN_BIN, argv.data());
            _exit(127);
        }
        close(errPipe[1]);
        err_ = errPipe[0];
        fcntl(err_, F_SETFL, O_NONBLOCK);
        ASSERT_TRUE(WaitFor([] { return !ListenerInode().empty(); })) << Log();
        ASSERT_TRUE(WaitFor([this] { return QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &chute_) == 0; }));
        const int fd = open("/tmp/mon.mmap", O_RDONLY | O_NOFOLLOW);
        ASSERT_GE(fd, 0);
        void *p = mmap(nullptr, SHELF_MMAP_SIZE, PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        ASSERT_NE(p, MAP_FAILED);
        header_ = static_cast<const ShelfHeader_t *>(p);
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

    uint32_t PutCount() const { return __atomic_load_n(&header_->putCount, __ATOMIC_ACQUIRE); }

    // The process that serves viewers: the daemon's child holding the port.
    pid_t ViewerServer() const
    {
        const std::string inode = ListenerInode();
        for (pid_t kid : ChildrenOf(pid_))
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
        char buf[4096];
        ssize_t n;
        while (err_ >= 0 && (n = read(err_, buf, sizeof buf)) > 0)
            log_.append(buf, static_cast<size_t>(n));
        return log_;
    }

    pid_t pid_ = -1;
    pid_t stopped_ = -1; // a process the test stopped: continued at the end
    int err_ = -1;
    std::string log_;
    std::mutex logLock_;
    MonHandle_t *chute_ = nullptr;
    const ShelfHeader_t *header_ = nullptr;
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
