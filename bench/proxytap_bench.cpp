// proxytap_bench.cpp - what the client libraries cost against the system
// calls they cannot avoid, in one run:
//   - a report that sends (pipe transport, a reader process draining the
//     pipe; SIGPIPE at its default action, then ignored) against encoding
//     the same record and one writev into the pipe,
//     that baseline with the SIGPIPE guard around the writev, and the
//     transport's put alone;
//   - a report the throttle holds back (no send at all);
//   - a viewer reading a whole 382-record stream from the real daemon
//     through the viewer client, against a raw socket reading and decoding
//     the same frames.
// Re-executes itself under quelm_isolate, so it never meets a real warden.

#include "proxytap_internal.h"
#include "warden_fixture.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *kFifo = "/tmp/mon.fifo";
constexpr int kStreamRecords = 382;  // what the store holds when full

MonConnInfo_t Connection() {
    MonConnInfo_t c;
    memset(&c, 0, sizeof c);
    snprintf(c.text1, sizeof c.text1, "alice@example.org");
    snprintf(c.text2, sizeof c.text2, "CONNECT");
    snprintf(c.text3, sizeof c.text3, "www.example.com:443");
    snprintf(c.text4, sizeof c.text4, "username/password");
    snprintf(c.text5, sizeof c.text5, "tcp");
    c.code1 = 1;
    c.code2 = 5;
    // Addresses as the proxy keeps them: a sockaddr in a 260-byte block.
    for (unsigned char *a : {c.addrA, c.addrB, c.addrC}) {
        a[0] = AF_INET;
        a[2] = 0x1f;
        a[3] = 0x90;
        a[4] = 10;
        a[7] = static_cast<unsigned char>(a == c.addrA ? 1 : a == c.addrB ? 2 : 3);
    }
    return c;
}

// ---- the pipe side: a reader process draining /tmp/mon.fifo ----

struct PipeSide {
    pid_t drain = -1;
    int rawFd = -1;            // the baseline's own writer
    MonHandle_t *tap = nullptr;  // a reporting handle over the pipe
    bool ok = false;

    PipeSide() {
        if (mkfifo(kFifo, 0666) != 0 && errno != EEXIST) return;
        const int reader = open(kFifo, O_RDONLY | O_NONBLOCK);
        if (reader < 0) return;
        (void)fcntl(reader, F_SETPIPE_SZ, 1 << 20);
        rawFd = open(kFifo, O_WRONLY | O_NONBLOCK);
        if (rawFd < 0 || QxSocksMonOpen("bench", MON_TRANSPORT_FIFO, &tap) != 0) return;
        drain = fork();
        if (drain == 0) {
            (void)fcntl(reader, F_SETFL, 0);
            static char buf[1 << 16];
            for (;;)
                if (read(reader, buf, sizeof buf) < 0 && errno != EINTR) _exit(0);
        }
        close(reader);
        ok = drain > 0;
    }
    ~PipeSide() {
        if (drain > 0) {
            kill(drain, SIGKILL);
            waitpid(drain, nullptr, 0);
        }
    }
};

PipeSide &Pipe() {
    static PipeSide side;
    return side;
}

// Every kBatch frames the clock stops until the reader has emptied the pipe,
// so that every timed write finds room: a full pipe would turn the writes
// being measured into cheap EAGAIN failures.
constexpr int kBatch = 256;
void WaitForEmptyPipe(benchmark::State &state, int fd) {
    state.PauseTiming();
    int queued = 0;
    while (ioctl(fd, FIONREAD, &queued) == 0 && queued > 0) std::this_thread::yield();
    state.ResumeTiming();
}

// Every call is 5 s after the one before: the throttle never holds a report.
time_t clockNow = 1000000;
time_t SteppingClock(time_t *t) {
    clockNow += 5;
    if (t != nullptr) *t = clockNow;
    return clockNow;
}

