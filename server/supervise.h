/*
 * supervise.h - the main process keeps its workers (the collector and the
 * viewer server) running: a worker that dies is forked again, at once if it
 * had served for a while, after a back-off that doubles up to a cap if it
 * keeps dying; a worker that cannot start at all after repeated tries ends
 * the daemon, so that the service manager restarts it whole.
 */
#ifndef WARDEN_SUPERVISE_H
#define WARDEN_SUPERVISE_H

#include <csignal>
#include <cstdint>
#include <sys/types.h>

// Consecutive failed starts after which the daemon gives up.
constexpr int kWorkerMaxFailedStarts = 5;
// First delay before a restart of a worker that died soon after its start;
// it doubles with every further early death, up to kWorkerBackoffCapMs.
constexpr int64_t kWorkerFirstBackoffMs = 250;
constexpr int64_t kWorkerBackoffCapMs = 8000;
// A worker that served this long before it died is restarted at once.
constexpr int64_t kWorkerSteadyMs = 10000;
// A worker that may legitimately wait before it can report its start (the
// collector waits in the pipe open for the first proxy) counts as started
// once it has lived this long.
constexpr int64_t kWorkerStartGraceMs = 2000;

/* One supervised worker; the main process owns the table of them. */
struct Worker_t {
    const char *name;            // "collector", "viewer server": named in log lines
    void (*body)();              // runs in the forked child, which then exits with 1
    volatile sig_atomic_t *pid;  // the worker's PID; 0 while none runs, -1 after a failed fork
    int number;                  // message number of this worker's lines
    bool startsByLiving;         // kWorkerStartGraceMs of life counts as a start
    // Supervision state, zero to begin with.
    int readyFd;                 // read end of the start pipe, -1 when none
    bool started;                // the running worker has reported its start
    int failedStarts;            // consecutive runs that ended before a start
    int64_t forkedMs;            // when the running worker was forked
    int64_t backoffMs;           // delay before the next restart
    int64_t restartAtMs;         // when the next fork is due; -1: none due
};

/* Why Supervise returned. */
enum SuperviseEnd_t {
    kSuperviseStop,     // a stop signal was noted
    kSuperviseFailure,  // fork or waitpid failed, or a worker cannot start (logged)
};

/* Forks w; in the child, body runs with childMask and the process exits
 * with 1.  True when the worker runs; false after a failed fork (logged,
 * *w->pid is -1). */
bool WorkerStart(Worker_t *w, const sigset_t *childMask);

/* Called in a worker once it serves (the collector reads the pipe, the
 * viewer server listens).  A worker that ends before calling it counts as
 * a failed start.  Does nothing outside a supervised worker. */
void WorkerStarted(void);

/* Keeps the n workers running until *stop is set (by a signal handler),
 * fork or waitpid fails, or a worker fails to start kWorkerMaxFailedStarts
 * times in a row.  Signals are taken only while it waits with waitMask, so
 * none slips in between a check and the wait. */
SuperviseEnd_t Supervise(Worker_t *workers, int n, const volatile sig_atomic_t *stop,
                         const sigset_t *waitMask);

/* The delay before the next restart of a worker that died after running
 * ranMs, given the delay used before: 0 after a steady run, otherwise the
 * previous delay doubled (kWorkerFirstBackoffMs first), at most the cap. */
int64_t WorkerBackoff(int64_t previousMs, int64_t ranMs);

#endif /* WARDEN_SUPERVISE_H */
