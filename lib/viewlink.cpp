/*
 * viewlink.cpp - a viewer's connection to the daemon's viewer server: keyed
 * reads and change streams over TCP port 5051, one request at a time.
 * Every request and reply goes through the handle's one message buffer; a
 * stream, once requested, is read to its closing empty frame before the
 * handle asks anything else.  The module never closes the connection itself.
 */
#include "viewlink_internal.h"

#include "monapi_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned char kRequestKeyed = 1;
constexpr unsigned char kRequestStream = 2;
constexpr int kKeyedRequestSize = 1 + MON_KEY_SIZE;
constexpr int kStreamRequestSize = 2;

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

    link->fd = Mon_TcpConnect(host, MON_VIEWER_PORT);
    if (link->fd < 0) {
        const int err = errno;
        QxLogUpdate(nullptr, 1, 15, "Failed to open network connection");
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
    link->buf[0] = kRequestKeyed;
    memcpy(link->buf + 1, rec, MON_KEY_SIZE); /* raw: the key is an opaque token */
    if (Mon_TcpSend(link->fd, kKeyedRequestSize, link->buf) < 0)
        return -1;
    const int len = Mon_TcpRecv(link->fd, MON_MSG_MAX, link->buf);
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
    if (!link->streaming) {
        link->buf[0] = kRequestStream;
        link->buf[1] = static_cast<unsigned char>(all & 0xff);
        if (Mon_TcpSend(link->fd, kStreamRequestSize, link->buf) < 0)
            return -1;
        link->streaming = 1;
    }
    /* While streaming, a failure leaves the flag set: the frames still due
     * belong to this stream, and a new request would be answered after them. */
    const int len = Mon_TcpRecv(link->fd, MON_MSG_MAX, link->buf);
    if (len < 0)
        return -1;
    if (len == 0) {
        link->streaming = 0;
        return 0;
    }
    return Decode(link, len, rec, "MonGUIGetNext") ? 1 : -1;
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
