/*
 * warden.cpp - the monitor daemon's main process and its collector.
 * The main process parses options, refuses to start while the PID in
 * /tmp/mon.pid lives, creates the shared store as slot 0 and forks the
 * collector and the viewer server; afterwards it only supervises, and every
 * way out (usage, refusal, failure, shutdown) ends with exit status 1.
 * Stop signals are acted on only from the main flow: a handler merely notes
 * them, so the shutdown never runs on top of an interrupted malloc or stdio.
 */
#include <quelm/monitor.h>
#include <quelm/my_getopt.h>

#include "fanout.h"
#include "guiserver.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

LogHandle_t *MonLogHandle = nullptr;

namespace {

constexpr const char *kVersion = "1.1";
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
    "\t        --viewers <n>     (viewers served at once, default 4)\n"
    "\t        --idle-limit <s>  (close a silent viewer, default 30)\n";
constexpr int kCollectorRetrySeconds = 3; // wait for a writer to come back

// Process-wide state of the main process; forked workers get copies.  The
// worker PIDs are written by the SIGCHLD handler, hence sig_atomic_t.
volatile sig_atomic_t monPid = 0;   // main process, once the PID file is written
volatile sig_atomic_t socksPid = 0; // collector; -1 after a failed fork, 0 once gone
volatile sig_atomic_t guiPid = 0;   // viewer server; likewise
volatile sig_atomic_t dbPid = 0;    // database worker: stopped and reaped, never started
volatile sig_atomic_t stopSignal = 0; // stop signal noted by SigDieHandler, 0 if none
volatile sig_atomic_t chldErrno = 0;  // errno of a failed reap in SigChldHandler
int isDaemon = 1;
int doVersion = 0;
int doHelp = 0;
MonHandle_t *mmapHandle = nullptr;

const quelm::LongOption_t options[] = {
    {"foreground", 1, &isDaemon, 0},
    {"version", 1, &doVersion, 1},
    {"help", 1, &doHelp, 1},
    {"viewers", 2, nullptr, 'V'},
    {"idle-limit", 2, nullptr, 'I'},
    {nullptr, 0, nullptr, 0},
};

// The collector's record buffer, reused for every report.
MonData_t collectorRecord;

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
        case 'V':
            viewerSettings.maxViewers = ViewerParseCount(quelm::optarg, 1, kViewersMax);
            bad = viewerSettings.maxViewers < 0;
            break;
        case 'I':
            viewerSettings.idleSeconds = ViewerParseCount(quelm::optarg, 1, 86400);
            bad = viewerSettings.idleSeconds < 0;
            break;
        default: bad = true; break; // '?' and the database options alike
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
}

/* The PID held by the PID file, or 0 when there is none: no regular file
 * (a symlink is never followed), or no decimal number at its start. */
long ReadPidFile()
{
    const int fd = open(kPidPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    char text[64];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    char *end = nullptr;
    errno = 0;
    const long pid = strtol(text, &end, 10);
    if (end == text || errno != 0 || pid > 0x7fffffffL || pid < -0x7fffffffL - 1)
        return 0;
    return pid;
}

/* Exits with 1 if the PID file names a live process.  0 and negative numbers
 * name no daemon: signal 0 to them would address a process group. */
void RefuseEarlierInstance()
{
    const long pid = ReadPidFile();
    // A restart that got the recorded PID again (a container whose /tmp
    // survived) is no earlier instance.
    if (pid <= 0 || pid == static_cast<long>(getpid()))
        return;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
        fprintf(stderr, "Can't run Monitor, previous PID=%d still active\n", static_cast<int>(pid));
        exit(1);
    }
}

/* Writes monPid as "%d" into the PID file; a file that cannot be opened,
 * or a path that is not a regular file, is silently left alone. */
void WritePidFile()
{
    // O_NONBLOCK: a FIFO planted at the path must not hang the start-up.
    const int fd = open(kPidPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) == 0) {
        char text[16];
        const int len = snprintf(text, sizeof text, "%d", static_cast<int>(monPid));
        (void)!write(fd, text, static_cast<size_t>(len));
    }
    close(fd);
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

/* Reaps at most one child and clears the worker slot naming it.  It runs
 * only while the main process waits in sigsuspend; a failure is noted for
 * the main flow to log, since logging is not async-signal-safe. */
