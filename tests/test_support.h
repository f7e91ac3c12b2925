// test_support.h - helpers the daemon-level test programs share: waiting for
// a condition with a bound, reading and writing a whole file, connections
// to a port on loopback (the viewer port's among them), and starting,
// waiting for and stopping the processes a test runs.
#ifndef QUELM_TEST_SUPPORT_H
#define QUELM_TEST_SUPPORT_H

#include <quelm/monitor.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Polls cond every 5 ms: true once it holds, false after ms milliseconds.
// The bound only turns a hang into a failure; no test measures time with it.
inline bool WaitFor(const std::function<bool()> &cond, int ms = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The whole file at path, or "" when it cannot be read.
inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Replaces the contents of the file at path (made with mode) by text.
inline void WriteFile(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return;
    (void)!write(fd, text.data(), text.size());
    close(fd);
}

// Writes all n bytes at p into fd, waiting for room when fd does not block;
// false when a write fails otherwise.
inline bool WriteAll(int fd, const void *p, size_t n)
{
    const auto *b = static_cast<const unsigned char *>(p);
    while (n > 0) {
        const ssize_t w = write(fd, b, n);
        if (w > 0) {
            b += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && errno == EAGAIN) {
            pollfd pf{fd, POLLOUT, 0};
            poll(&pf, 1, 100);
        } else if (w >= 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

inline bool WriteAll(int fd, const std::vector<unsigned char> &bytes)
{
    return WriteAll(fd, bytes.data(), bytes.size());
}

// A TCP connection to port on 127.0.0.1, or -1.
inline int ConnectLoopback(uint16_t port)
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

// A TCP connection to the viewer port on 127.0.0.1, or -1.
inline int ConnectViewer() { return ConnectLoopback(MON_VIEWER_PORT); }

// True when something on 127.0.0.1 accepts a connection to port.
inline bool CanConnect(uint16_t port)
{
    const int fd = ConnectLoopback(port);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

// How Spawn sets up the child's output and files.
enum SpawnFlags {
    kSpawnAppend = 1,     // append to the output file instead of starting it afresh
    kSpawnKeepStderr = 2, // its standard error stays the test's (a verbose run)
};

// Forks and runs args (a name without '/' is looked up in PATH); standard
// output and error go to the file out ("" : /dev/null); env entries
// "NAME=value" are added to its environment.  The PID, or -1.
inline pid_t Spawn(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                   const std::string &out = "", int flags = 0)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out.empty() ? "/dev/null" : out.c_str(),
                            O_WRONLY | O_CREAT | O_CLOEXEC | ((flags & kSpawnAppend) != 0 ? O_APPEND : O_TRUNC),
                            0644);
        if (fd >= 0) {
            dup2(fd, 1);
            if ((flags & kSpawnKeepStderr) == 0)
                dup2(fd, 2);
        }
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for pid to end: its exit status, 128 + the signal that killed it.
inline int WaitExit(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Sends sig to pid (when there is one), waits for its end and clears pid.
inline void Stop(pid_t &pid, int sig = SIGTERM)
{
    if (pid <= 0)
        return;
    kill(pid, sig);
    WaitExit(pid);
    pid = 0;
}

// Reaps every child of this process (in a subreaper, also those that came
// back to it) until none is left or ms have passed; the statuses by PID.
inline std::map<pid_t, int> ReapTree(int ms = 5000)
{
    std::map<pid_t, int> ended;
    WaitFor([&] {
        int status;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
            ended[pid] = status;
        return pid < 0 && errno == ECHILD;
    }, ms);
    return ended;
}

// The children of pid, from /proc.
inline std::vector<pid_t> Children(pid_t pid)
{
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    std::vector<pid_t> kids;
    for (pid_t k; in >> k;)
        kids.push_back(k);
    return kids;
}

// The child of parent with a descriptor on a path containing needle (one
// of warden's workers, found by the file it works on), or 0.
inline pid_t ChildHolding(pid_t parent, const std::string &needle)
{
    for (pid_t c : Children(parent)) {
        const std::string dir = "/proc/" + std::to_string(c) + "/fd/";
        for (int fd = 0; fd < 64; ++fd) {
            char target[512];
            const ssize_t n = readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)).find(needle) != std::string::npos)
                return c;
        }
    }
    return 0;
}

// Clock ticks of CPU time (user and system) pid has used, -1 when it is gone.
inline long CpuTicks(pid_t pid)
{
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return -1;
    // After the command: the state is field 3, utime 14 and stime 15.
    std::istringstream f(stat.substr(paren + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && f >> field; ++i)
        if (i >= 14)
            ticks += atol(field.c_str());
    return ticks;
}

// The lowest descriptor number pid has free.
inline int LowestFreeFd(pid_t pid)
{
    std::set<int> used;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (dirent *e = d != nullptr ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            used.insert(atoi(e->d_name));
    if (d != nullptr)
        closedir(d);
    int fd = 0;
    while (used.count(fd) != 0)
        ++fd;
    return fd;
}

}  // namespace testsupport

#endif  // QUELM_TEST_SUPPORT_H
