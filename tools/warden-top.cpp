/*
 * warden-top.cpp - the operators' viewer: a live table of the sessions a
 * warden daemon holds, a plain-text snapshot, a JSON line per change, or one
 * record by key.  Built like any outside program, on <quelm/monitor.h> and
 * libquelm.a alone.  This file reads the command line and the environment
 * and hands over to a mode (modes.cpp, liveview.cpp).  Every error is
 * written to standard error before the terminal is taken over, or shown on
 * the table's last line while it is: exit status 0 on success, 1 on any
 * error, 2 on a usage error.
 */
#include "liveview.h"
#include "modes.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#ifndef WARDEN_TOP_VERSION
#define WARDEN_TOP_VERSION "unknown"
#endif

namespace {

using namespace wtop;

constexpr int kAnswerWaitMax = 3600;    /* largest WARDEN_TOP_TIMEOUT accepted */

const char *const kUsage =
    "Usage: warden-top [--host HOST] [--sort COLUMN] [--reverse] [--filter TEXT]\n"
    "       warden-top [--host HOST] --once [--json] [--sort COLUMN] [--reverse] [--filter TEXT]\n"
    "       warden-top [--host HOST] --json\n"
    "       warden-top [--host HOST] [--json] get KEY\n"
    "Show the SOCKS sessions that the warden daemon on HOST (default 127.0.0.1) holds.\n"
    "\n"
    "  -H, --host HOST      warden's host (dotted IPv4 address or name), port 5051\n"
    "  -o, --once           print the current table as plain text and exit\n"
    "  -j, --json           one JSON object per line: every change as it arrives\n"
    "                       (with --once: every record once; with get: the record)\n"
    "  -s, --sort COLUMN    key client destination resolved user proxy state age up\n"
    "                       uprate down downrate last status (default key)\n"
    "  -r, --reverse        sort in descending order\n"
    "  -f, --filter TEXT    only rows whose key, addresses, user, destination, proxy,\n"
    "                       state or status contain TEXT (ignoring case)\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "  get KEY              show one record; KEY as \"<pid,handle-hex,record>\"\n"
    "\n"
    "Live table keys: q quit, s/S next/previous sort column, r reverse, / filter,\n"
    "arrows and PgUp/PgDn scroll.  Without a terminal, the table is printed once.\n";

/* Reports a usage error (problem may be null when getopt has already
 * said it) and returns the usage exit status. */
int Usage(const char *problem)
{
    if (problem != nullptr)
        Complain(problem);
    std::fprintf(stderr, "Try 'warden-top --help'.\n");
    return kExitUsage;
}

/* Parses the command line into *opt: -1 to go on, else the exit status. */
int ParseOptions(int argc, char **argv, Options *opt)
{
    static const struct option kLong[] = {
        {"host", required_argument, nullptr, 'H'}, {"once", no_argument, nullptr, 'o'},
        {"json", no_argument, nullptr, 'j'},       {"sort", required_argument, nullptr, 's'},
        {"reverse", no_argument, nullptr, 'r'},    {"filter", required_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},       {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "H:ojs:rf:hV", kLong, nullptr)) != -1) {
        switch (c) {
        case 'H':
            opt->host = optarg;
            if (opt->host.empty())
                return Usage("--host needs a host name or address");
            break;
        case 'o':
            opt->once = true;
            break;
        case 'j':
            opt->json = true;
            break;
        case 's':
            if (auto col = ColumnByName(optarg))
                opt->sort = *col;
            else
                return Usage((std::string("unknown sort column '") + optarg + "'").c_str());
            break;
        case 'r':
            opt->reverse = true;
            break;
        case 'f':
            opt->filter = optarg;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return kExitOk;
        case 'V':
            std::printf("warden-top %s\n", WARDEN_TOP_VERSION);
            return kExitOk;
        default:
            return Usage(nullptr);
        }
    }
    const int rest = argc - optind;
    if (rest > 0) {
        if (std::strcmp(argv[optind], "get") != 0)
            return Usage((std::string("unknown command '") + argv[optind] + "'").c_str());
        if (rest != 2)
            return Usage("get needs exactly one KEY, as \"<pid,handle-hex,record>\"");
        if (opt->once)
            return Usage("--once and get do not go together");
        if (!ParseKey(argv[optind + 1], &opt->key))
            return Usage((std::string("bad key '") + argv[optind + 1] + "': expected \"<pid,handle-hex,record>\"").c_str());
        opt->mode = Mode::Get;
    } else if (opt->once) {
        opt->mode = Mode::Once;
    } else if (opt->json) {
        opt->mode = Mode::Json;
    } else if (!isatty(STDOUT_FILENO) || !isatty(STDIN_FILENO)) {
        opt->mode = Mode::Once;  /* no terminal to draw on: one snapshot */
    }
    return -1;
}

/* WARDEN_TOP_TIMEOUT: whole seconds, 1 to kAnswerWaitMax.  -1 to go on,
 * else the exit status. */
int ReadEnvironment(Options *opt)
{
    const char *text = std::getenv("WARDEN_TOP_TIMEOUT");
    if (text == nullptr || *text == '\0')
        return -1;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 1 || v > kAnswerWaitMax)
        return Usage(("WARDEN_TOP_TIMEOUT must be whole seconds from 1 to " + std::to_string(kAnswerWaitMax) +
                      ", not '" + text + "'").c_str());
    opt->answerWait = static_cast<int>(v);
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (const int status = ParseOptions(argc, argv, &opt); status >= 0)
        return status;
    if (const int status = ReadEnvironment(&opt); status >= 0)
        return status;
    try {
        switch (opt.mode) {
        case Mode::Once:
            return RunOnce(opt);
        case Mode::Json:
            return RunJson(opt);
        case Mode::Get:
            return RunGet(opt);
        case Mode::Live:
            return RunLive(opt);
        }
    } catch (const std::exception &e) {
        Complain(e.what());
    }
    return kExitError;
}
