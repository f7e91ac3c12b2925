// warden_fixture.h - a warden daemon under test, for the test and benchmark
// programs: start it with arguments (in the foreground or not, as another
// user, with more of the environment), wait until it serves, read its log,
// its standard output and its store's header, and stop it, checking that no
// sanitizer spoke.  One copy of what each program used to write for itself.
#ifndef QUELM_WARDEN_FIXTURE_H
#define QUELM_WARDEN_FIXTURE_H

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Shelf_internal.h"
#include "records.h"
#include "test_support.h"

namespace testsupport {

// The line of /proc/net/tcp of a socket listening on the viewer port,
// 5051, on IPv4 (the first of them), or "".
inline std::string ViewerListener()
{
    std::istringstream tcp(ReadFile("/proc/net/tcp"));
    for (std::string line; std::getline(tcp, line);)
        if (line.find(":13BB 00000000:0000 0A") != std::string::npos)
            return line;
    return "";
}

// True while a socket listens on the viewer port, 5051, on IPv4.
inline bool ViewerPortListening() { return !ViewerListener().empty(); }

// True once the collector reads the pipe: a writer can open it, and it is
// a pipe.
inline bool PipeReadable()
{
    const int fd = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    const bool fifo = fd >= 0 && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    if (fd >= 0)
        close(fd);
    return fifo;
}

// Reports n session starts of this process (handles first, first + 1, ...;
// text1 "user<i>") through the library's pipe writer, as a proxy sends
// them: 0 when all were written, else the errno of the failed step.
inline int ReportStarts(int n, uint32_t first)
{
    MonHandle_t *h = nullptr;
    if (QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &h) != 0)
        return errno != 0 ? errno : 99;
    for (int i = 0; i < n; ++i) {
        MonData_t rec = OwnRecord(first + static_cast<uint32_t>(i), 0, MON_FLAG_START);
        SetText(rec.text1, "user%d", i);
        if (QxMonSendData(h, &rec) < 0)
            return errno != 0 ? errno : 99;
    }
    QxMonClose(h);
    return 0;
}

#ifdef WARDEN_BIN
struct WardenStart {
    std::vector<std::string> args;  // after "-f", or alone when not foreground
    uid_t user = 0;                 // another user: runs a copy the user can reach
    std::vector<std::string> env;   // "NAME=value" entries added to the environment
    bool waitReady = true;          // wait until viewers and reports are served
    void (*beforeExec)() = nullptr; // in the child, last thing before exec
    bool foreground = true;         // "-f" first: the daemon is the process started
};

class Warden {
public:
    Warden() = default;
    Warden(const Warden &) = delete;
    Warden &operator=(const Warden &) = delete;
    ~Warden() { Stop(); }

    // Starts warden (-f first when foreground); with waitReady, true once it
    // says it serves (its viewer sockets listen, wherever they are) and its
    // collector reads the pipe; false after 20 s, the log kept.
    bool Start(const WardenStart &s)
    {
        log_.clear();
        out_.clear();
        // Its standard error and output go to files in memory, not pipes: a
        // daemon that logs while the test does not read can never block.
        // Appending: the daemon's processes share each open file, and a
        // memory file, unlike a file opened by name, gives its writers no
        // shared position they take in turn, so two lines written at one
        // instant (two viewer children closing at once) land at one offset
        // and one is lost.  An append takes its place under the file's lock.
        for (int *fd : {&err_, &outFd_}) {
            if (*fd >= 0)
                close(*fd);
            *fd = memfd_create("warden-out", MFD_CLOEXEC);
            if (*fd >= 0 && fcntl(*fd, F_SETFL, O_APPEND) < 0) {
                close(*fd);
                *fd = -1;
            }
        }
        if (err_ < 0 || outFd_ < 0)
            return false;
        const std::string bin = s.user != 0 ? CopyForOthers() : std::string(WARDEN_BIN);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(outFd_, 1);
            dup2(err_, 2);
            for (const std::string &e : s.env)
                putenv(const_cast<char *>(e.c_str()));
            if (s.user != 0 && (chdir("/") != 0 || setgroups(0, nullptr) != 0 ||
                                setgid(s.user) != 0 || setuid(s.user) != 0))
                _exit(100);
            if (s.beforeExec != nullptr)
                s.beforeExec();
            std::vector<char *> argv{const_cast<char *>(bin.c_str())};
            if (s.foreground)
                argv.push_back(const_cast<char *>("-f"));
            for (const std::string &a : s.args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(bin.c_str(), argv.data());
            _exit(127);
        }
        if (pid_ < 0)
            return false;
        return !s.waitReady ||
               WaitFor([this] { return Count("warden serves: ") > 0 && PipeReadable(); }, 20000);
    }

