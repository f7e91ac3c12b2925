/*
 * warden-top.cpp - the operators' viewer: a live table of the sessions a
 * warden daemon holds, a plain-text snapshot, a JSON line per change, or one
 * record by key.  Built like any outside program, on <quelm/monitor.h> and
 * libquelm.a alone.  Every error is written to standard error before the
 * terminal is taken over, or shown on the table's last line while it is:
 * exit status 0 on success, 1 on any error, 2 on a usage error.
 */
#include <quelm/monitor.h>

#include "fieldfmt.h"
#include "recjson.h"
#include "table.h"

#include <curses.h>
#include <dirent.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#ifndef WARDEN_TOP_VERSION
#define WARDEN_TOP_VERSION "unknown"
#endif

namespace {

using namespace wtop;

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr double kLinger = 10.0;        /* seconds an ended session stays dimmed      */
constexpr double kPollEvery = 1.0;      /* live table: change stream once a second     */
constexpr double kFullReadEvery = 10.0; /* live table: whole store, to see purges      */
constexpr double kReconnectEvery = 2.0; /* live table: after the connection was lost   */
constexpr long kJsonPollMs = 500;       /* --json: pause between change streams        */
constexpr int kKeyWaitMs = 100;         /* live table: longest wait for a key press    */
constexpr int kAnswerWait = 10;         /* seconds a silent daemon is waited for       */
constexpr int kAnswerWaitMax = 3600;    /* largest WARDEN_TOP_TIMEOUT accepted         */

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
    "  -s, --sort COLUMN    key client destination resolved user state age up uprate\n"
    "                       down downrate last status (default key)\n"
    "  -r, --reverse        sort in descending order\n"
    "  -f, --filter TEXT    only rows whose key, addresses, user, destination, state\n"
    "                       or status contain TEXT (ignoring case)\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "  get KEY              show one record; KEY as \"<pid,handle-hex,record>\"\n"
    "\n"
    "Live table keys: q quit, s/S next/previous sort column, r reverse, / filter,\n"
    "arrows and PgUp/PgDn scroll.  Without a terminal, the table is printed once.\n";

enum class Mode { Live, Once, Json, Get };

struct Options {
    std::string host = "127.0.0.1";
    Mode mode = Mode::Live;
    bool json = false;
    bool once = false;
    Column sort = Column::Key;
    bool reverse = false;
    std::string filter;
    RecordKey key{};
};

/* Seconds a request may go unanswered before the connection counts as lost
 * (WARDEN_TOP_TIMEOUT, else kAnswerWait). */
int answerWait = kAnswerWait;

volatile sig_atomic_t stopRequested = 0;  /* the first stop signal's number */
/* The open connection to the daemon, -1 when there is none.  A stop signal
 * shuts it down: the library retries a read that a signal interrupts, so
 * only a connection that ends can free a loop blocked inside it. */
volatile sig_atomic_t viewerSocket = -1;
bool screenTaken = false;  /* curses owns the terminal: endwin() before exiting */

/* What a second stop signal writes and sets to give the terminal back when
 * the program cannot get to endwin(): prepared while curses holds the
 * terminal, since nothing that works it out is safe in a signal handler. */
volatile sig_atomic_t rescueArmed = 0;
struct termios rescueTty;        /* the modes the terminal had before curses */
char rescueText[256];            /* leave the alternate screen, cursor visible */
size_t rescueLength = 0;

/* The first stop signal is noted for the main loop, and the connection to
 * the daemon shut down, so that a read waiting for it returns at once.  A
 * second one means the loop did not get to its end: the terminal is given
 * back as the shell had it, and the program leaves at once. */
void OnStop(int sig)
{
    const int savedErrno = errno;
    if (stopRequested != 0) {
        if (rescueArmed != 0) {
            (void)!write(STDOUT_FILENO, rescueText, rescueLength);
            (void)tcsetattr(STDIN_FILENO, TCSANOW, &rescueTty);
        }
        _exit(128 + sig);
    }
    stopRequested = sig;
    const int fd = viewerSocket;
    if (fd >= 0)
        (void)shutdown(fd, SHUT_RDWR);
    errno = savedErrno;
}

/* SIGINT, SIGTERM, SIGQUIT and SIGHUP end warden-top in order from the main
 * loop; a second one ends it at once.  No SA_RESTART: a pause is cut short.
 * The others are held while the handler runs, so that two arriving together
 * still take the first and the second path one after the other. */
void CatchStopSignals()
{
    constexpr int kStops[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sa.sa_flags = 0;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStops)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : kStops)
        sigaction(sig, &sa, nullptr);
}

