// Black-box tests of the warden daemon: its command line and PID file, the
// collector (frames written into /tmp/mon.fifo land in the store), the viewer
// protocol on port 5051 spoken over raw sockets, and the stop signals.  The
// test process is a child subreaper, so every process of a daemon's tree
// comes back to it and can be waited for.
#include <quelm/monitor.h>

#include "Shelf_internal.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "records.h"
#include "warden_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::WaitFor;
using testsupport::ReadFile;
using testsupport::ConnectViewer;
using testsupport::ViewerPortListening;
using testsupport::WriteFile;

using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;

constexpr const char *kPidFile = "/tmp/mon.pid";
constexpr const char *kUsage =
    "Usage: wardenAG\n"
    "\t-f  or  --foreground      (not a daemon)\n"
    "\t-v  or  --version         (display version)\n"
    "\t-h  or  --help            (option usage)\n"
    "\t-n  or  --dbname <s>      (database name)\n"
    "\t-s  or  --dbhost <s>      (database server)\n"
    "\t-p  or  --dbport <n>      (database port)\n"
    "\t-w  or  --dbpasswd <s>    (database password file)\n"
    "\t        --listen <addr>   (viewer address[:port], repeatable)\n"
    "\t        --allow <cidr>    (viewer peers let in, repeatable)\n"
    "\t        --pipe-group <g>  (only this group may report)\n"
    "\t        --capacity <n>    (live sessions the store holds, 1 to 1000000)\n"
    "\t        --viewers <n>     (viewers served at once, default 4)\n"
    "\t        --idle-limit <s>  (close a silent viewer, default 30)\n"
    "\t        --history <file>  (write every session into this SQLite file)\n"
    "\t        --history-interval <s>  (seconds between writes, default 2)\n"
    "\t        --history-keep <d>      (delete ended sessions after d days)\n"
    "\t        --history-host <s>      (this warden's name in the rows)\n"
    "\t        --history-spool <file>  (rows waiting for the database)\n"
    "\t        --history-spool-limit <MiB>  (spool bound, default 64)\n";

bool Alive(pid_t pid)
{
    return kill(pid, 0) == 0;
}

// PID of a process that has just ended and been reaped.
pid_t DeadPid()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// ---- a warden process under test ----

struct Finished {
    int status;
    std::string out, err;
};

// Runs warden with args, which is expected to end by itself.
Finished RunToEnd(const std::vector<std::string> &args)
{
    testsupport::Warden w;
    testsupport::WardenStart s;
    s.args = args;
    s.foreground = false;
    s.waitReady = false;
    EXPECT_TRUE(w.Start(s));
    const int status = w.WaitExit(5000);
    return {status, w.Out(), w.Log()};
}

using testsupport::ReapTree;

// ---- frames and records ----

constexpr auto Record = testsupport::NamedRecord;
using testsupport::Framed;

Bytes Frame(const unsigned char *payload, size_t len)
{
    Bytes f{static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
    f.insert(f.end(), payload, payload + len);
    return f;
}

using testsupport::WriteAll;

// ---- the viewer side of the protocol ----

// Reads exactly n bytes; false on end of stream, error or timeout.
bool ReadFull(int fd, unsigned char *buf, size_t n, int ms = 3000)
{
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        const ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// One reply frame's payload; false if none arrived whole.
bool RecvFrame(int fd, Bytes *payload, int ms = 3000)
{
    unsigned char hdr[2];
    if (!ReadFull(fd, hdr, 2, ms))
        return false;
    payload->assign(static_cast<size_t>(hdr[0] << 8 | hdr[1]), 0);
    return payload->empty() || ReadFull(fd, payload->data(), payload->size(), ms);
}

MonData_t Decode(const Bytes &msg)
{
    MonData_t r;
    EXPECT_GE(ParcelGetDataChecked(&r, msg.data(), msg.size()), 0);
    return r;
}

bool SendRequest(int fd, const Bytes &payload)
{
    return WriteAll(fd, Frame(payload.data(), payload.size()));
}

// Records of one change stream, by (handleNum, recordNum); empty on failure.
std::map<std::pair<uint32_t, uint16_t>, uint32_t> Stream(int fd, unsigned char all = 0)
{
    std::map<std::pair<uint32_t, uint16_t>, uint32_t> flags;
    EXPECT_TRUE(SendRequest(fd, {2, all}));
    Bytes msg;
    while (RecvFrame(fd, &msg) && !msg.empty()) {
        const MonData_t r = Decode(msg);
        flags[{r.handleNum, r.recordNum}] = r.flags;
    }
    EXPECT_TRUE(msg.empty()) << "stream did not end with the empty frame";
    return flags;
}

Bytes KeyedRequest(const MonData_t &key, size_t keyBytes = MON_KEY_SIZE)
{
    Bytes req{1};
    const auto *k = reinterpret_cast<const unsigned char *>(&key);
    req.insert(req.end(), k, k + keyBytes);
    return req;
}

// True when nothing arrives on fd within ms and the connection is still open.
bool Silent(int fd, int ms = 150)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

// True when the peer closed fd without sending a byte.
bool ClosedWithoutAByte(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 3000) <= 0)
        return false;
    char c;
    return read(fd, &c, 1) == 0;
}

// ---- fixture: a foreground daemon with a writer on the pipe ----

class Warden : public testing::Test {
protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override
    {
        ReapTree(100);
        unlink(kPidFile);
        umask(022);
    }

    void TearDown() override { Stop(); }

    // Ends the daemon (if still running) and everything it started.
    void Stop()
    {
        for (int fd : viewers_)
            close(fd);
        viewers_.clear();
        if (writer_ >= 0)
            close(writer_);
        writer_ = -1;
        daemon_.Stop(SIGTERM, true);
    }

    // Starts warden with args as they are (no "-f" added); ownPidInPidFile:
    // the PID file names the new process itself when warden starts, as
    // after a restart that got the same PID again.
    bool Launch(const std::vector<std::string> &args, bool ownPidInPidFile = false)
    {
        testsupport::WardenStart s;
        s.args = args;
        s.foreground = false;
        s.waitReady = false;
        if (ownPidInPidFile)
            s.beforeExec = [] { WriteFile(kPidFile, std::to_string(getpid())); };
        return daemon_.Start(s);
    }

