// Tests of my_daemonize.  Each test forks a child that calls it; the detached
// grandchild reports over descriptor 1 (descriptors from 3 up are closed by
// the call) and exits at once.  The test process is a child subreaper, so it
// also reaps the detached processes, and seccomp filters inject the failures.
#include <quelm/monitor.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr unsigned kAuditArch = 0; // no filters: the fault tests skip
#endif

constexpr int kLowFd = 7;    // descriptors the child opens before detaching
constexpr int kHighFd = 255; // the highest one that must be closed

// What the detached process saw right after my_daemonize returned.
struct DetachedReport {
    pid_t pid;
    pid_t pgrp;
    pid_t sid;
    int errnoOnReturn;
    int lowFdErrno;      // errno of F_GETFD on kLowFd (EBADF when closed)
    int highFdErrno;     // same for kHighFd
    mode_t umaskOnReturn;
    int createdMode;     // mode bits of a file created with 0666, -1 on failure
    char cwd[256];
    bool ttouIgnored;
    bool ttinIgnored;
    bool tstpIgnored;
    bool hupDefault;
};

enum class Fault { kNone, kForkFails, kSetsidEnosys, kSetsidEperm };

// Makes the listed system call fail with err in this process and its
// descendants.  For clone only process-creating calls fail (no CLONE_VM), so
// that sanitizer helper threads still start.  Returns false when filters
// cannot be installed here.
bool FailSyscall(long nr, int err)
{
    if (kAuditArch == 0)
        return false;
    const bool isClone = nr == SYS_clone;
    sock_filter prog[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, isClone ? CLONE_VM : 0u, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & 0xffff)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog fprog{static_cast<unsigned short>(sizeof prog / sizeof prog[0]), prog};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

// Whether this machine lets a process install seccomp filters.
bool FiltersWork()
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(FailSyscall(SYS_getppid, EPERM) && syscall(SYS_getppid) == -1 && errno == EPERM
                  ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)
        && WEXITSTATUS(status) == 0;
}

bool IsIgnored(int sig)
{
    struct sigaction sa{};
    return sigaction(sig, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN;
}

// Runs in the forked child: sets up descriptors 0-2 as the test's pipes, opens
// two more descriptors, detaches, and reports from the detached process once
// the test writes to (or closes) its standard input.  Never returns.
[[noreturn]] void DetachAndReport(int goFd, int reportFd, int errFd, Fault fault)
{
    if (dup2(goFd, 0) < 0 || dup2(reportFd, 1) < 0 || dup2(errFd, 2) < 0)
        _exit(90);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull < 0 || dup2(devNull, kLowFd) < 0 || dup2(devNull, kHighFd) < 0)
        _exit(91);
    umask(077);
    signal(SIGHUP, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    bool armed = true;
    switch (fault) {
    case Fault::kNone: break;
    case Fault::kForkFails: armed = FailSyscall(SYS_clone, EAGAIN); break;
    case Fault::kSetsidEnosys: armed = FailSyscall(SYS_setsid, ENOSYS); break;
    case Fault::kSetsidEperm: armed = FailSyscall(SYS_setsid, EPERM); break;
    }
    if (!armed)
        _exit(92);

    my_daemonize();

    DetachedReport r{};
    r.errnoOnReturn = errno;
    char go;
    (void)!read(0, &go, 1);
    r.pid = getpid();
    r.pgrp = getpgrp();
    r.sid = getsid(0);
    r.lowFdErrno = fcntl(kLowFd, F_GETFD) < 0 ? errno : 0;
    r.highFdErrno = fcntl(kHighFd, F_GETFD) < 0 ? errno : 0;
    r.umaskOnReturn = umask(0);
    const std::string name = "detacher_test." + std::to_string(r.pid);
    const int fd = open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW, 0666);
    struct stat st{};
    r.createdMode = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
        ? static_cast<int>(st.st_mode & 07777) : -1;
    if (fd >= 0) {
        close(fd);
        unlink(name.c_str());
    }
    if (getcwd(r.cwd, sizeof r.cwd) == nullptr)
        r.cwd[0] = '\0';
    r.ttouIgnored = IsIgnored(SIGTTOU);
    r.ttinIgnored = IsIgnored(SIGTTIN);
    r.tstpIgnored = IsIgnored(SIGTSTP);
    struct sigaction hup{};
    r.hupDefault = sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler == SIG_DFL;
    (void)!write(1, &r, sizeof r);
    (void)!write(2, "detached\n", 9);
    _exit(0);
}

// Reads fd until end of file.
std::string ReadAll(int fd)
{
    std::string out;
    char buf[512];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            return out;
    }
}

// Waits for pid to end; gives up (returning false) after a generous while so
// that a call that never lets its caller go fails the test instead of hanging.
bool WaitForExit(pid_t pid, int *status)
{
    for (int tries = 0; tries < 3000; ++tries) {
        const pid_t got = waitpid(pid, status, WNOHANG);
        if (got == pid)
            return true;
        if (got < 0 && errno != EINTR)
            return false;
        usleep(10000);
    }
    return false;
}

// One run: the calling child, the pipes to it, and what came back.  The
// destructor releases the detached process (end of file on its input), kills
// a calling child that is still there and reaps every child left.
class Detaching {
public:
    explicit Detaching(Fault fault)
    {
        int go[2], report[2], err[2];
        if (pipe(go) != 0 || pipe(report) != 0 || pipe(err) != 0)
            return;
        fflush(nullptr); // gtest's buffered output must not reach the report pipe
        caller_ = fork();
        if (caller_ == 0) {
            close(go[1]);
            close(report[0]);
            close(err[0]);
            DetachAndReport(go[0], report[1], err[1], fault);
        }
        close(go[0]);
        close(report[1]);
        close(err[1]);
        go_ = go[1];
        report_ = report[0];
        err_ = err[0];
    }