/* Adds a terminal capability of the current terminal to the rescue text. */
void AddRescue(const char *capability)
{
    const char *seq = tigetstr(capability);
    if (seq == nullptr || seq == reinterpret_cast<const char *>(-1))
        return;
    const size_t n = std::strlen(seq);
    if (rescueLength + n <= sizeof rescueText) {
        std::memcpy(rescueText + rescueLength, seq, n);
        rescueLength += n;
    }
}

/* Prepares the second stop signal's rescue once curses has the terminal:
 * shell modes saved in *shellTty before initscr(), the sequences that leave
 * the keypad mode and the alternate screen and show the cursor. */
void ArmRescue(const struct termios &shellTty)
{
    rescueTty = shellTty;
    rescueLength = 0;
    for (const char *cap : {"sgr0", "rmkx", "cnorm", "rmcup"})
        AddRescue(cap);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    rescueArmed = 1;
}

void DisarmRescue()
{
    rescueArmed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

/* True when fd is a connected TCP socket whose peer is on the viewer port. */
bool IsViewerSocket(int fd)
{
    int type = 0;
    socklen_t typeLen = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0 || type != SOCK_STREAM)
        return false;
    struct sockaddr_storage peer;
    socklen_t peerLen = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLen) != 0)
        return false;
    uint16_t port = 0;
    if (peer.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const struct sockaddr_in *>(&peer)->sin_port);
    else if (peer.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const struct sockaddr_in6 *>(&peer)->sin6_port);
    return port == MON_VIEWER_PORT;
}

/* The process's open descriptors that are viewer connections.  The library
 * gives a viewer handle's descriptor out through no call, so the one a new
 * handle brought is found as the viewer socket that was not there before
 * (only what the system itself tells about a descriptor is relied on). */
std::set<int> ViewerSockets()
{
    std::set<int> found;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return found;
    const int own = dirfd(dir);
    while (const struct dirent *e = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd < 0 || fd == own)
            continue;
        if (IsViewerSocket(static_cast<int>(fd)))
            found.insert(static_cast<int>(fd));
    }
    closedir(dir);
    return found;
}

/* "N second(s)" for the answer wait. */
std::string WaitText()
{
    return std::to_string(answerWait) + (answerWait == 1 ? " second" : " seconds");
}

/* Seconds on a clock that never jumps: for polls, rates and lingering. */
double Monotonic()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

/* Writes "warden-top: message" to standard error. */
void Complain(const std::string &message)
{
    std::fprintf(stderr, "warden-top: %s\n", message.c_str());
}

/* The viewer's connection to warden, with the error texts an operator can
 * act on.  A warden that serves four viewers already accepts a fifth
 * connection and closes it without a byte, so a connection whose very first
 * request fails that way is reported as exactly that. */
class Viewer {
public:
    explicit Viewer(std::string host) : host_(std::move(host)) {}
    ~Viewer() { Close(); }
    Viewer(const Viewer &) = delete;
    Viewer &operator=(const Viewer &) = delete;