// Arg 0: SIGPIPE at its default action, so every send is guarded by two mask
// changes; arg 1: SIGPIPE ignored, as most proxies have it, so the guard is
// one look at the disposition.
void BM_PutThatSends(benchmark::State &state) {
    PipeSide &p = Pipe();
    if (!p.ok) return state.SkipWithError("no pipe");
    struct sigaction sa = {}, old;
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = state.range(0) == 1 ? SIG_IGN : SIG_DFL;
    sigaction(SIGPIPE, &sa, &old);
    quelm::SeamOverride<ProxyTapSys_t> sys(proxyTapSys);
    sys->now = SteppingClock;
    MonConnInfo_t c = Connection();
    QxSocksMonPut(p.tap, MON_FLAG_START, &c, 0, nullptr, 0, nullptr);
    int64_t failed = 0;
    int bytes = 0;
    int batch = 0;
    for (auto _ : state) {
        if (++batch == kBatch) {
            batch = 0;
            WaitForEmptyPipe(state, p.rawFd);
        }
        c.runCountA += 1460;
        bytes = QxSocksMonPut(p.tap, MON_FLAG_UPDATE, &c, 0, nullptr, 0, nullptr);
        if (bytes <= 0) ++failed;
    }
    sigaction(SIGPIPE, &old, nullptr);
    state.counters["frame_bytes"] = bytes;
    state.counters["lost"] = static_cast<double>(failed);
}

// A whole short session as a thread-per-client proxy reports it (SIGPIPE
// ignored): open a handle, start, status, end, close, the proxy driving due
// reports; against the raw encode and writev of its one frame.
void BM_ShortSession(benchmark::State &state) {
    PipeSide &p = Pipe();
    if (!p.ok) return state.SkipWithError("no pipe");
    struct sigaction sa = {}, old;
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, &old);
    MonConnInfo_t c = Connection();
    int64_t failed = 0;
    int batch = 0;
    for (auto _ : state) {
        if (++batch == kBatch) {
            batch = 0;
            WaitForEmptyPipe(state, p.rawFd);
        }
        MonHandle_t *h = nullptr;
        if (QxSocksMonOpen("bench", MON_TRANSPORT_FIFO, &h) != 0) {
            ++failed;
            continue;
        }
        (void)QxSocksMonDueIn(h);
        failed += QxSocksMonReport(h, MON_FLAG_START, &c, nullptr, 0, nullptr, 0, nullptr) < 0;
        failed += QxSocksMonReport(h, MON_FLAG_STATUS, &c, nullptr, 0, nullptr, 0, "succeeded") < 0;
        c.runCountB += 100;
        failed += QxSocksMonReport(h, MON_FLAG_END, &c, nullptr, 0, nullptr, 0, nullptr) < 0;
        failed += QxSocksMonClose(h) != 0;
    }
    sigaction(SIGPIPE, &old, nullptr);
    state.counters["failed"] = static_cast<double>(failed);
}

// What a send cannot do without: encode the record and write one frame.
void BM_RawEncodeAndWritev(benchmark::State &state) {
    PipeSide &p = Pipe();
    if (!p.ok) return state.SkipWithError("no pipe");
    MonData_t rec = static_cast<ProxyTap_t *>(p.tap->priv)->session.rec;
    unsigned char msg[MON_MSG_MAX];
    unsigned char header[2];
    int64_t failed = 0;
    ssize_t w = 0;
    int batch = 0;
    for (auto _ : state) {
        if (++batch == kBatch) {
            batch = 0;
            WaitForEmptyPipe(state, p.rawFd);
        }
        rec.countA += 1460;
        const int len = ParcelPutData(&rec, msg);
        header[0] = static_cast<unsigned char>(len >> 8);
        header[1] = static_cast<unsigned char>(len & 0xff);
        struct iovec iov[2] = {{header, 2}, {msg, static_cast<size_t>(len)}};
        w = writev(p.rawFd, iov, 2);
        if (w != len + 2) ++failed;
    }
    state.counters["frame_bytes"] = static_cast<double>(w);
    state.counters["lost"] = static_cast<double>(failed);
}

