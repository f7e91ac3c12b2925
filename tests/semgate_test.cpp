// The semaphore mutex: lock semantics across processes (blocking, release by
// the kernel when a holder dies), the key file, and refusal of bad handles.
// Runs under quelm_isolate: the /tmp files and the semaphore sets are private.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "monitor.h"
#include "qxlog_internal.h"
#include "semgate_internal.h"

namespace {

int SemId(MonHandle_t *h) { return static_cast<MonMutex_t *>(h->priv)->semId; }

// Processes waiting for the value to become 0, i.e. blocked in a request.
int Waiters(int id) { return semctl(id, 0, GETZCNT); }

bool WaitFor(int id, int n) {
    for (int i = 0; i < 500; ++i) {
        if (Waiters(id) >= n) return true;
        usleep(10000);
    }
    return false;
}

std::string ReadFile(const char *path) {
    std::string out;
    int fd = open(path, O_RDONLY);
    if (fd < 0) return out;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

int ExitCode(pid_t pid) {
    int st = 0;
    if (waitpid(pid, &st, 0) != pid) return -100;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
}

void NoOp(int) {}

class Semgate : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(MonMutexOpen("gate.test", 1, &h), 0);
        ASSERT_NE(h, nullptr);
    }
    void TearDown() override {
        if (h != nullptr) {
            semctl(SemId(h), 0, IPC_RMID);
            MonMutexClose(h);
        }
        unlink("/tmp/gate.test");
    }
    MonHandle_t *h = nullptr;
};

TEST_F(Semgate, RequestQueryRelease) {
    EXPECT_EQ(h->magic, MON_MAGIC_MUTEX);
    EXPECT_STREQ(h->path, "/tmp/gate.test");
    EXPECT_EQ(MonMutexQuery(h), 0);
    EXPECT_EQ(MonMutexRequest(h), 0);
    EXPECT_EQ(MonMutexQuery(h), 1);
    EXPECT_EQ(MonMutexRelease(h), 0);
    EXPECT_EQ(MonMutexQuery(h), 0);
    // A release without holding fails at once and leaves the value alone.
    EXPECT_EQ(MonMutexRelease(h), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(MonMutexQuery(h), 0);
}

TEST_F(Semgate, SecondProcessBlocksUntilRelease) {
    ASSERT_EQ(MonMutexRequest(h), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        MonHandle_t *mine = nullptr;
        if (MonMutexOpen("gate.test", 0, &mine) != 0) _exit(2);
        if (MonMutexRequest(mine) != 0) _exit(3);
        char c = 'x';
        if (write(fds[1], &c, 1) != 1) _exit(4);
        int held = MonMutexQuery(mine);
        if (MonMutexRelease(mine) != 0) _exit(5);
        _exit(held == 1 ? 0 : 6);
    }
    close(fds[1]);
    ASSERT_TRUE(WaitFor(SemId(h), 1)) << "child never waited on the lock";
    int fl = fcntl(fds[0], F_GETFL);
    fcntl(fds[0], F_SETFL, fl | O_NONBLOCK);
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), -1) << "child got the lock while it was held";
    fcntl(fds[0], F_SETFL, fl);
    ASSERT_EQ(MonMutexRelease(h), 0);
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    EXPECT_EQ(ExitCode(pid), 0);
    EXPECT_EQ(MonMutexQuery(h), 0);
    close(fds[0]);
}

TEST_F(Semgate, KilledHolderFreesTheLock) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (MonMutexRequest(h) != 0) _exit(2);
        char c = 'x';
        if (write(fds[1], &c, 1) != 1) _exit(3);
        for (;;) pause();
    }
    close(fds[1]);
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    EXPECT_EQ(MonMutexQuery(h), 1);
    kill(pid, SIGKILL);
    EXPECT_EQ(ExitCode(pid), -SIGKILL);
    EXPECT_EQ(MonMutexQuery(h), 0);
    EXPECT_EQ(MonMutexRequest(h), 0);
    EXPECT_EQ(MonMutexRelease(h), 0);
    close(fds[0]);
}

