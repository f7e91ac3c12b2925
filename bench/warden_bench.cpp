// Load benchmark of the warden daemon, each figure beside a raw baseline of
// the system calls the daemon cannot avoid:
//   ingest:  report frames through /tmp/mon.fifo into the store (1 and 4
//            writers), against the same frames read from a pipe and dropped;
//   burst:   reports lost by a non-blocking writer sending 200 at once;
//   stream:  a viewer's change stream of 382 (and of 5) records, against the
//            same frames written one writev each over loopback;
//   keyed:   one keyed-read round trip, against a raw request/reply;
//   connect: a viewer's connect (fork, store attach, seeding) and first
//            reply, against a raw fork-per-connection server.
// The program re-runs itself under quelm_isolate, so it never meets a real
// warden, its pipe, store or port.
#include <quelm/monitor.h>

#include <benchmark/benchmark.h>

#include "bench_common.h"
#include "records.h"
#include "warden_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int kIngestFrames = 40000;   // frames per ingest run, all writers together
constexpr int kSessionsPerWriter = 50; // keys each ingest writer reports on
constexpr int kBurst = 200;            // reports of one non-blocking burst
constexpr int kStreamRecords = 382;    // records of the large change stream
constexpr int kSmallStream = 5;        // records of the latency stream
constexpr uint16_t kRawPort = 6051;    // port of the raw baseline servers

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// ---- records and frames ----

using testsupport::TypicalRecord;

// The largest record message: every field at full size.
MonData_t MaxRecord(uint32_t pid, uint32_t handle, uint16_t num, uint32_t flags)
{
    MonData_t r = testsupport::Bulky(TypicalRecord(pid, handle, num, flags));
    memset(r.addrC, 0x33, MON_ADDR_SIZE);
    for (char *t : {r.text1, r.text2, r.text3, r.text4, r.statusText}) {
        memset(t, 'x', MON_TEXT_SIZE - 1);
        t[MON_TEXT_SIZE - 1] = '\0';
    }
    memset(r.text5, 'y', MON_TEXT5_SIZE - 1);
    r.text5[MON_TEXT5_SIZE - 1] = '\0';
    return r;
}

Bytes Encode(const MonData_t &rec)
{
    Bytes msg(MON_MSG_MAX);
    msg.resize(static_cast<size_t>(ParcelPutData(&rec, msg.data())));
    return msg;
}

Bytes Frame(const Bytes &msg)
{
    Bytes f(2 + msg.size());
    f[0] = static_cast<unsigned char>(msg.size() >> 8);
    f[1] = static_cast<unsigned char>(msg.size());
    std::copy(msg.begin(), msg.end(), f.begin() + 2);
    return f;
}

using testsupport::WriteAll;

