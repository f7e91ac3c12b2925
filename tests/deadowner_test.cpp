// deadowner_test.cpp - the end of a session whose reporter died reaches a
// viewer that is waiting for changes, through the change bits the store's
// clean-up sets, in both serving modes; the viewer is the library's own
// client, which never reads the whole store, and in the fan-out the end
// comes before the fan-out's own walk of every record could have run.
#include "viewer_daemon.h"

namespace {

using namespace viewerdaemon;
using std::chrono::milliseconds;

constexpr uint16_t kOrphan = 500;

class DeadOwner : public Daemon, public testing::WithParamInterface<const char *> {};

// The flags of kOrphan in one change stream of v, 0 when absent; *ok false
// when the stream failed.
uint32_t OrphanFlags(MonHandle_t *v, bool *ok)
{
    MonData_t r;
    uint32_t flags = 0;
    int rc;
    while ((rc = QxMonRecvNextData(v, 0, &r)) == 1)
        if (r.recordNum == kOrphan)
            flags |= r.flags;
    *ok = rc == 0;
    return flags;
}

TEST_P(DeadOwner, EndReachesAWaitingViewerWithinASecond)
{
    Start({"--viewers", GetParam()});
    const pid_t reporter = fork();
    if (reporter == 0) {
        pause();
        _exit(0);
    }
    MonData_t orphan = Record(7, kOrphan, MON_FLAG_START);
    orphan.pid = static_cast<uint32_t>(reporter);
    Report({orphan});
    MonHandle_t *v = Viewer();
    ASSERT_NE(v, nullptr);
    const auto joined = std::chrono::steady_clock::now();
    bool ok = false;
    EXPECT_EQ(OrphanFlags(v, &ok), MON_FLAG_START);
    ASSERT_TRUE(ok);
    kill(reporter, SIGKILL);
    waitpid(reporter, nullptr, 0);

    // Every tenth start runs the store's clean-up, which finds the owner gone.
    std::vector<MonData_t> starts;
    for (uint16_t n = 0; n < 10; ++n)
        starts.push_back(Record(8, n, MON_FLAG_START));
    Report(starts);
    MonData_t key = orphan;
    EXPECT_EQ(QxMonRecvData(v, &key), 0) << "the ended record is kept until its readers read it";
    EXPECT_EQ(key.flags & MON_FLAG_END, MON_FLAG_END);
    uint32_t seen = 0;
    EXPECT_TRUE(WaitFor([&] {
        seen |= OrphanFlags(v, &ok);
        return !ok || (seen & MON_FLAG_END) != 0;
    }, 1000)) << Log();
    EXPECT_TRUE(ok);
    EXPECT_EQ(seen, MON_FLAG_END);
    // The fan-out walks every record 5 s after a viewer joined: the end must
    // not have waited for that.
    EXPECT_LT(std::chrono::steady_clock::now() - joined, std::chrono::seconds(5));
}

INSTANTIATE_TEST_SUITE_P(ChildrenAndFanout, DeadOwner, testing::Values("4", "8"));

}  // namespace
