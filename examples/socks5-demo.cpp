/*
 * socks5-demo - a small SOCKS5 proxy (RFC 1928 CONNECT, RFC 1929 username and
 * password) that reports every session it relays to warden through libquelm.
 * One thread per client connection, with a reporting handle of its own, so a
 * session's key (process ID, handle number, record number) and its counters
 * belong to that thread alone.  Reporting is best effort: a report that
 * cannot be delivered waits in the handle for the next one and the proxy
 * relays on as if nothing had happened.
 *
 * What a session's record holds (the conventions written in <quelm/monitor.h>):
 *   addrA   the client: peer of the accepted connection
 *   addrB   the destination address connected to; after a failed connect the
 *           address tried last, all zero when none was tried
 *   addrC   the proxy's own address on the connection to the destination
 *           (address blocks: a sockaddr_in/sockaddr_in6 at the start of the
 *           260 bytes, the rest zero)
 *   text1   the user name (RFC 1929), empty without authentication
 *   text2   the destination as the client asked for it: "host:port",
 *           "a.b.c.d:port" or "[v6-address]:port"; unprintable bytes of a
 *           domain name shown as '?'
 *   text3   the command: "CONNECT", "BIND", "UDP ASSOCIATE", else "0xNN"
 *   text4   "socks5-demo"
 *   code2   the command byte; code1 the address type byte
 *   countA  bytes relayed from the client to the destination (64-bit
 *           counters: read the totals with QxMonTotalA/QxMonTotalB)
 *   countB  bytes relayed from the destination to the client
 *   status  the SOCKS reply code, statusText its RFC 1928 text
 * Reports: start once the request has been read, status with the reply sent,
 * updates while data flows (at most every 0.5 s; the library throttles more,
 * and what it holds back is sent when due even if the transfer stalls), end
 * when both directions are closed or the session is cut.  A refused RFC 1929
 * login is one record of its own: status MON_STATUS_AUTH_BASE + 1, text1 the
 * user name tried.  A client that never sends a request makes no record.
 */
#include <quelm/monitor.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char *kProgram = "socks5-demo";

// Protocol numbers of RFC 1928 and RFC 1929.
constexpr uint8_t kSocksVersion = 5;
constexpr uint8_t kAuthVersion = 1;
constexpr uint8_t kMethodNone = 0x00;
constexpr uint8_t kMethodPassword = 0x02;
constexpr uint8_t kMethodRefused = 0xff;
constexpr uint8_t kCmdConnect = 1;
constexpr uint8_t kCmdBind = 2;
constexpr uint8_t kCmdUdpAssociate = 3;
constexpr uint8_t kAtypIPv4 = 1;
constexpr uint8_t kAtypDomain = 3;
constexpr uint8_t kAtypIPv6 = 4;

// Reply codes; the value is what goes on the wire and into the record's status.
enum Reply : uint8_t {
    kSucceeded = 0,
    kGeneralFailure = 1,
    kNotAllowed = 2,
    kNetworkUnreachable = 3,
    kHostUnreachable = 4,
    kConnectionRefused = 5,
    kTtlExpired = 6,
    kCommandNotSupported = 7,
    kAddressTypeNotSupported = 8,
};

constexpr size_t kRelayBuffer = 64 * 1024;  // per direction
constexpr long kUpdateIntervalMs = 500;     // between two update reports
constexpr int kPipeRetrySeconds = 1;        // between attempts to reach warden
constexpr int kListenBacklog = 512;
constexpr size_t kSessionStack = 256 * 1024;  // per session thread
constexpr long kShutdownWaitMs = 10000;       // for sessions to report their end

struct Options {
    std::string listen = "127.0.0.1:1080";
    std::string usersFile;
    bool monitor = true;
    bool verbose = false;
    int connectTimeout = 10;    // seconds, per destination address
    int handshakeTimeout = 30;  // seconds, greeting to request, all reads together
    long maxSessions = 1024;    // concurrent session threads
    int reportInterval = 5;     // seconds between two sends of a record
    int reportFree = 4;         // reports of a record sent before the throttle
};

using UserList = std::vector<std::pair<std::string, std::string>>;

Options opts;
UserList users;  // empty: no authentication; else only RFC 1929 is offered

// Set by the stop handler, which runs only in the main thread's ppoll (every
// thread has the stop signals blocked).  The main thread then makes stopFd
// readable for good: every session waits on it too, so each wakes and ends.
volatile sig_atomic_t stopSignal = 0;
std::atomic<bool> stopping{false};
int stopFd = -1;

// Session threads alive; each one that ends counts itself off and adds 1 to
// doneFd, which wakes the main thread when it waits for a free place.
std::atomic<long> liveSessions{0};
int doneFd = -1;

/* Stop signals only leave a note; the main flow acts on it. */
void OnStop(int sig)
{
    stopSignal = sig;
}

/* True once the proxy is stopping. */
bool Stopping()
{
    return stopping.load(std::memory_order_relaxed);
}

/* poll() on fds and the stop descriptor: poll's result for fds (0 on
 * timeout), or -1 with errno EINTR when the proxy is stopping. */
int WaitFds(struct pollfd *fds, int n, long timeoutMs)
{
    struct pollfd all[4];
    for (int i = 0; i < n; ++i)
        all[i] = fds[i];
    all[n] = {stopFd, POLLIN, 0};
    const int r = poll(all, static_cast<nfds_t>(n + 1), static_cast<int>(timeoutMs));
    if (r < 0)
        return -1;
    if (all[n].revents != 0 || Stopping()) {
        errno = EINTR;
        return -1;
    }
    for (int i = 0; i < n; ++i)
        fds[i].revents = all[i].revents;
    return r;
}