// The module itself does not retry an interrupted wait: its callers decide.
TEST_F(Semgate, InterruptedRequestFailsWithEintr) {
    ASSERT_EQ(MonMutexRequest(h), 0);
    pid_t pid = fork();
    if (pid == 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = NoOp;  // no SA_RESTART
        sigaction(SIGUSR1, &sa, nullptr);
        int rc = MonMutexRequest(h);
        _exit(rc == -1 && errno == EINTR ? 0 : 1);
    }
    ASSERT_TRUE(WaitFor(SemId(h), 1));
    kill(pid, SIGUSR1);
    EXPECT_EQ(ExitCode(pid), 0);
    EXPECT_EQ(MonMutexQuery(h), 1);  // still ours
    EXPECT_EQ(MonMutexRelease(h), 0);
}

TEST_F(Semgate, KeyFileHoldsIdInDecimal) {
    int id = SemId(h);
    EXPECT_EQ(ReadFile("/tmp/gate.test"), std::to_string(id));
    EXPECT_EQ(static_cast<MonMutex_t *>(h->priv)->creator, 1);

    MonHandle_t *other = nullptr;
    ASSERT_EQ(MonMutexOpen("gate.test", 0, &other), 0);
    EXPECT_EQ(SemId(other), id);
    EXPECT_EQ(static_cast<MonMutex_t *>(other->priv)->creator, 0);
    // Both handles drive the same semaphore.
    ASSERT_EQ(MonMutexRequest(other), 0);
    EXPECT_EQ(MonMutexQuery(h), 1);
    EXPECT_EQ(MonMutexRelease(h), 0);
    EXPECT_EQ(QxMonClose(other), 0);  // the generic close accepts a mutex

    // A second creator open finds the same set (no IPC_EXCL) and writes
    // over the start of the file without truncating it.
    MonHandle_t *again = nullptr;
    ASSERT_EQ(MonMutexOpen("gate.test", 0x101, &again), 0);  // low byte counts
    EXPECT_EQ(SemId(again), id);
    EXPECT_EQ(MonMutexClose(again), 0);
    EXPECT_EQ(ReadFile("/tmp/gate.test"), std::to_string(id));
}

TEST(SemgateOpen, RefusesEmptyNameMissingSetAndSymlink) {
    MonHandle_t *h = reinterpret_cast<MonHandle_t *>(0x1);
    EXPECT_EQ(MonMutexOpen("", 1, &h), -1);
    EXPECT_EQ(h, nullptr);
    h = reinterpret_cast<MonHandle_t *>(0x1);
    EXPECT_EQ(MonMutexOpen(nullptr, 1, &h), -1);
    EXPECT_EQ(h, nullptr);

    // An attaching open before the creator has run finds nothing.
    EXPECT_EQ(MonMutexOpen("gate.none", 0, &h), -1);
    EXPECT_EQ(h, nullptr);

    // A symlink planted at the key file is not followed, by either kind of
    // open, and its target is neither created nor written.
    ASSERT_EQ(symlink("/tmp/gate.target", "/tmp/gate.link"), 0);
    EXPECT_EQ(MonMutexOpen("gate.link", 1, &h), -1);
    EXPECT_EQ(h, nullptr);
    struct stat st;
    EXPECT_EQ(lstat("/tmp/gate.target", &st), -1);
    int fd = open("/tmp/gate.target", O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "keep", 4), 4);
    close(fd);
    EXPECT_EQ(MonMutexOpen("gate.link", 1, &h), -1);
    EXPECT_EQ(MonMutexOpen("gate.link", 0, &h), -1);
    EXPECT_EQ(ReadFile("/tmp/gate.target"), "keep");
    unlink("/tmp/gate.link");
    unlink("/tmp/gate.target");

    // A directory is no key file either.
    ASSERT_EQ(mkdir("/tmp/gate.dir", 0700), 0);
    EXPECT_EQ(MonMutexOpen("gate.dir", 0, &h), -1);
    rmdir("/tmp/gate.dir");
}

