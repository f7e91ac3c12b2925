/*
 * options.cpp - warden-hub's command line, parsed with getopt_long like the
 * other tools of warden.  Values are checked here, before any thread or
 * socket exists, so that a bad one ends the program with a plain message.
 */
#include "options.h"

#include <quelm/monitor.h>

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#ifndef WARDEN_HUB_VERSION
#define WARDEN_HUB_VERSION "unknown"
#endif

namespace hub {

const char *const kUsage =
    "Usage: warden-hub [--upstream HOST[:PORT]]... [--listen ADDR:PORT] [--journal FILE]\n"
    "                  [--interval SECONDS] [--metrics-per-user [--metrics-users-max N]]\n"
    "Watch one or more warden daemons and serve what they hold over HTTP: Prometheus\n"
    "metrics at /metrics, the sessions as JSON at /api/sessions, their changes as\n"
    "Server-Sent Events at /api/events, a live page at /, and /healthz.\n"
    "\n"
    "  -u, --upstream HOST[:PORT]  a warden to watch (repeatable; default 127.0.0.1:5051;\n"
    "                              the viewer port is 5051, no other is accepted)\n"
    "  -l, --listen ADDR:PORT      where to serve HTTP (default 127.0.0.1:9051)\n"
    "  -i, --interval SECONDS      pause between two reads of the change stream (default 1)\n"
    "  -t, --timeout SECONDS       a silent upstream counts as lost after this (default 10)\n"
    "      --retry-max SECONDS     longest pause between reconnects (default 30)\n"
    "      --linger SECONDS        how long ended sessions stay listed (default 30)\n"
    "  -j, --journal FILE          append one JSON line per ended session; '-' for\n"
    "                              standard output; SIGHUP reopens FILE\n"
    "      --metrics-per-user      byte counters per user name as well\n"
    "      --metrics-users-max N   users with counters of their own (default 100);\n"
    "                              the others are summed under user=\"(other)\"\n"
    "      --history DB            serve /api/history and a History view from warden's\n"
    "                              history: its SQLite file, or a PostgreSQL connection\n"
    "                              string (\"dbname=... host=...\" or \"postgresql://...\")\n"
    "  -h, --help                  show this help and exit\n"
    "  -V, --version               show the version and exit\n";

std::string Endpoint::Label() const
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace {

bool ParsePort(std::string_view text, int *port)
{
    int v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v, 10);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || v < 1 || v > 65535)
        return false;
    *port = v;
    return true;
}

}  // namespace

bool ParseEndpoint(std::string_view text, int defaultPort, Endpoint *out, std::string *err)
{
    const std::string shown(text);
    std::string_view host = text, port;
    bool havePort = false;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) {
            *err = "'" + shown + "': missing ']' after the IPv6 address";
            return false;
        }
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                *err = "'" + shown + "': expected ':PORT' after ']'";
                return false;
            }
            port = rest.substr(1);
            havePort = true;
        }
    } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        if (text.find(':') != colon) {
            *err = "'" + shown + "': an IPv6 address goes in brackets, as [ADDR]:PORT";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        havePort = true;
    }
    if (host.empty()) {
        *err = "'" + shown + "': the host is missing";
        return false;
    }
    if (host.find_first_of(" \t\n/") != std::string_view::npos) {
        *err = "'" + shown + "': not a host name or address";
        return false;
    }
    Endpoint e;
    e.host = std::string(host);
    e.port = defaultPort;
    if (havePort && !ParsePort(port, &e.port)) {
        *err = "'" + shown + "': the port must be a number from 1 to 65535";
        return false;
    }
    *out = e;
    return true;
}