/* Milliseconds of a clock that never jumps; cheap enough to read per chunk. */
long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

/* Prints "socks5-demo: " and the message, exits with status 2. */
void Die(const char *format, const char *arg)
{
    fprintf(stderr, "%s: ", kProgram);
    fprintf(stderr, format, arg);
    fputc('\n', stderr);
    exit(2);
}

/* "a.b.c.d:port" or "[v6]:port" of a socket address; "?" for other families. */
std::string AddrText(const struct sockaddr *sa)
{
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (sa->sa_family == AF_INET) {
        auto *in = reinterpret_cast<const struct sockaddr_in *>(sa);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (sa->sa_family == AF_INET6) {
        auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(sa);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    return host;
}

/* Copies a socket address into a record's 260-byte address block in the
 * shipped convention; any other family leaves the block all zero. */
void PutAddrBlock(unsigned char block[MON_ADDR_SIZE], const struct sockaddr *sa)
{
    (void)QxMonAddrFromSockaddr(block, sa);
}

/* Copies text into a connection-record text field, cut to fit. */
void PutText(char *field, size_t size, const std::string &text)
{
    snprintf(field, size, "%s", text.c_str());
}

/* ------------------------------------------------------------------ */
/* Options and the user list.                                           */

/* The usage text, to out. */
void Usage(FILE *out)
{
    fprintf(out,
            "Usage: %s [--listen ADDR:PORT] [--users FILE] [--no-monitor]\n"
            "       [--connect-timeout SECS] [--handshake-timeout SECS]\n"
            "       [--max-sessions N] [--verbose]\n"
            "       [--report-interval SECS] [--report-free N]\n"
            "       [--version] [--help]\n"
            "  --listen ADDR:PORT      where to accept clients (default 127.0.0.1:1080);\n"
            "                          [v6-address]:PORT for IPv6, *:PORT for every\n"
            "                          address, port 0 for any free port\n"
            "  --users FILE            require RFC 1929 login; FILE has user:password lines\n"
            "  --no-monitor            do not report sessions to warden\n"
            "  --connect-timeout SECS  per destination address (default 10)\n"
            "  --handshake-timeout SECS\n"
            "                          for a client's greeting, login and request, all\n"
            "                          together (default 30)\n"
            "  --max-sessions N        concurrent sessions (default 1024)\n"
            "  --verbose               one line per session on standard error\n"
            "  --report-interval SECS  at most one report of a session per SECS after\n"
            "                          its first ones (default 5; 0 sends every one)\n"
            "  --report-free N         reports of a session sent before that (default 4;\n"
            "                          0: a session shorter than SECS is sent once, ended)\n"
            "  --version               show the version and exit\n"
            "  --help                  show this text and exit\n",
            kProgram);
}

/* text as a decimal number in [lo, hi]; exits with status 2 otherwise. */
long NumberArg(const char *name, const char *text, long lo, long hi)
{
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
        Die("bad value for %s", name);
    return v;
}

/* Fills opts from the command line; exits on --help (0) and on errors (2). */
void ParseOptions(int argc, char **argv)
{
    static const struct option longOpts[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"users", required_argument, nullptr, 'u'},
        {"no-monitor", no_argument, nullptr, 'n'},
        {"connect-timeout", required_argument, nullptr, 't'},
        {"handshake-timeout", required_argument, nullptr, 'T'},
        {"max-sessions", required_argument, nullptr, 'm'},
        {"verbose", no_argument, nullptr, 'v'},
        {"report-interval", required_argument, nullptr, 'r'},
        {"report-free", required_argument, nullptr, 'F'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "l:u:nt:T:m:vhr:F:", longOpts, nullptr)) != -1) {
        switch (c) {
        case 'l': opts.listen = optarg; break;
        case 'u': opts.usersFile = optarg; break;
        case 'n': opts.monitor = false; break;
        case 't': opts.connectTimeout = static_cast<int>(NumberArg("--connect-timeout", optarg, 1, 3600)); break;
        case 'T': opts.handshakeTimeout = static_cast<int>(NumberArg("--handshake-timeout", optarg, 1, 3600)); break;
        case 'm': opts.maxSessions = NumberArg("--max-sessions", optarg, 1, 100000); break;
        case 'v': opts.verbose = true; break;
        case 'r': opts.reportInterval = static_cast<int>(NumberArg("--report-interval", optarg, 0, 3600)); break;
        case 'F': opts.reportFree = static_cast<int>(NumberArg("--report-free", optarg, 0, 1000)); break;
        case 'h': Usage(stdout); exit(0);
        case 'V': printf("%s %s\n", kProgram, SOCKS5_DEMO_VERSION); exit(0);
        default: Usage(stderr); exit(2);
        }
    }
    if (optind != argc) {
        Usage(stderr);
        exit(2);
    }
}

/* Reads "user:password" lines (blank lines and lines starting with '#'
 * skipped); both parts 1 to 255 bytes, as RFC 1929 carries them.  Exits
 * with status 2 on an unreadable file, a bad line or no user at all. */