    // Starts warden with args and waits until it listens and its collector
    // reads the pipe; a writer descriptor on the pipe is kept in writer_.
    void Start(const std::vector<std::string> &args = {"-f"}, bool ownPidInPidFile = false)
    {
        ASSERT_TRUE(Launch(args, ownPidInPidFile));
        ASSERT_TRUE(WaitFor(ViewerPortListening)) << Stderr();
        ASSERT_TRUE(WaitFor([this] {
            writer_ = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return writer_ >= 0;
        })) << Stderr();
        fcntl(writer_, F_SETFL, 0);
        ASSERT_TRUE(WaitFor([this] {
            return daemon_.Slot(0) != 0 && daemon_.Slot(0) != static_cast<uint32_t>(daemon_.Pid());
        })) << "the collector never registered";
    }

    const std::string &Stderr() { return daemon_.Log(); }

    // Writes records (start flags counted) and waits until the store has
    // seen starts started records in all.
    void Put(const std::vector<MonData_t> &recs, uint32_t starts)
    {
        for (const MonData_t &r : recs)
            ASSERT_TRUE(WriteAll(writer_, Framed(r)));
        ASSERT_TRUE(WaitFor([&] { return daemon_.PutCount() >= starts; })) << Stderr();
    }

    // Writes many records in few writes and waits (generously: sanitizer
    // builds are slow) until the store has seen starts started records.
    void PutMany(const std::vector<MonData_t> &recs, uint32_t starts)
    {
        Bytes all;
        for (const MonData_t &r : recs) {
            const Bytes f = Framed(r);
            all.insert(all.end(), f.begin(), f.end());
        }
        ASSERT_TRUE(WriteAll(writer_, all));
        ASSERT_TRUE(WaitFor([&] { return daemon_.PutCount() >= starts; }, 60000)) << Stderr();
    }

    // The store's reply to a keyed read of key: true when it holds the
    // record, with its slot nibble in *flags.
    bool Keyed(int fd, const MonData_t &key, uint32_t *flags)
    {
        Bytes msg;
        if (!SendRequest(fd, KeyedRequest(key)) || !RecvFrame(fd, &msg) || msg.empty())
            return false;
        const MonData_t r = Decode(msg);
        *flags = r.flags;
        return memcmp(&r, &key, MON_KEY_SIZE) == 0;
    }

    int Viewer()
    {
        const int fd = ConnectViewer();
        if (fd >= 0)
            viewers_.push_back(fd);
        return fd;
    }

    pid_t Collector() const { return static_cast<pid_t>(daemon_.Slot(0)); }

    pid_t ViewerServer() const
    {
        for (pid_t kid : testsupport::Children(daemon_.Pid()))
            if (kid != Collector())
                return kid;
        return -1;
    }

    testsupport::Warden daemon_;
    int writer_ = -1;
    std::vector<int> viewers_;
};

// ---- command line ----

TEST(WardenOptions, VersionAndHelpPaths)
{
    const std::string usage = std::string("\n") + kUsage + "\n";
    Finished f = RunToEnd({"-v", "-h"});
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 1);
    EXPECT_EQ(f.out, "Monitor version: 1.1\n");
    EXPECT_EQ(f.err, usage);

    f = RunToEnd({"-h", "-v"});
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 1);
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.err, usage);

    f = RunToEnd({"--he"});
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 1);
    EXPECT_EQ(f.err, usage);
}

TEST(WardenOptions, DatabaseAndMalformedOptionsEndWithUsage)
{
    const std::string usage = std::string("\n") + kUsage + "\n";
    // -n starts the history worker; the others alone still end with usage.
    for (const char *opt : {"-s", "-p", "-w"}) {
        const Finished f = RunToEnd({opt, "x"});
        EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 1) << opt;
        EXPECT_EQ(f.err, usage) << opt;
        EXPECT_EQ(f.out, "") << opt;
    }
    const std::string prog = WARDEN_BIN;
    Finished f = RunToEnd({"--dbname"});
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 1);
    EXPECT_EQ(f.err, prog + ": option `--dbname' requires an argument\n" + usage);

    f = RunToEnd({"--foreground=yes"});
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 1);
    EXPECT_EQ(f.err, prog + ": option `--foreground' doesn't allow an argument\n" + usage);

    f = RunToEnd({"-f", "-x"});
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 1);
    EXPECT_EQ(f.err, prog + ": unrecognized option `-x'\n" + usage);
}

