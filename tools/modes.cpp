/*
 * modes.cpp - warden-top's modes that print and end.  Output goes out with
 * a flush per line or table, so that a reader at the other end of a pipe
 * sees each change as it comes and a stop loses nothing already read.
 */
#include "modes.h"

#include "connection.h"
#include "fields.h"
#include "recjson.h"
#include "rescue.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace wtop {

namespace {

constexpr long kJsonPollMs = 500; /* --json: pause between change streams      */

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

/* Opens conn; false, with the reason on standard error, when it cannot. */
bool Connect(Connection &conn)
{
    std::string err;
    if (conn.Open(&err))
        return true;
    Complain(err);
    return false;
}

/* A text field for get: printable, "-" when empty. */
std::string TextLine(const MonData_t &rec, Field f)
{
    const std::string t = TextOf(rec, f);
    return t.empty() ? std::string("-") : Printable(t, true);
}

/* The value of field f on its line of get's output. */
std::string DescribeValue(const MonData_t &rec, Field f, time_t wall)
{
    const bool ended = rec.endTime != 0;
    switch (f) {
    case Field::Key:
        return KeyText(KeyOf(rec));
    case Field::Link: {
        const RecordKey link = LinkOf(rec);
        return link == RecordKey{0, 0, 0} ? "-" : KeyText(link);
    }
    case Field::Sequence:
        return std::to_string(rec.seqNum);
    case Field::ClientTag:
        return std::to_string(rec.clientTag);
    case Field::Flags: {
        std::string flags;
        for (auto [bit, name] : {std::pair{MON_FLAG_START, "start"}, {MON_FLAG_UPDATE, "update"},
                                 {MON_FLAG_STATUS, "status"}, {MON_FLAG_END, "end"}}) {
            if (rec.flags & bit)
                flags += flags.empty() ? name : std::string(" ") + name;
        }
        return flags.empty() ? "-" : flags;
    }
    case Field::State:
        return ended ? "ended" : "open";
    case Field::Started: {
        std::string started = ClockText(rec.startTime, true);
        if (rec.startTime != 0) {
            const long long upTo = ended && rec.endTime >= rec.startTime ? rec.endTime : static_cast<long long>(wall);
            started += " (age " + HumanAge(upTo - rec.startTime) + ")";
        }
        return started;
    }
    case Field::Last:
        return ClockText(rec.eventTime, true);
    case Field::Ended:
        return ClockText(rec.endTime, true);
    case Field::Client:
    case Field::Resolved:
    case Field::Outbound:
        return AddrText(AddrOf(rec, f));
    case Field::User:
    case Field::Destination:
    case Field::Command:
    case Field::Proxy:
    case Field::Text5:
        return TextLine(rec, f);
    case Field::Codes:
        return "code1=" + std::to_string(rec.code1) + " code2=" + std::to_string(rec.code2);
    case Field::Up:
        return std::to_string(BytesUp(rec));
    case Field::Down:
        return std::to_string(BytesDown(rec));
    case Field::Status: {
        if (rec.status == 0 && rec.statusText[0] == '\0')
            return "-";
        const std::string text = TextOf(rec, Field::StatusText);
        return std::to_string(rec.status) + (text.empty() ? "" : " " + Printable(text, true));
    }
    case Field::Data:
        return rec.dataLen == 0 ? "-" : std::to_string(rec.dataLen) + " bytes: " + DataHex(rec);
    default:
        return "-";
    }
}

}  // namespace

double Monotonic()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void Complain(const std::string &message)
{
    std::fprintf(stderr, "warden-top: %s\n", message.c_str());
}

std::string Describe(const MonData_t &rec, time_t wall)
{
    std::string out;
    for (const FieldInfo &info : Fields()) {
        if (info.label == nullptr)
            continue;
        char label[16];
        std::snprintf(label, sizeof label, "%-13s", info.label);
        out += label + DescribeValue(rec, info.id, wall) + "\n";
    }
    return out;
}

/* --once: reads every record the store holds, with the all flag, and
 * prints the table (or one JSON line per record). */
int RunOnce(const Options &opt)
{
    Connection conn(opt.host, opt.answerWait);
    std::string err;
    if (!Connect(conn))
        return kExitError;
    /* The all flag brings ended records that the store still holds too.
     * One record per key, so each row holds the record as delivered: the
     * JSON lines are sorted and filtered just as the table is. */
    const double now = Monotonic();
    const time_t wall = time(nullptr);
    SessionTable table(kLinger);
    const bool ok = conn.Stream(1, [&](const MonData_t &rec) { table.Apply(rec, now, wall); }, &err);
    conn.Close();
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

/* --json: a JSON line per changed record, a change stream every half
 * second, until a stop signal or the output's reader goes.  1 when the
 * daemon cannot be reached or the connection fails. */
int RunJson(const Options &opt)
{
    Connection conn(opt.host, opt.answerWait);
    std::string err;
    if (!Connect(conn))
        return kExitError;
    CatchStopSignals();
    /* The first stream of a fresh viewer holds every open session, marked
     * start; after that only what changed. */
    bool outputOk = true;
    while (StopSignal() == 0) {
        const bool ok = conn.Stream(0, [&](const MonData_t &rec) {
            if (outputOk)
                outputOk = Emit(JsonLine(RecordJson(rec)) + "\n");
        }, &err);
        if (!outputOk)
            return OutputFailed();
        if (StopSignal() != 0)
            break;
        if (!ok) {
            Complain(err);
            return kExitError;
        }
        if (OutputClosed())
            break;
        if (StopSignal() == 0)
            Pause(kJsonPollMs);
    }
    return kExitOk;
}

/* get KEY: one keyed read; 1 for a key the store does not hold, as for a
 * daemon that cannot be reached. */
int RunGet(const Options &opt)
{
    Connection conn(opt.host, opt.answerWait);
    std::string err;
    if (!Connect(conn))
        return kExitError;
    MonData_t rec;
    switch (conn.Get(opt.key, &rec, &err)) {
    case Connection::Found::Yes:
        break;
    case Connection::Found::No:
        Complain("no record with key " + KeyText(opt.key) + " at " + conn.Where());
        return kExitError;
    case Connection::Found::Failed:
        Complain(err);
        return kExitError;
    }
    conn.Close();
    const std::string text = opt.json ? JsonLine(RecordJson(rec)) + "\n" : Describe(rec, time(nullptr));
    return Emit(text) ? kExitOk : OutputFailed();
}

}  // namespace wtop
