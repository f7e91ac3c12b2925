/*
 * pidfile.cpp - reading and writing the PID file without trusting what
 * stands at its path.  Opens never follow a symlink and never block (a FIFO
 * planted at the path must not hang the start-up).
 */
#include "pidfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kPidFileMode = 0644; // everyone may read it, only its owner write

/* A PID file the daemon may believe and write: a regular file with no
 * second name, owned by the daemon's user or root. */
bool Trusted(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && (st.st_uid == geteuid() || st.st_uid == 0);
}

/* Removes whatever stands at path (file, link, FIFO, empty directory). */
bool Remove(const char *path)
{
    if (unlink(path) == 0 || errno == ENOENT)
        return true;
    return (errno == EISDIR || errno == EPERM) && rmdir(path) == 0;
}

/* Opens path for writing as a trusted file, replacing anything else.
 * Returns the descriptor or -1 with errno. */
int OpenOwn(const char *path)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int exclusive = attempt == 0 ? 0 : O_EXCL;
        const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | exclusive,
                            kPidFileMode);
        if (fd >= 0) {
            struct stat st;
            if (fstat(fd, &st) == 0 && Trusted(st))
                return fd;
            close(fd);
        } else if (attempt == 1 || errno == ENOSPC || errno == EROFS) {
            return -1;
        }
        if (!Remove(path))
            return -1;
    }
    errno = EEXIST; // someone put a file back between the removal and the create
    return -1;
}

} // namespace

long PidFileRead(const char *path)
{
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    char text[64];
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && Trusted(st))
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

int PidFileWrite(const char *path, pid_t pid)
{
    const int fd = OpenOwn(path);
    if (fd < 0)
        return -1;
    char text[16];
    const int len = snprintf(text, sizeof text, "%d", static_cast<int>(pid));
    // The mode is set here, not through open: the umask (0 once detached)
    // must not make the file writable by others.
    int rc = -1;
    if (fchmod(fd, kPidFileMode) == 0 && ftruncate(fd, 0) == 0 &&
        write(fd, text, static_cast<size_t>(len)) == len)
        rc = 0;
    const int err = errno;
    close(fd);
    errno = err;
    return rc;
}