TEST_F(Warden, LongAndShortForegroundStayAttached)
{
    for (const char *opt : {"--fore", "-f"}) {
        Start({opt});
        // Not detached: the process started is the daemon itself.
        EXPECT_EQ(ReadFile(kPidFile), std::to_string(daemon_.Pid())) << opt;
        EXPECT_TRUE(daemon_.Running()) << opt;
        struct stat st;
        ASSERT_EQ(stat(kPidFile, &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        Stop();
        unlink(kPidFile);
    }
}

TEST_F(Warden, VersionAloneDetachesAndRecordsTheDetachedPid)
{
    ASSERT_TRUE(Launch({"-v"}));
    const pid_t started = daemon_.Pid();
    const int status = daemon_.WaitExit(5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the process left behind";
    EXPECT_EQ(daemon_.Out(), "Monitor version: 1.1\n");
    ASSERT_TRUE(WaitFor(ViewerPortListening));
    const pid_t detached = atoi(ReadFile(kPidFile).c_str());
    EXPECT_GT(detached, 0);
    EXPECT_NE(detached, started);
    EXPECT_TRUE(Alive(detached));
    struct stat st;
    ASSERT_EQ(stat(kPidFile, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "0644 although the detached daemon runs with umask 0";

    ASSERT_EQ(kill(detached, SIGTERM), 0);
    const std::map<pid_t, int> ended = ReapTree();
    ASSERT_TRUE(ended.count(detached));
    EXPECT_TRUE(WIFEXITED(ended.at(detached)) && WEXITSTATUS(ended.at(detached)) == 1);
}

// ---- PID file ----

TEST_F(Warden, LivePidInThePidFileBlocksStartUp)
{
    WriteFile(kPidFile, std::to_string(getpid()));
    const Finished f = RunToEnd({"-f"});
    EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 1);
    EXPECT_EQ(f.err, "Can't run Monitor, previous PID=" + std::to_string(getpid()) +
                         " still active\n");
    EXPECT_EQ(ReadFile(kPidFile), std::to_string(getpid()));
    EXPECT_FALSE(ViewerPortListening());
}

TEST_F(Warden, StaleEmptyGarbageZeroAndNegativePidsDoNotBlock)
{
    for (const std::string &text :
         {std::to_string(DeadPid()), std::string(), std::string("abc"), std::string("0"),
          std::string("-1"), std::string("-5\n")}) {
        WriteFile(kPidFile, text);
        Start();
        EXPECT_EQ(ReadFile(kPidFile), std::to_string(daemon_.Pid())) << "after \"" << text << "\"";
        Stop();
    }
}

// The PID file the daemon leaves: a regular file of its own, one name,
// mode 0644, holding its PID.
void ExpectOwnPidFile(pid_t pid)
{
    struct stat st;
    ASSERT_EQ(lstat(kPidFile, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(ReadFile(kPidFile), std::to_string(pid));
}

TEST_F(Warden, SymlinkAtThePidFileIsReplacedNotFollowed)
{
    WriteFile("/tmp/pid-target", std::to_string(getpid()));
    ASSERT_EQ(symlink("/tmp/pid-target", kPidFile), 0);
    Start();
    EXPECT_EQ(ReadFile("/tmp/pid-target"), std::to_string(getpid()));
    ExpectOwnPidFile(daemon_.Pid());
    unlink("/tmp/pid-target");
}

// Another user plants a PID file naming a live process (init): it neither
// keeps warden from starting nor stays.
TEST_F(Warden, PidFileOfAnotherUserDoesNotBlockAndIsReplaced)
{
    WriteFile(kPidFile, "1");
    ASSERT_EQ(chown(kPidFile, 65534, 65534), 0);
    Start();
    EXPECT_EQ(Stderr().find("Can't run Monitor"), std::string::npos) << Stderr();
    ExpectOwnPidFile(daemon_.Pid());
}

// A PID file that is a hard link to another file: the PID must not be
// written into that file.
TEST_F(Warden, HardLinkAtThePidFileIsNotWrittenThrough)
{
    WriteFile("/tmp/victim", "precious");
    ASSERT_EQ(link("/tmp/victim", kPidFile), 0);
    Start();
    EXPECT_EQ(ReadFile("/tmp/victim"), "precious");
    ExpectOwnPidFile(daemon_.Pid());
    unlink("/tmp/victim");
}

// Mode 0644 whatever the umask (a detached daemon runs with umask 0), also
// for a PID file of its own left writable by everyone.
TEST_F(Warden, PidFileIsNotWritableByOthersWhateverTheUmask)
{
    umask(0);
    Start();
    ExpectOwnPidFile(daemon_.Pid());
    Stop();
    WriteFile(kPidFile, std::to_string(DeadPid()));
    ASSERT_EQ(chmod(kPidFile, 0666), 0);
    Start();
    ExpectOwnPidFile(daemon_.Pid());
}

// Directories and FIFOs at the path are replaced too; none of them hangs
// or stops the start-up.
TEST_F(Warden, DirectoryOrFifoAtThePidFileIsReplaced)
{
    ASSERT_EQ(mkdir(kPidFile, 0777), 0);
    Start();
    ExpectOwnPidFile(daemon_.Pid());
    Stop();
    unlink(kPidFile);
    ASSERT_EQ(mkfifo(kPidFile, 0666), 0);
    Start();
    ExpectOwnPidFile(daemon_.Pid());
}

// ---- collector ----

TEST_F(Warden, ReportsInThePipeReachTheStore)
{
    Start();
    MonData_t a = Record(getpid(), 1, 0, MON_FLAG_START);
    strcpy(a.text2, "client");
    a.countA = 77;
    MonData_t b = Record(getpid(), 2, 3, MON_FLAG_START);
    Put({a, b}, 2);
    EXPECT_EQ(daemon_.HashCount(), 2u);

    const int v = Viewer();
    ASSERT_TRUE(SendRequest(v, KeyedRequest(a)));
    Bytes msg;
    ASSERT_TRUE(RecvFrame(v, &msg));
    const MonData_t got = Decode(msg);
    EXPECT_EQ(got.handleNum, 1u);
    EXPECT_STREQ(got.text1, a.text1);
    EXPECT_STREQ(got.text2, "client");
    EXPECT_EQ(got.countA, 77u);
}

TEST_F(Warden, BadFramesInThePipeDoNotStopCollection)
{
    Start();
    Bytes oversize(3000 + 2, 0x5a);
    oversize[0] = 3000 >> 8;
    oversize[1] = 3000 & 0xff;
    unsigned char badType[MON_MSG_HEADER] = {9};
    unsigned char shortMsg[20] = {MON_MSG_TYPE};
    ASSERT_TRUE(WriteAll(writer_, oversize));
    ASSERT_TRUE(WriteAll(writer_, Frame(nullptr, 0)));
    ASSERT_TRUE(WriteAll(writer_, Frame(badType, sizeof badType)));
    ASSERT_TRUE(WriteAll(writer_, Frame(shortMsg, sizeof shortMsg)));
    Put({Record(getpid(), 7, 0, MON_FLAG_START)}, 1);
    EXPECT_EQ(daemon_.HashCount(), 1u);
    EXPECT_TRUE(Alive(Collector()));
    // After the failures it goes on collecting.
    Put({Record(getpid(), 8, 0, MON_FLAG_START)}, 2);
    EXPECT_EQ(daemon_.HashCount(), 2u);
    // The 3121 bad bytes are skipped, counted and logged together.
    EXPECT_NE(Stderr().find("skipped 3121 bytes of the pipe"), std::string::npos) << Stderr();
}

// ---- viewer protocol ----

TEST_F(Warden, FirstStreamSeedsEveryOpenSessionAndTheSecondIsEmpty)
{
    Start();
    const uint32_t me = getpid();
    MonData_t plain = Record(me, 1, 0, MON_FLAG_START);
    MonData_t counted = Record(me, 2, 0, MON_FLAG_START);
    counted.countB = 9;
    MonData_t status = Record(me, 3, 0, MON_FLAG_START);
    status.status = 4;
    MonData_t statusText = Record(me, 4, 0, MON_FLAG_START);
    strcpy(statusText.statusText, "refused");
    MonData_t ended = Record(me, 5, 0, MON_FLAG_START | MON_FLAG_END);
    Put({plain, counted, status, statusText, ended}, 5);

    const int v = Viewer();
    const auto first = Stream(v);
    const std::map<std::pair<uint32_t, uint16_t>, uint32_t> want{
        {{1, 0}, 0x1}, {{2, 0}, 0x3}, {{3, 0}, 0x5}, {{4, 0}, 0x5}};
    EXPECT_EQ(first, want);
    EXPECT_TRUE(Stream(v).empty());

    // A change after the viewer registered comes through once.
    counted.flags = MON_FLAG_UPDATE;
    Put({counted, Record(me, 6, 0, MON_FLAG_START)}, 6);
    const std::map<std::pair<uint32_t, uint16_t>, uint32_t> changed{{{2, 0}, 0x2}, {{6, 0}, 0x1}};
    EXPECT_EQ(Stream(v), changed);
}

TEST_F(Warden, LongStreamOfLargestRecordsArrivesWhole)
{
    Start();
    std::vector<MonData_t> recs;
    for (uint16_t i = 0; i < 70; ++i) {
        MonData_t r = Record(getpid(), 40, i, MON_FLAG_START);
        memset(r.addrA, 0x41, sizeof r.addrA);
        memset(r.text4, 'q', sizeof r.text4 - 1);
        r.dataLen = MON_DATA_MAX;
        memset(r.data, i, MON_DATA_MAX);
        recs.push_back(r);
    }
    Put(recs, 70);
    const int v = Viewer();
    ASSERT_TRUE(SendRequest(v, {2, 0}));
    std::set<uint16_t> seen;
    Bytes msg;
    while (RecvFrame(v, &msg) && !msg.empty()) {
        const MonData_t r = Decode(msg);
        EXPECT_EQ(r.dataLen, MON_DATA_MAX);
        EXPECT_EQ(r.data[MON_DATA_MAX - 1], static_cast<unsigned char>(r.recordNum));
        seen.insert(r.recordNum);
    }
    EXPECT_TRUE(msg.empty()) << "stream did not end with the empty frame";
    EXPECT_EQ(seen.size(), 70u);
    EXPECT_TRUE(Silent(v)) << "bytes after the empty frame";
}

TEST_F(Warden, KeyedReadsAndShortRequestsNeverUseStaleBytes)
{
    Start();
    const MonData_t rec = Record(getpid(), 0x1234, 2, MON_FLAG_START);
    Put({rec, Record(getpid(), 9, 9, MON_FLAG_START)}, 2);
    const int v = Viewer();
    Bytes msg;

    ASSERT_TRUE(SendRequest(v, KeyedRequest(rec)));
    ASSERT_TRUE(RecvFrame(v, &msg));
    ASSERT_FALSE(msg.empty());
    const MonData_t got = Decode(msg);
    EXPECT_EQ(memcmp(&got, &rec, MON_KEY_SIZE), 0);
    EXPECT_EQ(got.flags, 0x1u) << "the slot's seeded nibble";

    // A short keyed read repeating the start of that key: the rest of the
    // buffer still holds it, yet the answer is the empty frame.
    ASSERT_TRUE(SendRequest(v, KeyedRequest(rec, 4)));
    ASSERT_TRUE(RecvFrame(v, &msg));
    EXPECT_TRUE(msg.empty());

    MonData_t absent = rec;
    absent.recordNum = 3;
    ASSERT_TRUE(SendRequest(v, KeyedRequest(absent)));
    ASSERT_TRUE(RecvFrame(v, &msg));
    EXPECT_TRUE(msg.empty());

    // A keyed read leaves the nibble: the stream still returns both.
    EXPECT_EQ(Stream(v).size(), 2u);
    EXPECT_EQ(Stream(v, 1).size(), 2u);
    // A one-byte stream request after an "all" request asks only for changes.
    ASSERT_TRUE(SendRequest(v, {2}));
    ASSERT_TRUE(RecvFrame(v, &msg));
    EXPECT_TRUE(msg.empty());
}

TEST_F(Warden, InvalidTypesGetNoReplyAndAnEmptyRequestEndsTheConnection)
{
    Start();
    const MonData_t rec = Record(getpid(), 1, 1, MON_FLAG_START);
    Put({rec}, 1);
    const int v = Viewer();
    for (unsigned char type : {0, 3, 255}) {
        ASSERT_TRUE(SendRequest(v, {type, 1}));
        EXPECT_TRUE(Silent(v)) << "type " << int(type);
    }
    Bytes msg;
    ASSERT_TRUE(SendRequest(v, KeyedRequest(rec)));
    ASSERT_TRUE(RecvFrame(v, &msg));
    EXPECT_FALSE(msg.empty());

    ASSERT_TRUE(SendRequest(v, {}));
    EXPECT_TRUE(ClosedWithoutAByte(v));
}

TEST_F(Warden, FifthViewerIsClosedAndAFreedSlotGoesToTheNextViewer)
{
    Start();
    Put({Record(getpid(), 1, 1, MON_FLAG_START)}, 1);
    int v[4];
    for (int i = 0; i < 4; ++i) {
        v[i] = Viewer();
        ASSERT_EQ(Stream(v[i]).size(), 1u) << "viewer " << i;
    }
    for (int s = MON_SLOT_VIEWER_FIRST; s <= MON_SLOT_VIEWER_LAST; ++s)
        EXPECT_NE(daemon_.Slot(s), 0u);

    const int fifth = Viewer();
    EXPECT_TRUE(ClosedWithoutAByte(fifth));
    EXPECT_TRUE(WaitFor([this] { return Stderr().find("GUIAccept: Too many GUIs") != std::string::npos; }));
    for (int fd : v)
        EXPECT_TRUE(Stream(fd).empty());

    // The second viewer leaves: its slot 7 is freed and taken by the next.
    const uint32_t old = daemon_.Slot(7);
    close(v[1]);
    viewers_.erase(std::find(viewers_.begin(), viewers_.end(), v[1]));
    ASSERT_TRUE(WaitFor([this] { return daemon_.Slot(7) == 0; }));
    const int next = Viewer();
    EXPECT_EQ(Stream(next).size(), 1u);
    EXPECT_NE(daemon_.Slot(7), 0u);
    EXPECT_NE(daemon_.Slot(7), old);
}

// A child killed outright runs no handler and closes nothing: only the
// viewer server's reaper can free its slot.
TEST_F(Warden, ViewerChildKilledOutrightFreesItsSlot)
{
    Start();
    Put({Record(getpid(), 1, 1, MON_FLAG_START)}, 1);
    const int first = Viewer();
    ASSERT_EQ(Stream(first).size(), 1u);
    const pid_t child = static_cast<pid_t>(daemon_.Slot(MON_SLOT_VIEWER_FIRST));
    ASSERT_GT(child, 0);
    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_TRUE(WaitFor([this] { return daemon_.Slot(MON_SLOT_VIEWER_FIRST) == 0; })) << Stderr();

    const int next = Viewer();
    EXPECT_EQ(Stream(next).size(), 1u);  // served, and seeded afresh
    EXPECT_NE(daemon_.Slot(MON_SLOT_VIEWER_FIRST), 0u);
    EXPECT_NE(daemon_.Slot(MON_SLOT_VIEWER_FIRST), static_cast<uint32_t>(child));
}

TEST_F(Warden, ViewersLeavingAtOnceLeaveNoSlotHeld)
{
    Start();
    // Children that end before their server has written their slot entry.
    for (int i = 0; i < 24; ++i) {
        const int fd = ConnectViewer();
        ASSERT_GE(fd, 0);
        close(fd);
        if (i % 4 == 3)
            std::this_thread::sleep_for(milliseconds(20)); // stay within the backlog
    }
    // Every one of them ends and frees its slot: no entry stays naming a
    // child that is gone.  (A viewer connecting while some of them are still
    // ending may be refused as a fifth, so it waits for that.)
    EXPECT_TRUE(WaitFor([this] {
        int held = 0;
        for (int s = MON_SLOT_VIEWER_FIRST; s <= MON_SLOT_VIEWER_LAST; ++s)
            held += daemon_.Slot(s) != 0;
        return held == 0;
    }, 15000));
    // Served afterwards; in the end it is the only holder.
    const int v = Viewer();
    EXPECT_TRUE(Stream(v).empty());
    EXPECT_TRUE(WaitFor([this] {
        int held = 0;
        for (int s = MON_SLOT_VIEWER_FIRST; s <= MON_SLOT_VIEWER_LAST; ++s)
            held += daemon_.Slot(s) != 0;
        return held == 1;
    }));
}

TEST_F(Warden, DeadReporterIsEndedBySeedingAndStreamedWithTheEndBit)
{
    Start();
    const uint32_t dead = DeadPid();
    // A PID word that reads as negative names no process (kill() would
    // address every process): ended, as the store's clean-up judges it.
    Put({Record(dead, 1, 0, MON_FLAG_START), Record(dead, 0xffffffffu, 0, MON_FLAG_START),
         Record(getpid(), 3, 0, MON_FLAG_START), Record(0xffffffffu, 2, 0, MON_FLAG_START)},
        4);
    const int v = Viewer();
    const std::map<std::pair<uint32_t, uint16_t>, uint32_t> seeded{{{0xffffffffu, 0}, 0x1},
                                                                    {{3, 0}, 0x1}};
    EXPECT_EQ(Stream(v), seeded);
    const std::map<std::pair<uint32_t, uint16_t>, uint32_t> all{
        {{1, 0}, 0x8}, {{0xffffffffu, 0}, 0x0}, {{3, 0}, 0x0}, {{2, 0}, 0x8}};
    EXPECT_EQ(Stream(v, 1), all);
}

// ---- capacity ----

TEST(WardenOptions, BadCapacitiesAreRefusedBeforeAnythingIsCreated)
{
    // From a clean slate also where the tests share one /tmp (no isolation).
    unlink("/tmp/mon.mmap");
    unlink(kPidFile);
    for (const char *bad : {"0", "-1", "abc", "12x", "", "1000001", "99999999999999999999"}) {
        const Finished f = RunToEnd({"-f", "--capacity", bad});
        EXPECT_TRUE(WIFEXITED(f.status) && WEXITSTATUS(f.status) == 1) << bad;
        EXPECT_NE(f.err.find("--capacity needs a whole number from 1 to 1000000"),
                  std::string::npos) << bad << ": " << f.err;
        struct stat st;
        EXPECT_NE(lstat("/tmp/mon.mmap", &st), 0) << bad;
        EXPECT_NE(lstat(kPidFile, &st), 0) << bad;
    }
}

// The store never healed once full: the load check refused before any
// clean-up could run.  Now ended sessions a viewer has read make room.
TEST_F(Warden, FullStoreRecoversOnceItsSessionsEndAndAreRead)
{
    Start();
    const int v = Viewer();
    ASSERT_TRUE(Stream(v).empty());
    std::vector<MonData_t> starts, ends;
    for (uint32_t i = 0; i < 382; ++i) {
        starts.push_back(Record(getpid(), i + 1, 0, MON_FLAG_START));
        ends.push_back(Record(getpid(), i + 1, 0, MON_FLAG_END));
    }
    PutMany(starts, 382);
    // Three more: refused, and "store full" said once for all of them.
    for (uint32_t i = 0; i < 3; ++i)
        ASSERT_TRUE(WriteAll(writer_, Framed(Record(getpid(), 5000 + i, 0, MON_FLAG_START))));
    ASSERT_TRUE(WaitFor([this] { return Stderr().find("store full, 382 live records") != std::string::npos; }))
        << Stderr();
    PutMany(ends, 382);
    std::map<std::pair<uint32_t, uint16_t>, uint32_t> seen;
    ASSERT_TRUE(WaitFor([&] {
        for (const auto &[key, flags] : Stream(v))
            seen[key] |= flags;
        return std::count_if(seen.begin(), seen.end(), [](const auto &e) { return e.second == 0x9u; }) ==
               382;
    }));
    EXPECT_EQ(seen.size(), 382u);
    EXPECT_EQ(seen.count({5000, 0}), 0u);

    Put({Record(getpid(), 6000, 0, MON_FLAG_START)}, 383);
    const auto next = Stream(v);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next.begin()->first.first, 6000u);
    EXPECT_EQ(daemon_.HashCount(), 1u);
    const std::string err = Stderr();
    EXPECT_EQ(err.find("store full"), err.rfind("store full")) << err;
}

TEST_F(Warden, CapacityStoreCarriesTenThousandSessions)
{
    constexpr uint32_t kSessions = 10000;
    Start({"-f", "--capacity", "20000"});
    quelm::ShelfGeometry_t geo{};
    ASSERT_TRUE(quelm::ShelfGeometry(20000, &geo));
    struct stat st;
    ASSERT_EQ(stat("/tmp/mon.mmap", &st), 0);
    EXPECT_EQ(st.st_size, off_t{geo.segSize} + 1024);

    std::vector<MonData_t> starts, ends;
    for (uint32_t i = 0; i < kSessions; ++i) {
        starts.push_back(Record(getpid(), i + 1, 0, MON_FLAG_START));
        ends.push_back(Record(getpid(), i + 1, 0, MON_FLAG_END));
    }
    PutMany(starts, kSessions);
    EXPECT_EQ(daemon_.HashCount(), kSessions);

    const int v = Viewer();
    const auto first = Stream(v);
    ASSERT_EQ(first.size(), kSessions);
    for (const auto &[key, flags] : first)
        ASSERT_EQ(flags, 0x1u) << key.first;
    for (uint32_t i = 0; i < kSessions; ++i) {
        uint32_t flags = 0;
        ASSERT_TRUE(Keyed(v, starts[i], &flags)) << i;
    }
    EXPECT_TRUE(Stream(v).empty());

    // A proxy reporting straight into the store maps the size the header
    // states, so its record lands in the same table.
    const pid_t proxy = fork();
    if (proxy == 0) {
        MonHandle_t *h = nullptr;
        if (QxMonMemOpen("mon.mmap", MON_SLOT_PROXY, &h) != 0)
            _exit(2);
        MonData_t r = Record(getpid(), 77, 0, MON_FLAG_START);
        r.handleNum = 0xffffffffu; // detached: stays alive after this process
        _exit(QxMonSendData(h, &r) == 0 && QxMonClose(h) == 0 ? 0 : 3);
    }
    int status = -1;
    ASSERT_EQ(waitpid(proxy, &status, 0), proxy);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const auto fromProxy = Stream(v);
    ASSERT_EQ(fromProxy.size(), 1u);
    EXPECT_EQ(fromProxy.begin()->first.first, 0xffffffffu);

    PutMany(ends, kSessions);
    std::map<std::pair<uint32_t, uint16_t>, uint32_t> ended;
    ASSERT_TRUE(WaitFor([&] {
        for (const auto &[key, flags] : Stream(v))
            ended[key] |= flags;
        return std::count_if(ended.begin(), ended.end(), [](const auto &e) { return e.second & 0x8u; }) ==
               kSessions;
    }, 60000));
    for (const auto &[key, flags] : ended)
        ASSERT_EQ(flags, 0x8u) << key.first;

    // A header that lies about the segment's size is refused by an
    // attaching process, which maps nothing rather than a wrong size.
    const int fd = open("/tmp/mon.mmap", O_RDWR | O_NOFOLLOW);
    ASSERT_GE(fd, 0);
    auto *hdr = static_cast<ShelfHeader_t *>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    ASSERT_NE(hdr, MAP_FAILED);
    const uint32_t size = hdr->segSize;
    hdr->segSize = size + (64u << 20);
    const pid_t attach = fork();
    if (attach == 0) {
        MonHandle_t *h = nullptr;
        _exit(QxMonMemOpen("mon.mmap", MON_SLOT_PROXY, &h) == -1 && h == nullptr ? 0 : 4);
    }
    ASSERT_EQ(waitpid(attach, &status, 0), attach);
    hdr->segSize = size;
    munmap(hdr, 4096);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Warden, SessionBeyondCapacityIsRefusedAndTheStoreStaysConsistent)
{
    Start({"-f", "--capacity", "1000"});
    quelm::ShelfGeometry_t geo{};
    ASSERT_TRUE(quelm::ShelfGeometry(1000, &geo));
    ASSERT_GE(geo.records, 1000u);
    std::vector<MonData_t> starts;
    for (uint32_t i = 0; i < geo.records; ++i)
        starts.push_back(Record(getpid(), i + 1, 0, MON_FLAG_START));
    PutMany(starts, geo.records);
    const MonData_t beyond = Record(getpid(), 90000, 0, MON_FLAG_START);
    ASSERT_TRUE(WriteAll(writer_, Framed(beyond)));
    ASSERT_TRUE(WaitFor([this] { return Stderr().find("store full") != std::string::npos; })) << Stderr();
    EXPECT_EQ(daemon_.HashCount(), geo.records);
    EXPECT_EQ(daemon_.PutCount(), geo.records);

    const int v = Viewer();
    EXPECT_EQ(Stream(v).size(), geo.records);
    uint32_t flags = 0;
    EXPECT_FALSE(Keyed(v, beyond, &flags));
    EXPECT_TRUE(Keyed(v, starts.back(), &flags));
    // Stored sessions still take updates.
    Put({Record(getpid(), 1, 0, MON_FLAG_UPDATE)}, geo.records);
    ASSERT_TRUE(WaitFor([&] { return Stream(v).size() == 1; }));
}

// ---- signals ----

TEST_F(Warden, TermToTheMainProcessStopsTheWholeTree)
{
    Start();
    Put({Record(getpid(), 1, 0, MON_FLAG_START)}, 1);
    Viewer();
    Viewer();
    for (int fd : viewers_)
        ASSERT_EQ(Stream(fd).size(), 1u);
    const pid_t collector = Collector();
    const pid_t server = ViewerServer();
    std::set<pid_t> tree{daemon_.Pid(), collector, server, static_cast<pid_t>(daemon_.Slot(6)),
                         static_cast<pid_t>(daemon_.Slot(7))};
    ASSERT_EQ(tree.size(), 5u);

    ASSERT_EQ(kill(daemon_.Pid(), SIGTERM), 0);
    const std::map<pid_t, int> ended = ReapTree();
    // The workers come back to this subreaper; a viewer child may instead
    // have been reaped by the viewer server, but must be gone either way.
    for (pid_t pid : {daemon_.Pid(), collector, server}) {
        ASSERT_TRUE(ended.count(pid)) << pid << " still running";
        EXPECT_TRUE(WIFEXITED(ended.at(pid)) && WEXITSTATUS(ended.at(pid)) == 1) << pid;
    }
    for (pid_t pid : tree) {
        if (ended.count(pid) != 0)
            EXPECT_TRUE(WIFEXITED(ended.at(pid)) && WEXITSTATUS(ended.at(pid)) == 1) << pid;
        else
            EXPECT_TRUE(kill(pid, 0) < 0 && errno == ESRCH) << pid << " still running";
    }
    for (int fd : viewers_)
        EXPECT_TRUE(ClosedWithoutAByte(fd));
}

// Once the viewer server has gone no reaper frees its children's slots:
// each child frees its own as it stops, so the daemon's shutdown never
// signals a PID that has meanwhile gone to another process.
TEST_F(Warden, ViewerChildrenFreeTheirSlotsWhenTheServerDies)
{
    Start();
    Viewer();
    Viewer();
    for (int fd : viewers_)
        ASSERT_TRUE(Stream(fd).empty());
    ASSERT_NE(daemon_.Slot(6), 0u);
    ASSERT_NE(daemon_.Slot(7), 0u);
    const pid_t server = ViewerServer();
    ASSERT_GT(server, 0);
    ASSERT_EQ(kill(server, SIGTERM), 0);
    EXPECT_TRUE(WaitFor([this] {
        for (int s = MON_SLOT_VIEWER_FIRST; s <= MON_SLOT_VIEWER_LAST; ++s)
            if (daemon_.Slot(s) != 0)
                return false;
        return true;
    })) << daemon_.Slot(6) << " " << daemon_.Slot(7);
}

// Workers must not outlive a main process that was killed outright.
TEST_F(Warden, WorkersEndWithAMainProcessKilledOutright)
{
    Start();
    const pid_t collector = Collector();
    const pid_t server = ViewerServer();
    ASSERT_GT(collector, 0);
    ASSERT_GT(server, 0);
    ASSERT_EQ(kill(daemon_.Pid(), SIGKILL), 0);
    const std::map<pid_t, int> ended = ReapTree();
    EXPECT_TRUE(ended.count(collector)) << "collector still running";
    EXPECT_TRUE(ended.count(server)) << "viewer server still running";
}

TEST_F(Warden, PidFileNamingTheStartingProcessItselfDoesNotBlock)
{
    Start({"-f"}, true);
    EXPECT_TRUE(daemon_.Running()) << Stderr();
    EXPECT_EQ(Stderr().find("Can't run Monitor"), std::string::npos) << Stderr();
}

// Writes pid into slot of the store's table, as any process that can map
// the store could.
bool ForgeSlot(int slot, uint32_t pid)
{
    const int fd = open("/tmp/mon.mmap", O_RDWR | O_NOFOLLOW);
    if (fd < 0)
        return false;
    void *p = mmap(nullptr, SHELF_MMAP_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED)
        return false;
    __atomic_store_n(&static_cast<ShelfHeader_t *>(p)->clientPid[slot], pid, __ATOMIC_RELAXED);
    munmap(p, SHELF_MMAP_SIZE);
    return true;
}

// A process of another user, unrelated to warden, whose PID is put into
// the slot table: the shutdown must leave it alone and stop the real
// viewer child.
TEST_F(Warden, ShutdownSignalsOnlyProcessesTheDaemonForked)
{
    Start();
    const int v = Viewer();
    ASSERT_TRUE(Stream(v).empty());
    const pid_t child = static_cast<pid_t>(daemon_.Slot(MON_SLOT_VIEWER_FIRST));
    ASSERT_GT(child, 0);
    const pid_t victim = fork();
    if (victim == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        for (;;)
            pause();
    }
    ASSERT_GT(victim, 0);
    for (int s = MON_SLOT_VIEWER_FIRST + 1; s <= MON_SLOT_VIEWER_LAST; ++s)
        ASSERT_TRUE(ForgeSlot(s, static_cast<uint32_t>(victim)));

    ASSERT_EQ(kill(daemon_.Pid(), SIGTERM), 0);
    const int status = daemon_.WaitExit(5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_TRUE(ClosedWithoutAByte(v)) << "the real viewer child was not stopped";
    EXPECT_TRUE(WaitFor([&] {
        return waitpid(child, nullptr, WNOHANG) == child || (kill(child, 0) < 0 && errno == ESRCH);
    }));
    EXPECT_EQ(waitpid(victim, nullptr, WNOHANG), 0) << "a foreign process was signalled";
    kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);
}

// ---- the store's semaphore sets ----

int SetOf(const char *keyFile)
{
    return semget(ftok(keyFile, 'V'), 0, 0);
}

// A process of an earlier daemon still holds the hash lock (stopped, say):
// the new daemon starts from fresh sets and collects at once.
TEST_F(Warden, FreshDaemonDoesNotWaitOnTheLockOfTheStoreItReplaces)
{
    Start();
    MonHandle_t *old = nullptr;
    ASSERT_EQ(MonMutexOpen("mon.hash.mutex", 0, &old), 0);
    Stop();
    ASSERT_EQ(MonMutexRequest(old), 0);
    const int oldSet = SetOf("/tmp/mon.hash.mutex");
    ASSERT_GE(oldSet, 0);

    Start();
    Put({Record(getpid(), 1, 0, MON_FLAG_START)}, 1);
    EXPECT_NE(SetOf("/tmp/mon.hash.mutex"), oldSet);
    MonMutexClose(old);
}

// Another user pre-creates both sets under the store's keys, one of them
// locked: warden adopts neither, and its own are 0600.
TEST_F(Warden, SetsPlantedByAnotherUserAreNotAdopted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user (setuid)";
    Start();
    Stop();
    for (const char *keyFile : {"/tmp/mon.hash.mutex", "/tmp/mon.free.mutex"})
        ASSERT_EQ(semctl(SetOf(keyFile), 0, IPC_RMID), 0);
    const pid_t attacker = fork();
    if (attacker == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(90);
        for (const char *keyFile : {"/tmp/mon.hash.mutex", "/tmp/mon.free.mutex"}) {
            const int id = semget(ftok(keyFile, 'V'), 1, IPC_CREAT | IPC_EXCL | 0666);
            if (id < 0 || semctl(id, 0, SETVAL, 1) != 0)
                _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(attacker, &status, 0), attacker);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    Start();
    Put({Record(getpid(), 1, 0, MON_FLAG_START)}, 1);
    for (const char *keyFile : {"/tmp/mon.hash.mutex", "/tmp/mon.free.mutex"}) {
        semid_ds ds;
        ASSERT_EQ(semctl(SetOf(keyFile), 0, IPC_STAT, &ds), 0) << keyFile;
        EXPECT_EQ(ds.sem_perm.uid, geteuid()) << keyFile;
        EXPECT_EQ(ds.sem_perm.mode & 0777, 0600u) << keyFile;
    }
}

// ---- supervision ----

// Writes frame whole into the pipe, waiting out the moments in which no
// collector holds the pipe open for reading (EPIPE) until ms have passed.
bool WriteWhenRead(int fd, const Bytes &frame, int ms = 3000)
{
    bool ok = false;
    WaitFor([&] {
        const ssize_t n = write(fd, frame.data(), frame.size());
        ok = n == static_cast<ssize_t>(frame.size());
        return ok || !(n < 0 && errno == EPIPE);
    }, ms);
    return ok;
}

size_t CountOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// The lowest descriptor number that pid has not open.
TEST_F(Warden, KilledCollectorIsReplacedAndReportsAreStoredAgain)
{
    signal(SIGPIPE, SIG_IGN);
    Start();
    Put({Record(getpid(), 1, 0, MON_FLAG_START)}, 1);
    const pid_t collector = Collector();
    ASSERT_EQ(kill(collector, SIGKILL), 0);
    const auto killed = std::chrono::steady_clock::now();
    // Frames written while the old collector is dying may be read by it
    // and lost with it; write once it is surely gone.
    ASSERT_TRUE(WaitFor([&] { return Collector() != collector && Collector() != 0; }, 3000));
    for (uint32_t h = 2; h <= 6; ++h)
        ASSERT_TRUE(WriteWhenRead(writer_, Framed(Record(getpid(), h, 0, MON_FLAG_START))));
    ASSERT_TRUE(WaitFor([this] { return daemon_.PutCount() >= 6; }, 3000)) << Stderr();
    EXPECT_LT(std::chrono::steady_clock::now() - killed, milliseconds(2000));
    EXPECT_NE(Collector(), collector);
    EXPECT_TRUE(Alive(Collector()));
    EXPECT_TRUE(WaitFor([&] {
        return Stderr().find("collector (PID " + std::to_string(collector) +
                             ") was killed by signal 9") != std::string::npos;
    })) << Stderr();
    EXPECT_TRUE(daemon_.Running()) << "the main process ended";
}

TEST_F(Warden, KilledViewerServerIsReplacedAndViewersAreServedAgain)
{
    Start();
    Put({Record(getpid(), 1, 0, MON_FLAG_START)}, 1);
    const pid_t server = ViewerServer();
    ASSERT_GT(server, 0);
    ASSERT_EQ(kill(server, SIGKILL), 0);
    const auto killed = std::chrono::steady_clock::now();
    // A connection made while the old server's socket still stands dies with it.
    ASSERT_TRUE(WaitFor([&] { return ViewerServer() != server; }, 3000));
    size_t seen = 0;
    ASSERT_TRUE(WaitFor([&] {
        const int fd = ConnectViewer();
        if (fd < 0)
            return false;
        viewers_.push_back(fd);
        seen = Stream(fd).size();
        return true;
    }, 3000)) << Stderr();
    EXPECT_LT(std::chrono::steady_clock::now() - killed, milliseconds(2000));
    EXPECT_EQ(seen, 1u);
    EXPECT_NE(ViewerServer(), server);
    EXPECT_TRUE(WaitFor([&] {
        return Stderr().find("viewer server (PID " + std::to_string(server) +
                             ") was killed by signal 9") != std::string::npos;
    })) << Stderr();
}

// The same viewer server keeps serving through a time without descriptors:
// a connection that could not be accepted then is served once they are free.
TEST_F(Warden, AcceptShortOfDescriptorsWaitsAndServesOn)
{
    Start();
    Put({Record(getpid(), 1, 0, MON_FLAG_START)}, 1);
    const pid_t server = ViewerServer();
    ASSERT_GT(server, 0);
    struct rlimit saved;
    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, nullptr, &saved), 0);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(testsupport::LowestFreeFd(server));
    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, &tight, nullptr), 0);

    const int fd = Viewer();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitFor([this] { return Stderr().find("accept() in GUIAccept: Too many open files") !=
                                        std::string::npos; }))
        << Stderr();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_TRUE(Silent(fd, 10));

    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_EQ(Stream(fd).size(), 1u);
    EXPECT_EQ(ViewerServer(), server) << "the viewer server was replaced, not kept";
    EXPECT_EQ(Stderr().find("viewer server (PID"), std::string::npos) << Stderr();
}

// A flood of refused reports (updates of sessions the store never saw)
// leaves a few lines and their counts, not one line per report.
TEST_F(Warden, TenThousandFailingPutsWriteAFewDozenLines)
{
    const char *every = getenv("QUELM_LOG_REPEATS");
    const std::string saved = every != nullptr ? every : "";
    unsetenv("QUELM_LOG_REPEATS"); // the daemon limits repeats as it does in service
    Start();
    if (every != nullptr)
        setenv("QUELM_LOG_REPEATS", saved.c_str(), 1);
    Bytes all;
    for (uint16_t i = 0; i < 10000; ++i) {
        const Bytes f = Framed(Record(getpid(), 7, i, MON_FLAG_UPDATE));
        all.insert(all.end(), f.begin(), f.end());
    }
    size_t done = 0;
    while (done < all.size()) {
        const ssize_t n = write(writer_, all.data() + done, all.size() - done);
        ASSERT_GT(n, 0);
        done += static_cast<size_t>(n);
    }
    Put({Record(getpid(), 8, 0, MON_FLAG_START)}, 1); // every report before it was taken
    const std::string err = Stderr();
    EXPECT_GE(CountOf(err, "QxMonSendData() to shared mem failed"), 1u) << err;
    EXPECT_LE(CountOf(err, "\n"), 40u) << err;
}

// A worker that dies before it could start, again and again, ends the daemon
// with a line that says so; its own line says which call failed and why.
TEST_F(Warden, CollectorThatCannotStartEndsTheDaemon)
{
    Start();
    // A directory where the pipe was, with a file system mounted on it: no
    // collector can open the pipe, nor remove what stands in its way.
    ASSERT_EQ(unlink("/tmp/mon.fifo"), 0);
    ASSERT_EQ(mkdir("/tmp/mon.fifo", 0755), 0);
    ASSERT_EQ(mount("blocker", "/tmp/mon.fifo", "tmpfs", 0, "size=16k"), 0) << strerror(errno);
    const pid_t collector = Collector();
    ASSERT_EQ(kill(collector, SIGKILL), 0);
    const int status = daemon_.WaitExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string err = Stderr();
    EXPECT_NE(err.find("before it started, " + std::to_string(5) + " times in a row; warden stops"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(std::string("MonSocksServer: QxChuteOpen(/tmp/mon.fifo) failed: ")),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("restarting it in 250 ms"), std::string::npos) << err;
    umount2("/tmp/mon.fifo", MNT_DETACH);
    rmdir("/tmp/mon.fifo");
}

} // namespace