UserList LoadUsers(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "re");
    if (f == nullptr)
        Die("cannot read users file %s", path.c_str());
    UserList list;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    int lineNo = 0;
    while ((n = getline(&line, &cap, f)) >= 0) {
        ++lineNo;
        std::string s(line, static_cast<size_t>(n));
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        if (s.empty() || s[0] == '#')
            continue;
        const size_t colon = s.find(':');
        const bool ok = colon != std::string::npos && colon >= 1 && colon <= 255 &&
                        s.size() - colon - 1 >= 1 && s.size() - colon - 1 <= 255;
        if (!ok) {
            fprintf(stderr, "%s: %s:%d: expected user:password (1-255 bytes each)\n", kProgram,
                    path.c_str(), lineNo);
            exit(2);
        }
        list.emplace_back(s.substr(0, colon), s.substr(colon + 1));
    }
    free(line);
    fclose(f);
    if (list.empty())
        Die("no user in %s", path.c_str());
    return list;
}

/* Compares without an early exit on the first differing byte, so the time
 * a login takes does not tell how much of a password was right. */
bool SameSecret(const std::string &a, const std::string &b)
{
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

/* True when user is listed with this password. */
bool CheckLogin(const std::string &user, const std::string &password)
{
    bool ok = false;
    for (auto &u : users)
        if (u.first == user)
            ok = SameSecret(password, u.second) || ok;
    return ok;
}

/* ------------------------------------------------------------------ */
/* One session: handshake, connect, relay; runs in its own thread.     */

struct Session {
    int client = -1;
    int remote = -1;
    MonHandle_t *mon = nullptr;  // null: not reporting
    MonConnInfo_t info;          // what every report carries
    uint64_t up = 0;             // client -> destination
    uint64_t down = 0;           // destination -> client
    std::string user;
    std::string peerText;
    std::string destText;
    int reply = -1;              // reply sent, -1 before
    long handshakeEnd = 0;       // NowMs() by which the request must be in
    const struct sockaddr *peer = nullptr;  // the client's address
};

// Set once the main thread holds the report pipe (warden was found); until
// then sessions do not try to report.
std::atomic<bool> pipeHeld{false};

/* Opens the session's reporting handle unless it has one or warden has not
 * been found yet: true when the session can report. */
bool EnsureHandle(Session &s)
{
    if (s.mon != nullptr)
        return true;
    if (!opts.monitor || !pipeHeld.load(std::memory_order_acquire))
        return false;
    if (QxSocksMonOpen(kProgram, MON_TRANSPORT_FIFO, &s.mon) < 0) {
        s.mon = nullptr;
        return false;
    }
    (void)QxSocksMonSetThrottle(s.mon, static_cast<unsigned>(opts.reportFree),
                                static_cast<unsigned>(opts.reportInterval));
    return true;
}

/* Sends one report if the session reports; its result is of no interest:
 * a failed report costs this record its news, never the session. */
void Report(Session &s, int flags, int status = 0, const char *text = nullptr)
{
    if (s.mon == nullptr) {
        if (!EnsureHandle(s))
            return;
        // Warden was found after the session began: this report starts the
        // record, with the reply if one was sent.
        if ((flags & MON_FLAG_START) == 0) {
            flags |= MON_FLAG_START;
            if (s.reply >= 0 && (flags & MON_FLAG_STATUS) == 0) {
                flags |= MON_FLAG_STATUS;
                status = s.reply;
                text = QxSocksReplyText(s.reply);
            }
        }
    }
    const MonCounts_t counts = {s.up, s.down};
    (void)QxSocksMonReport(s.mon, flags, &s.info, &counts, 0, nullptr, status, text);
}

/* A refused login is a session of its own in the record store: started,
 * refused and ended at once, under the user name tried. */
void ReportLoginRefused(Session &s, const std::string &name, uint8_t authStatus)
{
    PutAddrBlock(s.info.addrA, s.peer);
    PutText(s.info.text1, sizeof s.info.text1, name);
    PutText(s.info.text4, sizeof s.info.text4, kProgram);
    const int status = MON_STATUS_AUTH_BASE + authStatus;
    Report(s, MON_FLAG_START | MON_FLAG_STATUS | MON_FLAG_END, status, QxSocksReplyText(status));
}

/* Reads exactly len bytes from the client before the session's handshake
 * deadline: true, or false on end of file, error, stop, or when the
 * deadline passes.  One deadline for the whole handshake, not one per read:
 * a client that trickles a byte now and then must not hold a session (a
 * process) for ever. */
bool ReadFull(Session &s, void *buf, size_t len)
{
    auto *p = static_cast<unsigned char *>(buf);
    while (len > 0) {
        const long left = s.handshakeEnd - NowMs();
        if (left <= 0)
            return false;
        struct pollfd pfd = {s.client, POLLIN, 0};
        const int ready = WaitFds(&pfd, 1, left);
        if (ready < 0)
            return false;  // stopping, or a poll error
        if (ready == 0)
            continue;  // the deadline is seen at the top
        const ssize_t r = read(s.client, p, len);
        if (r > 0) {
            p += r;
            len -= static_cast<size_t>(r);
        } else if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

/* Writes all len bytes to the client: true, or false on error or stop. */
bool WriteFull(int fd, const void *buf, size_t len)
{
    auto *p = static_cast<const unsigned char *>(buf);
    while (len > 0) {
        const ssize_t w = write(fd, p, len);
        if (w > 0) {
            p += w;
            len -= static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR && !Stopping()) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

/* Method selection and, when users are configured, the RFC 1929 login.
 * True when the client may go on to its request; s.user holds the name. */
bool Negotiate(Session &s)
{
    uint8_t hdr[2];
    if (!ReadFull(s, hdr, 2) || hdr[0] != kSocksVersion)
        return false;
    uint8_t methods[255];
    if (!ReadFull(s, methods, hdr[1]))
        return false;
    const uint8_t want = users.empty() ? kMethodNone : kMethodPassword;
    bool offered = false;
    for (int i = 0; i < hdr[1]; ++i)
        offered = offered || methods[i] == want;
    const uint8_t choice[2] = {kSocksVersion, offered ? want : kMethodRefused};
    if (!WriteFull(s.client, choice, 2) || !offered)
        return false;
    if (want == kMethodNone)
        return true;

    uint8_t len;
    char user[256], password[256];
    if (!ReadFull(s, hdr, 2) || hdr[0] != kAuthVersion)
        return false;
    len = hdr[1];
    if (!ReadFull(s, user, len))
        return false;
    const std::string name(user, len);
    if (!ReadFull(s, &len, 1) || !ReadFull(s, password, len))
        return false;
    const bool ok = CheckLogin(name, std::string(password, len));
    explicit_bzero(password, sizeof password);
    const uint8_t status[2] = {kAuthVersion, static_cast<uint8_t>(ok ? 0 : 1)};
    (void)WriteFull(s.client, status, 2);
    if (!ok) {
        if (opts.verbose)
            fprintf(stderr, "%s: %s login refused\n", kProgram, s.peerText.c_str());
        ReportLoginRefused(s, name, status[1]);
        return false;
    }
    s.user = name;
    return true;
}

/* The command's name; an unknown byte is written into buf as "0xNN". */
const char *CommandText(uint8_t cmd, char *buf, size_t size)
{
    switch (cmd) {
    case kCmdConnect: return "CONNECT";
    case kCmdBind: return "BIND";
    case kCmdUdpAssociate: return "UDP ASSOCIATE";
    default: snprintf(buf, size, "0x%02x", cmd); return buf;
    }
}

/* A domain name as an operator may safely see it: unprintable bytes as '?'. */
std::string PrintableName(const char *name, size_t len)
{
    std::string out(name, len);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            c = '?';
    return out;
}

/* The destination of a request.  For a domain name, addr is unset. */
struct Destination {
    uint8_t atyp = 0;
    std::string name;           // domain name as received (atyp 3)
    bool nameHasNul = false;
    struct sockaddr_storage addr;  // atyp 1 and 4
    socklen_t addrLen = 0;
    uint16_t port = 0;          // host order
};

/* Reads DST.ADDR and DST.PORT of the given address type; false when the
 * client went away (or the type is unknown, which the caller checks first). */
bool ReadDestination(Session &s, uint8_t atyp, Destination &d)
{
    d.atyp = atyp;
    memset(&d.addr, 0, sizeof d.addr);
    uint8_t portBytes[2];
    char text[INET6_ADDRSTRLEN];
    if (atyp == kAtypIPv4) {
        auto *in = reinterpret_cast<struct sockaddr_in *>(&d.addr);
        in->sin_family = AF_INET;
        if (!ReadFull(s, &in->sin_addr, 4) || !ReadFull(s, portBytes, 2))
            return false;
        in->sin_port = htons(static_cast<uint16_t>(portBytes[0] << 8 | portBytes[1]));
        d.addrLen = sizeof *in;
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        d.name = text;
    } else if (atyp == kAtypIPv6) {
        auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&d.addr);
        in6->sin6_family = AF_INET6;
        if (!ReadFull(s, &in6->sin6_addr, 16) || !ReadFull(s, portBytes, 2))
            return false;
        in6->sin6_port = htons(static_cast<uint16_t>(portBytes[0] << 8 | portBytes[1]));
        d.addrLen = sizeof *in6;
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        d.name = std::string("[") + text + "]";
    } else if (atyp == kAtypDomain) {
        uint8_t len;
        char name[256];
        if (!ReadFull(s, &len, 1) || !ReadFull(s, name, len) ||
            !ReadFull(s, portBytes, 2))
            return false;
        d.nameHasNul = memchr(name, '\0', len) != nullptr;
        d.name.assign(name, len);
    } else {
        return false;
    }
    d.port = static_cast<uint16_t>(portBytes[0] << 8 | portBytes[1]);
    return true;
}

/* The destination as the client asked for it, "host:port"; a name that
 * holds a colon (an IPv6 address sent as a name) is bracketed like an
 * address, so the port stays unambiguous. */
std::string DestinationText(const Destination &d)
{
    if (d.atyp != kAtypDomain)
        return d.name + ":" + std::to_string(d.port);
    const std::string name = PrintableName(d.name.data(), d.name.size());
    const bool bracket = name.find(':') != std::string::npos;
    return (bracket ? "[" + name + "]" : name) + ":" + std::to_string(d.port);
}

/* The reply code for a failed connect's errno. */
Reply ConnectReply(int err)
{
    switch (err) {
    case ECONNREFUSED: return kConnectionRefused;
    case ENETUNREACH:
    case ENETDOWN:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT: return kNetworkUnreachable;
    case EHOSTUNREACH:
    case EHOSTDOWN: return kHostUnreachable;
    case ETIMEDOUT: return kTtlExpired;
    case EACCES:
    case EPERM: return kNotAllowed;
    default: return kGeneralFailure;
    }
}

/* Which of two failures says more about the destination, when several of
 * its addresses failed: a refusal proves the host is there, a timeout that
 * something swallowed the attempt, and so on down to "general failure". */
int FailureRank(Reply r)
{
    switch (r) {
    case kConnectionRefused: return 6;
    case kNotAllowed: return 5;
    case kTtlExpired: return 4;
    case kHostUnreachable: return 3;
    case kNetworkUnreachable: return 2;
    default: return 1;
    }
}

/* Connects a non-blocking socket to sa within the connect timeout: the
 * descriptor, or -1 with *err set (ETIMEDOUT when the time ran out, EINTR
 * when the session is being stopped). */
int ConnectOne(const struct sockaddr *sa, socklen_t len, int *err)
{
    const int fd = socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (connect(fd, sa, len) == 0)
        return fd;
    if (errno != EINPROGRESS) {
        *err = errno;
        close(fd);
        return -1;
    }
    const long deadline = NowMs() + opts.connectTimeout * 1000L;
    for (;;) {
        const long left = deadline - NowMs();
        if (left <= 0) {
            *err = ETIMEDOUT;
            break;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        const int r = WaitFds(&p, 1, left);
        if (r < 0) {
            *err = errno;
            break;
        }
        if (r == 0)
            continue;  // the deadline check above ends it
        int soErr = 0;
        socklen_t soLen = sizeof soErr;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &soLen) < 0)
            soErr = errno;
        if (soErr == 0)
            return fd;
        *err = soErr;
        break;
    }
    close(fd);
    return -1;
}

/* Tries every address of the destination in the resolver's order.  Sets
 * s.remote on success; returns the reply code.  The address tried last (or
 * connected to) goes into addrB, the local end of the connection into addrC. */
Reply ConnectDestination(Session &s, const Destination &d)
{
    std::vector<std::pair<struct sockaddr_storage, socklen_t>> addrs;
    if (d.atyp == kAtypDomain) {
        if (d.name.empty() || d.nameHasNul)
            return kHostUnreachable;
        struct addrinfo hints;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        struct addrinfo *res = nullptr;
        const int rc = getaddrinfo(d.name.c_str(), nullptr, &hints, &res);
        if (rc != 0) {
            return rc == EAI_NONAME || rc == EAI_AGAIN || rc == EAI_FAIL
#ifdef EAI_NODATA
                           || rc == EAI_NODATA
#endif
                       ? kHostUnreachable
                       : kGeneralFailure;
        }
        for (auto *ai = res; ai != nullptr; ai = ai->ai_next) {
            if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
                ai->ai_addrlen > sizeof(struct sockaddr_storage))
                continue;
            struct sockaddr_storage ss;
            memset(&ss, 0, sizeof ss);
            memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
            if (ss.ss_family == AF_INET)
                reinterpret_cast<struct sockaddr_in *>(&ss)->sin_port = htons(d.port);
            else
                reinterpret_cast<struct sockaddr_in6 *>(&ss)->sin6_port = htons(d.port);
            addrs.emplace_back(ss, ai->ai_addrlen);
        }
        freeaddrinfo(res);
        if (addrs.empty())
            return kHostUnreachable;
    } else {
        addrs.emplace_back(d.addr, d.addrLen);
    }

    Reply best = kGeneralFailure;
    int bestRank = 0;
    for (auto &a : addrs) {
        if (Stopping())
            break;
        auto *sa = reinterpret_cast<const struct sockaddr *>(&a.first);
        PutAddrBlock(s.info.addrB, sa);
        int err = 0;
        const int fd = ConnectOne(sa, a.second, &err);
        if (fd >= 0) {
            s.remote = fd;
            struct sockaddr_storage local;
            socklen_t localLen = sizeof local;
            if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &localLen) == 0)
                PutAddrBlock(s.info.addrC, reinterpret_cast<struct sockaddr *>(&local));
            return kSucceeded;
        }
        const Reply r = ConnectReply(err);
        if (FailureRank(r) > bestRank) {
            best = r;
            bestRank = FailureRank(r);
        }
    }
    return best;
}

