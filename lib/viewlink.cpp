/*
 * viewlink.cpp - a viewer's connection to the daemon's viewer server: keyed
 * reads and change streams over TCP port 5051, one request at a time.
 * Every request and reply goes through the handle's one message buffer; a
 * stream, once requested, is read to its closing empty frame before the
 * handle asks anything else.  The module never closes the connection itself.
 * With a timeout set, every read of a reply waits only for what is left of
 * the reply's one deadline, so a reply that does not come in time costs no
 * more than the time allowed, however its bytes trickle in.
 */
#include "viewlink_internal.h"

#include "frame_internal.h"
#include "monapi_internal.h"
#include "viewlink_wire.h"
#include "wirelink_internal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

constexpr quelm::ViewLinkSys_t quelm::kViewLinkSysDefault = {MON_VIEWER_STREAM_MAX};
constinit quelm::ViewLinkSys_t quelm::viewLinkSys = quelm::kViewLinkSysDefault;

namespace {

using quelm::kViewKeyedRequestSize;
using quelm::kViewRequestKeyed;
using quelm::kViewRequestStream;
using quelm::kViewStreamRequestSize;

// How long an open waits for its connect before handing the rest of the
// wait to the first request.
constexpr int kConnectGraceMs = 200;

/* Milliseconds on a clock that never jumps. */
int64_t NowMs() noexcept
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/* The private part of h when h is an open viewer handle, else null. */
ViewLink_t *OpenLink(MonHandle_t *h) noexcept
{
    if (h == nullptr || h->magic != MON_MAGIC_VIEWER)
        return nullptr;
    return static_cast<ViewLink_t *>(h->priv);
}

/* Logs a bad handle for the operation named in format and returns -1. */
int BadHandle(const char *format, const MonHandle_t *h) noexcept
{
    QxLogUpdate(nullptr, 1, 1, format, reinterpret_cast<unsigned long>(h));
    errno = EINVAL;
    return -1;
}

/* Decodes the len-byte message in link's buffer into rec: true, or false
 * (logged, errno EBADMSG, rec zeroed) for a message the checked decoder
 * refuses.  The daemon never sends one; a peer that does costs one record,
 * not the viewer's memory. */
bool Decode(ViewLink_t *link, int len, MonData_t *rec, const char *who) noexcept
{
    if (ParcelGetDataChecked(rec, link->buf, static_cast<size_t>(len)) >= 0)
        return true;
    QxLogUpdate(nullptr, 1, 28, "%s: malformed record message (%d bytes)", who, len);
    errno = EBADMSG;
    return false;
}

/* Refuses a request on a handle whose connection was given up: -1, errno
 * ENOTCONN.  Nothing on the connection can be trusted to belong to a new
 * request any more. */
int Dead(const char *who) noexcept
{
    QxLogUpdate(nullptr, 5, 15, "%s: connection given up after an earlier failure", who);
    errno = ENOTCONN;
    return -1;
}

/* Gives the connection up after an overdue reply, an overlong stream or a
 * failed wait (logged already): the handle dead, errno err, -1. */
int GiveUp(ViewLink_t *link, const char *who, int err) noexcept
{
    link->dead = 1;
    if (err == ETIMEDOUT)
        QxLogUpdate(nullptr, 1, 15, "%s: no whole reply within %d ms", who, link->timeoutMs);
    else if (err == EPROTO)
        QxLogUpdate(nullptr, 1, 15, "%s: change stream longer than %u records", who,
                    quelm::viewLinkSys.streamMax);
    errno = err;
    return -1;
}

/* Starts the clock for the reply to the request about to be sent. */
void ArmDeadline(ViewLink_t *link) noexcept
{
    if (link->timeoutMs > 0)
        link->deadlineMs = NowMs() + link->timeoutMs;
}

/* Waits for a connect still under way, within the reply's deadline when a
 * timeout is set: true once connected, else false with the handle dead and
 * errno ETIMEDOUT or the connect's error. */
bool AwaitConnect(ViewLink_t *link, const char *who) noexcept
{
    int wait = -1;
    if (link->timeoutMs > 0) {
        const int64_t left = link->deadlineMs - NowMs();
        wait = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    if (quelm::TcpConnectWait(link->fd, wait) == 0) {
        link->connecting = 0;
        return true;
    }
    if (errno == ETIMEDOUT) {
        (void)GiveUp(link, who, ETIMEDOUT);
        return false;
    }
    const int err = errno;
    QxLogUpdate(nullptr, 1, 15, "Failed to open network connection");
    link->dead = 1;
    errno = err;
    return false;
}

/* Sends a request of len bytes from the buffer, once the connection is
 * made: true, or false with errno (ETIMEDOUT, handle dead, when the reply's
 * deadline ran out first). */
bool SendRequest(ViewLink_t *link, int len, const char *who) noexcept
{
    if (link->connecting && !AwaitConnect(link, who))
        return false;
    if (Mon_TcpSend(link->fd, len, link->buf) >= 0)
        return true;
    if (link->timeoutMs > 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        (void)GiveUp(link, who, ETIMEDOUT);
    return false;
}

// The deadline of the reply being read by this thread (0: none).  A frame
// source's read has no context of its own; a handle is used by one thread
// at a time, so the thread's own word carries the handle's deadline.
thread_local int64_t readDeadlineMs = 0;

/* read(2) that first waits for bytes until the thread's reply deadline:
 * -1 with ETIMEDOUT once it has passed.  Every read of a reply, inside a
 * frame too, waits only for what is left of the one deadline, so a peer
 * that drips a byte at a time cannot stretch it. */
ssize_t DeadlineRead(int fd, unsigned char *p, size_t len) noexcept
{
    for (;;) {
        const int64_t left = readDeadlineMs - NowMs();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        const int r = poll(&pfd, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (r > 0)
            return read(fd, p, len);
        if (r < 0 && errno != EINTR)
            return -1;
    }
}

/* Receives the next reply frame into the buffer, within the deadline when
 * a timeout is set: Mon_TcpRecv's result, or -1 with the handle dead and
 * errno ETIMEDOUT.  Bytes are taken as they come (the kernel need not hold
 * a whole frame for us: a receive queue short of memory shrinks the window
 * until the application reads). */
int RecvReply(ViewLink_t *link, const char *who) noexcept
{
    if (link->timeoutMs <= 0)
        return Mon_TcpRecv(link->fd, MON_MSG_MAX, link->buf);
    readDeadlineMs = link->deadlineMs;
    const quelm::FrameSource src = {link->fd, DeadlineRead, true};
    quelm::FrameFault fault;
    const int len = quelm::FrameRecv(src, MON_MSG_MAX, link->buf, &fault);
    readDeadlineMs = 0;
    if (len >= 0)
        return len;
    if ((fault == quelm::FrameFault::kReadFailed || fault == quelm::FrameFault::kReadFailedInFrame) &&
        errno == ETIMEDOUT)
        return GiveUp(link, who, ETIMEDOUT);
    // Any other failure reads as Mon_TcpRecv reports it.
    if (fault == quelm::FrameFault::kEnd || fault == quelm::FrameFault::kEndInFrame)
        errno = ECONNRESET;
    else if (fault == quelm::FrameFault::kTooLong)
        errno = EMSGSIZE;
    QxLogUpdate(nullptr, 1, 24, "Error in %s: %m", "read");
    return -1;
}

}  // namespace

/* Connects to the viewer server on host (dotted IPv4 address or host name),
 * port 5051, as client type 6: 0 with *out the new handle, or -1 with *out
 * null and nothing left open (logged). */
extern "C" int QxMonNetOpen(const char *host, int type, MonHandle_t **out)
{
    if (out == nullptr) {
        QxLogUpdate(nullptr, 5, 3, "%s: no place for the handle", "MonNetOpen");
        errno = EINVAL;
        return -1;
    }
    *out = nullptr;
    if (type != MON_CLIENT_VIEWER) {
        QxLogUpdate(nullptr, 1, 3, "MonNetOpen: bad client type=%d specified", type);
        errno = EINVAL;
        return -1;
    }
    const quelm::HandleOps ops = {QxMonNetOpen, MonGUIClose, nullptr, MonGUIGet, MonGUIGetNext};
    MonHandle_t *h = quelm::HandleNew(ops, sizeof(ViewLink_t), host);
    if (h == nullptr) {
        QxLogUpdate(nullptr, 1, 35, "MonNetOpen: malloc() failed");
        errno = ENOMEM;
        return -1;
    }
    auto *link = static_cast<ViewLink_t *>(h->priv);
    h->magic = MON_MAGIC_VIEWER;

    // The connect is given a moment here, so that a refusal (no daemon) is
    // the open's failure as it always was; one that takes longer finishes
    // within the first request's deadline, which the caller sets after the
    // open.  A connect of its own could otherwise outlast any bound.
    link->fd = quelm::TcpConnectStart(host, MON_VIEWER_PORT);
    int rc = link->fd < 0 ? -1 : quelm::TcpConnectWait(link->fd, kConnectGraceMs);
    if (rc < 0 && link->fd >= 0 && errno == ETIMEDOUT) {
        link->connecting = 1;
        rc = 0;
    }
    if (rc < 0) {
        const int err = errno;
        QxLogUpdate(nullptr, 1, 15, "Failed to open network connection");
        if (link->fd >= 0)
            (void)close(link->fd);
        quelm::HandleFree(h);
        errno = err;
        return -1;
    }
    *out = h;
    return 0;
}

/* Keyed read: see the declaration. */
extern "C" int MonGUIGet(MonHandle_t *h, MonData_t *rec)
{
    ViewLink_t *link = OpenLink(h);
    if (link == nullptr)
        return BadHandle("MonGUIGet: bad handle=0x%lx specified", h);
    if (rec == nullptr) {
        QxLogUpdate(nullptr, 5, 3, "%s: no record to fill", "MonGUIGet");
        errno = EINVAL;
        return -1;
    }
    if (link->dead)
        return Dead("MonGUIGet");
    link->buf[0] = kViewRequestKeyed;
    memcpy(link->buf + 1, rec, MON_KEY_SIZE); /* raw: the key is an opaque token */
    ArmDeadline(link);
    if (!SendRequest(link, kViewKeyedRequestSize, "MonGUIGet"))
        return -1;
    const int len = RecvReply(link, "MonGUIGet");
    if (len < 0)
        return -1;
    if (len == 0) {
        QxLogUpdate(nullptr, 1, 28, "MonGUIGet: no data record available");
        errno = ENOENT;
        return -1;
    }
    return Decode(link, len, rec, "MonGUIGet") ? 0 : -1;
}

/* One step of the change stream: see the declaration. */
extern "C" int MonGUIGetNext(MonHandle_t *h, int all, MonData_t *rec)
{
    ViewLink_t *link = OpenLink(h);
    if (link == nullptr)
        return BadHandle("MonGUIGetNext: bad handle=0x%lx specified", h);
    if (rec == nullptr) {
        QxLogUpdate(nullptr, 5, 3, "%s: no record to fill", "MonGUIGetNext");
        errno = EINVAL;
        return -1;
    }
    if (link->dead)
        return Dead("MonGUIGetNext");
    if (!link->streaming) {
        link->buf[0] = kViewRequestStream;
        link->buf[1] = static_cast<unsigned char>(all & 0xff);
        ArmDeadline(link);
        if (!SendRequest(link, kViewStreamRequestSize, "MonGUIGetNext"))
            return -1;
        link->streaming = 1;
        link->streamRecords = 0;
    }
    /* While streaming, a failure leaves the flag set: the frames still due
     * belong to this stream, and a new request would be answered after them. */
    const int len = RecvReply(link, "MonGUIGetNext");
    if (len < 0)
        return -1;
    if (len == 0) {
        link->streaming = 0;
        return 0;
    }
    /* Counted before decoding: a frame the decoder refuses is still one of
     * the stream's frames, and an endless run of them must end too. */
    if (++link->streamRecords > quelm::viewLinkSys.streamMax)
        return GiveUp(link, "MonGUIGetNext", EPROTO);
    return Decode(link, len, rec, "MonGUIGetNext") ? 1 : -1;
}

/* Sets the reply bound of an open viewer handle: see the declaration.  The
 * send timeout follows it, so a daemon that stops reading cannot hold a
 * request either. */
extern "C" int QxMonNetSetTimeout(MonHandle_t *h, int milliseconds)
{
    ViewLink_t *link = OpenLink(h);
    if (link == nullptr)
        return BadHandle("MonNetSetTimeout: bad handle=0x%lx specified", h);
    if (milliseconds < 0) {
        QxLogUpdate(nullptr, 5, 3, "%s: bad timeout=%d ms specified", "MonNetSetTimeout", milliseconds);
        errno = EINVAL;
        return -1;
    }
    const struct timeval tv = {milliseconds / 1000, (milliseconds % 1000) * 1000};
    if (setsockopt(link->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0) {
        const int err = errno;
        QxLogUpdate(nullptr, 1, 24, "Error in %s: %m", "setsockopt");
        errno = err;
        return -1;
    }
    link->timeoutMs = milliseconds;
    return 0;
}

/* Disconnects and frees an open viewer handle: see the declaration. */
extern "C" int MonGUIClose(MonHandle_t *h)
{
    ViewLink_t *link = OpenLink(h);
    if (link == nullptr)
        return BadHandle("MonGUIClose: bad handle=0x%lx specified", h);
    h->magic = MON_MAGIC_DEAD;
    (void)Mon_TcpClose(link->fd);
    free(link);
    free(h);
    return 0;
}