TEST(SemgateOpen, LongNameIsCutTo250Characters) {
    std::string name(300, 'n');
    MonHandle_t *h = nullptr;
    ASSERT_EQ(MonMutexOpen(name.c_str(), 1, &h), 0);
    EXPECT_EQ(std::string(h->path), "/tmp/" + name.substr(0, 250));
    semctl(SemId(h), 0, IPC_RMID);
    unlink(h->path);
    EXPECT_EQ(MonMutexClose(h), 0);
}

TEST(SemgateHandle, WrongMagicIsRefusedAndUntouched) {
    MonHandle_t fake;
    memset(&fake, 0, sizeof fake);
    fake.magic = MON_MAGIC_STORE;
    MonMutex_t priv = {0, 0};
    fake.priv = &priv;
    MonHandle_t before = fake;
    EXPECT_EQ(MonMutexRequest(&fake), -1);
    EXPECT_EQ(MonMutexRelease(&fake), -1);
    EXPECT_EQ(MonMutexQuery(&fake), -1);
    EXPECT_EQ(MonMutexClose(&fake), -1);
    EXPECT_EQ(memcmp(&fake, &before, sizeof fake), 0);
    fake.magic = MON_MAGIC_DEAD;
    EXPECT_EQ(MonMutexClose(&fake), -1);
    EXPECT_EQ(MonMutexRequest(nullptr), -1);
    EXPECT_EQ(MonMutexRelease(nullptr), -1);
    EXPECT_EQ(MonMutexQuery(nullptr), -1);
    EXPECT_EQ(MonMutexClose(nullptr), -1);
}

// ---- ownership, freshness and bounded waits ----

struct SetInfo {
    long uid = -1;
    int mode = -1;
};

SetInfo Info(int id) {
    semid_ds ds;
    SetInfo info;
    if (semctl(id, 0, IPC_STAT, &ds) == 0) {
        info.uid = static_cast<long>(ds.sem_perm.uid);
        info.mode = ds.sem_perm.mode & 0777;
    }
    return info;
}

// The library's lines, all of them, repeats included, to standard error
// (to be captured).
void LogEverythingToStderr() {
    setenv("QUELM_LOG_REPEATS", "1", 1);
    quelm::LogRepeatReset();
    if (QxLogDefaultHandle == nullptr) QxLogStart(&QxLogDefaultHandle, QX_LOG_STDERR, 29, "semgate");
    QxLogDefaultHandle->flags = QX_LOG_STDERR;
    QxLogDefaultHandle->level = 29;
}

// Runs body in a child with the identity of "nobody"; its exit code.
template <class F>
int AsNobody(F body) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
        _exit(body());
    }
    return ExitCode(pid);
}

TEST_F(Semgate, SetsArePrivateAndAFreshCreatorStartsUnlocked) {
    EXPECT_EQ(Info(SemId(h)).mode, 0600);
    EXPECT_EQ(Info(SemId(h)).uid, static_cast<long>(geteuid()));
    // Another process of the same daemon (a forked worker) attaches to it.
    MonHandle_t *again = nullptr;
    ASSERT_EQ(MonMutexOpen("gate.test", 1, &again), 0);
    EXPECT_EQ(SemId(again), SemId(h));
    MonMutexClose(again);

    // An earlier daemon's lock left held: a new daemon does not wait on it.
    ASSERT_EQ(MonMutexRequest(h), 0);
    const int old = SemId(h);
    quelm::MonMutexForgetCreated();  // as a newly started daemon
    MonHandle_t *fresh = nullptr;
    ASSERT_EQ(MonMutexOpen("gate.test", 1, &fresh), 0);
    EXPECT_EQ(MonMutexQuery(fresh), 0);
    EXPECT_EQ(MonMutexRequest(fresh), 0);
    EXPECT_EQ(MonMutexRelease(fresh), 0);
    semid_ds ds;
    EXPECT_EQ(semctl(old, 0, IPC_STAT, &ds), -1) << "the old set was left in place";
    MonMutexClose(h);
    h = fresh;
}

