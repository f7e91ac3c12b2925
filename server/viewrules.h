/*
 * viewrules.h - what every viewer connection gets, whichever mode serves it
 * (one child per viewer, or the fan-out for more than four): the viewer
 * server's settings, the wait for a whole request, the pacing of change
 * streams, and the set-up and release of the store slot a server reads
 * from.  Below both serving modes; it calls neither.
 */
#ifndef WARDEN_VIEWRULES_H
#define WARDEN_VIEWRULES_H

#include <quelm/monitor.h>

#include <ctime>

/* Settings of the viewer server, taken from the daemon's command line. */
struct ViewerSettings_t {
    int maxViewers;  /* viewers served at once; above 4 the fan-out serves them */
    int idleSeconds; /* a connection that sends no whole request this long is closed */
};
extern ViewerSettings_t viewerSettings;

/* Viewers that one child each can serve: the store's slots 6 to 9. */
constexpr int kChildViewersMax = MON_SLOT_VIEWER_LAST - MON_SLOT_VIEWER_FIRST + 1;

/* Largest --viewers value: each fan-out viewer costs one descriptor. */
constexpr int kViewersMax = 1000;

/* Parses a --viewers or --idle-timeout argument: a decimal number from lo to
 * hi, nothing after it.  The number, or -1 when the text is not one. */
int ViewerParseCount(const char *text, int lo, int hi);

/* The listen backlog of the viewer port: room for every viewer served to be
 * connecting at once, and never less than the 5 it always had. */
int ViewerBacklog(void);

/* Waits until fd holds a whole request frame (or an oversized, empty or
 * broken one, which the framing read will reject), at most until the idle
 * limit measured from since.  1 when a frame can be read without blocking,
 * 0 when the limit passed first (the close is logged once, as a notice, in
 * the name of who), -1 when the wait itself failed.  A peer that closed or
 * failed counts as ready: the framing read then reports it as it always has. */
int ViewerAwaitRequest(int fd, const struct timespec *since, const char *who);

/* Change-stream pacing of one viewer.  A viewer's next walk of the store is
 * put off until a short pause after its last one (a longer one when that
 * found nothing), so a viewer asking in a tight loop walks the store a
 * bounded number of times a second while a change still reaches it quickly. */
struct StreamPace_t {
    struct timespec lastWalk; /* when the previous walk began; zero: none yet */
    int lastWasEmpty;         /* that walk found no record for this viewer */
};

/* Pause after an empty walk, and after one that found changes, in ms. */
constexpr int kStreamPauseMs = 40;
constexpr int kStreamBusyMs = 20;

/* Sleeps until the viewer's next walk may begin, then notes its start. */
void ViewerPaceWalk(StreamPace_t *pace);

/* Notes how many records the walk just begun handed out. */
void ViewerNoteWalk(StreamPace_t *pace, int records);

/* CLOCK_MONOTONIC now; t plus ms; whether a is earlier than b; the
 * milliseconds from a to b (negative when b is earlier). */
struct timespec ViewerNow(void);
struct timespec ViewerLater(const struct timespec &t, long ms);
bool ViewerBefore(const struct timespec &a, const struct timespec &b);
long ViewerMsBetween(const struct timespec *a, const struct timespec *b);

/* Makes the stop signals (SIGHUP, SIGINT, SIGQUIT, SIGTERM) of the calling
 * process free slot, if this process holds it, and end the process: once
 * the viewer server is gone no reaper would free it, and a slot left naming
 * a dead PID would be taken for a live reader.  Call before the slot is
 * claimed. */
void ViewerCatchStops(int slot);

/* Makes the calling process the reader of slot through its handle store:
 * the slot names the process, and the slot's change bits are seeded so that
 * the first change stream returns every open session (records of vanished
 * reporters are marked ended, viewer slots of dead processes with changes
 * pending freed). */
void ViewerTakeSlot(MonHandle_t *store, int slot);

#endif /* WARDEN_VIEWRULES_H */
