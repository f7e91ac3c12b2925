/*
 * warden.cpp - the monitor daemon's main process and its collector.
 * The main process parses options, refuses to start while the PID in
 * /tmp/mon.pid lives, creates the shared store as slot 0 and forks the
 * collector and the viewer server; afterwards it only supervises them,
 * restarting a worker that dies (supervise.cpp), and every way out (usage,
 * refusal, failure, shutdown) ends with exit status 1.
 * Stop signals are acted on only from the main flow: a handler merely notes
 * them, so the shutdown never runs on top of an interrupted malloc or stdio.
 */
#include <quelm/monitor.h>

#include "access.h"
#include "claim.h"
#include "viewrules.h"
#include "guiserver.h"
#include "history.h"
#include "my_getopt.h"
#include "pidfile.h"
#include "supervise.h"
#include "wardenlog.h"
#include "ownpaths.h"

#include "Chute_internal.h"
#include "shelf_daemon.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *kVersion = WARDEN_VERSION; // the CMake project version
constexpr const char *kPidPath = "/tmp/mon.pid";
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
constexpr const char *kStorePath = "/tmp/mon.mmap";
constexpr const char *kPipePath = "/tmp/mon.fifo";
constexpr int kCollectorRetrySeconds = 3; // wait for a writer to come back
// Message numbers of the daemon's own lines (each number is limited to one
// line a second, so the two workers' lines must not share one).
constexpr int kMsgCallFailed = 24;        // a call failed; the format ends in "%m"
constexpr int kMsgCollectorEnded = 52;    // the collector ended and is restarted
constexpr int kMsgViewerServerEnded = 53; // the viewer server ended and is restarted
constexpr int kMsgDatabaseEnded = 55;     // the database worker ended and is restarted

// Process-wide state of the main process; forked workers get copies.  The
// stop handler reads monPid and writes stopSignal, hence sig_atomic_t.
volatile sig_atomic_t monPid = 0;   // main process, once the PID file is written
volatile sig_atomic_t socksPid = 0; // collector; -1 after a failed fork, 0 once gone
volatile sig_atomic_t guiPid = 0;   // viewer server; likewise
volatile sig_atomic_t dbPid = 0;    // database worker (history); likewise
volatile sig_atomic_t stopSignal = 0; // stop signal noted by SigDieHandler, 0 if none
int isDaemon = 1;
int doVersion = 0;
int doHelp = 0;
MonHandle_t *mmapHandle = nullptr;

// Long options with an argument and no letter; above every character value.
constexpr int kOptListen = 0x100;
constexpr int kOptAllow = 0x101;
constexpr int kOptPipeGroup = 0x102;
constexpr int kOptCapacity = 0x103; // long options have no letter; above every character
constexpr int kOptViewers = 0x104;
constexpr int kOptIdleLimit = 0x105;
constexpr int kOptHistory = 0x106;
constexpr int kOptHistoryInterval = 0x107;
constexpr int kOptHistoryKeep = 0x108;
constexpr int kOptHistoryHost = 0x109;
constexpr int kOptHistorySpool = 0x10a;
constexpr int kOptHistorySpoolLimit = 0x10b;

const quelm::LongOption_t options[] = {
    {"foreground", 1, &isDaemon, 0},
    {"version", 1, &doVersion, 1},
    {"help", 1, &doHelp, 1},
    {"listen", 2, nullptr, kOptListen},
    {"allow", 2, nullptr, kOptAllow},
    {"pipe-group", 2, nullptr, kOptPipeGroup},
    {"capacity", 2, nullptr, kOptCapacity},
    {"viewers", 2, nullptr, kOptViewers},
    {"idle-limit", 2, nullptr, kOptIdleLimit},
    {"dbname", 2, nullptr, 'n'},
    {"dbhost", 2, nullptr, 's'},
    {"dbport", 2, nullptr, 'p'},
    {"dbpasswd", 2, nullptr, 'w'},
    {"history", 2, nullptr, kOptHistory},
    {"history-interval", 2, nullptr, kOptHistoryInterval},
    {"history-keep", 2, nullptr, kOptHistoryKeep},
    {"history-host", 2, nullptr, kOptHistoryHost},
    {"history-spool", 2, nullptr, kOptHistorySpool},
    {"history-spool-limit", 2, nullptr, kOptHistorySpoolLimit},
    {nullptr, 0, nullptr, 0},
};

// The collector's records: what one read of the pipe brought, stored in one
// hold of the store's lock.  64 keep that hold short for the viewers.
constexpr int kCollectorBatch = 64;
MonData_t collectorBatch[kCollectorBatch];

