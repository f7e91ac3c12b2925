/*
 * supervise.cpp - restarting the daemon's workers.  Runs in the main process
 * only, from its main flow (never from a signal handler): the SIGCHLD
 * handler merely wakes the wait below, and every child is reaped here, so
 * the way it ended can be logged.  A worker reports its start by writing one
 * byte into a pipe that the main process reads; a worker that dies before
 * that is a failed start.
 */
#include "supervise.h"

#include "wardenlog.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kMsgForkFailed = 51;  // process-control call failed
constexpr int kMsgGiveUp = 54;      // a worker cannot start: the daemon ends

// In a worker: the write end of its start pipe until the start is reported.
int startFd = -1;

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/* Reads what the worker wrote into its start pipe, without blocking: a
 * byte means it started; the end of the pipe means it can no longer say. */
void TakeStart(Worker_t *w)
{
    if (w->readyFd < 0)
        return;
    char byte;
    const ssize_t n = read(w->readyFd, &byte, 1);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n == 1) {
        w->started = true;
        w->failedStarts = 0;
    }
    close(w->readyFd);
    w->readyFd = -1;
}

/* How the worker ended, for the log line. */
void DescribeEnd(int status, char *text, size_t size)
{
    if (WIFSIGNALED(status))
        snprintf(text, size, "was killed by signal %d (%s)", WTERMSIG(status),
                 strsignal(WTERMSIG(status)));
    else if (WIFEXITED(status))
        snprintf(text, size, "exited with status %d", WEXITSTATUS(status));
    else
        snprintf(text, size, "ended (wait status 0x%x)", static_cast<unsigned>(status));
}

/* Books a worker that has ended: logs its PID and how it ended, and either
 * schedules its restart (true) or, after too many failed starts in a row,
 * logs that the daemon stops (false). */
bool WorkerEnded(Worker_t *w, pid_t pid, int status, int64_t now)
{
    TakeStart(w); // a start reported just before the end still counts
    if (w->readyFd >= 0) {
        close(w->readyFd);
        w->readyFd = -1;
    }
    *w->pid = 0;
    char how[96];
    DescribeEnd(status, how, sizeof how);
    if (!w->started && ++w->failedStarts >= kWorkerMaxFailedStarts) {
        QxLogUpdate(WardenLog(), 1, kMsgGiveUp,
                    "%s (PID %d) %s before it started, %d times in a row; warden stops", w->name,
                    static_cast<int>(pid), how, w->failedStarts);
        return false;
    }
    w->backoffMs = WorkerBackoff(w->backoffMs, now - w->forkedMs);
    w->restartAtMs = now + w->backoffMs;
    QxLogUpdate(WardenLog(), 1, w->number, "%s (PID %d) %s%s; restarting it in %lld ms", w->name,
                static_cast<int>(pid), how, w->started ? "" : " before it started",
                static_cast<long long>(w->backoffMs));
    return true;
}

/* Collects w if it has ended.  False when supervision must end: waitpid
 * failed (the PID and the process table disagree; logged) or the worker
 * cannot start. */
bool ReapWorker(Worker_t *w, int64_t now)
{
    const pid_t pid = *w->pid;
    if (pid <= 0)
        return true;
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == 0)
        return true;
    if (r == pid)
        return WorkerEnded(w, pid, status, now);
    QxLogUpdate(QxLogDefaultHandle, 1, kMsgForkFailed, "waitpid(%d) failed, errno=%d",
                static_cast<int>(pid), errno);
    return false;
}

/* Earliest of two deadlines, -1 meaning none. */
int64_t Earlier(int64_t a, int64_t b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return a < b ? a : b;
}

} // namespace

int64_t WorkerBackoff(int64_t previousMs, int64_t ranMs)
{
    if (ranMs >= kWorkerSteadyMs)
        return 0;
    if (previousMs <= 0)
        return kWorkerFirstBackoffMs;
    return previousMs >= kWorkerBackoffCapMs / 2 ? kWorkerBackoffCapMs : previousMs * 2;
}

bool WorkerStart(Worker_t *w, const sigset_t *childMask)
{
    int fds[2] = {-1, -1};
    const bool havePipe = pipe2(fds, O_CLOEXEC) == 0;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A worker must not outlive a main process killed outright: a new
        // daemon would reset the store under it and share the pipe with it.
        (void)prctl(PR_SET_PDEATHSIG, SIGINT);
        if (getppid() != parent)
            _exit(1);
        if (havePipe) {
            close(fds[0]);
            startFd = fds[1];
        }
        sigprocmask(SIG_SETMASK, childMask, nullptr);
        w->body();
        exit(1);
    }
    if (havePipe)
        close(fds[1]);
    if (pid < 0) {
        QxLogUpdate(QxLogDefaultHandle, 1, kMsgForkFailed, "failed to fork() server, errno=%d", errno);
        if (havePipe)
            close(fds[0]);
        *w->pid = -1;
        return false;
    }
    *w->pid = pid;
    w->forkedMs = NowMs();
    w->restartAtMs = -1;
    w->readyFd = havePipe ? fds[0] : -1;
    w->started = !havePipe; // without a pipe there is nothing to wait for
    if (havePipe)
        fcntl(w->readyFd, F_SETFL, O_NONBLOCK);
    return true;
}

void WorkerStarted(void)
{
    if (startFd < 0)
        return;
    const char byte = 1;
    (void)!write(startFd, &byte, 1);
    close(startFd);
    startFd = -1;
}

SuperviseEnd_t Supervise(Worker_t *workers, int n, const volatile sig_atomic_t *stop,
                         const sigset_t *waitMask)
{
    for (;;) {
        if (*stop != 0)
            return kSuperviseStop;
        const int64_t now = NowMs();
        int64_t wakeAt = -1;
        for (int i = 0; i < n; ++i) {
            Worker_t *w = &workers[i];
            TakeStart(w);
            if (!ReapWorker(w, now))
                return kSuperviseFailure;
            if (*w->pid > 0 && !w->started && w->startsByLiving) {
                if (now - w->forkedMs >= kWorkerStartGraceMs) {
                    w->started = true;
                    w->failedStarts = 0;
                } else {
                    wakeAt = Earlier(wakeAt, w->forkedMs + kWorkerStartGraceMs);
                }
            }
            if (*w->pid <= 0 && w->restartAtMs >= 0) {
                if (now < w->restartAtMs)
                    wakeAt = Earlier(wakeAt, w->restartAtMs);
                else if (*stop == 0 && !WorkerStart(w, waitMask))
                    return kSuperviseFailure;
            }
        }
        if (*stop != 0)
            return kSuperviseStop;

        struct pollfd fds[8];
        nfds_t count = 0;
        for (int i = 0; i < n && count < 8; ++i)
            if (workers[i].readyFd >= 0)
                fds[count++] = {workers[i].readyFd, POLLIN, 0};
        struct timespec timeout;
        struct timespec *limit = nullptr;
        if (wakeAt >= 0) {
            const int64_t ms = wakeAt > now ? wakeAt - now : 0;
            timeout.tv_sec = static_cast<time_t>(ms / 1000);
            timeout.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
            limit = &timeout;
        }
        // SIGCHLD and the stop signals are open only inside this wait.
        (void)ppoll(fds, count, limit, waitMask);
    }
}
