// A /tmp that fills up, on a small tmpfs mounted over the private /tmp of
// quelm_isolate: a store larger than the default gets all its blocks before
// warden serves, so a full /tmp no longer kills the collector with SIGBUS;
// a store /tmp cannot hold is refused at start with the reason; and with no
// room even for the PID file, the line that says warden stops is written.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Shelf_internal.h"
#include "test_support.h"

namespace {

using testsupport::WaitFor;

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Fills the file system of /tmp to the last block.
void FillTmp()
{
    const int fd = open("/tmp/filler", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    static const char block[65536] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    while (write(fd, block, 1) > 0) {
    }
    close(fd);
}

// Session starts through the pipe, as a proxy sends them: 0 when all were
// written, else the errno of the failed step.
int Report(int n, uint32_t first)
{
    MonHandle_t *h = nullptr;
    if (QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &h) != 0)
        return errno != 0 ? errno : 99;
    for (int i = 0; i < n; ++i) {
        MonData_t rec;
        memset(&rec, 0, sizeof rec);
        rec.pid = static_cast<uint32_t>(getpid());
        rec.handleNum = first + static_cast<uint32_t>(i);
        rec.flags = MON_FLAG_START;
        snprintf(rec.text1, sizeof rec.text1, "user%d", i);
        if (QxMonSendData(h, &rec) < 0)
            return errno != 0 ? errno : 99;
    }
    QxMonClose(h);
    return 0;
}

class FullTmp : public testing::Test {
protected:
    void SetUp() override
    {
        if (getenv("QUELM_ISOLATED") == nullptr || geteuid() != 0)
            GTEST_SKIP() << "needs the private mount namespace of quelm_isolate, as root";
    }
    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            WaitFor([this] { return Reaped(); }, 10000);
            if (pid_ > 0)
                kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        Log();
        if (err_ >= 0)
            close(err_);
        if (mounted_)
            umount2("/tmp", MNT_DETACH);
    }

    // A fresh tmpfs of size over /tmp, as the only one this test sees.
    void SmallTmp(const char *size)
    {
        const std::string options = std::string("mode=1777,size=") + size;
        ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()), 0)
            << strerror(errno);
        mounted_ = true;
    }

    void Spawn(const std::vector<std::string> &args, void (*beforeExec)() = nullptr)
    {
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(p[1], 2);
            if (beforeExec != nullptr)
                beforeExec();
            std::vector<char *> argv{const_cast<char *>(WARDEN_BIN), const_cast<char *>("-f")};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(WARDEN_BIN, argv.data());
            _exit(127);
        }
        close(p[1]);
        err_ = p[0];
        fcntl(err_, F_SETFL, O_NONBLOCK);
    }

    bool Reaped()
    {
        if (pid_ <= 0 || waitpid(pid_, &status_, WNOHANG) != pid_)
            return false;
        pid_ = -1;
        return true;
    }

    std::string Log()
    {
        char buf[4096];
        ssize_t n;
        while (err_ >= 0 && (n = read(err_, buf, sizeof buf)) > 0)
            log_.append(buf, static_cast<size_t>(n));
        return log_;
    }

    uint32_t PutCount()
    {
        const int fd = open("/tmp/mon.mmap", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        uint32_t v = 0;
        if (fd >= 0 && pread(fd, &v, sizeof v, offsetof(ShelfHeader_t, putCount)) != sizeof v)
            v = 0;
        if (fd >= 0)
            close(fd);
        return v;
    }

    pid_t pid_ = -1;
    int status_ = 0;
    int err_ = -1;
    bool mounted_ = false;
    std::string log_;
};

// The store of 3000 sessions (about 6 MiB) on a /tmp of 10 MiB: allocated
// whole at start, it takes reports of every session after /tmp filled up.
TEST_F(FullTmp, LargeStoreHasItsBlocksAndOutlivesAFullTmp)
{
    SmallTmp("10m");
    Spawn({"--capacity", "3000"});
    ASSERT_TRUE(WaitFor([] { return access("/tmp/mon.fifo", F_OK) == 0; }, 20000)) << Log();
    struct stat st;
    ASSERT_EQ(stat("/tmp/mon.mmap", &st), 0);
    EXPECT_GT(st.st_size, 4 << 20);
    EXPECT_GE(st.st_blocks * 512, st.st_size) << "the store is sparse";

    FillTmp();
    // In batches the pipe holds, each stored before the next is sent.
    for (uint32_t stored = 0; stored < 2500; stored += 100) {
        ASSERT_EQ(Report(100, 1 + stored), 0) << Log();
        ASSERT_TRUE(WaitFor([&] { return PutCount() >= stored + 100; }, 20000))
            << PutCount() << Log();
    }
    EXPECT_FALSE(Reaped()) << Log();
    EXPECT_EQ(Count(Log(), "signal"), 0u) << Log();
}

// A store whose blocks cannot all be had (here a file size limit stands in
// for /tmp filling up between the start's check of its free room and the
// allocation): warden says so and stops, and gives back what it took.
TEST_F(FullTmp, StoreWhoseBlocksCannotBeHadIsRefusedAtStart)
{
    SmallTmp("10m");
    Spawn({"--capacity", "3000"}, [] {
        const struct rlimit limit = {2 << 20, 2 << 20};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    ASSERT_TRUE(WaitFor([this] { return Reaped(); }, 20000)) << Log();
    EXPECT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 1) << status_;
    const std::string log = Log();
    EXPECT_EQ(Count(log, "QxMonMemOpen: cannot give /tmp/mon.mmap its 6415360 bytes: File too large"),
              1u) << log;
    EXPECT_EQ(Count(log, "; warden stops"), 1u) << log;
    struct stat st;
    ASSERT_EQ(stat("/tmp/mon.mmap", &st), 0);
    EXPECT_EQ(st.st_blocks, 0) << "the refused store still holds its blocks";
}

// No room at all: both lines of the failed start are written, the PID file's
// and the one that says warden stops (they share a message number).
TEST_F(FullTmp, NoRoomForThePidFileStillSaysWardenStops)
{
    SmallTmp("1m");
    FillTmp();
    Spawn({});
    ASSERT_TRUE(WaitFor([this] { return Reaped(); }, 20000)) << Log();
    EXPECT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 1) << status_;
    const std::string log = Log();
    EXPECT_EQ(Count(log, "cannot write /tmp/mon.pid"), 1u) << log;
    EXPECT_EQ(Count(log, "; warden stops"), 1u) << log;
}

}  // namespace