bool ParseSeconds(std::string_view text, double lo, double hi, double *out)
{
    const std::string s(text);
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || end != s.c_str() + s.size() || !std::isfinite(v) || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

ParseResult ParseOptions(int argc, char **argv, Options *opt, std::string *err)
{
    enum { kRetryMax = 256, kLinger, kPerUser, kUsersMax, kHistory };
    static const struct option kLong[] = {
        {"upstream", required_argument, nullptr, 'u'},
        {"listen", required_argument, nullptr, 'l'},
        {"interval", required_argument, nullptr, 'i'},
        {"timeout", required_argument, nullptr, 't'},
        {"retry-max", required_argument, nullptr, kRetryMax},
        {"linger", required_argument, nullptr, kLinger},
        {"journal", required_argument, nullptr, 'j'},
        {"metrics-per-user", no_argument, nullptr, kPerUser},
        {"metrics-users-max", required_argument, nullptr, kUsersMax},
        {"history", required_argument, nullptr, kHistory},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 1;
    opterr = 0;
    int c;
    const auto seconds = [&](const char *name, double lo, double hi, double *where) {
        if (ParseSeconds(optarg, lo, hi, where))
            return true;
        char range[96];
        std::snprintf(range, sizeof range, "a number of seconds from %g to %g", lo, hi);
        *err = std::string(name) + " wants " + range + ", not '" + optarg + "'";
        return false;
    };
    while ((c = getopt_long(argc, argv, ":u:l:i:t:j:hV", kLong, nullptr)) != -1) {
        switch (c) {
        case 'u': {
            Endpoint e;
            if (!ParseEndpoint(optarg, MON_VIEWER_PORT, &e, err)) {
                *err = "--upstream " + *err;
                return ParseResult::Usage;
            }
            /* The viewer client of the library always dials the daemon's
             * fixed viewer port; a port is accepted for the label's sake
             * and refused when it names another. */
            if (e.port != MON_VIEWER_PORT) {
                *err = "--upstream '" + std::string(optarg) + "': warden serves viewers on port " +
                       std::to_string(MON_VIEWER_PORT) + " only";
                return ParseResult::Usage;
            }
            for (const Endpoint &seen : opt->upstreams) {
                if (seen.Label() == e.Label()) {
                    *err = "--upstream " + e.Label() + " is given twice";
                    return ParseResult::Usage;
                }
            }
            opt->upstreams.push_back(e);
            break;
        }
        case 'l':
            if (!ParseEndpoint(optarg, 0, &opt->listen, err) || opt->listen.port == 0) {
                if (opt->listen.port == 0)
                    *err = "'" + std::string(optarg) + "': expected ADDR:PORT";
                *err = "--listen " + *err;
                return ParseResult::Usage;
            }
            break;
        case 'i':
            if (!seconds("--interval", 0.01, 3600, &opt->interval))
                return ParseResult::Usage;
            break;
        case 't':
            if (!seconds("--timeout", 1, 3600, &opt->timeout))
                return ParseResult::Usage;
            break;
        case kRetryMax:
            if (!seconds("--retry-max", 0.1, 3600, &opt->retryMax))
                return ParseResult::Usage;
            break;
        case kLinger:
            if (!seconds("--linger", 0, 86400, &opt->linger))
                return ParseResult::Usage;
            break;
        case 'j':
            if (*optarg == '\0') {
                *err = "--journal wants a file name, or '-' for standard output";
                return ParseResult::Usage;
            }
            opt->journal = optarg;
            break;
        case kPerUser:
            opt->perUser = true;
            break;
        case kUsersMax: {
            const std::string_view v = optarg;
            size_t n = 0;
            const auto r = std::from_chars(v.data(), v.data() + v.size(), n, 10);
            if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size() || n > 100000) {
                *err = "--metrics-users-max wants a number from 0 to 100000, not '" + std::string(v) + "'";
                return ParseResult::Usage;
            }
            opt->usersMax = n;
            break;
        }
        case kHistory:
            if (*optarg == '\0') {
                *err = "--history wants warden's SQLite file or a PostgreSQL connection string";
                return ParseResult::Usage;
            }
            opt->history = optarg;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return ParseResult::Exit;
        case 'V':
            std::printf("warden-hub %s\n", WARDEN_HUB_VERSION);
            return ParseResult::Exit;
        case ':':
            *err = std::string("option '") + argv[optind - 1] + "' needs a value";
            return ParseResult::Usage;
        default:
            *err = std::string("unknown option '") + argv[optind - 1] + "'";
            return ParseResult::Usage;
        }
    }
    if (optind < argc) {
        *err = std::string("unexpected argument '") + argv[optind] + "'";
        return ParseResult::Usage;
    }
    if (opt->upstreams.empty())
        opt->upstreams.push_back(Endpoint{"127.0.0.1", MON_VIEWER_PORT});
    return ParseResult::Run;
}

}  // namespace hub
