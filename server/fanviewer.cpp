/*
 * fanviewer.cpp - the fan-out's viewer connections: framing in and out.
 */
#include "fanviewer.h"

#include "viewrules.h"

#include "frame_internal.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr size_t kOutKeep = 16384; // reply buffer a viewer keeps between replies
}

void FanViewerAppend(FanViewer *v, const MonData_t *rec)
{
    if (!v->Writing())
        v->lastProgress = ViewerNow(); // a new reply: the stall limit counts from here
    const size_t at = v->out.size();
    v->out.resize(at + MON_FRAME_MAX);
    const int len = rec != nullptr ? ParcelPutData(rec, v->out.data() + at + 2) : 0;
    quelm::FramePutHeader(static_cast<unsigned>(len), v->out.data() + at);
    v->out.resize(at + 2 + static_cast<size_t>(len));
}

bool FanViewerFlush(FanViewer *v)
{
    while (v->Writing()) {
        const ssize_t n = send(v->fd, v->out.data() + v->outPos, v->out.size() - v->outPos,
                               MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        v->outPos += static_cast<size_t>(n);
        v->lastProgress = ViewerNow();
    }
    v->out.clear();
    v->outPos = 0;
    if (v->out.capacity() > kOutKeep)
        std::vector<unsigned char>().swap(v->out);
    return true;
}

int FanViewerNextRequest(FanViewer *v, const unsigned char **req, unsigned *len)
{
    for (;;) {
        if (v->inLen >= 2) {
            *len = quelm::FrameGetHeader(v->in);
            if (*len == 0 || *len > MON_MSG_MAX)
                return -1;
            if (v->inLen >= 2u + *len) {
                *req = v->in + 2;
                return 1;
            }
        }
        const ssize_t n = read(v->fd, v->in + v->inLen, sizeof v->in - v->inLen);
        if (n == 0)
            return -1;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
        v->inLen += static_cast<size_t>(n);
    }
}

void FanViewerConsume(FanViewer *v, unsigned len)
{
    memmove(v->in, v->in + 2 + len, v->inLen - 2 - len);
    v->inLen -= 2u + len;
}
