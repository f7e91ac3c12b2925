/*
 * detacher.cpp - turns the calling process into a background process.
 * The call returns only in a forked child that heads its own session, works
 * in "/tmp" with umask 0 and keeps only descriptors 0 to 2 (of 0..255); the
 * caller exits inside the call with status 0, every failure exits with 1.
 */
#include "monitor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kHighestClosedFd = 255; // descriptors 3..this are closed

/* Gives up the controlling terminal where there are no sessions to start:
 * a failure to open the terminal means there is none to give up. */
void DetachFromTerminal() noexcept
{
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
    if (fd < 0)
        return;
    (void)ioctl(fd, TIOCNOTTY, 0);
    (void)close(fd);
}

} // namespace

/*
 * Detaches from the terminal.  Returns only in the detached child; the caller
 * exits with status 0 once the child exists.  A failed fork (in the caller)
 * or setsid (in the child) is reported on standard error and ends that
 * process with status 1.  Leaves errno 0 on return.
 */
extern "C" void my_daemonize(void)
{
    // Terminal I/O and stop keys must not be able to stop a background daemon.
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);

    // Pending stdio output is written once, here, instead of by both
    // processes each holding a copy of the buffer.
    (void)fflush(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "%s: fork() first child failed, errno=%d\n", "my_daemonize", errno);
        exit(1);
    }
    if (pid > 0) {
        // The process now belongs to the child: the caller must not run
        // exit handlers that would release what the child goes on using.
        _exit(0);
    }

    if (setsid() < 0) {
        if (errno != ENOSYS) {
            fprintf(stderr, "%s: setsid(), set session ID failed, errno=%d\n", "my_daemonize",
                    errno);
            exit(1);
        }
        DetachFromTerminal();
    }

    for (int fd = 3; fd <= kHighestClosedFd; ++fd)
        (void)close(fd);

    errno = 0;
    if (chdir("/tmp") != 0) {
        // Without /tmp the daemon still runs; its files are opened by full path.
    }
    (void)umask(0);
}