/* Sends the reply: on success BND.ADDR/BND.PORT are the proxy's end of the
 * connection to the destination, otherwise IPv4 zeros.  False if the client
 * cannot be written to. */
bool SendReply(Session &s, Reply rep)
{
    uint8_t buf[4 + 16 + 2] = {kSocksVersion, rep, 0, kAtypIPv4};
    size_t len = 4 + 4 + 2;
    struct sockaddr_storage local;
    socklen_t localLen = sizeof local;
    if (rep == kSucceeded &&
        getsockname(s.remote, reinterpret_cast<struct sockaddr *>(&local), &localLen) == 0) {
        if (local.ss_family == AF_INET) {
            auto *in = reinterpret_cast<struct sockaddr_in *>(&local);
            memcpy(buf + 4, &in->sin_addr, 4);
            memcpy(buf + 8, &in->sin_port, 2);
        } else if (local.ss_family == AF_INET6) {
            auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&local);
            buf[3] = kAtypIPv6;
            memcpy(buf + 4, &in6->sin6_addr, 16);
            memcpy(buf + 20, &in6->sin6_port, 2);
            len = 4 + 16 + 2;
        }
    }
    s.reply = rep;
    return WriteFull(s.client, buf, len);
}

/* One direction of the relay: bytes read from `from` wait in buf until
 * `to` has taken them all.  The buffer starts on a page: the kernel copies
 * every relayed byte into and out of it, and how fast that copy runs
 * depends on the buffer's alignment.  Behind the counters (at offset 40 of
 * a heap block) its alignment was whatever the session thread's heap gave,
 * which the reporting handle's own allocations shift: downloads through the
 * reporting proxy took some 20% more CPU than through the plain one after a
 * run of short sessions, and none more once the buffer was aligned. */
