// Chute_test.cpp - the pipe transport: frame reading on plain pipes, and the
// real /tmp/mon.fifo (private to this program under quelm_isolate).  The
// module keeps one descriptor per process for the process's life, so every
// test that opens the FIFO runs in a forked child; a child reports the line
// of its first failed check as its exit status.
#include <quelm/monitor.h>

#include "Chute_internal.h"
#include "seam.h"
#include "log_support.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *kPath = "/tmp/mon.fifo";

// Failures are logged only when the environment asks for it.
const bool kLogToStderr = [] {
    setenv("QUELM_DEBUG", "", 1);
    setenv("QUELM_LOG_STDERR", "1", 1);
    return true;
}();

#define CHILD_CHECK(cond)          \
    do {                           \
        if (!(cond)) return __LINE__; \
    } while (0)

// Runs body in a forked child: 0 when every check held, else the line of
// the failed one (or 1000 + the signal that ended the child).
int InChild(const std::function<int()> &body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(30);  // a hang (blocking open or write) ends as a failure
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

void WriteAll(int fd, const std::vector<unsigned char> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        ASSERT_GT(w, 0) << strerror(errno);
        done += static_cast<size_t>(w);
    }
}

std::vector<unsigned char> Frame(const std::vector<unsigned char> &msg) {
    std::vector<unsigned char> f(2 + msg.size());
    f[0] = static_cast<unsigned char>(msg.size() >> 8);
    f[1] = static_cast<unsigned char>(msg.size() & 0xff);
    std::copy(msg.begin(), msg.end(), f.begin() + 2);
    return f;
}

std::vector<unsigned char> Bytes(size_t n, unsigned seed) {
    std::vector<unsigned char> b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<unsigned char>(i * 31 + seed);
    return b;
}

MonData_t SampleRecord(uint32_t pid, bool largest) {
    MonData_t rec;
    std::memset(&rec, 0, sizeof rec);
    rec.pid = pid;
    rec.handleNum = 0x1a;
    rec.recordNum = 7;
    rec.flags = MON_FLAG_START;
    rec.countA = 99;
    std::strcpy(rec.text1, "client");
    if (largest) {
        for (size_t i = 0; i < MON_ADDR_SIZE; i++) {
            rec.addrA[i] = static_cast<unsigned char>(i + pid);
            rec.addrB[i] = static_cast<unsigned char>(i * 3 + 1);
            rec.addrC[i] = static_cast<unsigned char>(i * 5 + 2);
        }
        for (char *t : {rec.text1, rec.text2, rec.text3, rec.text4, rec.statusText}) {
            std::memset(t, 'a' + static_cast<int>(pid % 26), 127);
            t[127] = '\0';
        }
        std::memset(rec.text5, 'z', 63);
        rec.dataLen = MON_DATA_MAX;
        for (size_t i = 0; i < MON_DATA_MAX; i++) rec.data[i] = static_cast<unsigned char>(i ^ pid);
    }
    return rec;
}

std::vector<unsigned char> Encode(const MonData_t &rec) {
    std::vector<unsigned char> msg(MON_MSG_MAX);
    msg.resize(static_cast<size_t>(ParcelPutData(&rec, msg.data())));
    return msg;
}

// Opens the module's reader on a fresh FIFO; a raw blocking writer opened by
// a helper thread lets the reader's open return.  The writer's descriptor
// goes to *writer.
int OpenReader(MonHandle_t **h, int *writer) {
    unlink(kPath);
    if (mkfifo(kPath, 0666) < 0) return -1;
    std::thread t([writer] { *writer = open(kPath, O_WRONLY); });
    int r = QxChuteOpen("mon.fifo", MON_FIFO_READER, h);
    t.join();
    return r;
}

int FdOf(MonHandle_t *h) { return static_cast<ChutePriv_t *>(h->priv)->fd; }

void NoteSignal(int) {}

// ---- Frames on a plain pipe ------------------------------------------------

TEST(Chute, RecvSkipsOversizeFrameWhole) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::vector<unsigned char> stream = {0x0b, 0xb8};  // 3000
    std::vector<unsigned char> junk = Bytes(3000, 1);
    stream.insert(stream.end(), junk.begin(), junk.end());
    std::vector<unsigned char> next = Frame(Bytes(5, 9));
    stream.insert(stream.end(), next.begin(), next.end());
    WriteAll(p[1], stream);

    std::vector<unsigned char> buf(MON_MSG_MAX);  // exact size: ASan sees overruns
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(ChuteRecv(p[0], MON_MSG_MAX, buf.data()), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Count(log, "msg len > buf len, read() FIFO failed"), 1u) << log;

    ASSERT_EQ(ChuteRecv(p[0], MON_MSG_MAX, buf.data()), 5);
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 5), Bytes(5, 9));
    close(p[0]);
    close(p[1]);
}