// The baseline plus what a library must add so that a vanished reader does
// not kill the proxy: SIGPIPE blocked around the write (and a look at
// whether one was already pending), as the pipe transport does it.
void BM_RawGuardedWritev(benchmark::State &state) {
    PipeSide &p = Pipe();
    if (!p.ok) return state.SkipWithError("no pipe");
    MonData_t rec = static_cast<ProxyTap_t *>(p.tap->priv)->session.rec;
    unsigned char msg[MON_MSG_MAX];
    unsigned char header[2];
    sigset_t pipeSet, oldMask, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    int64_t failed = 0;
    int batch = 0;
    for (auto _ : state) {
        if (++batch == kBatch) {
            batch = 0;
            WaitForEmptyPipe(state, p.rawFd);
        }
        rec.countA += 1460;
        const int len = ParcelPutData(&rec, msg);
        header[0] = static_cast<unsigned char>(len >> 8);
        header[1] = static_cast<unsigned char>(len & 0xff);
        struct iovec iov[2] = {{header, 2}, {msg, static_cast<size_t>(len)}};
        pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
        sigpending(&pending);
        if (writev(p.rawFd, iov, 2) != len + 2) ++failed;
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    }
    state.counters["lost"] = static_cast<double>(failed);
}

// The pipe transport alone, for the same record: the part of a sending
// report that is not this module's (the transport also guards SIGPIPE).
void BM_TransportPutAlone(benchmark::State &state) {
    PipeSide &p = Pipe();
    if (!p.ok) return state.SkipWithError("no pipe");
    MonHandle_t *link = static_cast<ProxyTap_t *>(p.tap->priv)->link;
    MonData_t rec = static_cast<ProxyTap_t *>(p.tap->priv)->session.rec;
    int64_t failed = 0;
    int bytes = 0;
    int batch = 0;
    for (auto _ : state) {
        if (++batch == kBatch) {
            batch = 0;
            WaitForEmptyPipe(state, p.rawFd);
        }
        rec.countA += 1460;
        bytes = QxMonSendData(link, &rec);
        if (bytes <= 0) ++failed;
    }
    state.counters["frame_bytes"] = bytes;
    state.counters["lost"] = static_cast<double>(failed);
}

void BM_PutThrottled(benchmark::State &state) {
    MonHandle_t *h = nullptr;
    // A handle without a transport: any report that did get through the
    // throttle would fail and be counted.
    if (QxSocksMonOpen("bench", 0, &h) != 0) return state.SkipWithError("open");
    MonConnInfo_t c = Connection();
    QxSocksMonPut(h, MON_FLAG_START, &c, 0, nullptr, 0, nullptr);
    for (int i = 0; i < 3; ++i) QxSocksMonPut(h, MON_FLAG_UPDATE, &c, 0, nullptr, 0, nullptr);
    int64_t sent = 0;
    for (auto _ : state) {
        c.runCountA += 1460;
        if (QxSocksMonPut(h, MON_FLAG_UPDATE, &c, 0, nullptr, 0, nullptr) != 0) ++sent;
    }
    state.counters["not_throttled"] = static_cast<double>(sent);
    QxSocksMonClose(h);
}

// ---- the viewer side: the real daemon with a full store ----

struct DaemonSide {
#ifdef WARDEN_BIN
    testsupport::Warden warden;
#endif
    MonHandle_t *viewer = nullptr;
    int raw = -1;
    int records = 0;
    bool ok = false;

