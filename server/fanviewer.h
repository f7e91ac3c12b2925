/*
 * fanviewer.h - one viewer connection of the fan-out: its request and reply
 * buffers on a non-blocking socket, the change bits it has not read, and
 * the times its limits count from.  What the requests mean is the
 * fan-out's (fanout.cpp); this is the bytes.
 */
#ifndef WARDEN_FANVIEWER_H
#define WARDEN_FANVIEWER_H

#include "changecache.h"

#include <quelm/monitor.h>

#include <cstddef>
#include <ctime>
#include <vector>

struct FanViewer {
    void *owner;                      // the fan-out serving it
    int fd;
    PendingBits pending;              // unread change bits per record
    unsigned char in[MON_FRAME_MAX];  // request bytes received, not yet handled
    size_t inLen = 0;
    std::vector<unsigned char> out;   // reply bytes not yet written
    size_t outPos = 0;
    struct timespec lastRequest;      // connect, or the last whole request taken
    struct timespec lastProgress;     // last time a reply byte was taken
    bool asked = false;               // it has sent a whole request
    bool streamWaiting = false;       // a stream request waits for the next drain
    int streamAll = 0;                // its "all" flag
    struct timespec lastStream = {0, 0}; // when its last stream was answered
    bool lastStreamEmpty = false;     // that stream held no record

    /* A reply is being written. */
    bool Writing() const { return outPos < out.size(); }
};

/* Appends one frame to the reply: rec's message, or the empty frame for null. */
void FanViewerAppend(FanViewer *v, const MonData_t *rec);

/* Writes what the socket takes of the reply.  False when the connection failed. */
bool FanViewerFlush(FanViewer *v);

/* The next whole request frame received: 1 with its payload at *req and its
 * length in *len (taken off with FanViewerConsume), 0 when more bytes are
 * needed and none are waiting, -1 when the connection is to end (closed,
 * broken, an empty or oversized request frame).  Reads what the socket
 * holds as needed. */
int FanViewerNextRequest(FanViewer *v, const unsigned char **req, unsigned *len);

/* Removes the request frame of len payload bytes just handled. */
void FanViewerConsume(FanViewer *v, unsigned len);

#endif /* WARDEN_FANVIEWER_H */
