/*
 * options.h - warden-hub's command line: upstream and listen addresses,
 * intervals, the journal and the per-user metrics.  Parsing never exits; it
 * returns a message that names the option and the value it refused.
 */
#ifndef WARDEN_HUB_OPTIONS_H
#define WARDEN_HUB_OPTIONS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hub {

struct Endpoint {
    std::string host;  /* name or address, IPv6 without its brackets */
    int port = 0;
    std::string Label() const;  /* "host:port", "[v6]:port" */
};

struct Options {
    std::vector<Endpoint> upstreams;  /* default 127.0.0.1:5051 */
    Endpoint listen{"127.0.0.1", 9051};
    double interval = 1.0;     /* seconds between change streams          */
    double timeout = 10.0;     /* seconds a silent upstream is waited for  */
    double retryMax = 30.0;    /* longest pause between reconnects         */
    double linger = 30.0;      /* seconds an ended session stays listed    */
    std::string journal;       /* empty: none; "-": standard output        */
    bool perUser = false;
    size_t usersMax = 100;
    std::string history;       /* empty: no /api/history; SQLite file or libpq string */
};

/* HOST[:PORT] ("[v6]" or "[v6]:PORT" for IPv6) into *out; defaultPort when
 * no port is given.  false with *err set for an empty host, a port that is
 * not a number from 1 to 65535, or stray characters. */
bool ParseEndpoint(std::string_view text, int defaultPort, Endpoint *out, std::string *err);

/* Seconds as a decimal number between lo and hi. */
bool ParseSeconds(std::string_view text, double lo, double hi, double *out);

enum class ParseResult { Run, Exit, Usage };

/* Parses argv into *opt.  Run: go on.  Exit: --help or --version was
 * written to standard output.  Usage: *err holds the problem. */
ParseResult ParseOptions(int argc, char **argv, Options *opt, std::string *err);

extern const char *const kUsage;

}  // namespace hub

#endif /* WARDEN_HUB_OPTIONS_H */
