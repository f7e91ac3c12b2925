/*
 * wardenopts.cpp - the daemon's command line: the usage text, the options
 * and what each one sets (viewer, access, pipe, store and history settings).
 * Kept apart from the main process so that what warden accepts reads in one
 * place; every message and the usage text are as they always were.
 */
#include "wardenopts.h"

#include "access.h"
#include "history.h"
#include "my_getopt.h"
#include "ownpaths.h"
#include "viewrules.h"

#include "shelf_daemon.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr const char *kVersion = WARDEN_VERSION; // the CMake project version
constexpr const char *kUsage =
    "Usage: wardenAG\n"
    "\t-f  or  --foreground      (not a daemon)\n"
    "\t-v  or  --version         (display version)\n"
    "\t-h  or  --help            (option usage)\n"
    "\t-n  or  --dbname <s>      (database name)\n"
    "\t-s  or  --dbhost <s>      (database server)\n"
    "\t-p  or  --dbport <n>      (database port)\n"
    "\t-w  or  --dbpasswd <s>    (database password file)\n"
    "\t        --listen <addr>   (viewer address[:port], repeatable)\n"
    "\t        --allow <cidr>    (viewer peers let in, repeatable)\n"
    "\t        --pipe-group <g>  (only this group may report)\n"
    "\t        --capacity <n>    (live sessions the store holds, 1 to 1000000)\n"
    "\t        --viewers <n>     (viewers served at once, default 4)\n"
    "\t        --idle-limit <s>  (close a silent viewer, default 30)\n"
    "\t        --history <file>  (write every session into this SQLite file)\n"
    "\t        --history-interval <s>  (seconds between writes, default 2)\n"
    "\t        --history-keep <d>      (delete ended sessions after d days)\n"
    "\t        --history-host <s>      (this warden's name in the rows)\n"
    "\t        --history-spool <file>  (rows waiting for the database)\n"
    "\t        --history-spool-limit <MiB>  (spool bound, default 64)\n";

// Set by -f, -v, -h and their long forms (the long ones store their flag).
int isDaemon = 1;
int doVersion = 0;
int doHelp = 0;

// Long options with an argument and no letter; above every character value.
constexpr int kOptListen = 0x100;
constexpr int kOptAllow = 0x101;
constexpr int kOptPipeGroup = 0x102;
constexpr int kOptCapacity = 0x103; // long options have no letter; above every character
constexpr int kOptViewers = 0x104;
constexpr int kOptIdleLimit = 0x105;
constexpr int kOptHistory = 0x106;
constexpr int kOptHistoryInterval = 0x107;
constexpr int kOptHistoryKeep = 0x108;
constexpr int kOptHistoryHost = 0x109;
constexpr int kOptHistorySpool = 0x10a;
constexpr int kOptHistorySpoolLimit = 0x10b;

const quelm::LongOption_t options[] = {
    {"foreground", 1, &isDaemon, 0},
    {"version", 1, &doVersion, 1},
    {"help", 1, &doHelp, 1},
    {"listen", 2, nullptr, kOptListen},
    {"allow", 2, nullptr, kOptAllow},
    {"pipe-group", 2, nullptr, kOptPipeGroup},
    {"capacity", 2, nullptr, kOptCapacity},
    {"viewers", 2, nullptr, kOptViewers},
    {"idle-limit", 2, nullptr, kOptIdleLimit},
    {"dbname", 2, nullptr, 'n'},
    {"dbhost", 2, nullptr, 's'},
    {"dbport", 2, nullptr, 'p'},
    {"dbpasswd", 2, nullptr, 'w'},
    {"history", 2, nullptr, kOptHistory},
    {"history-interval", 2, nullptr, kOptHistoryInterval},
    {"history-keep", 2, nullptr, kOptHistoryKeep},
    {"history-host", 2, nullptr, kOptHistoryHost},
    {"history-spool", 2, nullptr, kOptHistorySpool},
    {"history-spool-limit", 2, nullptr, kOptHistorySpoolLimit},
    {nullptr, 0, nullptr, 0},
};