/* Sizes the store for --capacity text, or exits with 1 after saying why:
 * not a whole number from 1 to the largest accepted, or more than this
 * machine's memory or the space free in /tmp can hold.  Runs before anything
 * is created. */
void SetCapacity(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long n = text != nullptr && *text >= '0' && *text <= '9' ? strtol(text, &end, 10) : -1;
    if (n < 1 || n > quelm::kShelfMaxCapacity || errno != 0 || end == nullptr || *end != '\0') {
        fprintf(stderr, "warden: --capacity needs a whole number from 1 to %ld, not \"%s\"\n",
                quelm::kShelfMaxCapacity, text != nullptr ? text : "");
        exit(1);
    }
    uint64_t need = 0;
    if (quelm::ShelfSetCapacity(n, &need) != 0) {
        fprintf(stderr, "warden: a store for %ld sessions needs %llu bytes, more than %s\n", n,
                static_cast<unsigned long long>(need),
                errno == ENOSPC ? "/tmp has free" : "this machine's memory");
        exit(1);
    }
}

/* path made absolute against the working directory: a detached daemon
 * works in /tmp, so a relative name would point elsewhere there. */
std::string AbsolutePath(const char *path)
{
    if (path[0] == '/' || path[0] == '\0')
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

/* Handles options; returns only when start-up is to go on.  Prints the
 * version line whenever asked and exits with 1 after the usage text. */
void ParseOptions(int argc, char **argv)
{
    int index = 0;
    bool bad = false;
    quelm::optind = 0;
    for (;;) {
        const int c = quelm::my_getopt(argc, argv, quelm::kWardenOptString, options, &index);
        if (c == -1)
            break;
        switch (c) {
        case 0: break; // a long option stored its flag
        case 'f': isDaemon = 0; break;
        case 'v': doVersion = 1; break;
        case 'h': doHelp = 1; break;
        case kOptListen: bad = !AccessAddListen(quelm::optarg); break;
        case kOptAllow: bad = !AccessAddAllow(quelm::optarg); break;
        case kOptPipeGroup: bad = !OwnPathsSetPipeGroup(quelm::optarg); break;
        case kOptCapacity: SetCapacity(quelm::optarg); break;
        case kOptViewers:
            viewerSettings.maxViewers = ViewerParseCount(quelm::optarg, 1, kViewersMax);
            bad = viewerSettings.maxViewers < 0;
            break;
        case kOptIdleLimit:
            viewerSettings.idleSeconds = ViewerParseCount(quelm::optarg, 1, 86400);
            bad = viewerSettings.idleSeconds < 0;
            break;
        case 'n': historySettings.dbName = quelm::optarg; bad = *quelm::optarg == '\0'; break;
        case 's': historySettings.dbHost = quelm::optarg; bad = *quelm::optarg == '\0'; break;
        case 'p':
            bad = ViewerParseCount(quelm::optarg, 1, 65535) < 0;
            historySettings.dbPort = quelm::optarg;
            break;
        case 'w': historySettings.dbPasswordFile = AbsolutePath(quelm::optarg); break;
        case kOptHistory:
            historySettings.sqlitePath = AbsolutePath(quelm::optarg);
            bad = *quelm::optarg == '\0';
            break;
        case kOptHistoryInterval:
            historySettings.intervalSeconds = ViewerParseCount(quelm::optarg, 1, 3600);
            bad = historySettings.intervalSeconds < 0;
            break;
        case kOptHistoryKeep:
            historySettings.keepDays = ViewerParseCount(quelm::optarg, 1, 100000);
            bad = historySettings.keepDays < 0;
            break;
        case kOptHistoryHost: historySettings.host = quelm::optarg; bad = *quelm::optarg == '\0'; break;
        case kOptHistorySpool: historySettings.spoolPath = AbsolutePath(quelm::optarg); break;
        case kOptHistorySpoolLimit: {
            const int mib = ViewerParseCount(quelm::optarg, 1, 1048576);
            bad = mib < 0;
            historySettings.spoolLimitBytes = static_cast<uint64_t>(mib) << 20;
            break;
        }
        default: bad = true; break; // '?'
        }
        if (doVersion) {
            printf("Monitor version: %s\n", kVersion);
            fflush(stdout);
            doVersion = 0;
        }
        if (bad || doHelp) {
            fprintf(stderr, "\n%s\n", kUsage);
            exit(1);
        }
    }
    // The server options mean nothing without a database name: as before,
    // they alone end with the usage text.
    const HistorySettings_t &h = historySettings;
    if (h.dbName.empty() && (!h.dbHost.empty() || !h.dbPort.empty() || !h.dbPasswordFile.empty())) {
        fprintf(stderr, "\n%s\n", kUsage);
        exit(1);
    }
    if (!HistoryCheckSettings())
        exit(1);
}

/* Exits with 1 if the PID file names a live process.  0 and negative numbers
 * name no daemon: signal 0 to them would address a process group.  A file
 * the daemon cannot trust (another user's, a link) names nothing: any user
 * could plant one to keep the daemon from starting. */
void RefuseEarlierInstance()
{
    const long pid = PidFileRead(kPidPath);
    // A restart that got the recorded PID again (a container whose /tmp
    // survived) is no earlier instance.
    if (pid <= 0 || pid == static_cast<long>(getpid()))
        return;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
        fprintf(stderr, "Can't run Monitor, previous PID=%d still active\n", static_cast<int>(pid));
        exit(1);
    }
}

