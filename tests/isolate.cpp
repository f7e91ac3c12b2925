// quelm_isolate - runs a command in private mount, IPC and network namespaces,
// with a fresh empty /tmp and its own loopback, so that tests using the fixed
// /tmp names, port 5051 and System V semaphores neither disturb nor are
// disturbed by a warden running on the machine, nor by each other.
//
// Usage: quelm_isolate PROGRAM [ARGS...]
//        quelm_isolate --probe   (exit 0 when the isolation can be made here)
// Paths under /tmp that the command needs (its own program, the working
// directory, QUELM_ISOLATE_KEEP entries separated by ':') stay reachable:
// their top-level /tmp entries are bound into the new /tmp.
// Where the isolation cannot be made (no namespaces, or mounts that cannot
// be made private, as in a chroot whose root is no mount point), the command
// runs as it is, with a warning, and one at a time: it holds an exclusive
// lock on /tmp/quelm_isolate.lock while it runs, as the names it would use
// are the machine's own.  Whether the isolation can be made is tried first
// in a child, with the very operations the isolation takes.
// Already inside an isolation, the command runs as it is unless
// QUELM_ISOLATE_FORCE is set; inside an unisolated run, where it cannot
// isolate either, it runs as it is.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

[[noreturn]] void Run(char **argv) {
    execvp(argv[0], argv);
    fprintf(stderr, "quelm_isolate: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

// "/tmp/a/b" -> "a"; empty when the path does not lie under /tmp.
std::string TmpEntry(const std::string &path) {
    const std::string prefix = "/tmp/";
    if (path.compare(0, prefix.size(), prefix) != 0) return {};
    std::string rest = path.substr(prefix.size());
    return rest.substr(0, rest.find('/'));
}

std::string RealPath(const char *p) {
    char buf[PATH_MAX];
    if (realpath(p, buf) == nullptr) return {};
    return buf;
}

// Resolves a program name the way execvp will, to learn where it lives.
std::string ProgramPath(const char *prog) {
    if (strchr(prog, '/') != nullptr) return RealPath(prog);
    const char *path = getenv("PATH");
    std::string all = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        std::string cand = all.substr(start, end - start) + "/" + prog;
        if (access(cand.c_str(), X_OK) == 0) return RealPath(cand.c_str());
        start = end + 1;
    }
    return {};
}

bool LoopbackUp() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    close(s);
    return ok;
}


// The steps of the isolation, in this process; false after saying which
// failed (and why) when not quiet.  keep: the top-level /tmp entries to
// bind into the new /tmp.
bool Isolate(const std::vector<std::string> &keep, bool quiet) {
    auto fail = [quiet](const char *what) {
        if (!quiet) fprintf(stderr, "quelm_isolate: %s: %s\n", what, strerror(errno));
        return false;
    };
    if (unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWNET) != 0) return fail("no private namespaces");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("cannot make mounts private");
    // Hold the kept entries by descriptor, opened inside the new namespace so
    // that they can be bound back once the new /tmp covers the old one.
    std::vector<int> keepFds;
    for (auto &k : keep) {
        std::string p = "/tmp/" + k;
        keepFds.push_back(open(p.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    }
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        return fail("cannot make a private /tmp");
    for (size_t i = 0; i < keep.size(); ++i) {
        if (keepFds[i] < 0) continue;
        struct stat st;
        if (fstat(keepFds[i], &st) != 0) continue;
        std::string target = "/tmp/" + keep[i];
        std::string source = "/proc/self/fd/" + std::to_string(keepFds[i]);
        if (S_ISDIR(st.st_mode)) {
            mkdir(target.c_str(), 0755);
        } else {
            int fd = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0) close(fd);
        }
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            if (!quiet)
                fprintf(stderr, "quelm_isolate: cannot keep %s: %s\n", target.c_str(), strerror(errno));
            return false;
        }
        close(keepFds[i]);
    }
    if (!LoopbackUp()) return fail("cannot bring up loopback");
    return true;
}

