// e2e_test.cpp - the whole road of a report: the real daemon (warden -f), a
// proxy stand-in reporting through the pipe and another straight into the
// store, and a viewer reading them back over TCP.  The reporter and the
// viewer are the C99 programs in examples/, built against nothing but the
// public header and the library, and driven line by line.  Runs under
// quelm_isolate: /tmp, IPC and port 5051 are this test's own.

#include <quelm/monitor.h>

#include <gtest/gtest.h>

#include "warden_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kExamples = QUELM_BINARY_DIR "/examples/";

// A child program with its standard input and output on pipes.
class Proc {
public:
    explicit Proc(const std::vector<std::string> &argv, bool quiet = false) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (quiet) {
                const int null = open("/dev/null", O_WRONLY);
                dup2(null, 2);
            }
            // Nothing of the test's (pipes, viewer connections) may live on
            // in the child, or a connection the test closes stays open.
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            std::vector<char *> args;
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Proc() {
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

    // The next line of output, or "" after timeout or the end of output.
    std::string Line(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return "";
            pollfd p = {out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return "";
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Sends one command line and returns the first line of the answer.
    std::string Ask(const std::string &command) {
        const std::string line = command + "\n";
        if (write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
        return Line();
    }
    // Exit status as waitpid gives it, or -1 when it does not end in time.
    int Wait(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        int status = 0;
        while (Clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return status;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buf_;
    bool reaped_ = false;
};

using testsupport::ViewerPortListening;

// Opens a writer on the pipe once the collector waits on it: the
// descriptor, or -1.  The test holds it until the daemon stops: the last
// writer's leaving would send the collector to sleep for seconds.
int PipeWriter() {
    return open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
}

template <class Pred>
bool Eventually(Pred pred, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return pred();
}

// A record line of view_demo.
struct Seen {
    unsigned long pid = 0, handleNum = 0, recordNum = 0, flags = 0, a = 0, b = 0;
    long status = 0, end = 0;
    std::string text1, statusText;
};

bool Parse(const std::string &line, Seen *s) {
    char t1[200] = "", st[200] = "";
    const int n = sscanf(line.c_str(),
                         "rec %lu %lu %lu flags=0x%lx a=%lu b=%lu status=%ld end=%ld text1=[%199[^]]] stext=[%199[^]]]",
                         &s->pid, &s->handleNum, &s->recordNum, &s->flags, &s->a, &s->b, &s->status,
                         &s->end, t1, st);
    if (n < 8) return false;
    s->text1 = t1;
    s->statusText = st;
    return true;
}

using Key = std::tuple<unsigned long, unsigned long, unsigned long>;

// What a viewer has learnt from its streams: per key the latest record and
// every change bit it was given.
struct ViewerLog {
    std::map<Key, Seen> latest;
    std::map<Key, unsigned long> bits;
};

// One change stream through view_demo, folded into log; false on failure.
bool Stream(Proc &viewer, ViewerLog *log) {
    std::string line = viewer.Ask("stream");
    while (line.starts_with("rec ")) {
        Seen s;
        if (!Parse(line, &s)) return false;
        const Key k{s.pid, s.handleNum, s.recordNum};
        log->latest[k] = s;
        log->bits[k] |= s.flags;
        line = viewer.Line();
    }
    return line == "done 0";
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
#ifndef WARDEN_BIN
        GTEST_SKIP() << "the daemon is not built";
#else
        ASSERT_EQ(access((kExamples + "report_demo").c_str(), X_OK), 0) << kExamples;
        unlink("/tmp/mon.pid");
        ASSERT_TRUE(warden_.Start({{}, 0, {}, true, nullptr})) << warden_.Log();
        pipeFd_ = PipeWriter();
        ASSERT_GE(pipeFd_, 0);
#endif
    }
    void TearDown() override { StopWarden(); }

    void StopWarden() {
#ifdef WARDEN_BIN
        warden_.Stop();
#endif
        // Its workers go on their own SIGINT; the next daemon needs the port.
        EXPECT_TRUE(Eventually([] { return !ViewerPortListening(); }));
        if (pipeFd_ >= 0) close(pipeFd_);
        pipeFd_ = -1;
    }

#ifdef WARDEN_BIN
    testsupport::Warden warden_;
#endif
    int pipeFd_ = -1;
};

TEST_F(EndToEnd, ViewerSeesPipeAndStoreSessionsFromStartToEnd) {
    Proc viewer({kExamples + "view_demo", "127.0.0.1"});
    ASSERT_EQ(viewer.Line(), "open 0");
    ViewerLog log;
    ASSERT_TRUE(Stream(viewer, &log));
    EXPECT_TRUE(log.latest.empty());

    Proc piped({kExamples + "report_demo", "1"});
    Proc stored({kExamples + "report_demo", "2"});
    ASSERT_EQ(piped.Line(), "open 0");
    ASSERT_EQ(stored.Line(), "open 0");
    const Key p{static_cast<unsigned long>(piped.pid()), 0, 1};
    const Key s{static_cast<unsigned long>(stored.pid()), 0, 1};

    EXPECT_NE(piped.Ask("start alice"), "ok -1");
    EXPECT_EQ(stored.Ask("start bob"), "ok 0");
    auto bitsOf = [&](const Key &k) { return log.bits.count(k) ? log.bits[k] : 0ul; };
    auto until = [&](auto pred) { return Eventually([&] { return Stream(viewer, &log) && pred(); }); };
    ASSERT_TRUE(until([&] { return (bitsOf(p) & 1) && (bitsOf(s) & 1); }));
    EXPECT_EQ(log.latest[p].text1, "alice");
    EXPECT_EQ(log.latest[s].text1, "bob");

    EXPECT_NE(piped.Ask("update 100 50"), "ok -1");
    EXPECT_EQ(stored.Ask("update 300 70"), "ok 0");
    ASSERT_TRUE(until([&] { return log.latest[p].a == 100 && log.latest[s].a == 300; }));
    EXPECT_TRUE(bitsOf(p) & 2);
    EXPECT_TRUE(bitsOf(s) & 2);
    EXPECT_EQ(log.latest[p].b, 50u);
    EXPECT_EQ(log.latest[s].b, 70u);

    EXPECT_NE(piped.Ask("status 7 busy"), "ok -1");
    EXPECT_EQ(stored.Ask("status 9 idle"), "ok 0");
    ASSERT_TRUE(until([&] { return (bitsOf(p) & 4) && (bitsOf(s) & 4); }));
    EXPECT_EQ(log.latest[p].status, 7);
    EXPECT_EQ(log.latest[p].statusText, "busy");
    EXPECT_EQ(log.latest[s].statusText, "idle");

    // Keyed reads find each live session with its counters and texts.
    for (const auto &[key, text, a, stext] :
         {std::tuple{p, "alice", 100ul, "busy"}, std::tuple{s, "bob", 300ul, "idle"}}) {
        Seen r;
        const std::string got = viewer.Ask("get " + std::to_string(std::get<0>(key)) + " 0 1");
        ASSERT_TRUE(Parse(got, &r)) << got;
        EXPECT_EQ(r.text1, text);
        EXPECT_EQ(r.a, a);
        EXPECT_EQ(r.statusText, stext);
        EXPECT_EQ(r.end, 0);
    }
    EXPECT_EQ(viewer.Ask("get 1 2 3"), "none -1");

    // The counters move by the running counters' differences.
    EXPECT_NE(piped.Ask("update 250 60"), "ok -1");
    EXPECT_EQ(piped.Ask("end"), "ok 0");
    EXPECT_EQ(stored.Ask("end"), "ok 0");
    ASSERT_TRUE(until([&] { return (bitsOf(p) & 8) && (bitsOf(s) & 8); }));
    EXPECT_EQ(log.latest[p].a, 250u);
    EXPECT_EQ(log.latest[p].b, 60u);
    EXPECT_NE(log.latest[p].end, 0);
    EXPECT_NE(log.latest[s].end, 0);

    // The next session of a handle is a new record, its counters from zero.
    EXPECT_EQ(stored.Ask("start carol"), "ok 0");
    EXPECT_EQ(stored.Ask("update 5 6"), "ok 0");
    const Key s2{std::get<0>(s), 0, 2};
    ASSERT_TRUE(until([&] { return log.latest.count(s2) && log.latest[s2].a == 5; }));
    EXPECT_EQ(log.latest[s2].text1, "carol");
    EXPECT_EQ(log.latest[s2].status, 0);
    EXPECT_EQ(log.latest[s2].statusText, "");

    for (Proc *r : {&piped, &stored}) {
        EXPECT_EQ(r->Ask("quit"), "closed 0");
        EXPECT_EQ(r->Wait(), 0);
    }
    EXPECT_TRUE(viewer.Ask("quit").empty());
    EXPECT_EQ(viewer.Wait(), 0);
}

TEST_F(EndToEnd, FifthViewerIsRefusedOnItsFirstReadNotLeftHanging) {
    std::vector<MonHandle_t *> served;
    MonData_t r;
    for (int i = 0; i < 4; ++i) {
        MonHandle_t *h = nullptr;
        ASSERT_EQ(QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &h), 0);
        ASSERT_EQ(QxMonRecvNextData(h, 0, &r), 0);  // answered: its slot is taken
        served.push_back(h);
    }
    Proc fifth({kExamples + "view_demo", "127.0.0.1"});
    ASSERT_EQ(fifth.Line(), "open 0");
    EXPECT_EQ(fifth.Ask("stream"), "done -1");

    // The four go on being served; once one leaves, a new viewer is.
    for (MonHandle_t *h : served) EXPECT_EQ(QxMonRecvNextData(h, 0, &r), 0);
    EXPECT_EQ(QxMonClose(served.back()), 0);
    served.pop_back();
    EXPECT_TRUE(Eventually([&] {
        MonHandle_t *h = nullptr;
        if (QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &h) != 0) return false;
        const bool ok = QxMonRecvNextData(h, 0, &r) == 0;
        QxMonClose(h);
        return ok;
    }));
    for (MonHandle_t *h : served) EXPECT_EQ(QxMonClose(h), 0);
}

TEST_F(EndToEnd, ProxyOutlivesTheDaemon) {
    Proc piped({kExamples + "report_demo", "1"}, true);
    ASSERT_EQ(piped.Line(), "open 0");
    EXPECT_NE(piped.Ask("start alice"), "ok -1");
    StopWarden();
    // Once the collector has gone, reports fail instead of killing the proxy.
    EXPECT_TRUE(Eventually([&] { return piped.Ask("start again") == "ok -1"; }));
    EXPECT_EQ(piped.Ask("end"), "ok -1");
    EXPECT_EQ(piped.Ask("quit"), "closed 0");
    const int status = piped.Wait();
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
