/*
 * warden.cpp - the monitor daemon's main process and its collector.
 * The main process takes its options (wardenopts.cpp), refuses to start
 * while the PID in /tmp/mon.pid lives, creates the shared store as slot 0
 * and forks the collector and the viewer server; afterwards it only
 * supervises them, restarting a worker that dies (supervise.cpp), and every
 * way out (usage, refusal, failure, shutdown) ends with exit status 1.
 * Stop signals are acted on only from the main flow: a handler merely notes
 * them, so the shutdown never runs on top of an interrupted malloc or stdio.
 */
#include <quelm/monitor.h>

#include "claim.h"
#include "guiserver.h"
#include "history.h"
#include "pidfile.h"
#include "supervise.h"
#include "wardenlog.h"
#include "ownpaths.h"
#include "wardenopts.h"

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

constexpr const char *kPidPath = "/tmp/mon.pid";
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
MonHandle_t *mmapHandle = nullptr;

// The collector's records: what one read of the pipe brought, stored in one
// hold of the store's lock.  64 keep that hold short for the viewers.
constexpr int kCollectorBatch = 64;
MonData_t collectorBatch[kCollectorBatch];

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
    const bool isDaemon = ParseOptions(argc, argv);
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