// Tries the isolation in a child, which then ends: true when it could be made.
bool CanIsolate(const std::vector<std::string> &keep, bool quiet) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) _exit(Isolate(keep, quiet) ? 0 : 1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

volatile sig_atomic_t commandPid = 0;

void Forward(int sig) {
    if (commandPid > 0) kill(commandPid, sig);
}

// Runs cmd without isolation, one such run at a time on this machine: under
// an exclusive lock, held by this process (not the command, whose leftovers
// must not keep the next run waiting) until the command ends.  Returns the
// command's exit status as a shell would.
int RunUnisolated(char **cmd) {
    const char *lockPath = "/tmp/quelm_isolate.lock";
    const int lock = open(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    struct stat st;
    if (lock < 0 || fstat(lock, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "quelm_isolate: cannot open %s: %s\n", lockPath, strerror(errno));
        return 1;
    }
    (void)fchmod(lock, 0666);  // whoever runs the next test may take it too
    while (flock(lock, LOCK_EX) != 0) {
        if (errno != EINTR) {
            fprintf(stderr, "quelm_isolate: cannot lock %s: %s\n", lockPath, strerror(errno));
            return 1;
        }
    }
    setenv("QUELM_ISOLATE_HELD", "1", 1);  // a quelm_isolate inside runs at once
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = Forward;
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a killed run takes its command along
        if (getppid() != parent) _exit(1);
        Run(cmd);
    }
    if (pid < 0) {
        fprintf(stderr, "quelm_isolate: cannot fork: %s\n", strerror(errno));
        return 1;
    }
    commandPid = pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(lock);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: quelm_isolate PROGRAM [ARGS...] | --probe\n");
        return 2;
    }
    if (strcmp(argv[1], "--probe") == 0) return CanIsolate({}, false) ? 0 : 1;
    char **cmd = argv + 1;
    if (getenv("QUELM_ISOLATED") != nullptr && getenv("QUELM_ISOLATE_FORCE") == nullptr) Run(cmd);

    // Everything under /tmp that must survive the new /tmp, found before the
    // unshare while the old /tmp is still in view.
    std::vector<std::string> keep;
    auto addKeep = [&keep](const std::string &path) {
        std::string e = TmpEntry(path);
        if (e.empty() || e == "." || e == "..") return;
        for (auto &k : keep)
            if (k == e) return;
        keep.push_back(e);
    };
    char cwd[PATH_MAX];
    std::string here = getcwd(cwd, sizeof cwd) != nullptr ? RealPath(cwd) : std::string();
    addKeep(here);
    addKeep(ProgramPath(cmd[0]));
    addKeep(RealPath("/proc/self/exe"));
    if (const char *extra = getenv("QUELM_ISOLATE_KEEP")) {
        std::string all = extra;
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(':', start);
            if (end == std::string::npos) end = all.size();
            std::string p = RealPath(all.substr(start, end - start).c_str());
            if (!p.empty()) addKeep(p);
            start = end + 1;
        }
    }
    if (!CanIsolate(keep, false)) {
        // Inside an unisolated run the lock is held already, by the run.
        if (getenv("QUELM_ISOLATE_HELD") != nullptr) Run(cmd);
        fprintf(stderr, "quelm_isolate: running %s unisolated, one such run at a time\n", cmd[0]);
        return RunUnisolated(cmd);
    }
    if (!Isolate(keep, false)) return 1;  // it could be made a moment ago
    if (!here.empty() && chdir(here.c_str()) != 0) {
        fprintf(stderr, "quelm_isolate: cannot enter %s: %s\n", here.c_str(), strerror(errno));
        return 1;
    }
    setenv("QUELM_ISOLATED", "1", 1);
    unsetenv("QUELM_ISOLATE_FORCE");
    Run(cmd);
}