struct alignas(4096) Pump {
    unsigned char buf[kRelayBuffer];
    int from;
    int to;
    uint64_t *count;
    size_t off = 0;
    size_t len = 0;
    bool eof = false;  // `from` ended and `to` has been shut for writing
};

/* Writes what the pump holds: false on a write error (session cut).  The
 * counter grows by what the other side has taken, so bytes read but never
 * delivered (the peer went away) are not counted as relayed. */
bool Drain(Pump &p)
{
    while (p.len > 0) {
        const ssize_t w = write(p.to, p.buf + p.off, p.len);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        *p.count += static_cast<uint64_t>(w);
        p.off += static_cast<size_t>(w);
        p.len -= static_cast<size_t>(w);
    }
    p.off = 0;
    return true;
}

/* Reads once into an empty pump and passes it on: false when the session
 * is cut (read or write error).  End of file shuts the other side for
 * writing, so half-closed connections keep working. */
bool Fill(Pump &p)
{
    ssize_t r;
    do
        r = read(p.from, p.buf, sizeof p.buf);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK;
    if (r == 0) {
        p.eof = true;
        shutdown(p.to, SHUT_WR);
        return true;
    }
    p.len = static_cast<size_t>(r);
    p.off = 0;
    return Drain(p);
}

/* Moves data both ways until both directions have ended, an error cuts the
 * session, or the proxy is told to stop.  Reports the counters now and then
 * as they grow, and has the library send what its throttle held back when
 * that is due, so the counters shown stay fresh while the transfer stalls. */