    // Waits for a warden that ends by itself: its wait status, or -1 when it
    // did not end within ms (or was reaped elsewhere, which ends the wait).
    int WaitExit(int ms = 20000)
    {
        int status = -1;
        if (pid_ > 0 && WaitFor([&] {
                const pid_t r = waitpid(pid_, &status, WNOHANG);
                return r == pid_ || (r < 0 && errno == ECHILD);
            }, ms))
            pid_ = -1;
        return pid_ < 0 ? status : -1;
    }

    bool Running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    // Stops it (sig, then SIGKILL after 10 s) and waits for its end; with
    // reapAll (in a subreaper, where its workers come back) every child of
    // this process too.  The log then must not hold a sanitizer's report.
    void Stop(int sig = SIGTERM, bool reapAll = false)
    {
        // One that ended or was reaped already (by a test's own wait) is
        // not signalled: its PID may be another process' by now.
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, sig);
            if (WaitExit(10000) == -1 && pid_ > 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
        pid_ = -1;
        if (reapAll)
            ReapTree();
        if (err_ >= 0) {
            Log();
#ifdef GOOGLETEST_INCLUDE_GTEST_GTEST_H_
            EXPECT_EQ(log_.find("Sanitizer"), std::string::npos) << log_;
#else  // a benchmark: said, and the figures not to be trusted
            if (log_.find("Sanitizer") != std::string::npos)
                fprintf(stderr, "warden's log holds a sanitizer report:\n%s", log_.c_str());
#endif
            close(err_);
            err_ = -1;
        }
        if (outFd_ >= 0) {
            Out();
            close(outFd_);
            outFd_ = -1;
        }
    }

    // What it has written to standard error so far.
    const std::string &Log() { return Drain(err_, &log_); }

    // What it has written to standard output so far.
    const std::string &Out() { return Drain(outFd_, &out_); }

    // Times what appears in its log.
    size_t Count(const std::string &what)
    {
        Log();
        size_t n = 0;
        for (size_t at = log_.find(what); at != std::string::npos; at = log_.find(what, at + 1))
            ++n;
        return n;
    }

    pid_t Pid() const { return pid_; }

    // A word of the store's header, read afresh (0 when there is none, or
    // no regular file at the store's path).
    static uint32_t Header(size_t offset)
    {
        const int fd = open("/tmp/mon.mmap", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        uint32_t v = 0;
        struct stat st;
        if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                        pread(fd, &v, sizeof v, static_cast<off_t>(offset)) != sizeof v))
            v = 0;
        if (fd >= 0)
            close(fd);
        return v;
    }
    static uint32_t PutCount() { return Header(offsetof(ShelfHeader_t, putCount)); }
    static uint32_t HashCount() { return Header(offsetof(ShelfHeader_t, hashCount)); }
    static uint32_t Slot(int s) { return Header(offsetof(ShelfHeader_t, clientPid) + 4u * s); }

private:
    // Another user may not reach the build tree (a checkout under /root is
    // mode 0700): that user runs a copy in /tmp, private under quelm_isolate.
    static std::string CopyForOthers()
    {
        const std::string dir = "/tmp/warden-fixture-bin", copy = dir + "/warden";
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        std::filesystem::permissions(dir, std::filesystem::perms(0755), ec);
        std::filesystem::copy_file(WARDEN_BIN, copy, std::filesystem::copy_options::overwrite_existing, ec);
        std::filesystem::permissions(copy, std::filesystem::perms(0755), ec);
        return copy;
    }

    static const std::string &Drain(int fd, std::string *text)
    {
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = pread(fd, buf, sizeof buf, static_cast<off_t>(text->size()))) > 0)
            text->append(buf, static_cast<size_t>(n));
        return *text;
    }

    pid_t pid_ = -1;
    int err_ = -1, outFd_ = -1;
    std::string log_, out_;
};

#endif  // WARDEN_BIN

}  // namespace testsupport

#endif
