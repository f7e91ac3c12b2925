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

#include "records.h"
#include "warden_fixture.h"

namespace {

using testsupport::WaitFor;

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

using testsupport::ReportStarts;

class FullTmp : public testing::Test {
protected:
    void SetUp() override
    {
        if (getenv("QUELM_ISOLATED") == nullptr || geteuid() != 0)
            GTEST_SKIP() << "needs the private mount namespace of quelm_isolate, as root";
    }
    void TearDown() override
    {
        warden_.Stop();
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

    // Starts warden -f args, which is to end by itself: its wait status.
    int Refused(const std::vector<std::string> &args, void (*beforeExec)() = nullptr)
    {
        EXPECT_TRUE(warden_.Start({args, 0, {}, false, beforeExec}));
        return warden_.WaitExit();
    }

    testsupport::Warden warden_;
    bool mounted_ = false;
};

// The store of 3000 sessions (about 6 MiB) on a /tmp of 10 MiB: allocated
// whole at start, it takes reports of every session after /tmp filled up.
TEST_F(FullTmp, LargeStoreHasItsBlocksAndOutlivesAFullTmp)
{
    SmallTmp("10m");
    ASSERT_TRUE(warden_.Start({{"--capacity", "3000"}, 0, {}, true, nullptr})) << warden_.Log();
    struct stat st;
    ASSERT_EQ(stat("/tmp/mon.mmap", &st), 0);
    EXPECT_GT(st.st_size, 4 << 20);
    EXPECT_GE(st.st_blocks * 512, st.st_size) << "the store is sparse";

    FillTmp();
    // In batches the pipe holds, each stored before the next is sent.
    for (uint32_t stored = 0; stored < 2500; stored += 100) {
        ASSERT_EQ(ReportStarts(100, 1 + stored), 0) << warden_.Log();
        ASSERT_TRUE(WaitFor([&] { return warden_.PutCount() >= stored + 100; }, 20000))
            << warden_.PutCount() << warden_.Log();
    }
    EXPECT_TRUE(warden_.Running()) << warden_.Log();
    EXPECT_EQ(warden_.Count("signal"), 0u) << warden_.Log();
}

// A store whose blocks cannot all be had (here a file size limit stands in
// for /tmp filling up between the start's check of its free room and the
// allocation): warden says so and stops, and gives back what it took.
TEST_F(FullTmp, StoreWhoseBlocksCannotBeHadIsRefusedAtStart)
{
    SmallTmp("10m");
    const int status = Refused({"--capacity", "3000"}, [] {
        const struct rlimit limit = {2 << 20, 2 << 20};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string &log = warden_.Log();
    EXPECT_EQ(warden_.Count("QxMonMemOpen: cannot give /tmp/mon.mmap its 6415360 bytes: File too large"),
              1u) << log;
    EXPECT_EQ(warden_.Count("; warden stops"), 1u) << log;
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
    const int status = Refused({});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string &log = warden_.Log();
    EXPECT_EQ(warden_.Count("cannot write /tmp/mon.pid"), 1u) << log;
    EXPECT_EQ(warden_.Count("; warden stops"), 1u) << log;
}

}  // namespace
