/*
 * Chute_internal.h - the pipe transport's module functions and the private
 * part of a pipe handle.
 *
 * Not installed: programs reach these operations through the generic API
 * (QxMonSendData, QxMonRecvNextData, QxMonClose); only the tests call them
 * directly.  The daemon takes the pipe's path and ChuteNextBuffered from
 * here, the reporting client ChuteGeneration.
 */
#ifndef QUELM_CHUTE_INTERNAL_H
#define QUELM_CHUTE_INTERNAL_H

#include "monitor.h"

#ifdef __cplusplus
#include <cerrno>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define CHUTE_PATH "/tmp/mon.fifo"

/* Largest pipe buffer the reader asks for when it opens the pipe. */
#define CHUTE_PIPE_SIZE_WANTED (1024 * 1024)

/* A report begun in the pipe but not whole within this many milliseconds
 * is given up: good writers put each report in with one write, so only a
 * broken writer leaves one unfinished. */
#define CHUTE_STALL_MS 500

/* Before each read at a frame boundary the reader waits this long, so a
 * burst of reports comes in with one read and goes into the store in one
 * batch: a frame waits at most this long (far below what a viewer could
 * notice), and none waits after a quiet spell, when the read blocks anyway. */
#define CHUTE_GATHER_US 1000

typedef struct ChutePriv {
    int fd;                           /* the process's shared pipe descriptor */
    int type;                         /* MON_FIFO_READER or MON_FIFO_WRITER   */
    unsigned char buf[MON_MSG_MAX];   /* a put's message is encoded here     */
} ChutePriv_t;

/* Writes rec as one frame; 2 + message length, or -1 (errno EPIPE when the
 * reader has gone, EAGAIN when the pipe is full). */
int ChutePut(MonHandle_t *h, const MonData_t *rec);

/* Reads the next good report into rec: 1 for a record, 0 for an empty
 * frame, -1 on failure (errno EPIPE: no writer; EINTR: interrupted before a
 * frame began).  Garbage, impossible lengths, undecodable and unfinished
 * frames are skipped, counted and logged at most once in 10 seconds.  rec
 * is written only when 1 is returned. */
int ChuteGetNext(MonHandle_t *h, int mode, MonData_t *rec);

/* Frees the handle; the shared descriptor stays open.  Always 0. */
int ChuteClose(MonHandle_t *h);

#ifdef __cplusplus
}

/* Internal to the library: outside the archive's documented C names, so a
 * program with a function of the same name still links.  The using-
 * declaration lets the tests call ChuteRecv unqualified. */
namespace quelm {
/* Reads one frame of at most size bytes into buf: its length, 0 for an empty
 * frame, -1 on failure (errno EPIPE: no writer; EMSGSIZE: longer frame read
 * and thrown away; EINTR: a signal came before the frame began).  Only a
 * read error inside a frame leaves the stream out of step. */
int ChuteRecv(int fd, unsigned int size, unsigned char *buf);

/* How many times this process's writer descriptor has been put onto a new
 * pipe (starting at 1): it grows when a put found its pipe without a reader
 * and a restarted daemon's pipe took its place. */
uint32_t ChuteGeneration() noexcept;

/* For the reader: 1 with the next record in rec when a whole good report is
 * already in the reader's buffer (one read of the pipe takes in every frame
 * waiting), 0 when none is (nothing read, rec untouched).  Never blocks, so
 * the collector can gather what one read brought and store it in one go. */
int ChuteNextBuffered(MonData_t *rec);

/* Points the reader's buffer at the process's pipe descriptor fd, which
 * every pipe handle of the process shares (Chute.cpp opens it). */
void ChuteReaderOn(int fd) noexcept;

/* Keeps errno across calls whose own failures are of no interest. */
class ErrnoKeeper {
public:
    ErrnoKeeper() noexcept : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper &) = delete;
    ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

private:
    int saved_;
};

/* The module's seam table (see seam.h): the reader's gathering wait, which
 * a test swaps to write frames while the reader waits. */
struct ChuteSys_t {
    int (*pause)(long us) noexcept; /* nanosleep() of us microseconds */
};
extern const ChuteSys_t kChuteSysDefault;
extern ChuteSys_t chuteSys;
}  // namespace quelm
using quelm::ChuteRecv;
#endif

#endif /* QUELM_CHUTE_INTERNAL_H */