/* Writes monPid into the PID file.  A file that cannot be written does not
 * stop the start-up (a second daemon is still refused by the store's own
 * files), but is logged. */
void WritePidFile()
{
    if (PidFileWrite(kPidPath, static_cast<pid_t>(monPid)) != 0)
        QxLogUpdate(WardenLog(), 1, kMsgCallFailed, "%s: cannot write %s: %m", "main", kPidPath);
}

/* Stop signals.  In the main process the signal is only noted; the main
 * flow runs the shutdown.  Every forked process inherits this handler and
 * simply ends: _exit is the only thing a handler may safely do there. */
void SigDieHandler(int sig)
{
    if (getpid() != monPid)
        _exit(1);
    stopSignal = sig;
}

/* SIGCHLD only has to end the main process' wait: the supervision loop
 * reaps every worker itself, so that it learns how the worker ended. */
void SigChldHandler(int)
{
}

/* Installs the handlers; the stop signals and SIGCHLD are then blocked
 * until the main process waits for them.  *childMask receives the mask
 * that forked workers (and the wait) run with: the caller's, with those
 * five signals open. */
void InstallSignals(sigset_t *childMask)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SigDieHandler;
    sa.sa_flags = 0;
    const int stops[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
    for (int s : stops)
        sigaction(s, &sa, nullptr);
    sa.sa_handler = SigChldHandler;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);

    sigset_t block;
    sigemptyset(&block);
    for (int s : stops)
        sigaddset(&block, s);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, childMask);
    for (int s : stops)
        sigdelset(childMask, s);
    sigdelset(childMask, SIGCHLD);
}

/* True when a stop signal was noted or is waiting, blocked, to be taken. */
bool StopRequested()
{
    if (stopSignal != 0)
        return true;
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return false;
    return sigismember(&pending, SIGHUP) == 1 || sigismember(&pending, SIGINT) == 1 ||
           sigismember(&pending, SIGQUIT) == 1 || sigismember(&pending, SIGTERM) == 1;
}

/* Sends SIGINT to the process in slot, once, and clears the slot. */
void StopWorker(volatile sig_atomic_t *slot)
{
    const pid_t pid = *slot;
    if (pid > 0) {
        *slot = 0;
        kill(pid, SIGINT);
    }
}

/* The one shutdown sequence: the workers in the order collector, database,
 * viewer server, then the viewer children (those the viewer server forked,
 * never a PID merely listed in the store), then the store itself.  Never
 * returns; the exit status is 1. */
[[noreturn]] void Shutdown()
{
    monPid = 0;
    // While the viewer server still runs its children are provably its own.
    MonGUIRecordChildren(static_cast<pid_t>(guiPid));
    const pid_t collector = socksPid;
    StopWorker(&socksPid);
    // The daemon is gone only once its collector is: a proxy's report
    // written into the pipe before that would count as taken.  The
    // collector ends at the signal; the wait is bounded all the same, and
    // leaves the child to be reaped as before (WNOWAIT).
    for (int i = 0; collector > 0 && i < 200; ++i) {
        siginfo_t info;
        info.si_pid = 0;
        const int r = waitid(P_PID, static_cast<id_t>(collector), &info,
                             WEXITED | WNOHANG | WNOWAIT);
        if ((r == 0 && info.si_pid == collector) || (r < 0 && errno != EINTR))
            break;
        usleep(5000);
    }
    StopWorker(&dbPid);
    StopWorker(&guiPid);
    MonGUICleanup();
    QxMonClose(mmapHandle);
    mmapHandle = nullptr;
    exit(1);
}

/* True for a failed pipe read after which the next frame can still be
 * read: the stream is in step (an oversize or malformed frame was skipped,
 * a signal came before a frame began) or a frame ended early (errno 0). */