// Writes one frame into a non-blocking pipe as one write, waiting for room
// whenever the pipe is full.
void WriteFrameWaiting(int fd, const Bytes &frame)
{
    for (;;) {
        const ssize_t w = write(fd, frame.data(), frame.size());
        if (w == static_cast<ssize_t>(frame.size()))
            return;
        if (w < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        _exit(3);
    }
}

// ---- reading frames: one buffered reader for every client ----

// ---- the warden under test ----

class Warden {
public:
    // Starts a fresh daemon (new, empty store), stopping any earlier one.
    void Restart()
    {
        Stop();
        unlink("/tmp/mon.pid");
        if (!daemon_.Start({{}, 0, {}, true, nullptr})) {
            fprintf(stderr, "warden_bench: warden did not come up:\n%s", daemon_.Log().c_str());
            exit(1);
        }
        writer_ = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const int fd = open("/tmp/mon.mmap", O_RDONLY);
        header_ = static_cast<const ShelfHeader_t *>(
            mmap(nullptr, SHELF_MMAP_SIZE, PROT_READ, MAP_SHARED, fd, 0));
        close(fd);
        WaitViewersGone();
    }

    void Stop()
    {
        // The workers come back to this subreaper: collect them, so the
        // port is free for the next start.
        daemon_.Stop(SIGTERM, true);
        Until([] { return !testsupport::ViewerPortListening(); });
        if (writer_ >= 0)
            close(writer_);
        writer_ = -1;
        if (header_ != nullptr)
            munmap(const_cast<ShelfHeader_t *>(header_), SHELF_MMAP_SIZE);
        header_ = nullptr;
    }

    uint32_t PutCount() const { return __atomic_load_n(&header_->putCount, __ATOMIC_ACQUIRE); }
    uint32_t HashCount() const { return __atomic_load_n(&header_->hashCount, __ATOMIC_ACQUIRE); }
    uint32_t Slot(int s) const { return __atomic_load_n(&header_->clientPid[s], __ATOMIC_ACQUIRE); }
    int Writer() const { return writer_; }

    // Waits until the collector has stored starts started records in all.
    void WaitPutCount(uint32_t starts) const
    {
        while (PutCount() < starts)
            usleep(100);
    }

    void WaitViewersGone() const
    {
        Until([this] {
            for (int s = MON_SLOT_VIEWER_FIRST; s <= MON_SLOT_VIEWER_LAST; ++s)
                if (Slot(s) != 0)
                    return false;
            return true;
        });
    }

    static int Connectable(uint16_t port)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    static void Until(const std::function<bool()> &cond)
    {
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (!cond()) {
            if (Clock::now() > end) {
                fprintf(stderr, "warden_bench: the daemon did not come up\n");
                exit(1);
            }
            usleep(1000);
        }
    }

private:
    testsupport::Warden daemon_;
    int writer_ = -1;
    const ShelfHeader_t *header_ = nullptr;
};

Warden warden;

// Writes frames (records by value) into the daemon's pipe and waits until
// the last one, which must carry the start flag, is stored.
void PutAll(const std::vector<MonData_t> &recs)
{
    const uint32_t want = warden.PutCount() + 1;
    for (const MonData_t &r : recs)
        WriteFrameWaiting(warden.Writer(), Frame(Encode(r)));
    warden.WaitPutCount(want);
}

// ---- raw baseline servers ----

// Forks a server on the raw port; serve runs in a child per connection
// (perConnectionFork) or in the server itself, on a connection with Nagle's
// algorithm on (the default) or off (nodelay).  Returns the server's PID.
pid_t RawServer(const std::function<void(int)> &serve, bool perConnectionFork, bool nodelay)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    signal(SIGCHLD, SIG_IGN); // children reap themselves
    const int ls = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kRawPort);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(ls, 5) != 0)
        _exit(2);
    for (;;) {
        const int c = accept(ls, nullptr, nullptr);
        if (c < 0)
            continue;
        if (nodelay)
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (!perConnectionFork) {
            serve(c);
            close(c);
            continue;
        }
        if (fork() == 0) {
            close(ls);
            serve(c);
            _exit(1);
        }
        close(c);
    }
}

