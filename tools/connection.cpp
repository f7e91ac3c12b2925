/*
 * connection.cpp - the viewer connection of warden-top.  A warden that
 * serves as many viewers as it allows (4, or its --viewers) accepts one more
 * connection and closes it without a byte, so a connection whose very first
 * request fails that way is reported as exactly that; the limit itself is
 * not told on the wire, so the text names none but the default.
 */
#include "connection.h"

#include "failtext.h"
#include "rescue.h"

#include <cerrno>
#include <cstring>

namespace wtop {

namespace {

/* "N second(s)". */
std::string Seconds(int n)
{
    return std::to_string(n) + (n == 1 ? " second" : " seconds");
}

}  // namespace

std::string Connection::Where() const
{
    return host_ + ":" + std::to_string(MON_VIEWER_PORT);
}

bool Connection::Open(std::string *err)
{
    Close();
    answered_ = false;
    errno = 0;
    if (QxMonNetOpen(host_.c_str(), MON_CLIENT_VIEWER, &h_) == 0) {
        if (QxMonNetSetTimeout(h_, answerWait_ * 1000) == 0)
            return true;
        const int e = errno;
        Close();
        *err = "cannot connect to warden at " + Where() + ": cannot set the answer wait: " + std::strerror(e);
        return false;
    }
    *err = OpenFailureText(errno);
    h_ = nullptr;
    return false;
}

std::string Connection::OpenFailureText(int e) const
{
    return sess::ConnectFailureText(Where(), host_, e);
}

bool Connection::Stream(int all, const std::function<void(const MonData_t &)> &fn, std::string *err)
{
    MonData_t rec;
    for (;;) {
        if (Stopping(err))
            return false;
        errno = 0;
        int r;
        {
            WaitingForWarden wait;
            r = QxMonRecvNextData(h_, all, &rec);
        }
        if (r < 0) {
            *err = FailureText(errno);
            Close();
            return false;
        }
        if (r == 0) {
            answered_ = true;
            return true;
        }
        fn(rec);
    }
}

Connection::Found Connection::Get(const RecordKey &key, MonData_t *rec, std::string *err)
{
    if (Stopping(err))
        return Found::Failed;
    std::memset(rec, 0, sizeof *rec);
    rec->pid = key.pid;
    rec->handleNum = key.handle;
    rec->recordNum = key.record;
    errno = 0;
    int r;
    {
        WaitingForWarden wait;
        r = QxMonRecvData(h_, rec);
    }
    if (r == 0) {
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

void Connection::Close()
{
    if (h_ != nullptr)
        (void)QxMonClose(h_);
    h_ = nullptr;
}

/* True, with the connection closed, once a stop signal has come. */
bool Connection::Stopping(std::string *err)
{
    if (StopSignal() == 0)
        return false;
    *err = "stopped by signal " + std::to_string(StopSignal());
    Close();
    return true;
}

std::string Connection::FailureText(int e) const
{
    if (e == ETIMEDOUT) {
        if (answered_)
            return "lost the connection to warden at " + Where() + ": no answer within " + Seconds(answerWait_);
        return "warden at " + Where() + " did not answer within " + Seconds(answerWait_);
    }
    if (e == EPROTO)
        return "gave up on warden at " + Where() + ": its change stream ran past " +
               std::to_string(MON_VIEWER_STREAM_MAX) + " records, more than any store holds";
    const std::string why = e != 0 ? std::strerror(e) : "connection failed";
    if (answered_)
        return "lost the connection to warden at " + Where() + ": " + why;
    if (e == ECONNRESET || e == EPIPE)
        return "warden at " + Where() + " closed the connection at once: warden is serving as many viewers as its --viewers allows already (4 by default)";
    return "warden at " + Where() + " did not answer: " + why;
}

}  // namespace wtop