    ~Detaching()
    {
        Release();
        if (caller_ > 0 && !callerReaped_) {
            kill(caller_, SIGKILL);
            waitpid(caller_, nullptr, 0);
        }
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
        if (report_ >= 0)
            close(report_);
        if (err_ >= 0)
            close(err_);
    }

    // Waits for the calling child; true when it ended within the while.
    bool WaitCaller(int *status)
    {
        callerReaped_ = caller_ > 0 && WaitForExit(caller_, status);
        return callerReaped_;
    }

    // Lets the detached process report, then collects its report and stderr.
    void Release()
    {
        if (go_ >= 0) {
            (void)!write(go_, "g", 1);
            close(go_);
            go_ = -1;
        }
    }
    std::string Report() { return ReadAll(report_); }
    std::string Stderr() { return ReadAll(err_); }

    pid_t caller() const { return caller_; }

private:
    pid_t caller_ = -1;
    bool callerReaped_ = false;
    int go_ = -1;
    int report_ = -1;
    int err_ = -1;
};

class Detacher : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Orphans of our children are re-parented to us, so the test can
        // see how the detached processes end and leaves none behind.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0) << strerror(errno);
        // A detached process that already ended must not kill the test
        // when it is told to go on.
        signal(SIGPIPE, SIG_IGN);
    }

    // Expects a report of a complete detach and returns it.
    DetachedReport ExpectReport(Detaching &run)
    {
        DetachedReport r{};
        const std::string bytes = run.Report();
        EXPECT_EQ(bytes.size(), sizeof r);
        if (bytes.size() == sizeof r)
            std::memcpy(&r, bytes.data(), sizeof r);
        return r;
    }
};

TEST_F(Detacher, CallerExitsAndChildCarriesOnDetached)
{
    const pid_t ourSid = getsid(0);
    Detaching run(Fault::kNone);
    ASSERT_GT(run.caller(), 0);

    // The caller ends while the detached process still waits for its go.
    int status = -1;
    ASSERT_TRUE(run.WaitCaller(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    run.Release();
    const DetachedReport r = ExpectReport(run);
    EXPECT_EQ(run.Stderr(), "detached\n"); // descriptor 2 still leads to the test
    ASSERT_GT(r.pid, 0);
    EXPECT_NE(r.pid, run.caller());
    EXPECT_EQ(r.sid, r.pid);
    EXPECT_EQ(r.pgrp, r.pid);
    EXPECT_NE(r.sid, ourSid);
    EXPECT_EQ(r.errnoOnReturn, 0);
    EXPECT_EQ(r.lowFdErrno, EBADF);
    EXPECT_EQ(r.highFdErrno, EBADF);
    EXPECT_STREQ(r.cwd, "/tmp");
    EXPECT_EQ(r.umaskOnReturn, 0u);
    EXPECT_EQ(r.createdMode, 0666);
    EXPECT_TRUE(r.ttouIgnored);
    EXPECT_TRUE(r.ttinIgnored);
    EXPECT_TRUE(r.tstpIgnored);
    EXPECT_TRUE(r.hupDefault);

    int detachedStatus = -1;
    ASSERT_TRUE(WaitForExit(r.pid, &detachedStatus));
    EXPECT_TRUE(WIFEXITED(detachedStatus) && WEXITSTATUS(detachedStatus) == 0);
}

TEST_F(Detacher, WithoutSetsidStillDetachesTheRest)
{
    if (!FiltersWork())
        GTEST_SKIP() << "seccomp filters are not available";
    const pid_t ourSid = getsid(0);
    Detaching run(Fault::kSetsidEnosys);
    int status = -1;
    ASSERT_TRUE(run.WaitCaller(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    run.Release();
    const DetachedReport r = ExpectReport(run);
    EXPECT_EQ(run.Stderr(), "detached\n");
    EXPECT_NE(r.pid, run.caller());
    EXPECT_EQ(r.sid, ourSid); // no new session, but no failure either
    EXPECT_EQ(r.errnoOnReturn, 0);
    EXPECT_EQ(r.lowFdErrno, EBADF);
    EXPECT_STREQ(r.cwd, "/tmp");
    EXPECT_EQ(r.createdMode, 0666);
}

TEST_F(Detacher, FailuresExitWithStatusOne)
{
    if (!FiltersWork())
        GTEST_SKIP() << "seccomp filters are not available";
    {
        SCOPED_TRACE("setsid fails");
        Detaching run(Fault::kSetsidEperm);
        int status = -1;
        ASSERT_TRUE(run.WaitCaller(&status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        run.Release();
        EXPECT_EQ(run.Report(), "");
        EXPECT_EQ(run.Stderr(), "my_daemonize: setsid(), set session ID failed, errno=1\n");
        // The failed child was re-parented to us; it is the only one left.
        int childStatus = -1;
        ASSERT_GT(waitpid(-1, &childStatus, 0), 0);
        EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 1) << childStatus;
    }
    {
        SCOPED_TRACE("fork fails");
        Detaching run(Fault::kForkFails);
        int status = -1;
        ASSERT_TRUE(run.WaitCaller(&status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        run.Release();
        EXPECT_EQ(run.Report(), "");
        EXPECT_EQ(run.Stderr(), "my_daemonize: fork() first child failed, errno=11\n");
    }
}

} // namespace