void StopRaw(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int ConnectRaw()
{
    int fd = -1;
    Warden::Until([&] { return (fd = Warden::Connectable(kRawPort)) >= 0; });
    return fd;
}

// Reads one request frame the way the daemon's framing does: the 2-byte
// header, then the payload.  False at end of stream.
bool RawRecvRequest(int fd, unsigned char *buf)
{
    unsigned char hdr[2];
    if (read(fd, hdr, 2) != 2)
        return false;
    const size_t len = static_cast<size_t>(hdr[0] << 8 | hdr[1]);
    size_t got = 0;
    while (got < len) {
        const ssize_t r = read(fd, buf + got, len - got);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// One frame in one writev of header and payload, as the framing sends it.
void RawSendFrame(int fd, const Bytes &msg)
{
    unsigned char hdr[2] = {static_cast<unsigned char>(msg.size() >> 8),
                            static_cast<unsigned char>(msg.size())};
    iovec iov[2] = {{hdr, 2}, {const_cast<unsigned char *>(msg.data()), msg.size()}};
    if (writev(fd, iov, msg.empty() ? 1 : 2) != static_cast<ssize_t>(2 + msg.size()))
        _exit(4);
}

// ---- (a) and (b): ingest ----

// Forks writers that share count frames (typical records; each writer
// starts its sessions first, then reports updates on them) and writes them
// into fd.  Returns their PIDs.
std::vector<pid_t> StartWriters(int fd, int writers, int count, std::atomic<int> *gate)
{
    std::vector<pid_t> pids;
    for (int w = 0; w < writers; ++w) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<Bytes> starts, updates;
            for (int s = 0; s < kSessionsPerWriter; ++s) {
                starts.push_back(Frame(Encode(TypicalRecord(getppid(), 100 + w, s, MON_FLAG_START))));
                updates.push_back(Frame(Encode(TypicalRecord(getppid(), 100 + w, s, MON_FLAG_UPDATE))));
            }
            while (gate->load() == 0)
                usleep(50);
            const int mine = count / writers;
            for (int i = 0; i < mine; ++i)
                WriteFrameWaiting(fd, i < kSessionsPerWriter ? starts[i] : updates[i % kSessionsPerWriter]);
            _exit(0);
        }
        pids.push_back(pid);
    }
    return pids;
}

// A shared word the writers wait on, so forking is not part of the timing.
std::atomic<int> *Gate()
{
    static auto *g = static_cast<std::atomic<int> *>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    return g;
}

// Per-operation seconds of a benchmark run, from its manual iteration times.
class Timer {
public:
    explicit Timer(benchmark::State &state) : state_(state) {}
    void Start() { t0_ = Clock::now(); }
    void Stop()
    {
        const double s = Seconds(Clock::now() - t0_);
        state_.SetIterationTime(s);
        total_ += s;
        ++count_;
    }
    // Records the mean seconds per iteration under name for the summary.
    void Publish(const std::string &name) const
    {
        if (count_ > 0)
            results[name].push_back(total_ / count_);
    }

private:
    benchmark::State &state_;
    Clock::time_point t0_;
    double total_ = 0;
    long count_ = 0;
};

std::string Name(const char *base, int64_t arg)
{
    return std::string(base) + "/" + std::to_string(arg);
}

void BM_IngestWarden(benchmark::State &state)
{
    const int writers = static_cast<int>(state.range(0));
    warden.Restart();
    const int fd = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    Timer timer(state);
    for (auto _ : state) {
        Gate()->store(0);
        const std::vector<pid_t> pids = StartWriters(fd, writers, kIngestFrames, Gate());
        const uint32_t before = warden.PutCount();
        timer.Start();
        Gate()->store(1);
        for (pid_t p : pids)
            waitpid(p, nullptr, 0);
        // The sentinel follows every frame the writers sent; once it is
        // stored (with the writers' session starts), so is everything else.
        WriteFrameWaiting(fd, Frame(Encode(TypicalRecord(getpid(), 1, 0, MON_FLAG_START))));
        warden.WaitPutCount(before + static_cast<uint32_t>(writers * kSessionsPerWriter) + 1);
        timer.Stop();
    }
    close(fd);
    timer.Publish(Name("ingest.warden", writers));
    state.SetItemsProcessed(state.iterations() * kIngestFrames);
    state.counters["frame_bytes"] = static_cast<double>(Frame(Encode(TypicalRecord(1, 1, 1, 1))).size());
}

void BM_IngestRawPipe(benchmark::State &state)
{
    const int writers = static_cast<int>(state.range(0));
    Timer timer(state);
    for (auto _ : state) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        fcntl(p[1], F_SETPIPE_SZ, 1024 * 1024); // as the collector asks for its pipe
        fcntl(p[1], F_SETFL, O_NONBLOCK);
        const pid_t reader = fork();
        if (reader == 0) {
            close(p[1]);
            unsigned char buf[MON_MSG_MAX];
            for (int n = 0; n < kIngestFrames; ++n)
                if (!RawRecvRequest(p[0], buf))
                    _exit(2);
            _exit(0);
        }
        close(p[0]);
        Gate()->store(0);
        const std::vector<pid_t> pids = StartWriters(p[1], writers, kIngestFrames, Gate());
        timer.Start();
        Gate()->store(1);
        for (pid_t w : pids)
            waitpid(w, nullptr, 0);
        waitpid(reader, nullptr, 0);
        timer.Stop();
        close(p[1]);
    }
    timer.Publish(Name("ingest.raw", writers));
    state.SetItemsProcessed(state.iterations() * kIngestFrames);
}

// Reports lost when one non-blocking writer sends kBurst maximum-size
// reports back to back through the library's pipe writer.
void BM_BurstLoss(benchmark::State &state)
{
    warden.Restart();
    MonHandle_t *w = nullptr;
    if (QxChuteOpen("mon.fifo", MON_FIFO_WRITER, &w) != 0) {
        state.SkipWithError("writer open failed");
        return;
    }
    std::vector<MonData_t> recs;
    for (int i = 0; i < kBurst; ++i)
        recs.push_back(MaxRecord(getpid(), 7, static_cast<uint16_t>(i), MON_FLAG_START));
    int lost = 0, sent = 0;
    Timer timer(state);
    for (auto _ : state) {
        timer.Start();
        for (const MonData_t &r : recs) {
            if (QxMonSendData(w, &r) < 0)
                ++lost;
            else
                ++sent;
        }
        timer.Stop();
        warden.WaitPutCount(static_cast<uint32_t>(sent)); // drained before the next burst
    }
    QxMonClose(w);
    state.counters["lost"] = lost;
    state.counters["sent"] = sent;
    state.counters["pipe_bytes"] = fcntl(warden.Writer(), F_GETPIPE_SZ);
    state.counters["frame_bytes"] = static_cast<double>(Frame(Encode(recs[0])).size());
    results["burst.lost"].push_back(lost);
    results["burst.sent"].push_back(sent);
}