/* Sizes the store for --capacity text, or exits with 1 after saying why:
 * not a whole number from 1 to the largest accepted, or more than this
 * machine's memory or the space free in /tmp can hold.  Runs before anything
 * is created. */
void SetCapacity(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long n = text != nullptr && *text >= '0' && *text <= '9' ? strtol(text, &end, 10) : -1;
    if (n < 1 || n > quelm::kShelfMaxCapacity || errno != 0 || end == nullptr || *end != '\0') {
        fprintf(stderr, "warden: --capacity needs a whole number from 1 to %ld, not \"%s\"\n",
                quelm::kShelfMaxCapacity, text != nullptr ? text : "");
        exit(1);
    }
    uint64_t need = 0;
    if (quelm::ShelfSetCapacity(n, &need) != 0) {
        fprintf(stderr, "warden: a store for %ld sessions needs %llu bytes, more than %s\n", n,
                static_cast<unsigned long long>(need),
                errno == ENOSPC ? "/tmp has free" : "this machine's memory");
        exit(1);
    }
}

/* path made absolute against the working directory: a detached daemon
 * works in /tmp, so a relative name would point elsewhere there. */
std::string AbsolutePath(const char *path)
{
    if (path[0] == '/' || path[0] == '\0')
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

} // namespace

bool ParseOptions(int argc, char **argv)
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
        case kOptListen: bad = !AccessAddListen(quelm::optarg); break;
        case kOptAllow: bad = !AccessAddAllow(quelm::optarg); break;
        case kOptPipeGroup: bad = !OwnPathsSetPipeGroup(quelm::optarg); break;
        case kOptCapacity: SetCapacity(quelm::optarg); break;
        case kOptViewers:
            viewerSettings.maxViewers = ViewerParseCount(quelm::optarg, 1, kViewersMax);
            bad = viewerSettings.maxViewers < 0;
            break;
        case kOptIdleLimit:
            viewerSettings.idleSeconds = ViewerParseCount(quelm::optarg, 1, 86400);
            bad = viewerSettings.idleSeconds < 0;
            break;
        case 'n': historySettings.dbName = quelm::optarg; bad = *quelm::optarg == '\0'; break;
        case 's': historySettings.dbHost = quelm::optarg; bad = *quelm::optarg == '\0'; break;
        case 'p':
            bad = ViewerParseCount(quelm::optarg, 1, 65535) < 0;
            historySettings.dbPort = quelm::optarg;
            break;
        case 'w': historySettings.dbPasswordFile = AbsolutePath(quelm::optarg); break;
        case kOptHistory:
            historySettings.sqlitePath = AbsolutePath(quelm::optarg);
            bad = *quelm::optarg == '\0';
            break;
        case kOptHistoryInterval:
            historySettings.intervalSeconds = ViewerParseCount(quelm::optarg, 1, 3600);
            bad = historySettings.intervalSeconds < 0;
            break;
        case kOptHistoryKeep:
            historySettings.keepDays = ViewerParseCount(quelm::optarg, 1, 100000);
            bad = historySettings.keepDays < 0;
            break;
        case kOptHistoryHost: historySettings.host = quelm::optarg; bad = *quelm::optarg == '\0'; break;
        case kOptHistorySpool: historySettings.spoolPath = AbsolutePath(quelm::optarg); break;
        case kOptHistorySpoolLimit: {
            const int mib = ViewerParseCount(quelm::optarg, 1, 1048576);
            bad = mib < 0;
            historySettings.spoolLimitBytes = static_cast<uint64_t>(mib) << 20;
            break;
        }
        default: bad = true; break; // '?'
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
    // The server options mean nothing without a database name: as before,
    // they alone end with the usage text.
    const HistorySettings_t &h = historySettings;
    if (h.dbName.empty() && (!h.dbHost.empty() || !h.dbPort.empty() || !h.dbPasswordFile.empty())) {
        fprintf(stderr, "\n%s\n", kUsage);
        exit(1);
    }
    if (!HistoryCheckSettings())
        exit(1);
    return isDaemon != 0;
}