TEST(Chute, RecvEmptyFrameThenEndOfFile) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::vector<unsigned char> stream = {0, 0, 0, 1, 'x'};
    WriteAll(p[1], stream);
    close(p[1]);
    unsigned char buf[8];
    EXPECT_EQ(ChuteRecv(p[0], sizeof buf, buf), 0);
    ASSERT_EQ(ChuteRecv(p[0], sizeof buf, buf), 1);  // the empty frame read nothing more
    EXPECT_EQ(buf[0], 'x');
    errno = 0;
    EXPECT_EQ(ChuteRecv(p[0], sizeof buf, buf), -1);
    EXPECT_EQ(errno, EPIPE);
    close(p[0]);
}

TEST(Chute, RecvEndOfFileInsideFrameIsEpipe) {
    testsupport::EveryLogLine everyLine;  // each case finds its line, repeats included
    const std::vector<std::vector<unsigned char>> torn = {{0x00}, {0x00, 0x10, 1, 2, 3, 4}};
    for (const auto &bytes : torn) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        WriteAll(p[1], bytes);
        close(p[1]);
        unsigned char buf[64];
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(ChuteRecv(p[0], sizeof buf, buf), -1);
        EXPECT_EQ(errno, EPIPE) << bytes.size() << " bytes";
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to read FIFO"),
                  std::string::npos);
        close(p[0]);
    }
}

TEST(Chute, RecvCompletesFrameArrivingInPieces) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const std::vector<unsigned char> payload = Bytes(300, 3);
    std::vector<unsigned char> frame = Frame(payload);
    std::thread writer([&] {
        const size_t cuts[] = {0, 1, 2, 150, frame.size()};  // header split, payload split
        for (size_t i = 0; i + 1 < std::size(cuts); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_EQ(write(p[1], frame.data() + cuts[i], cuts[i + 1] - cuts[i]),
                      static_cast<ssize_t>(cuts[i + 1] - cuts[i]));
        }
    });
    std::vector<unsigned char> buf(MON_MSG_MAX);
    EXPECT_EQ(ChuteRecv(p[0], MON_MSG_MAX, buf.data()), 300);
    writer.join();
    buf.resize(300);
    EXPECT_EQ(buf, payload);
    close(p[0]);
    close(p[1]);
}

// A signal that ends the wait for a frame is the caller's to see (EINTR at a
// frame boundary); one that lands inside a frame is ridden out.
TEST(Chute, RecvSignalAtBoundaryIsReportedInsideFrameIsRetried) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    struct sigaction sa = {}, old = {};
    sa.sa_handler = NoteSignal;  // no SA_RESTART: read() returns EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    unsigned char buf[64];
    struct itimerval once = {{0, 0}, {0, 50000}};

    sigset_t alrm, oldMask;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alrm, &oldMask);  // helper threads must not take it
    // Should the wait not end at the signal, an empty frame ends it later.
    std::promise<void> woken;
    std::thread watchdog([&p, done = woken.get_future()] {
        if (done.wait_for(std::chrono::seconds(3)) == std::future_status::timeout) {
            EXPECT_EQ(write(p[1], "\0\0", 2), 2);
        }
    });
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    setitimer(ITIMER_REAL, &once, nullptr);  // the pipe stays empty meanwhile
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(ChuteRecv(p[0], sizeof buf, buf), -1);
    EXPECT_EQ(errno, EINTR);
    woken.set_value();
    watchdog.join();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("failed to read FIFO"),
              std::string::npos);

    // Header and a few bytes now, the rest long after the signal.
    const std::vector<unsigned char> frame = Frame(Bytes(40, 5));
    ASSERT_EQ(write(p[1], frame.data(), 10), 10);
    pthread_sigmask(SIG_BLOCK, &alrm, &oldMask);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(write(p[1], frame.data() + 10, frame.size() - 10),
                  static_cast<ssize_t>(frame.size() - 10));
        close(p[1]);  // nothing more: a reader that waits on sees the end
    });
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    setitimer(ITIMER_REAL, &once, nullptr);
    EXPECT_EQ(ChuteRecv(p[0], sizeof buf, buf), 40);
    writer.join();
    EXPECT_EQ(std::vector<unsigned char>(buf, buf + 40), Bytes(40, 5));
    sigaction(SIGALRM, &old, nullptr);
    close(p[0]);
}