// ---- (c): change streams ----

std::vector<MonData_t> StreamRecords(int n, uint32_t flags)
{
    std::vector<MonData_t> recs;
    for (int i = 0; i < n; ++i)
        recs.push_back(TypicalRecord(getpid(), 2, static_cast<uint16_t>(i), flags));
    return recs;
}

// A store holding the large stream's records, all alive.
void LoadStreamScene()
{
    warden.Restart();
    PutAll(StreamRecords(kStreamRecords, MON_FLAG_START));
}

constexpr unsigned char kStreamRequest[4] = {0, 2, 2, 0}; // frame: type 2, changes only

void BM_StreamWarden(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    LoadStreamScene();
    const int fd = Warden::Connectable(MON_VIEWER_PORT);
    FrameReader in(fd);
    WriteAll(fd, kStreamRequest, sizeof kStreamRequest);
    ReadStream(in); // the seeded first stream
    std::vector<MonData_t> changes = StreamRecords(n, MON_FLAG_UPDATE);
    changes.back().flags |= MON_FLAG_START; // counted: marks the batch as stored
    int got = 0;
    Timer timer(state);
    for (auto _ : state) {
        PutAll(changes);
        timer.Start();
        WriteAll(fd, kStreamRequest, sizeof kStreamRequest);
        got = ReadStream(in);
        timer.Stop();
    }
    close(fd);
    if (got != n) {
        state.SkipWithError("stream returned the wrong number of records");
        return;
    }
    timer.Publish(Name("stream.warden", n));
    state.SetItemsProcessed(state.iterations() * n);
}

// The same frames, one writev each, from a server that does nothing else.
void BM_StreamRaw(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    const bool nodelay = state.range(1) != 0;
    std::vector<Bytes> msgs;
    for (const MonData_t &r : StreamRecords(n, MON_FLAG_UPDATE))
        msgs.push_back(Encode(r));
    const pid_t server = RawServer([&](int c) {
        unsigned char buf[MON_MSG_MAX];
        while (RawRecvRequest(c, buf)) {
            for (const Bytes &m : msgs)
                RawSendFrame(c, m);
            RawSendFrame(c, {});
        }
    }, false, nodelay);
    const int fd = ConnectRaw();
    FrameReader in(fd);
    int got = 0;
    Timer timer(state);
    for (auto _ : state) {
        timer.Start();
        WriteAll(fd, kStreamRequest, sizeof kStreamRequest);
        got = ReadStream(in);
        timer.Stop();
    }
    close(fd);
    StopRaw(server);
    if (got != n) {
        state.SkipWithError("raw stream returned the wrong number of records");
        return;
    }
    timer.Publish(Name(nodelay ? "stream.raw_nodelay" : "stream.raw_nagle", n));
    state.SetItemsProcessed(state.iterations() * n);
}

// ---- (d): keyed read ----

Bytes KeyedRequestFrame(const MonData_t &key)
{
    Bytes f(3 + MON_KEY_SIZE);
    f[1] = 1 + MON_KEY_SIZE;
    f[2] = 1; // keyed read
    memcpy(f.data() + 3, &key, MON_KEY_SIZE);
    return f;
}

void KeyedLoop(benchmark::State &state, int fd, const Bytes &req, const std::string &name)
{
    FrameReader in(fd);
    const unsigned char *p;
    int len = 0;
    Timer timer(state);
    for (auto _ : state) {
        timer.Start();
        WriteAll(fd, req.data(), req.size());
        len = in.Next(&p);
        timer.Stop();
    }
    if (len <= 0) {
        state.SkipWithError("no record in the reply");
        return;
    }
    timer.Publish(name);
    state.counters["reply_bytes"] = len;
}

void BM_KeyedWarden(benchmark::State &state)
{
    LoadStreamScene();
    const int fd = Warden::Connectable(MON_VIEWER_PORT);
    KeyedLoop(state, fd, KeyedRequestFrame(TypicalRecord(getpid(), 2, 17, 0)), "keyed.warden");
    close(fd);
}