    /* Connects; false with *err set when that fails.  A daemon that takes
     * more than the answer wait over a reply then fails the read with
     * EAGAIN: one that hangs or whose host vanished is a lost connection,
     * not a viewer stuck for good. */
    bool Open(std::string *err)
    {
        Close();
        answered_ = false;
        errno = 0;
        const std::set<int> before = ViewerSockets();
        if (QxMonNetOpen(host_.c_str(), MON_CLIENT_VIEWER, &h_) == 0) {
            std::set<int> added;
            for (int fd : ViewerSockets())
                if (before.count(fd) == 0)
                    added.insert(fd);
            const int fd = added.size() == 1 ? *added.begin() : -1;
            if (fd >= 0) {
                const struct timeval tv = {answerWait, 0};
                (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                viewerSocket = fd;
            }
            return true;
        }
        const int e = errno;
        h_ = nullptr;
        *err = "cannot connect to warden at " + Where();
        if (e == ESRCH)
            *err += ": unknown host";
        else if (e != 0)
            *err += std::string(": ") + std::strerror(e);
        if (e == ECONNREFUSED)
            *err += " (is warden running?)";
        return false;
    }

    /* Reads one whole change stream (all: the all flag), calling fn with
     * every record.  false with *err set on failure; the connection is then
     * closed. */
    template <class F>
    bool Stream(int all, F &&fn, std::string *err)
    {
        MonData_t rec;
        for (;;) {
            if (Stopping(err))
                return false;
            errno = 0;
            const int r = QxMonRecvNextData(h_, all, &rec);
            if (r < 0) {
                *err = FailureText(errno);
                Close();
                return false;
            }
            answered_ = true;
            if (r == 0)
                return true;
            fn(rec);
        }
    }

    enum class Found { Yes, No, Failed };

    /* Keyed read of key into *rec.  The library answers -1 both for an
     * empty reply (errno ENOENT) and for a failure; *err is set for the
     * latter, and the connection closed. */
    Found Get(const RecordKey &key, MonData_t *rec, std::string *err)
    {
        if (Stopping(err))
            return Found::Failed;
        std::memset(rec, 0, sizeof *rec);
        rec->pid = key.pid;
        rec->handleNum = key.handle;
        rec->recordNum = key.record;
        errno = 0;
        if (QxMonRecvData(h_, rec) == 0) {
            answered_ = true;
            return Found::Yes;
        }
        if (errno == ENOENT) {
            answered_ = true;
            return Found::No;
        }
        *err = FailureText(errno);
        Close();
        return Found::Failed;
    }

    void Close()
    {
        viewerSocket = -1;  /* before the descriptor can be reused */
        if (h_ != nullptr)
            (void)QxMonClose(h_);
        h_ = nullptr;
    }

    bool IsOpen() const { return h_ != nullptr; }
    std::string Where() const { return host_ + ":" + std::to_string(MON_VIEWER_PORT); }

private:
    /* True, with the connection closed, once a stop signal has come: a
     * signal that came before the connection was shut down leaves it open. */
    bool Stopping(std::string *err)
    {
        if (stopRequested == 0)
            return false;
        *err = "stopped by signal " + std::to_string(static_cast<int>(stopRequested));
        Close();
        return true;
    }

    std::string FailureText(int e) const
    {
        if (e == EAGAIN || e == EWOULDBLOCK) {
            if (answered_)
                return "lost the connection to warden at " + Where() + ": no answer within " + WaitText();
            return "warden at " + Where() + " did not answer within " + WaitText();
        }
        const std::string why = e != 0 ? std::strerror(e) : "connection failed";
        if (answered_)
            return "lost the connection to warden at " + Where() + ": " + why;
        if (e == ECONNRESET || e == EPIPE)
            return "warden at " + Where() + " closed the connection at once: warden is serving 4 viewers already";
        return "warden at " + Where() + " did not answer: " + why;
    }

    std::string host_;
    MonHandle_t *h_ = nullptr;
    bool answered_ = false;  /* the daemon has answered a request on this connection */
};

/* Writes text to standard output and flushes it.  false when the output
 * has gone (a closed pipe) or cannot be written. */
bool Emit(const std::string &text)
{
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

/* Exit status for output that could not be written: a reader that went
 * away (EPIPE, as with "| head") is a normal end. */
int OutputFailed()
{
    if (errno == EPIPE)
        return kExitOk;
    Complain(std::string("cannot write the output: ") + std::strerror(errno));
    return kExitError;
}

/* --once: reads every record the store holds, with the all flag, and
 * prints the table (or one JSON line per record).  The exit status. */
int RunOnce(const Options &opt)
{
    Viewer viewer(opt.host);
    std::string err;
    if (!viewer.Open(&err)) {
        Complain(err);
        return kExitError;
    }
    /* The all flag brings ended records that the store still holds too.
     * One record per key, so each row holds the record as delivered: the
     * JSON lines are sorted and filtered just as the table is. */
    const double now = Monotonic();
    const time_t wall = time(nullptr);
    SessionTable table(kLinger);
    const bool ok = viewer.Stream(1, [&](const MonData_t &rec) { table.Apply(rec, now, wall); }, &err);
    viewer.Close();
    if (!ok) {
        Complain(err);
        return kExitError;
    }
    const CellStyle style{wall, true};
    const auto rows = table.View(opt.sort, opt.reverse, opt.filter, style);
    std::string text;
    if (opt.json) {
        for (const Row *row : rows)
            text += JsonLine(RecordJson(row->rec)) + "\n";
    } else {
        text = RenderPlain(rows, PlainColumns(), style);
    }
    return Emit(text) ? kExitOk : OutputFailed();
}

/* True once nobody reads the output any more: the reading end of a pipe
 * was closed (as with "| head"), or the terminal hung up.  Noticed between
 * changes, so that a quiet stream does not keep warden-top alive forever. */
bool OutputClosed()
{
    struct pollfd p = {STDOUT_FILENO, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

/* Pauses for ms milliseconds, or less when a stop signal arrives. */
void Pause(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    (void)nanosleep(&ts, nullptr);
}

/* --json: a JSON line per changed record, a change stream every half
 * second, until a stop signal or the output's reader goes.  The exit
 * status: 1 when the daemon cannot be reached or the connection fails. */
int RunJson(const Options &opt)
{
    Viewer viewer(opt.host);
    std::string err;
    if (!viewer.Open(&err)) {
        Complain(err);
        return kExitError;
    }
    CatchStopSignals();
    /* The first stream of a fresh viewer holds every open session, marked
     * start; after that only what changed. */
    bool outputOk = true;
    while (stopRequested == 0) {
        const bool ok = viewer.Stream(0, [&](const MonData_t &rec) {
            if (outputOk)
                outputOk = Emit(JsonLine(RecordJson(rec)) + "\n");
        }, &err);
        if (!outputOk)
            return OutputFailed();
        if (stopRequested != 0)
            break;
        if (!ok) {
            Complain(err);
            return kExitError;
        }
        if (OutputClosed())
            break;
        if (stopRequested == 0)
            Pause(kJsonPollMs);
    }
    return kExitOk;
}

/* The record for get: one "name  value" line per field, values printable.
 * A keyed read carries no alive bit, so the end time alone says ended. */
std::string Describe(const MonData_t &rec, time_t wall)
{
    const auto text = [](const char *field, size_t size) {
        const std::string t = FieldText(field, size);
        return t.empty() ? std::string("-") : Printable(t, true);
    };
    std::string flags;
    for (auto [bit, name] : {std::pair{MON_FLAG_START, "start"}, {MON_FLAG_UPDATE, "update"},
                             {MON_FLAG_STATUS, "status"}, {MON_FLAG_END, "end"}}) {
        if (rec.flags & bit)
            flags += flags.empty() ? name : std::string(" ") + name;
    }
    const RecordKey link = LinkOf(rec);
    const bool ended = rec.endTime != 0;
    std::string started = ClockText(rec.startTime, true);
    if (rec.startTime != 0) {
        const long long upTo = ended && rec.endTime >= rec.startTime ? rec.endTime : static_cast<long long>(wall);
        started += " (age " + HumanAge(upTo - rec.startTime) + ")";
    }
    std::string status = "-";
    if (rec.status != 0 || rec.statusText[0] != '\0') {
        status = std::to_string(rec.status);
        if (rec.statusText[0] != '\0')
            status += " " + text(rec.statusText, sizeof rec.statusText);
    }
    const std::string data = rec.dataLen == 0 ? "-" : std::to_string(rec.dataLen) + " bytes: " + DataHex(rec);
    const std::vector<std::pair<const char *, std::string>> lines = {
        {"key", KeyText(KeyOf(rec))},
        {"link", link == RecordKey{0, 0, 0} ? "-" : KeyText(link)},
        {"state", ended ? "ended" : "open"},
        {"flags", flags.empty() ? "-" : flags},
        {"client", AddrText(rec.addrA)},
        {"destination", text(rec.text2, sizeof rec.text2)},
        {"resolved", AddrText(rec.addrB)},
        {"outbound", AddrText(rec.addrC)},
        {"user", text(rec.text1, sizeof rec.text1)},
        {"command", text(rec.text3, sizeof rec.text3)},
        {"proxy", text(rec.text4, sizeof rec.text4)},
        {"text5", text(rec.text5, sizeof rec.text5)},
        {"codes", "code1=" + std::to_string(rec.code1) + " code2=" + std::to_string(rec.code2)},
        {"sequence", std::to_string(rec.seqNum)},
        {"client tag", std::to_string(rec.clientTag)},
        {"started", started},
        {"last event", ClockText(rec.eventTime, true)},
        {"ended", ClockText(rec.endTime, true)},
        {"bytes up", std::to_string(rec.countA)},
        {"bytes down", std::to_string(rec.countB)},
        {"status", status},
        {"data", data},
    };
    std::string out;
    for (const auto &[name, value] : lines) {
        char label[16];
        std::snprintf(label, sizeof label, "%-13s", name);
        out += label + value + "\n";
    }
    return out;
}

/* get KEY: one keyed read.  The exit status: 1 for a key the store does
 * not hold, as for a daemon that cannot be reached. */
int RunGet(const Options &opt)
{
    Viewer viewer(opt.host);
    std::string err;
    if (!viewer.Open(&err)) {
        Complain(err);
        return kExitError;
    }
    MonData_t rec;
    switch (viewer.Get(opt.key, &rec, &err)) {
    case Viewer::Found::Yes:
        break;
    case Viewer::Found::No:
        Complain("no record with key " + KeyText(opt.key) + " at " + viewer.Where());
        return kExitError;
    case Viewer::Found::Failed:
        Complain(err);
        return kExitError;
    }
    viewer.Close();
    const std::string text = opt.json ? JsonLine(RecordJson(rec)) + "\n" : Describe(rec, time(nullptr));
    return Emit(text) ? kExitOk : OutputFailed();
}

/* The live table on the terminal: reads the change stream once a second and
 * the whole store every ten, keeps drawing while the daemon is away, and
 * reconnects when it comes back. */
class LiveView {
public:
    explicit LiveView(const Options &opt)
        : viewer_(opt.host), table_(kLinger), filter_(opt.filter), reverse_(opt.reverse)
    {
        const auto cols = LiveColumns();
        for (size_t i = 0; i < cols.size(); ++i) {
            if (cols[i] == opt.sort)
                sortIndex_ = i;
        }
    }

    /* Connects and reads the store before taking the terminal, so that an
     * unreachable daemon is reported plainly; then draws until q or a stop
     * signal.  The exit status. */
    int Run()
    {
        std::string err;
        if (!viewer_.Open(&err) || !FullRead(Monotonic(), &err)) {
            Complain(err);
            return kExitError;
        }
        std::setlocale(LC_ALL, "");
        struct termios shellTty;
        const bool haveTty = tcgetattr(STDIN_FILENO, &shellTty) == 0;
        if (initscr() == nullptr) {
            Complain("cannot use the terminal");
            return kExitError;
        }
        screenTaken = true;
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        (void)curs_set(0);
        set_escdelay(25);
        timeout(kKeyWaitMs);
        if (haveTty)
            ArmRescue(shellTty);
        CatchStopSignals();

        const double start = Monotonic();
        nextPoll_ = start + kPollEvery;
        nextFull_ = start + kFullReadEvery;
        Draw();
        while (stopRequested == 0 && !quit_) {
            const int ch = getch();
            if (ch != ERR)
                Key(ch);
            const double now = Monotonic();
            if (now >= nextPoll_) {
                Poll(now);
                nextPoll_ = now + kPollEvery;
                Draw();
            } else if (ch != ERR) {
                Draw();
            }
        }
        endwin();
        DisarmRescue();
        screenTaken = false;
        return kExitOk;
    }

private:
    /* Reads the whole store into the table; false with *err on failure. */
    bool FullRead(double now, std::string *err)
    {
        table_.BeginFullRead();
        const time_t wall = time(nullptr);
        if (!viewer_.Stream(1, [&](const MonData_t &rec) { table_.Apply(rec, now, wall); }, err)) {
            table_.CancelFullRead();
            return false;
        }
        table_.EndFullRead(now);
        return true;
    }

    /* One reading: a reconnect when the connection is down, a full read
     * when one is due, else the change stream.  A failure goes to the last
     * line and closes the connection for the next reconnect. */
    void Poll(double now)
    {
        std::string err;
        if (!viewer_.IsOpen()) {
            if (now < nextReconnect_)
                return;
            if (viewer_.Open(&err) && FullRead(now, &err)) {
                message_.clear();
                nextFull_ = now + kFullReadEvery;
            } else {
                message_ = err + "; retrying";
                nextReconnect_ = now + kReconnectEvery;
            }
        } else if (now >= nextFull_) {
            nextFull_ = now + kFullReadEvery;
            if (!FullRead(now, &err)) {
                message_ = err + "; retrying";
                nextReconnect_ = now + kReconnectEvery;
            }
        } else {
            const time_t wall = time(nullptr);
            if (!viewer_.Stream(0, [&](const MonData_t &rec) { table_.Apply(rec, now, wall); }, &err)) {
                message_ = err + "; retrying";
                nextReconnect_ = now + kReconnectEvery;
            }
        }
        table_.Tick(now);
    }

    /* Acts on one key outside the filter prompt. */
    void Key(int ch)
    {
        const size_t ncols = LiveColumns().size();
        if (editing_) {
            EditKey(ch);
            return;
        }
        const int page = std::max(1, LINES - 3);
        switch (ch) {
        case 'q':
        case 'Q':
            quit_ = true;
            break;
        case 's':
            sortIndex_ = (sortIndex_ + 1) % ncols;
            break;
        case 'S':
            sortIndex_ = (sortIndex_ + ncols - 1) % ncols;
            break;
        case 'r':
            reverse_ = !reverse_;
            break;
        case '/':
            editing_ = true;
            savedFilter_ = filter_;
            break;
        case KEY_UP:
        case 'k':
            scroll_ = scroll_ > 0 ? scroll_ - 1 : 0;
            break;
        case KEY_DOWN:
        case 'j':
            ++scroll_;
            break;
        case KEY_PPAGE:
            scroll_ = scroll_ > page ? scroll_ - page : 0;
            break;
        case KEY_NPAGE:
            scroll_ += page;
            break;
        case KEY_HOME:
            scroll_ = 0;
            break;
        case KEY_END:
            scroll_ = 1 << 30;
            break;
        default:
            break;
        }
    }

    /* Keys while the filter is typed: it applies as it is typed; Enter
     * keeps it, Escape puts the previous one back. */
    void EditKey(int ch)
    {
        if (ch == '\n' || ch == '\r' || ch == KEY_ENTER) {
            editing_ = false;
        } else if (ch == 27) {
            filter_ = savedFilter_;
            editing_ = false;
        } else if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
            while (!filter_.empty() && (static_cast<unsigned char>(filter_.back()) & 0xc0) == 0x80)
                filter_.pop_back();
            if (!filter_.empty())
                filter_.pop_back();
        } else if (ch == 21) { /* ^U */
            filter_.clear();
        } else if (ch >= 0x20 && ch <= 0xff && ch != 0x7f) {
            filter_ += static_cast<char>(ch);
        }
        scroll_ = 0;
    }

    /* Writes line at row y, cut to width columns, with attr. */
    void Put(int y, const std::string &line, int width, attr_t attr = A_NORMAL)
    {
        if (width <= 0)
            return;
        attron(attr);
        mvaddstr(y, 0, FitWidth(line, static_cast<size_t>(width)).c_str());
        attroff(attr);
    }

    /* Redraws the whole screen: summary, headings, rows, last line.
     * curses sends only what changed. */
    void Draw()
    {
        erase();
        const auto columns = LiveColumns();
        const Column sort = columns[sortIndex_];
        const CellStyle style{time(nullptr), false};
        const auto rows = table_.View(sort, reverse_, filter_, style);
        const auto cells = Cells(rows, columns, style);
        const auto widths = ColumnWidths(cells, columns, true);

        std::string summary = "warden-top  " + viewer_.Where() + "  " + std::to_string(table_.Size()) +
                              " sessions, " + std::to_string(table_.OpenCount()) + " open, " +
                              std::to_string(rows.size()) + " shown  sort: " + Info(sort).name +
                              (reverse_ ? " (descending)" : "");
        if (!filter_.empty())
            summary += "  filter: " + Printable(filter_, true);
        summary += "  " + ClockText(static_cast<int32_t>(style.wallNow), false);
        Put(0, summary, COLS);

        /* The heading line in reverse video, the sort column's heading bold. */
        std::string heading = FormatLine(Headings(columns), columns, widths);
        heading.resize(std::max<size_t>(heading.size(), static_cast<size_t>(std::max(COLS, 0))), ' ');
        Put(1, heading, COLS, A_REVERSE);
        int x = 0;
        for (size_t i = 0; i < sortIndex_; ++i)
            x += static_cast<int>(widths[i]) + 2;
        if (x < COLS)
            mvchgat(1, x, static_cast<int>(widths[sortIndex_]), A_REVERSE | A_BOLD | A_UNDERLINE, 0, nullptr);

        const int body = std::max(0, LINES - 3);
        const size_t maxScroll = rows.size() > static_cast<size_t>(body) ? rows.size() - static_cast<size_t>(body) : 0;
        scroll_ = std::min(scroll_, static_cast<int>(maxScroll));
        for (int i = 0; i < body && static_cast<size_t>(scroll_ + i) < rows.size(); ++i) {
            const size_t r = static_cast<size_t>(scroll_ + i);
            Put(2 + i, FormatLine(cells[r], columns, widths), COLS, rows[r]->ended ? A_DIM : A_NORMAL);
        }

        /* The last cell of the screen is left alone: writing it scrolls. */
        if (editing_)
            Put(LINES - 1, "/" + Printable(filter_, true), COLS - 1, A_BOLD);
        else if (!message_.empty())
            Put(LINES - 1, message_, COLS - 1, A_BOLD);
        else
            Put(LINES - 1, "q quit  s/S sort  r reverse  / filter  arrows scroll", COLS - 1);
        refresh();
    }

    Viewer viewer_;
    SessionTable table_;
    std::string filter_;
    std::string savedFilter_;
    std::string message_;      /* connection trouble, shown on the last line */
    size_t sortIndex_ = 0;
    bool reverse_;
    bool editing_ = false;
    bool quit_ = false;
    int scroll_ = 0;
    double nextPoll_ = 0;
    double nextFull_ = 0;
    double nextReconnect_ = 0;
};

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
int ReadEnvironment()
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
    answerWait = static_cast<int>(v);
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (const int status = ParseOptions(argc, argv, &opt); status >= 0)
        return status;
    if (const int status = ReadEnvironment(); status >= 0)
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
            return LiveView(opt).Run();
        }
    } catch (const std::exception &e) {
        if (screenTaken) {
            endwin();
            DisarmRescue();
        }
        Complain(e.what());
    }
    return kExitError;
}