// ---- Opening -------------------------------------------------------------

TEST(Chute, BadClientTypeIsRefused) {
    unlink(kPath);
    for (unsigned type : {2u, 0xffffffffu}) {
        MonHandle_t *h = reinterpret_cast<MonHandle_t *>(&type);  // must be cleared
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(QxChuteOpen("mon.fifo", type, &h), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(h, nullptr);
        std::string want = "bad client type=" + std::to_string(static_cast<int>(type)) + " specified";
        EXPECT_NE(testing::internal::GetCapturedStderr().find(want), std::string::npos) << want;
    }
    EXPECT_NE(access(kPath, F_OK), 0) << "a refused open made the pipe";
}

TEST(Chute, WriterNeedsReaderAndPutsOneFrame) {
    testing::internal::CaptureStderr();
    int rc = InChild([] {
        unlink(kPath);
        MonHandle_t *w = nullptr;
        errno = 0;
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &w) == -1);
        CHILD_CHECK(errno == ENXIO && w == nullptr);

        struct stat st;
        CHILD_CHECK(lstat(kPath, &st) == 0 && S_ISFIFO(st.st_mode));
        int reader = open(kPath, O_RDONLY | O_NONBLOCK);
        CHILD_CHECK(reader >= 0);
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &w) == 0);
        CHILD_CHECK(w->magic == MON_MAGIC_FIFO);
        CHILD_CHECK(std::strcmp(w->path, "/tmp/mon.fifo") == 0);
        CHILD_CHECK(w->putFn == ChutePut && w->closeFn == ChuteClose);
        CHILD_CHECK(w->getFn == nullptr && w->getNextFn == nullptr);

        MonData_t rec;
        std::memset(&rec, 0, sizeof rec);
        rec.pid = 4242;
        CHILD_CHECK(QxMonSendData(w, &rec) == 95);  // 93-byte message
        CHILD_CHECK(QxMonRecvNextData(w, 1, &rec) == -1);  // a writer reads nothing

        unsigned char got[200];
        CHILD_CHECK(read(reader, got, sizeof got) == 95);
        CHILD_CHECK(got[0] == 0 && got[1] == 93 && got[2] == MON_MSG_TYPE);
        MonData_t back;
        CHILD_CHECK(ParcelGetDataChecked(&back, got + 2, 93) == 93);
        CHILD_CHECK(std::memcmp(&back, &rec, sizeof rec) == 0);
        CHILD_CHECK(QxMonClose(w) == 0);
        return 0;
    });
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 0) << "check at line " << rc;
    EXPECT_EQ(Count(log, "Failed to open FIFO"), 1u) << log;
}

TEST(Chute, OpensShareOneDescriptorForLife) {
    EXPECT_EQ(InChild([] {
        MonHandle_t *r = nullptr, *w = nullptr, *again = nullptr;
        int writer = -1;
        CHILD_CHECK(OpenReader(&r, &writer) == 0 && writer >= 0);
        CHILD_CHECK(r->getNextFn == ChuteGetNext);
        const int fd = FdOf(r);
        // Later opens neither create nor open the file: the path may go.
        CHILD_CHECK(unlink(kPath) == 0);
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &w) == 0);
        CHILD_CHECK(FdOf(w) == fd);
        CHILD_CHECK(QxMonClose(w) == 0 && QxMonClose(r) == 0);
        CHILD_CHECK(fcntl(fd, F_GETFD) != -1);  // closing handles keeps the pipe
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_READER, &again) == 0);
        CHILD_CHECK(FdOf(again) == fd);
        CHILD_CHECK(access(kPath, F_OK) != 0);
        CHILD_CHECK(QxMonClose(again) == 0);
        close(writer);
        return 0;
    }), 0);
}