void Relay(Session &s)
{
    fcntl(s.client, F_SETFL, fcntl(s.client, F_GETFL) | O_NONBLOCK);
    // 128 KiB: not on a session thread's stack.
    std::unique_ptr<Pump> upPump(new (std::nothrow) Pump), downPump(new (std::nothrow) Pump);
    if (!upPump || !downPump)
        return;
    Pump &up = *upPump;
    Pump &down = *downPump;
    up.from = s.client;
    up.to = s.remote;
    up.count = &s.up;
    down.from = s.remote;
    down.to = s.client;
    down.count = &s.down;
    long lastReport = NowMs();
    uint64_t reportedUp = 0, reportedDown = 0;

    while (!(up.eof && up.len == 0 && down.eof && down.len == 0) && !Stopping()) {
        // Per descriptor: readable when its outgoing pump is empty and open,
        // writable when its incoming pump holds data.
        struct pollfd fds[2] = {{s.client, 0, 0}, {s.remote, 0, 0}};
        if (!up.eof && up.len == 0)
            fds[0].events |= POLLIN;
        if (down.len > 0)
            fds[0].events |= POLLOUT;
        if (!down.eof && down.len == 0)
            fds[1].events |= POLLIN;
        if (up.len > 0)
            fds[1].events |= POLLOUT;
        // Counted bytes still unreported wake the loop when the next update
        // is due, and so does a report the library holds back.
        const bool unreported = opts.monitor && (s.up != reportedUp || s.down != reportedDown);
        long wait = unreported ? std::max(0L, lastReport + kUpdateIntervalMs - NowMs()) : -1;
        const int dueIn = s.mon != nullptr ? QxSocksMonDueIn(s.mon) : -1;
        if (dueIn >= 0 && (wait < 0 || dueIn * 1000L < wait))
            wait = dueIn * 1000L;
        // A descriptor with nothing to wait for is left out: an error or
        // hang-up on it would otherwise wake poll at once, again and again,
        // and it is seen anyway by the next read or write.
        for (auto &f : fds)
            if (f.events == 0)
                f.fd = -1;
        const int r = WaitFds(fds, 2, wait);
        if (r < 0)
            break;  // stopping, or a poll error
        const short kIn = POLLIN | POLLHUP | POLLERR;
        const short kOut = POLLOUT | POLLHUP | POLLERR;
        bool ok = true;
        if (up.len > 0 && (fds[1].revents & kOut))
            ok = Drain(up);
        if (ok && down.len > 0 && (fds[0].revents & kOut))
            ok = Drain(down);
        if (ok && !up.eof && up.len == 0 && (fds[0].revents & kIn))
            ok = Fill(up);
        if (ok && !down.eof && down.len == 0 && (fds[1].revents & kIn))
            ok = Fill(down);
        if (!ok || (fds[0].revents & POLLNVAL) || (fds[1].revents & POLLNVAL))
            break;
        if ((s.up != reportedUp || s.down != reportedDown) && opts.monitor) {
            const long now = NowMs();
            if (now - lastReport >= kUpdateIntervalMs) {
                Report(s, MON_FLAG_UPDATE);
                lastReport = now;
                reportedUp = s.up;
                reportedDown = s.down;
            }
        }
        if (s.mon != nullptr && QxSocksMonDueIn(s.mon) == 0)
            (void)QxSocksMonSendDue(s.mon);
    }
}

/* Serves the client of s from greeting to the end of its session,
 * reporting as it goes; leaves the descriptors and the handle to the caller. */
