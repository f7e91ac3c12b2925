/*
 * viewlink_internal.h - the private part of a viewer's connection handle,
 * the three operations behind its table, and the module's seam table.  Not
 * installed: viewers reach the operations through QxMonRecvData,
 * QxMonRecvNextData and QxMonClose.
 */
#ifndef QUELM_VIEWLINK_INTERNAL_H
#define QUELM_VIEWLINK_INTERNAL_H

#include "monitor.h"

#ifdef __cplusplus
#include "seam.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Private part of a viewer handle (MonHandle_t.priv). */
typedef struct ViewLink {
    int fd;                         /* connection to the daemon's viewer server */
    unsigned char streaming;        /* 1 from a stream request to its empty frame */
    unsigned char buf[MON_MSG_MAX]; /* every request and reply passes through here */
    unsigned char dead;             /* 1 after an overdue reply or an overlong stream */
    unsigned char connecting;       /* 1 while the connect is still under way */
    int timeoutMs;                  /* bound on each request's reply; 0: none */
    int64_t deadlineMs;             /* CLOCK_MONOTONIC ms when the current reply is overdue */
    uint32_t streamRecords;         /* records of the stream under way so far */
} ViewLink_t;

/* Keyed read: the first 10 bytes of rec are the key; 0 with rec replaced by
 * the daemon's record, -1 otherwise (no such record, a failed send or
 * receive, or a refused message, after which rec is zeroed). */
int MonGUIGet(MonHandle_t *h, MonData_t *rec);

/* One step of the change stream (all: 0 changed records, else every record;
 * only its low byte is sent, and only by the call that starts a stream):
 * 1 with the next record in rec, 0 when the stream ended, -1 on failure.
 * After a failed receive or a refused message the stream is still under
 * way: the next call reads its next frame. */
int MonGUIGetNext(MonHandle_t *h, int all, MonData_t *rec);

/* Disconnects and frees the handle: 0, or -1 for a bad handle (logged). */
int MonGUIClose(MonHandle_t *h);

#ifdef __cplusplus
}

namespace quelm {
/* The module's seam table (see seam.h): the most records one change stream
 * may bring before the connection is given up (MON_VIEWER_STREAM_MAX).
 * Tests lower it rather than send a million frames. */
struct ViewLinkSys_t {
    uint32_t streamMax;
};
extern const ViewLinkSys_t kViewLinkSysDefault;
extern ViewLinkSys_t viewLinkSys;
}  // namespace quelm
#endif

#endif /* QUELM_VIEWLINK_INTERNAL_H */