TEST_F(Semgate, SetOfAnotherUserIsReplacedByTheCreatorAndRefusedToOthers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user (setuid)";
    const key_t key = ftok("/tmp/gate.test", 'V');
    ASSERT_EQ(semctl(SemId(h), 0, IPC_RMID), 0);
    // Another user plants a set under the key and locks it.
    ASSERT_EQ(AsNobody([key] {
        const int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0666);
        if (id < 0) return 1;
        return semctl(id, 0, SETVAL, 1) == 0 ? 0 : 2;
    }), 0);
    const int planted = semget(key, 0, 0);
    ASSERT_GE(planted, 0);

    MonHandle_t *attach = nullptr;
    EXPECT_EQ(MonMutexOpen("gate.test", 0, &attach), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(attach, nullptr);

    MonHandle_t *mine = nullptr;
    ASSERT_EQ(MonMutexOpen("gate.test", 1, &mine), 0);
    EXPECT_NE(SemId(mine), planted);
    EXPECT_EQ(Info(SemId(mine)).uid, static_cast<long>(geteuid()));
    EXPECT_EQ(MonMutexQuery(mine), 0);
    ASSERT_EQ(MonMutexOpen("gate.test", 0, &attach), 0);
    EXPECT_EQ(SemId(attach), SemId(mine));
    MonMutexClose(attach);
    MonMutexClose(h);
    h = mine;
}

// A holder that stopped (SIGSTOP) does not wedge the others for ever: the
// wait names it once per step and gives up at the limit.
TEST_F(Semgate, WaitForAStoppedHolderIsLoggedAndBounded) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        if (MonMutexRequest(h) != 0) _exit(2);
        char c = 'x';
        if (write(fds[1], &c, 1) != 1) _exit(3);
        raise(SIGSTOP);
        for (;;) pause();
    }
    close(fds[1]);
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    close(fds[0]);

    quelm::SeamOverride<quelm::SemgateSys_t> sys(quelm::semgateSys);
    sys->waitStepMs = 1000;
    sys->waitLimitMs = 2500;
    LogEverythingToStderr();
    testing::internal::CaptureStderr();
    const time_t start = time(nullptr);
    errno = 0;
    EXPECT_EQ(MonMutexRequest(h), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    const time_t took = time(nullptr) - start;
    const std::string log = testing::internal::GetCapturedStderr();

    EXPECT_GE(took, 2);
    EXPECT_LE(took, 10);
    const std::string who = "/tmp/gate.test: lock held by PID " + std::to_string(holder);
    EXPECT_NE(log.find(who + " for 1 seconds"), std::string::npos) << log;
    EXPECT_NE(log.find(who + " for 2 seconds"), std::string::npos) << log;
    EXPECT_EQ(MonMutexQuery(h), 1);

    kill(holder, SIGKILL);
    EXPECT_EQ(ExitCode(holder), -SIGKILL);
    EXPECT_EQ(MonMutexRequest(h), 0);  // the kernel gave the lock back
    EXPECT_EQ(MonMutexRelease(h), 0);
}

TEST(SemgateOpen, FailedOpenSaysWhichCallAndPath) {
    LogEverythingToStderr();
    MonHandle_t *h = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(MonMutexOpen("gate.absent", 0, &h), -1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(std::string("MonMutexOpen: open(/tmp/gate.absent) failed: ") + strerror(ENOENT)),
              std::string::npos)
        << log;
}

}  // namespace