TEST(Chute, PlantedFilesAreRefusedAndLeftAlone) {
    testsupport::EveryLogLine everyLine;  // the count covers every repeat
    testing::internal::CaptureStderr();
    int rc = InChild([] {
        const std::string content = "planted";
        auto plantFile = [&](const char *path) {
            unlink(path);
            int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            bool ok = fd >= 0 && write(fd, content.data(), content.size()) ==
                                     static_cast<ssize_t>(content.size());
            close(fd);
            return ok;
        };
        auto unchanged = [&](const char *path) {
            char buf[64] = {};
            int fd = open(path, O_RDONLY);
            ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf) : -1;
            close(fd);
            return n == static_cast<ssize_t>(content.size()) && content == buf;
        };
        MonHandle_t *h = nullptr;

        CHILD_CHECK(plantFile(kPath));  // a regular file in the pipe's place
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_READER, &h) == -1 && h == nullptr);
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &h) == -1 && h == nullptr);
        CHILD_CHECK(unchanged(kPath));

        CHILD_CHECK(plantFile("/tmp/target"));  // a symlink to a file
        unlink(kPath);
        CHILD_CHECK(symlink("/tmp/target", kPath) == 0);
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_READER, &h) == -1);
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &h) == -1);
        CHILD_CHECK(unchanged("/tmp/target"));

        // A symlink to a real FIFO with a reader: only O_NOFOLLOW stops it.
        unlink("/tmp/other.fifo");
        CHILD_CHECK(mkfifo("/tmp/other.fifo", 0666) == 0);
        int reader = open("/tmp/other.fifo", O_RDONLY | O_NONBLOCK);
        CHILD_CHECK(reader >= 0);
        unlink(kPath);
        CHILD_CHECK(symlink("/tmp/other.fifo", kPath) == 0);
        errno = 0;
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &h) == -1);
        CHILD_CHECK(errno == ELOOP);
        char c;
        CHILD_CHECK(read(reader, &c, 1) == 0);

        // A dangling symlink: nothing gets created at its target.
        unlink(kPath);
        CHILD_CHECK(symlink("/tmp/nowhere", kPath) == 0);
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_READER, &h) == -1);
        CHILD_CHECK(access("/tmp/nowhere", F_OK) != 0);
        unlink(kPath);
        unlink("/tmp/target");
        unlink("/tmp/other.fifo");
        return 0;
    });
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 0) << "check at line " << rc;
    EXPECT_EQ(Count(log, "Failed to open FIFO"), 6u) << log;
}

// ---- Reading records -----------------------------------------------------

// Oversize, short and malformed frames are skipped without a failure: the
// reader searches on byte by byte and hands out the next good report, and
// the bytes it gave up are counted exactly and logged once, not per frame.
// An empty frame met in step still costs one call and leaves the record.
TEST(Chute, GetNextSearchesPastBadFramesToTheNextGoodReport) {
    testing::internal::CaptureStderr();
    int rc = InChild([] {
        MonHandle_t *r = nullptr;
        int writer = -1;
        CHILD_CHECK(OpenReader(&r, &writer) == 0);

        std::vector<unsigned char> stream = {0, 0, 0x0b, 0xb8};
        std::vector<unsigned char> junk = Bytes(3000, 2);
        stream.insert(stream.end(), junk.begin(), junk.end());
        std::vector<unsigned char> shortMsg = {MON_MSG_TYPE, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        std::vector<unsigned char> lying = Encode(SampleRecord(1, false));
        lying[65] = 0x08;  // text1 claims 2048 bytes of a small area
        for (const auto &msg : {shortMsg, lying}) {
            auto f = Frame(msg);
            stream.insert(stream.end(), f.begin(), f.end());
        }
        const size_t bad = stream.size() - 2;  // all but the empty frame
        const MonData_t good = SampleRecord(77, true);
        auto f = Frame(Encode(good));
        stream.insert(stream.end(), f.begin(), f.end());
        // A second burst of garbage within the logging interval.
        std::vector<unsigned char> more = Bytes(500, 5);
        stream.insert(stream.end(), more.begin(), more.end());
        const MonData_t good2 = SampleRecord(78, false);
        f = Frame(Encode(good2));
        stream.insert(stream.end(), f.begin(), f.end());
        CHILD_CHECK(write(writer, stream.data(), stream.size()) ==
                    static_cast<ssize_t>(stream.size()));

        MonData_t rec, before;
        std::memset(&rec, 0xab, sizeof rec);
        before = rec;
        CHILD_CHECK(QxMonRecvNextData(r, 1, &rec) == 0);
        CHILD_CHECK(std::memcmp(&rec, &before, sizeof rec) == 0);
        CHILD_CHECK(QxMonRecvNextData(r, 1, &rec) == 1);
        CHILD_CHECK(std::memcmp(&rec, &good, sizeof rec) == 0);
        fprintf(stderr, "bad bytes: %zu\n", bad);
        CHILD_CHECK(ChuteGetNext(r, 0, &rec) == 1);
        CHILD_CHECK(std::memcmp(&rec, &good2, sizeof rec) == 0);

        close(writer);  // the last writer leaves
        errno = 0;
        CHILD_CHECK(ChuteGetNext(r, 0, &rec) == -1 && errno == EPIPE);
        CHILD_CHECK(std::memcmp(&rec, &good2, sizeof rec) == 0);
        return 0;
    });
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 0) << "check at line " << rc;
    const size_t at = log.find("bad bytes: ");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string count = log.substr(at + 11, log.find('\n', at) - at - 11);
    EXPECT_EQ(Count(log, "ChuteGetNext: skipped " + count + " bytes of the pipe that were no whole report"), 1u) << log;
    EXPECT_EQ(Count(log, "skipped"), 1u) << log;
    EXPECT_EQ(Count(log, "failed"), 0u) << log;
}

