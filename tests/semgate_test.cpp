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

}  // namespace