void SigChldHandler(int)
{
    const int saved = errno;
    const pid_t pid = waitpid(-1, nullptr, WNOHANG);
    if (pid < 0) {
        chldErrno = errno;
    } else if (pid > 0) {
        if (pid == socksPid)
            socksPid = 0;
        else if (pid == guiPid)
            guiPid = 0;
        else if (pid == dbPid)
            dbPid = 0;
    }
    errno = saved;
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

/* Forks a worker that runs body and exits with 1.  Returns the child's PID,
 * or -1 after logging a failed fork. */
pid_t ForkWorker(void (*body)(), const sigset_t *childMask)
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A worker must not outlive a main process killed outright: a new
        // daemon would reset the store under it and share the pipe with it.
        (void)prctl(PR_SET_PDEATHSIG, SIGINT);
        if (getppid() != parent)
            _exit(1);
        sigprocmask(SIG_SETMASK, childMask, nullptr);
        body();
        exit(1);
    }
    if (pid < 0) {
        QxLogUpdate(QxLogDefaultHandle, 1, 51, "failed to fork() server, errno=%d", errno);
        return -1;
    }
    return pid;
}

/* Collects an ended worker without blocking.  False when waitpid fails,
 * which can only mean the slot and the process table disagree (logged). */
bool ReapWorker(volatile sig_atomic_t *slot)
{
    const pid_t pid = *slot;
    if (pid <= 0)
        return true;
    const pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid) {
        *slot = 0;
        return true;
    }
    if (r == 0)
        return true;
    QxLogUpdate(QxLogDefaultHandle, 1, 51, "waitpid(%d) failed, errno=%d", static_cast<int>(pid),
                errno);
    return false;
}

/* Waits until both workers have ended, a stop signal arrives, or reaping
 * fails.  The two signals are taken only inside sigsuspend, so neither can
 * slip in between the checks and the wait. */
void Supervise(const sigset_t *waitMask)
{
    while (stopSignal == 0) {
        if (!ReapWorker(&socksPid) || !ReapWorker(&guiPid))
            return;
        if (socksPid <= 0 && guiPid <= 0)
            return;
        sigsuspend(waitMask);
        if (chldErrno != 0) {
            QxLogUpdate(QxLogDefaultHandle, 1, 51, "waitpid() failed, errno=%d",
                        static_cast<int>(chldErrno));
            chldErrno = 0;
        }
    }
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
 * viewer server, then every viewer child listed in the store, then the
 * store itself.  Never returns; the exit status is 1. */
[[noreturn]] void Shutdown()
{
    monPid = 0;
    StopWorker(&socksPid);
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
    if (QxMonMemOpen("mon.mmap", MON_SLOT_DAEMON, &store) < 0)
        return;
    if (QxChuteOpen("mon.fifo", MON_FIFO_READER, &pipe) < 0) {
        QxMonClose(store);
        return;
    }
    for (;;) {
        errno = 0;
        const int r = QxMonRecvNextData(pipe, 1, &collectorRecord);
        if (r == 0)
            continue; // an empty frame carries nothing
        if (r < 0) {
            const int err = errno;
            QxLogUpdate(MonLogHandle, 1, 21, "QxMonRecvNextData() from FIFO failed");
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
        if (QxMonSendData(store, &collectorRecord) < 0)
            QxLogUpdate(MonLogHandle, 1, 20, "QxMonSendData() to shared mem failed");
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
    if (isDaemon)
        my_daemonize();

    sigset_t childMask;
    InstallSignals(&childMask);

    monPid = getpid();
    WritePidFile();

    const int logFlags = isDaemon ? QX_LOG_SYSLOG : QX_LOG_STDERR;
    QxLogStart(&QxLogDefaultHandle, logFlags, 3, "");
    QxLogStart(&MonLogHandle, logFlags, 3, "");

    if (QxMonMemOpen("mon.mmap", MON_SLOT_DAEMON, &mmapHandle) < 0)
        exit(1);

    if (StopRequested())
        Shutdown();
    socksPid = ForkWorker(MonSocksServer, &childMask);
    if (socksPid < 0 || StopRequested())
        Shutdown();
    guiPid = ForkWorker(MonGUIServer, &childMask);
    if (guiPid < 0)
        Shutdown();

    Supervise(&childMask);
    Shutdown();
}