void BM_KeyedRaw(benchmark::State &state)
{
    const bool nodelay = state.range(0) != 0;
    const Bytes reply = Encode(TypicalRecord(getpid(), 2, 17, MON_FLAG_START));
    const pid_t server = RawServer([&](int c) {
        unsigned char buf[MON_MSG_MAX];
        while (RawRecvRequest(c, buf))
            RawSendFrame(c, reply);
    }, false, nodelay);
    const int fd = ConnectRaw();
    KeyedLoop(state, fd, KeyedRequestFrame(TypicalRecord(getpid(), 2, 17, 0)),
              nodelay ? "keyed.raw_nodelay" : "keyed.raw_nagle");
    close(fd);
    StopRaw(server);
}

// ---- (e): connect ----

// connect, one keyed read of an absent key (the empty frame comes back),
// close.  False if the reply was not the empty frame.
bool ConnectOnce(uint16_t port, const Bytes &req)
{
    const int fd = Warden::Connectable(port);
    if (fd < 0)
        return false;
    WriteAll(fd, req.data(), req.size());
    unsigned char reply[2];
    const bool ok = read(fd, reply, 2) == 2 && reply[0] == 0 && reply[1] == 0;
    close(fd);
    return ok;
}

void BM_ConnectWarden(benchmark::State &state)
{
    const int records = static_cast<int>(state.range(0));
    warden.Restart();
    if (records > 0)
        PutAll(StreamRecords(records, MON_FLAG_START));
    const Bytes req = KeyedRequestFrame(TypicalRecord(1, 1, 1, 0));
    bool ok = true;
    Timer timer(state);
    for (auto _ : state) {
        timer.Start();
        ok = ConnectOnce(MON_VIEWER_PORT, req) && ok;
        timer.Stop();
        warden.WaitViewersGone(); // four slots: let the viewer leave first
    }
    if (!ok) {
        state.SkipWithError("a connection got no empty frame");
        return;
    }
    timer.Publish(Name("connect.warden", records));
}

void BM_ConnectRaw(benchmark::State &state)
{
    const pid_t server = RawServer([](int c) {
        unsigned char buf[MON_MSG_MAX];
        while (RawRecvRequest(c, buf))
            RawSendFrame(c, {});
    }, true, false);
    const Bytes req = KeyedRequestFrame(TypicalRecord(1, 1, 1, 0));
    Warden::Until([&] { return ConnectOnce(kRawPort, req); });
    bool ok = true;
    Timer timer(state);
    for (auto _ : state) {
        timer.Start();
        ok = ConnectOnce(kRawPort, req) && ok;
        timer.Stop();
    }
    StopRaw(server);
    if (!ok) {
        state.SkipWithError("a connection got no empty frame");
        return;
    }
    timer.Publish("connect.raw");
}

// Prints warden against raw for one figure: both as given, and their ratio.
void Compare(const char *what, const char *unit, double warden, double raw, const char *aim)
{
    printf("  %-30s warden %11.1f  raw %11.1f %-6s ratio %5.2f  %s\n", what, warden, raw, unit,
           warden / raw, aim);
}

bool Have(std::initializer_list<const char *> keys)
{
    for (const char *k : keys)
        if (results.count(k) == 0)
            return false;
    return true;
}