bool PerFrameError(int err)
{
    return err == 0 || err == EMSGSIZE || err == EBADMSG || err == EINTR || err == EAGAIN;
}

} // namespace

/*
 * Body of the collector: moves every record read from /tmp/mon.fifo into
 * the store.  Returns (and the process exits with 1) when the store or the
 * pipe cannot be opened or a read fails for good; a skipped bad frame, an
 * empty frame and a failed put all leave it reading on.
 */
void MonSocksServer()
{
    MonHandle_t *store = nullptr;
    MonHandle_t *pipe = nullptr;
    if (QxMonMemOpen("mon.mmap", MON_SLOT_DAEMON, &store) < 0) {
        QxLogUpdate(WardenLog(), 1, kMsgCallFailed, "%s: QxMonMemOpen(%s) failed: %m",
                    "MonSocksServer", kStorePath);
        return;
    }
    if (QxChuteOpen("mon.fifo", MON_FIFO_READER, &pipe) < 0) {
        QxLogUpdate(WardenLog(), 1, kMsgCallFailed, "%s: QxChuteOpen(%s) failed: %m",
                    "MonSocksServer", kPipePath);
        QxMonClose(store);
        return;
    }
    WorkerStarted();
    for (;;) {
        errno = 0;
        const int r = QxMonRecvNextData(pipe, 1, &collectorBatch[0]);
        if (r == 0)
            continue; // an empty frame carries nothing
        if (r < 0) {
            const int err = errno;
            QxLogUpdate(WardenLog(), 1, 21, "QxMonRecvNextData() from FIFO failed");
            if (err == EPIPE) {
                // No writer holds the pipe: reads would return at once, so
                // wait for a proxy to come back instead of spinning.
                sleep(kCollectorRetrySeconds);
                continue;
            }
            if (PerFrameError(err))
                continue;
            break;
        }
        // Every whole report the same read took in goes with it.
        int n = 1;
        while (n < kCollectorBatch && quelm::ChuteNextBuffered(&collectorBatch[n]) == 1)
            ++n;
        int refused = quelm::ShelfPutMany(store, collectorBatch, n);
        if (refused < 0)
            refused = n;
        for (int i = 0; i < refused; ++i)
            QxLogUpdate(WardenLog(), 1, 20, "QxMonSendData() to shared mem failed");
    }
    QxMonClose(pipe);
    QxMonClose(store);
}

/*
 * The daemon's entry point.  Never returns: every path ends in exit(1),
 * only the parent left behind by detaching ends with 0.
 */
int main(int argc, char **argv)
{
    ParseOptions(argc, argv);
    RefuseEarlierInstance();
    if (!OwnPathsClaim())
        exit(1);
    if (isDaemon)
        my_daemonize();

    sigset_t childMask;
    InstallSignals(&childMask);

    monPid = getpid();
    // Logging first, so that every later failure of the start-up is told.
    WardenLogStart(isDaemon ? QX_LOG_SYSLOG : QX_LOG_STDERR);
    WritePidFile();

    if (QxMonMemOpen("mon.mmap", MON_SLOT_DAEMON, &mmapHandle) < 0) {
        QxLogUpdate(WardenLog(), 1, kMsgCallFailed, "%s: QxMonMemOpen(%s) failed: %m; warden stops",
                    "main", kStorePath);
        exit(1);
    }

    Worker_t workers[] = {
        {"collector", MonSocksServer, &socksPid, kMsgCollectorEnded, true, -1, false, 0, 0, 0, -1},
        {"viewer server", MonGUIServer, &guiPid, kMsgViewerServerEnded, false, -1, false, 0, 0, 0, -1},
        {"database", MonHistoryServer, &dbPid, kMsgDatabaseEnded, false, -1, false, 0, 0, 0, -1},
    };
    const int count = HistoryWanted() ? 3 : 2;
    // Always a new pipe: a proxy still holding the last daemon's pipe gets
    // EPIPE at its next write however quick the restart, and moves onto this
    // one with a report the new store takes as a start.
    if (ClaimRemove(kPipePath) != 0 || !OwnPathsMakePipe() || StopRequested())
        Shutdown();
    if (!WorkerStart(&workers[0], &childMask) || StopRequested())
        Shutdown();
    // The database worker starts before the viewer server so that it is
    // the slot-3 reader before the first session arrives.
    if (count == 3 && (!WorkerStart(&workers[2], &childMask) || StopRequested()))
        Shutdown();
    if (!WorkerStart(&workers[1], &childMask))
        Shutdown();

    Supervise(workers, count, &stopSignal, &childMask);
    Shutdown();
}