void Serve(Session &s)
{
    const int one = 1;
    setsockopt(s.client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Reads wait in ReadFull against the deadline; the few bytes written to
    // the client before the relay are only bounded, by the same time.
    s.handshakeEnd = NowMs() + opts.handshakeTimeout * 1000L;
    struct timeval tv = {opts.handshakeTimeout, 0};
    setsockopt(s.client, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    if (!Negotiate(s))
        return;
    uint8_t req[4];
    if (!ReadFull(s, req, 4) || req[0] != kSocksVersion)
        return;
    const uint8_t cmd = req[1];
    const uint8_t atyp = req[3];
    Destination dest;
    const bool knownType = atyp == kAtypIPv4 || atyp == kAtypIPv6 || atyp == kAtypDomain;
    if (knownType && !ReadDestination(s, atyp, dest))
        return;

    // The request has arrived: from here on the session is reported.
    char cmdBuf[8];
    PutAddrBlock(s.info.addrA, s.peer);
    PutText(s.info.text1, sizeof s.info.text1, s.user);
    if (knownType)
        s.destText = DestinationText(dest);
    PutText(s.info.text2, sizeof s.info.text2, s.destText);
    PutText(s.info.text3, sizeof s.info.text3, CommandText(cmd, cmdBuf, sizeof cmdBuf));
    PutText(s.info.text4, sizeof s.info.text4, kProgram);
    s.info.code2 = cmd;
    s.info.code1 = atyp;
    Report(s, MON_FLAG_START);

    Reply rep;
    if (!knownType)
        rep = kAddressTypeNotSupported;
    else if (cmd != kCmdConnect)
        rep = kCommandNotSupported;
    else
        rep = ConnectDestination(s, dest);
    const bool sent = SendReply(s, rep);
    if (rep == kSucceeded && sent) {
        Report(s, MON_FLAG_STATUS, rep, QxSocksReplyText(rep));
        const int on = 1;
        setsockopt(s.remote, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Relay(s);
        Report(s, MON_FLAG_END);
    } else {
        Report(s, MON_FLAG_STATUS | MON_FLAG_END, rep, QxSocksReplyText(rep));
    }
    if (opts.verbose)
        fprintf(stderr, "%s: %s%s%s -> %s: %s, %llu bytes up, %llu down\n", kProgram,
                s.peerText.c_str(), s.user.empty() ? "" : " user ", s.user.c_str(),
                s.destText.c_str(), QxSocksReplyText(rep),
                static_cast<unsigned long long>(s.up), static_cast<unsigned long long>(s.down));
}

/* Serves one client connection from greeting to close and frees all that
 * the session held. */
void RunSession(int client, const struct sockaddr *peer)
{
    Session s;
    s.client = client;
    s.peer = peer;
    memset(&s.info, 0, sizeof s.info);
    s.peerText = AddrText(peer);
    Serve(s);
    if (s.mon != nullptr)
        QxSocksMonClose(s.mon);
    if (s.remote >= 0)
        close(s.remote);
    close(client);
}

/* What a session thread is handed by the main thread. */
struct SessionStart {
    int client;
    struct sockaddr_storage peer;
};

/* A session thread: serves its client, then counts itself off. */
void *SessionThread(void *arg)
{
    std::unique_ptr<SessionStart> start(static_cast<SessionStart *>(arg));
    RunSession(start->client, reinterpret_cast<struct sockaddr *>(&start->peer));
    liveSessions.fetch_sub(1);
    const uint64_t one = 1;
    (void)!write(doneFd, &one, sizeof one);
    return nullptr;
}

/* Starts a detached session thread for client: false (client left open)
 * when that cannot be done. */
bool StartSession(int client, const struct sockaddr_storage &peer)
{
    auto *start = new (std::nothrow) SessionStart{client, peer};
    if (start == nullptr)
        return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kSessionStack);
    pthread_t tid;
    liveSessions.fetch_add(1);
    const int rc = pthread_create(&tid, &attr, SessionThread, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        liveSessions.fetch_sub(1);
        delete start;
        errno = rc;
        return false;
    }
    return true;
}

/* ------------------------------------------------------------------ */
/* The main thread: listens, starts session threads, stops them.       */

/* A socket bound to sa and listening, or -1 with errno set.  dualStack
 * (an IPv6 wildcard): IPv4 clients are taken on the same socket. */
int ListenOn(const struct sockaddr *sa, socklen_t len, bool dualStack)
{
    const int fd = socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const int one = 1, zero = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        (dualStack && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) < 0) ||
        bind(fd, sa, len) < 0 || listen(fd, kListenBacklog) < 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

/* Splits "host:port" / "[v6]:port" / "*:port" / ":port" and binds a
 * listening socket (exits with status 2 when that cannot be done).  Every
 * address ("*" or nothing) is the IPv6 wildcard taking IPv4 clients too, or
 * the IPv4 wildcard alone where the system has no IPv6. */
int OpenListener(const std::string &where)
{
    std::string host, port;
    const size_t colon = where.rfind(':');
    if (colon == std::string::npos)
        Die("--listen wants ADDR:PORT, not %s", where.c_str());
    host = where.substr(0, colon);
    port = where.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo *res = nullptr;
    const bool any = host.empty() || host == "*";
    if (any)
        hints.ai_family = AF_INET6;
    if (getaddrinfo(any ? nullptr : host.c_str(), port.c_str(), &hints, &res) != 0 ||
        res == nullptr)
        Die("--listen: bad address %s (a numeric address and port are needed)", where.c_str());
    int fd = ListenOn(res->ai_addr, res->ai_addrlen, any);
    if (fd < 0 && any && (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL || errno == ENOPROTOOPT ||
                          errno == EPROTONOSUPPORT)) {
        // No IPv6 here (not built in, or switched off): IPv4 alone.
        struct sockaddr_in in4;
        memset(&in4, 0, sizeof in4);
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(INADDR_ANY);
        in4.sin_port = reinterpret_cast<const struct sockaddr_in6 *>(res->ai_addr)->sin6_port;
        fd = ListenOn(reinterpret_cast<const struct sockaddr *>(&in4), sizeof in4, false);
    }
    if (fd < 0) {
        const std::string why = where + ": " + strerror(errno);
        Die("cannot listen on %s", why.c_str());
    }
    freeaddrinfo(res);
    return fd;
}

/* An IPv4 client met on a dual-stack socket arrives as an IPv4-mapped IPv6
 * address; it is turned back into the sockaddr_in it is, so that the
 * record and the log show the client as it connected. */
void UnmapPeer(struct sockaddr_storage *peer)
{
    if (peer->ss_family != AF_INET6)
        return;
    const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(peer);
    if (!IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
        return;
    struct sockaddr_in in4;
    memset(&in4, 0, sizeof in4);
    in4.sin_family = AF_INET;
    in4.sin_port = in6->sin6_port;
    memcpy(&in4.sin_addr, in6->sin6_addr.s6_addr + 12, 4);
    memset(peer, 0, sizeof *peer);
    memcpy(peer, &in4, sizeof in4);
}

// The main thread's own reporting handle; it holds the report pipe open
// (null until warden is found).
MonHandle_t *heldPipe = nullptr;

/* A handle of the main thread's keeps the pipe open for the life of the
 * proxy, so the session threads' handles open without touching the file
 * system, and the collector is never left without a writer between two
 * sessions (it would then pause for a few seconds).  Tried at most once a
 * second until warden is found.  True while held. */
bool HoldReportPipe()
{
    static long lastTry = -1000000;
    if (!opts.monitor || heldPipe != nullptr)
        return heldPipe != nullptr;
    const long now = NowMs();
    if (now - lastTry < kPipeRetrySeconds * 1000L)
        return false;
    lastTry = now;
    if (QxSocksMonOpen(kProgram, MON_TRANSPORT_FIFO, &heldPipe) < 0) {
        heldPipe = nullptr;
        return false;
    }
    pipeHeld.store(true, std::memory_order_release);
    if (opts.verbose)
        fprintf(stderr, "%s: reporting to warden through /tmp/mon.fifo\n", kProgram);
    return true;
}

/* sigaction with an empty mask. */
void InstallHandler(int sig, void (*fn)(int), int flags)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = fn;
    sa.sa_flags = flags;
    sigaction(sig, &sa, nullptr);
}

/* Tells every session to stop and waits (bounded) until each has ended and
 * sent its end report. */
void StopSessions()
{
    stopping.store(true);
    const uint64_t one = 1;
    (void)!write(stopFd, &one, sizeof one);  // never read: readable for good
    const long deadline = NowMs() + kShutdownWaitMs;
    while (liveSessions.load() > 0) {
        const long left = deadline - NowMs();
        if (left <= 0)
            break;
        struct pollfd p = {doneFd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min(left, 100L))) > 0) {
            uint64_t n;
            (void)!read(doneFd, &n, sizeof n);
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    ParseOptions(argc, argv);
    if (!opts.usersFile.empty())
        users = LoadUsers(opts.usersFile);

    InstallHandler(SIGPIPE, SIG_IGN, 0);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        InstallHandler(sig, OnStop, 0);
    // The stop signals are blocked in every thread (the session threads
    // inherit this mask) and taken only inside the main thread's ppoll.
    sigset_t block, origMask, waitMask;
    sigemptyset(&block);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&block, sig);
    pthread_sigmask(SIG_BLOCK, &block, &origMask);
    waitMask = origMask;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigdelset(&waitMask, sig);
    stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0 || doneFd < 0)
        Die("eventfd: %s", strerror(errno));

    const int listenFd = OpenListener(opts.listen);
    struct sockaddr_storage bound;
    socklen_t boundLen = sizeof bound;
    getsockname(listenFd, reinterpret_cast<struct sockaddr *>(&bound), &boundLen);
    fprintf(stderr, "%s: listening on %s%s%s\n", kProgram,
            AddrText(reinterpret_cast<struct sockaddr *>(&bound)).c_str(),
            users.empty() ? "" : ", login required",
            opts.monitor ? "" : ", not reporting to warden");
    HoldReportPipe();

    while (stopSignal == 0) {
        // Without the pipe, wake once a second to look for warden again.
        const bool lookForWarden = opts.monitor && !HoldReportPipe();
        // At the session limit only an ending session (doneFd) wakes us.
        const bool full = liveSessions.load() >= opts.maxSessions;
        struct pollfd p[2] = {{full ? -1 : listenFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
        const struct timespec retry = {kPipeRetrySeconds, 0};
        if (ppoll(p, 2, lookForWarden ? &retry : nullptr, &waitMask) <= 0)
            continue;
        if (p[1].revents & POLLIN) {
            uint64_t n;
            (void)!read(doneFd, &n, sizeof n);
        }
        if ((p[0].revents & POLLIN) == 0)
            continue;
        struct sockaddr_storage peer;
        socklen_t peerLen = sizeof peer;
        const int client =
            accept4(listenFd, reinterpret_cast<struct sockaddr *>(&peer), &peerLen, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                perror("socks5-demo: accept");
                const struct timespec pause = {0, 100 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
            continue;  // EAGAIN, ECONNABORTED, ... : the next one
        }
        UnmapPeer(&peer);
        if (!StartSession(client, peer)) {
            perror("socks5-demo: pthread_create");
            close(client);
        }
    }
    fprintf(stderr, "%s: stopping (signal %d)\n", kProgram, static_cast<int>(stopSignal));
    close(listenFd);
    StopSessions();
    if (heldPipe != nullptr)
        QxSocksMonClose(heldPipe);
    return 0;
}