// A report begun but left unfinished is given up once the stall bound has
// passed, and the reports that follow it arrive.
TEST(Chute, UnfinishedReportIsGivenUpAfterTheStallBound) {
    int rc = InChild([] {
        MonHandle_t *r = nullptr;
        int writer = -1;
        CHILD_CHECK(OpenReader(&r, &writer) == 0);
        auto cut = Frame(Encode(SampleRecord(5, true)));
        cut.resize(cut.size() / 2);
        CHILD_CHECK(write(writer, cut.data(), cut.size()) == static_cast<ssize_t>(cut.size()));
        const MonData_t good = SampleRecord(6, false);
        std::thread late([writer, good] {
            std::this_thread::sleep_for(std::chrono::milliseconds(CHUTE_STALL_MS + 300));
            WriteAll(writer, Frame(Encode(good)));
        });
        MonData_t rec;
        const int got = ChuteGetNext(r, 0, &rec);
        late.join();
        CHILD_CHECK(got == 1);
        CHILD_CHECK(std::memcmp(&rec, &good, sizeof rec) == 0);
        return 0;
    });
    EXPECT_EQ(rc, 0) << "check at line " << rc;
}

// The reader takes in many frames per read.  Frames that straddle the end
// of one read must come out whole and in order, and bytes taken from the
// pipe must never be handed to a read of another descriptor.
TEST(Chute, ReadAheadKeepsFramesWholeInOrderAndToItsPipe) {
    int rc = InChild([] {
        MonHandle_t *r = nullptr;
        int writer = -1;
        CHILD_CHECK(OpenReader(&r, &writer) == 0);
        constexpr int kFrames = 300;  // ~640 KiB: many reads, frames cut anywhere
        std::thread feed([writer] {
            for (int i = 0; i < kFrames; i++) {
                auto f = Frame(Encode(SampleRecord(static_cast<uint32_t>(i + 1), i % 3 != 0)));
                WriteAll(writer, f);
                if (i % 50 == 0) WriteAll(writer, {0, 0});  // an empty frame now and then
            }
        });
        int other[2];
        CHILD_CHECK(pipe(other) == 0);
        std::vector<unsigned char> otherMsg = Bytes(40, 9);
        auto otherFrame = Frame(otherMsg);
        int records = 0, empties = 0;
        while (records < kFrames) {
            MonData_t rec;
            const int got = ChuteGetNext(r, 0, &rec);
            CHILD_CHECK(got >= 0);
            if (got == 0) {
                empties++;
                continue;
            }
            const MonData_t want = SampleRecord(static_cast<uint32_t>(records + 1), records % 3 != 0);
            CHILD_CHECK(std::memcmp(&rec, &want, sizeof rec) == 0);
            records++;
            if (records % 97 == 0) {
                // With frames of the FIFO waiting in the process, a read of a
                // plain pipe gets that pipe's frame and nothing else.
                CHILD_CHECK(write(other[1], otherFrame.data(), otherFrame.size()) ==
                            static_cast<ssize_t>(otherFrame.size()));
                unsigned char buf[MON_MSG_MAX];
                CHILD_CHECK(ChuteRecv(other[0], sizeof buf, buf) == static_cast<int>(otherMsg.size()));
                CHILD_CHECK(std::memcmp(buf, otherMsg.data(), otherMsg.size()) == 0);
            }
        }
        feed.join();
        CHILD_CHECK(empties == kFrames / 50);
        close(writer);
        MonData_t rec;
        errno = 0;
        CHILD_CHECK(ChuteGetNext(r, 0, &rec) == -1 && errno == EPIPE);
        return 0;
    });
    EXPECT_EQ(rc, 0) << "check at line " << rc;
}

