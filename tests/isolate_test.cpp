// Proves the test isolation: a command run under quelm_isolate sees an empty
// /tmp of its own, its own System V IPC and its own port 5051, while the /tmp
// entries it needs (its program, its working directory) stay reachable.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

int BindViewerPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(5051);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 1) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// The probe runs inside a nested isolation: everything the outer test set up
// must be invisible to it, and what it leaves must not reach the outer test.
int Probe() {
    struct stat st;
    if (lstat("/tmp/mon.mmap", &st) == 0) return 10;  // outer file visible
    if (semget(ftok("/tmp", 'V'), 0, 0) >= 0) return 11;  // outer semaphore visible
    int s = BindViewerPort();
    if (s < 0) return 12;  // port 5051 held by the outer test
    close(s);
    int fd = open("/tmp/mon.pid", O_CREAT | O_WRONLY | O_NOFOLLOW, 0644);
    if (fd < 0) return 13;
    close(fd);
    return 0;
}

std::string Self() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
}

int RunIsolated(const std::string &program) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("QUELM_ISOLATE_FORCE", "1", 1);
        execl(QUELM_ISOLATE, QUELM_ISOLATE, program.c_str(), "--probe", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(Isolate, NestedRunSeesNothingOfTheOuterOneAndLeavesNothing) {
    if (getenv("QUELM_ISOLATED") == nullptr) GTEST_SKIP() << "namespaces unavailable here";
    int fd = open("/tmp/mon.mmap", O_CREAT | O_WRONLY | O_NOFOLLOW, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "outer", 5), 5);
    close(fd);
    int sem = semget(ftok("/tmp", 'V'), 1, IPC_CREAT | 0600);
    ASSERT_GE(sem, 0);
    int listener = BindViewerPort();
    ASSERT_GE(listener, 0);

    EXPECT_EQ(RunIsolated(Self()), 0);

    struct stat st;
    EXPECT_NE(lstat("/tmp/mon.pid", &st), 0) << "the nested run's file leaked out";
    ASSERT_EQ(lstat("/tmp/mon.mmap", &st), 0);
    EXPECT_EQ(st.st_size, 5);
    close(listener);
    semctl(sem, 0, IPC_RMID);
    unlink("/tmp/mon.mmap");
}

TEST(Isolate, ProgramLivingUnderTmpStaysReachable) {
    if (getenv("QUELM_ISOLATED") == nullptr) GTEST_SKIP() << "namespaces unavailable here";
    // A checkout under /tmp: copy this very program below /tmp and run the
    // copy isolated, which must still find it after /tmp is replaced.
    ASSERT_EQ(mkdir("/tmp/checkout", 0755), 0);
    std::string copy = "/tmp/checkout/isolate_probe";
    std::string cmd = "cp '" + Self() + "' " + copy;
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(RunIsolated(copy), 0);
    unlink(copy.c_str());
    rmdir("/tmp/checkout");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--probe") == 0) return Probe();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
