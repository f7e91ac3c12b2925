/*
 * warden-watch - runs an unmodified SOCKS server with libquelm-watch.so
 * preloaded, so that warden shows its sessions; or, with --check, says
 * whether a server program can be watched and which of the interposed calls
 * it uses.
 */
#include "elfcheck.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

const char *const kUsage =
    "Usage: warden-watch [--library PATH] [--verbose] -- COMMAND [ARGUMENT...]\n"
    "       warden-watch --check [--library PATH] -- COMMAND\n"
    "       warden-watch --systemd [--library PATH]\n"
    "Run a dynamically linked SOCKS5 server with libquelm-watch.so preloaded, so that\n"
    "warden shows each of its sessions without any change to the server.\n"
    "\n"
    "  -c, --check          tell whether COMMAND can be watched and which of the\n"
    "                       interposed calls it imports; run nothing\n"
    "  -l, --library PATH   the library to preload (default: the installed one)\n"
    "  -s, --systemd        print a systemd drop-in that watches a service\n"
    "  -v, --verbose        the library logs what it does to standard error\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n";

bool Exists(const std::string &p) { return !p.empty() && access(p.c_str(), R_OK) == 0; }

/* The library beside this program (the build tree), or the installed one. */
std::string DefaultLibrary()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.erase(dir.rfind('/'));
        for (const std::string &p : {dir + "/libquelm-watch.so",
                                     dir + "/../" WATCH_LIBDIR "/libquelm-watch.so"})
            if (Exists(p)) {
                char real[PATH_MAX];
                return realpath(p.c_str(), real) != nullptr ? real : p;
            }
    }
    return WATCH_INSTALLED_LIBRARY;
}

/* The file execvp would run for name, or "" when there is none. */
std::string FindProgram(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : "";
    const char *path = getenv("PATH");
    std::string all = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t from = 0;
    for (;;) {
        const size_t colon = all.find(':', from);
        std::string dir = all.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        if (dir.empty())
            dir = ".";
        const std::string p = dir + "/" + name;
        if (access(p.c_str(), X_OK) == 0)
            return p;
        if (colon == std::string::npos)
            return "";
        from = colon + 1;
    }
}

bool Has(const watch::ElfReport &r, const char *call)
{
    for (const std::string &c : r.calls)
        if (c == call)
            return true;
    return false;
}

/* --check: 0 when the program can be watched, 1 when not. */
int Check(const std::string &name, const std::string &library)
{
    const std::string path = FindProgram(name);
    if (path.empty()) {
        fprintf(stderr, "warden-watch: %s: no such program\n", name.c_str());
        return 1;
    }
    watch::ElfReport r;
    std::string error;
    if (!watch::ElfCheck(path, &r, &error)) {
        printf("%s: cannot be watched: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    if (!r.dynamic) {
        printf("%s: cannot be watched: it is statically linked, so the dynamic loader never "
               "runs and no library can be preloaded into it\n", path.c_str());
        return 1;
    }
    std::string calls;
    for (const std::string &c : r.calls)
        calls += " " + c;
    printf("%s: dynamically linked\n", path.c_str());
    printf("interposed calls it imports:%s\n", calls.empty() ? " none" : calls.c_str());
    const bool accepts = Has(r, "accept") || Has(r, "accept4");
    const bool reads = Has(r, "read") || Has(r, "__read_chk") || Has(r, "recv") ||
                       Has(r, "__recv_chk") || Has(r, "recvfrom") || Has(r, "__recvfrom_chk") ||
                       Has(r, "recvmsg") || Has(r, "readv");
    const bool writes = Has(r, "write") || Has(r, "send") || Has(r, "sendto") ||
                        Has(r, "sendmsg") || Has(r, "writev");
    if (r.setuid) {
        printf("cannot be watched: it is set-user-ID or set-group-ID, and the loader ignores "
               "LD_PRELOAD for such programs\n");
        return 1;
    }
    if (!accepts || !reads || !writes) {
        printf("cannot be watched: it imports no %s call, so its client connections pass "
               "by unseen\n", !accepts ? "accept" : !reads ? "read" : "write");
        return 1;
    }
    printf("can be watched: warden-watch -- %s ...\n", name.c_str());
    if (!Exists(library))
        printf("note: the library %s is not there\n", library.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    static const struct option kOptions[] = {
        {"check", no_argument, nullptr, 'c'},   {"library", required_argument, nullptr, 'l'},
        {"systemd", no_argument, nullptr, 's'}, {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},    {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    bool check = false, systemd = false, verbose = false;
    std::string library;
    int c;
    while ((c = getopt_long(argc, argv, "+cl:svhV", kOptions, nullptr)) != -1) {
        switch (c) {
        case 'c': check = true; break;
        case 'l': library = optarg; break;
        case 's': systemd = true; break;
        case 'v': verbose = true; break;
        case 'h': fputs(kUsage, stdout); return 0;
        case 'V': printf("warden-watch %s\n", WATCH_VERSION); return 0;
        default: fputs(kUsage, stderr); return 2;
        }
    }
    if (library.empty()) {
        library = DefaultLibrary();
    } else if (library[0] != '/') {
        char real[PATH_MAX];
        if (realpath(library.c_str(), real) == nullptr) {
            fprintf(stderr, "warden-watch: %s: %s\n", library.c_str(), strerror(errno));
            return 2;
        }
        library = real;  // the server may change directory before it loads
    }
    if (systemd) {
        printf("# systemctl edit SERVICE, then add (and restart the service):\n"
               "[Service]\n"
               "Environment=LD_PRELOAD=%s\n", library.c_str());
        return 0;
    }
    if (optind >= argc) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (check)
        return Check(argv[optind], library);
    if (!Exists(library)) {
        fprintf(stderr, "warden-watch: %s: %s\n", library.c_str(), strerror(errno));
        return 2;
    }
    // Ours first; a preload the caller set stays after it.
    const char *old = getenv("LD_PRELOAD");
    const std::string preload = old != nullptr && old[0] != '\0' ? library + ":" + old : library;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    if (verbose)
        setenv("WARDEN_WATCH_DEBUG", "1", 1);
    execvp(argv[optind], argv + optind);
    fprintf(stderr, "warden-watch: %s: %s\n", argv[optind], strerror(errno));
    return 127;
}