    DaemonSide() {
#ifdef WARDEN_BIN
        unlink("/tmp/mon.pid");
        if (!warden.Start({{}, 0, {}, true, nullptr})) return;
        if (QxMonNetOpen("127.0.0.1", MON_CLIENT_VIEWER, &viewer) != 0) viewer = nullptr;
        if (viewer == nullptr) return;
        raw = Mon_TcpConnect("127.0.0.1", MON_VIEWER_PORT);
        Fill();
        MonData_t rec;
        while (QxMonRecvNextData(viewer, 1, &rec) == 1) ++records;
        ok = raw >= 0 && records > 0;
#endif
    }
    // One session with 381 additional records, straight into the store.
    void Fill() {
        MonHandle_t *tap = nullptr;
        if (QxSocksMonOpen("bench", MON_TRANSPORT_STORE, &tap) != 0) return;
        MonConnInfo_t c = Connection();
        QxSocksMonPut(tap, MON_FLAG_START, &c, 0, nullptr, 0, nullptr);
        for (int i = 1; i < kStreamRecords; ++i) {
            c.addrB[8] = static_cast<unsigned char>(i);
            c.addrB[9] = static_cast<unsigned char>(i >> 8);
            c.runCountA += 1460;
            QxSocksMonPut(tap, static_cast<int>(MON_FLAG_ADDITIONAL | MON_FLAG_UPDATE), &c, 0,
                          nullptr, 0, nullptr);
        }
        // The handle stays open: closing it would end the session.
    }
    ~DaemonSide() {
        if (viewer != nullptr) QxMonClose(viewer);
        if (raw >= 0) close(raw);
#ifdef WARDEN_BIN
        warden.Stop();
#endif
    }
};

DaemonSide &Daemon() {
    static DaemonSide side;
    return side;
}

void BM_ViewerStream(benchmark::State &state) {
    DaemonSide &d = Daemon();
    if (!d.ok) return state.SkipWithError("no daemon");
    MonData_t rec;
    int64_t records = 0;
    for (auto _ : state) {
        int n = 0;
        while (QxMonRecvNextData(d.viewer, 1, &rec) == 1) ++n;
        if (n != d.records) return state.SkipWithError("short stream");
        records += n;
    }
    state.counters["records"] = d.records;
    state.SetItemsProcessed(records);
}

// Reads exactly len bytes; false on end of stream or error.
bool ReadAll(int fd, unsigned char *p, size_t len) {
    while (len > 0) {
        const ssize_t r = read(fd, p, len);
        if (r <= 0) return false;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return true;
}

// The same stream read with bare system calls and decoded.
void BM_RawStream(benchmark::State &state) {
    DaemonSide &d = Daemon();
    if (!d.ok) return state.SkipWithError("no daemon");
    const unsigned char request[4] = {0, 2, 2, 1};
    unsigned char buf[MON_MSG_MAX];
    MonData_t rec;
    int64_t records = 0;
    for (auto _ : state) {
        if (write(d.raw, request, sizeof request) != sizeof request) return state.SkipWithError("write");
        int n = 0;
        for (;;) {
            unsigned char header[2];
            if (!ReadAll(d.raw, header, 2)) return state.SkipWithError("read");
            const size_t len = (static_cast<size_t>(header[0]) << 8) | header[1];
            if (len == 0) break;
            if (len > sizeof buf || !ReadAll(d.raw, buf, len)) return state.SkipWithError("frame");
            if (ParcelGetDataChecked(&rec, buf, len) < 0) return state.SkipWithError("decode");
            ++n;
        }
        if (n != d.records) return state.SkipWithError("short stream");
        records += n;
    }
    state.counters["records"] = d.records;
    state.SetItemsProcessed(records);
}

BENCHMARK(BM_PutThatSends)->Arg(0)->Arg(1);
BENCHMARK(BM_ShortSession);
BENCHMARK(BM_RawEncodeAndWritev);
BENCHMARK(BM_RawGuardedWritev);
BENCHMARK(BM_TransportPutAlone);
BENCHMARK(BM_PutThrottled);
BENCHMARK(BM_ViewerStream)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawStream)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    // The fixed /tmp names and port 5051 belong to any warden on this host:
    // run in private namespaces, and never without them.
    if (getenv("QUELM_ISOLATED") == nullptr) {
        if (getenv("QUELM_BENCH_REEXEC") != nullptr) {
            fprintf(stderr, "%s: no private namespaces; not running beside a real warden\n", argv[0]);
            return 1;
        }
        setenv("QUELM_BENCH_REEXEC", "1", 1);
        std::vector<char *> args = {const_cast<char *>(QUELM_ISOLATE)};
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return 1;
        self[n] = '\0';
        args.push_back(self);
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(QUELM_ISOLATE, args.data());
        perror(QUELM_ISOLATE);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