// The reader enlarges the pipe, so a burst of the largest reports from a
// non-blocking writer fits whole while the collector is busy elsewhere.
TEST(Chute, ReaderEnlargesPipeForBursts) {
    EXPECT_EQ(InChild([] {
        constexpr int kBurst = 200;
        unlink(kPath);
        int go[2];
        CHILD_CHECK(pipe(go) == 0);
        const pid_t proxy = fork();  // forked before the reader opens: own descriptor
        if (proxy == 0) {
            alarm(30);
            close(go[1]);  // a reader that gives up ends this wait too
            char c;
            if (read(go[0], &c, 1) != 1) _exit(1);
            MonHandle_t *w = nullptr;
            if (QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &w) != 0) _exit(2);
            int put = 0;
            for (int i = 0; i < kBurst; i++) {
                MonData_t rec = SampleRecord(static_cast<uint32_t>(i + 1), true);
                if (ChutePut(w, &rec) == static_cast<int>(Encode(rec).size()) + 2) put++;
            }
            _exit(put == kBurst ? 0 : 3);
        }
        MonHandle_t *r = nullptr;
        int writer = -1;
        CHILD_CHECK(OpenReader(&r, &writer) == 0);
        CHILD_CHECK(fcntl(FdOf(r), F_GETPIPE_SZ) > 65536);
        CHILD_CHECK(write(go[1], "g", 1) == 1);
        int status = 0;
        CHILD_CHECK(waitpid(proxy, &status, 0) == proxy);
        CHILD_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        for (int i = 0; i < kBurst; i++) {
            MonData_t rec;
            CHILD_CHECK(ChuteGetNext(r, 0, &rec) == 1);
            MonData_t want = SampleRecord(static_cast<uint32_t>(i + 1), true);
            CHILD_CHECK(std::memcmp(&rec, &want, sizeof rec) == 0);
        }
        close(writer);
        return 0;
    }), 0);
}

// ---- Writing when the reader cannot take it ------------------------------

// The reader is gone: the put fails with EPIPE, the writer lives on, and
// its signal disposition, mask and pending set are as they were.
TEST(Chute, PutWithoutReaderFailsWithEpipeAndLeavesSignalsAlone) {
    EXPECT_EQ(InChild([] {
        unlink(kPath);
        CHILD_CHECK(mkfifo(kPath, 0666) == 0);
        int reader = open(kPath, O_RDONLY | O_NONBLOCK);
        MonHandle_t *w = nullptr;
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &w) == 0);
        close(reader);

        auto pipePending = [] {
            sigset_t s;
            sigpending(&s);
            return sigismember(&s, SIGPIPE) == 1;
        };
        auto pipeBlocked = [] {
            sigset_t s;
            pthread_sigmask(SIG_SETMASK, nullptr, &s);
            return sigismember(&s, SIGPIPE) == 1;
        };
        struct sigaction before;
        CHILD_CHECK(sigaction(SIGPIPE, nullptr, &before) == 0);
        CHILD_CHECK(before.sa_handler == SIG_DFL);  // a raised SIGPIPE would kill us

        MonData_t rec = SampleRecord(5, false);
        errno = 0;
        CHILD_CHECK(ChutePut(w, &rec) == -1 && errno == EPIPE);
        struct sigaction after;
        CHILD_CHECK(sigaction(SIGPIPE, nullptr, &after) == 0 && after.sa_handler == SIG_DFL);
        CHILD_CHECK(!pipeBlocked() && !pipePending());

        // A caller that blocks SIGPIPE itself: its own pending signal stays
        // pending, and the put adds none.
        sigset_t pipeSet;
        sigemptyset(&pipeSet);
        sigaddset(&pipeSet, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
        CHILD_CHECK(ChutePut(w, &rec) == -1 && errno == EPIPE);
        CHILD_CHECK(pipeBlocked() && !pipePending());
        raise(SIGPIPE);
        CHILD_CHECK(ChutePut(w, &rec) == -1 && errno == EPIPE);
        CHILD_CHECK(pipeBlocked() && pipePending());
        const struct timespec now = {0, 0};
        CHILD_CHECK(sigtimedwait(&pipeSet, nullptr, &now) == SIGPIPE);
        CHILD_CHECK(!pipePending());  // exactly one was pending
        return 0;
    }), 0);
}