void PrintSummary()
{
    printf("\nSummary (medians of the repetitions in this run; warden against raw baseline):\n");
    for (int w : {1, 4}) {
        const std::string m = Name("ingest.warden", w), r = Name("ingest.raw", w);
        if (Have({m.c_str(), r.c_str()}))
            Compare(w == 1 ? "ingest, 1 writer" : "ingest, 4 writers", "rec/s",
                    kIngestFrames / Median(m), kIngestFrames / Median(r), "(aim: ratio >= 0.7)");
    }
    if (Have({"burst.lost", "burst.sent"})) {
        double lost = 0, sent = 0;
        for (double v : results["burst.lost"])
            lost += v;
        for (double v : results["burst.sent"])
            sent += v;
        printf("  burst of %d max-size reports, repeated: %.0f lost of %.0f (aim 0)\n", kBurst, lost,
               lost + sent);
    }
    for (const char *raw : {"stream.raw_nodelay/382", "stream.raw_nagle/382"})
        if (Have({"stream.warden/382", raw}))
            Compare(strstr(raw, "nodelay") ? "stream of 382 vs nodelay" : "stream of 382 vs nagle",
                    "rec/s", kStreamRecords / Median("stream.warden/382"),
                    kStreamRecords / Median(raw), "(aim: ratio >= 0.8)");
    for (const char *raw : {"stream.raw_nodelay/5", "stream.raw_nagle/5"})
        if (Have({"stream.warden/5", raw}))
            Compare(strstr(raw, "nodelay") ? "stream of 5 vs nodelay" : "stream of 5 vs nagle", "us",
                    Median("stream.warden/5") * 1e6, Median(raw) * 1e6, "(aim: warden < 1000 us)");
    for (const char *raw : {"keyed.raw_nodelay", "keyed.raw_nagle"})
        if (Have({"keyed.warden", raw}))
            Compare(strstr(raw, "nodelay") ? "keyed read vs nodelay" : "keyed read vs nagle", "us",
                    Median("keyed.warden") * 1e6, Median(raw) * 1e6, "(aim: ratio <= 1.3)");
    for (const char *m : {"connect.warden/0", "connect.warden/382"})
        if (Have({m, "connect.raw"}))
            Compare(strstr(m, "/0") ? "connect, empty store" : "connect, 382 records", "us",
                    Median(m) * 1e6, Median("connect.raw") * 1e6, "(aim: ratio <= 1.5)");
}

} // namespace

int main(int argc, char **argv)
{
    if (getenv("QUELM_ISOLATED") == nullptr)
        return RunIsolated(argc, argv, QUELM_ISOLATE, "warden_bench");
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    signal(SIGPIPE, SIG_IGN);

    using benchmark::RegisterBenchmark;
    const auto ms = benchmark::kMillisecond;
    const auto us = benchmark::kMicrosecond;
    // Every figure is taken three times, the repetitions of all figures
    // shuffled together (random interleaving, unless the command line says
    // otherwise), and the summary compares medians: other work on the
    // machine then shows up as single slow repetitions on either side.
    const int reps = 3;
    RegisterBenchmark("Ingest/warden", BM_IngestWarden)->Arg(1)->Arg(4)->Iterations(3)->Repetitions(reps)->UseManualTime()->Unit(ms);
    RegisterBenchmark("Ingest/rawpipe", BM_IngestRawPipe)->Arg(1)->Arg(4)->Iterations(3)->Repetitions(reps)->UseManualTime()->Unit(ms);
    RegisterBenchmark("Burst/warden", BM_BurstLoss)->Iterations(10)->UseManualTime()->Unit(us);
    RegisterBenchmark("Stream/warden", BM_StreamWarden)->ArgName("records")->Arg(kStreamRecords)->Arg(kSmallStream)->Iterations(100)->Repetitions(reps)->UseManualTime()->Unit(us);
    RegisterBenchmark("Stream/raw", BM_StreamRaw)->ArgNames({"records", "nodelay"})
        ->Args({kStreamRecords, 0})->Args({kStreamRecords, 1})->Args({kSmallStream, 0})->Args({kSmallStream, 1})
        ->Iterations(100)->Repetitions(reps)->UseManualTime()->Unit(us);
    RegisterBenchmark("Keyed/warden", BM_KeyedWarden)->Iterations(5000)->Repetitions(reps)->UseManualTime()->Unit(us);
    RegisterBenchmark("Keyed/raw", BM_KeyedRaw)->ArgName("nodelay")->Arg(0)->Arg(1)->Iterations(5000)->Repetitions(reps)->UseManualTime()->Unit(us);
    RegisterBenchmark("Connect/warden", BM_ConnectWarden)->ArgName("records")->Arg(0)->Arg(kStreamRecords)->Iterations(100)->Repetitions(reps)->UseManualTime()->Unit(us);
    RegisterBenchmark("Connect/raw", BM_ConnectRaw)->Iterations(100)->Repetitions(reps)->UseManualTime()->Unit(us);

    std::vector<char *> flags{argv[0], const_cast<char *>("--benchmark_enable_random_interleaving=true")};
    for (int i = 1; i < argc; ++i)
        flags.push_back(argv[i]);
    int flagCount = static_cast<int>(flags.size());
    flags.push_back(nullptr);
    benchmark::Initialize(&flagCount, flags.data());
    benchmark::RunSpecifiedBenchmarks();
    warden.Stop();
    PrintSummary();
    benchmark::Shutdown();
    return 0;
}
