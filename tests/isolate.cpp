// quelm_isolate - runs a command in private mount, IPC and network namespaces,
// with a fresh empty /tmp and its own loopback, so that tests using the fixed
// /tmp names, port 5051 and System V semaphores neither disturb nor are
// disturbed by a warden running on the machine, nor by each other.
//
// Usage: quelm_isolate PROGRAM [ARGS...]
// Paths under /tmp that the command needs (its own program, the working
// directory, QUELM_ISOLATE_KEEP entries separated by ':') stay reachable:
// their top-level /tmp entries are bound into the new /tmp. Where the
// namespaces cannot be made, the command runs as it is, with a warning.
// Already inside an isolation, the command runs as it is unless
// QUELM_ISOLATE_FORCE is set.

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
#include <sys/stat.h>
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

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: quelm_isolate PROGRAM [ARGS...]\n");
        return 2;
    }
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
    if (unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWNET) != 0) {
        fprintf(stderr, "quelm_isolate: no private namespaces (%s); running unisolated\n",
                strerror(errno));
        Run(cmd);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fprintf(stderr, "quelm_isolate: cannot make mounts private: %s\n", strerror(errno));
        return 1;
    }
    // Hold the kept entries by descriptor, opened inside the new namespace so
    // that they can be bound back once the new /tmp covers the old one.
    std::vector<int> keepFds;
    for (auto &k : keep) {
        std::string p = "/tmp/" + k;
        keepFds.push_back(open(p.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    }
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        fprintf(stderr, "quelm_isolate: cannot make a private /tmp: %s\n", strerror(errno));
        return 1;
    }
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
            fprintf(stderr, "quelm_isolate: cannot keep %s: %s\n", target.c_str(),
                    strerror(errno));
            return 1;
        }
        close(keepFds[i]);
    }
    if (!LoopbackUp()) {
        fprintf(stderr, "quelm_isolate: cannot bring up loopback: %s\n", strerror(errno));
        return 1;
    }
    if (!here.empty() && chdir(here.c_str()) != 0) {
        fprintf(stderr, "quelm_isolate: cannot enter %s: %s\n", here.c_str(), strerror(errno));
        return 1;
    }
    setenv("QUELM_ISOLATED", "1", 1);
    unsetenv("QUELM_ISOLATE_FORCE");
    Run(cmd);
}