// A full pipe costs the report, never a wait.
TEST(Chute, PutToFullPipeFailsAtOnce) {
    testing::internal::CaptureStderr();
    int rc = InChild([] {
        unlink(kPath);
        CHILD_CHECK(mkfifo(kPath, 0666) == 0);
        int reader = open(kPath, O_RDONLY | O_NONBLOCK);  // leaves the default size
        MonHandle_t *w = nullptr;
        CHILD_CHECK(QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &w) == 0);
        const MonData_t rec = SampleRecord(9, true);
        const int frame = static_cast<int>(Encode(rec).size()) + 2;
        int put = 0;
        while (put < 10000 && ChutePut(w, &rec) == frame) put++;
        CHILD_CHECK(errno == EAGAIN);
        const int capacity = fcntl(reader, F_GETPIPE_SZ);
        CHILD_CHECK(put > 0 && put * frame <= capacity);
        std::vector<unsigned char> buf(static_cast<size_t>(frame));
        CHILD_CHECK(read(reader, buf.data(), buf.size()) == frame);
        CHILD_CHECK(ChutePut(w, &rec) == frame);  // room again
        return 0;
    });
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 0) << "check at line " << rc;
    EXPECT_EQ(Count(log, "Failed to write FIFO"), 1u) << log;
}

// ---- Gathering a burst -------------------------------------------------------

// The reader waits a moment before each read at a boundary, so reports
// written meanwhile come in with the same read (the collector then stores
// them in one batch); a signal that cuts the wait short is reported like
// one at a boundary, and the read after it does not wait again.
int gatherWriter = -1;
int gatherPauses = 0;
long gatherAskedUs = 0;
int PauseWritingC(long us) noexcept {
    ++gatherPauses;
    gatherAskedUs = us;
    auto f = Frame(Encode(SampleRecord(3, false)));
    return write(gatherWriter, f.data(), f.size()) == static_cast<ssize_t>(f.size()) ? 0 : -1;
}
int PauseInterrupted(long) noexcept {
    ++gatherPauses;
    errno = EINTR;
    return -1;
}

TEST(Chute, ReaderGathersWhatArrivesWhileItWaits) {
    int rc = InChild([] {
        MonHandle_t *r = nullptr;
        CHILD_CHECK(OpenReader(&r, &gatherWriter) == 0);
        quelm::SeamOverride<quelm::ChuteSys_t> sys(quelm::chuteSys);
        sys->pause = PauseWritingC;
        MonData_t rec;
        // The first read does not wait: nothing was read before it.
        WriteAll(gatherWriter, Frame(Encode(SampleRecord(1, false))));
        CHILD_CHECK(ChuteGetNext(r, 0, &rec) == 1 && rec.pid == 1);
        CHILD_CHECK(gatherPauses == 0);
        CHILD_CHECK(quelm::ChuteNextBuffered(&rec) == 0);
        // B is waiting; C is written during the wait: one read takes both.
        WriteAll(gatherWriter, Frame(Encode(SampleRecord(2, false))));
        CHILD_CHECK(ChuteGetNext(r, 0, &rec) == 1 && rec.pid == 2);
        CHILD_CHECK(gatherPauses == 1 && gatherAskedUs == CHUTE_GATHER_US);
        CHILD_CHECK(quelm::ChuteNextBuffered(&rec) == 1 && rec.pid == 3);
        // A signal during the wait: EINTR, and the retry reads at once.
        sys->pause = PauseInterrupted;
        WriteAll(gatherWriter, Frame(Encode(SampleRecord(4, false))));
        errno = 0;
        CHILD_CHECK(ChuteGetNext(r, 0, &rec) == -1 && errno == EINTR);
        CHILD_CHECK(ChuteGetNext(r, 0, &rec) == 1 && rec.pid == 4);
        CHILD_CHECK(gatherPauses == 2);
        return 0;
    });
    EXPECT_EQ(rc, 0) << "check at line " << rc;
}

}  // namespace
