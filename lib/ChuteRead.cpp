/*
 * ChuteRead.cpp - the pipe transport's reader (the collector's side): one
 * buffer that takes in every frame waiting with one read, finds its way back
 * into step after a broken writer's bytes, and logs what it gave up at a
 * bounded rate.  The pipe file, the writer and the handles are in Chute.cpp.
 */
#include "Chute_internal.h"

#include "frame_internal.h"
#include "monapi_internal.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {
/* Sleeps us (below a second) microseconds: 0, or -1 with errno EINTR. */
int SleepUs(long us) noexcept
{
    const struct timespec t = {0, us * 1000};
    return nanosleep(&t, nullptr);
}
}  // namespace

constexpr quelm::ChuteSys_t quelm::kChuteSysDefault = {SleepUs};
constinit quelm::ChuteSys_t quelm::chuteSys = quelm::kChuteSysDefault;

namespace {

/* The reader's buffer on the process's pipe descriptor.  The collector
 * would otherwise pay two system calls per report; one large read takes in
 * every frame that is waiting, and the gathering wait before it (at most
 * CHUTE_GATHER_US) lets a burst's frames come in together.  The same buffer
 * lets the reader find its way back into step after a broken writer's bytes
 * (see FrameScan).  It serves the process's pipe descriptor alone: bytes
 * read from it must never be handed out for another descriptor.  Like that
 * descriptor, it belongs to the one process that reads the pipe: a reader
 * must not fork while frames wait in it, or both processes would hand them
 * out. */
constexpr size_t kReadAheadSize = 64 * 1024;
unsigned char readAhead[kReadAheadSize];
int GatherPause(long us) noexcept
{
    return quelm::chuteSys.pause(us);
}
quelm::FrameScan scan = {
    -1, readAhead, kReadAheadSize, 0, 0, MON_MSG_HEADER, MON_MSG_MAX, MON_MSG_TYPE,
    CHUTE_STALL_MS, false, false, 0, 0, CHUTE_GATHER_US, GatherPause, true};

/* Bytes given up since the last report of them, and when that was. */
unsigned long long droppedUnreported = 0;
time_t droppedLoggedAt = 0;
constexpr time_t kDropLogSeconds = 10;

/* Logs the bytes the reader gave up to stay in step: the first time at once,
 * then at most once in kDropLogSeconds with the count since the last line,
 * so a writer that sends garbage cannot flood the log. */
void ReportDropped() noexcept
{
    droppedUnreported += scan.dropped;
    scan.dropped = 0;
    if (droppedUnreported == 0)
        return;
    const time_t now = time(nullptr);
    if (droppedLoggedAt != 0 && now - droppedLoggedAt < kDropLogSeconds)
        return;
    quelm::ErrnoKeeper keep;
    QxLogUpdate(nullptr, 1, 13, "%s: skipped %llu bytes of the pipe that were no whole report",
                "ChuteGetNext", droppedUnreported);
    droppedUnreported = 0;
    droppedLoggedAt = now;
}

/* Takes a payload as a record when the length-checked decoder accepts it. */
bool DecodeRecord(const unsigned char *payload, unsigned len, void *rec) noexcept
{
    return ParcelGetDataChecked(static_cast<MonData_t *>(rec), payload, len) >= 0;
}

/* Behaves as read(2) on a pipe: at most len bytes of what is waiting, 0 at
 * end of file, -1 with errno on failure. */
ssize_t PipeRead(int fd, unsigned char *p, size_t len) noexcept
{
    if (fd < 0 || fd != scan.fd)
        return read(fd, p, len);
    return quelm::FrameScanRead(&scan, p, len);
}

/* Logs a read that failed inside a frame and returns -1.  An end of file
 * there means the last writer left in the middle of its frame; it is
 * reported as EPIPE, like an end of file at a boundary, since the
 * stream has nothing more and the next frame of a new writer starts afresh. */
int FailInFrame(quelm::FrameFault fault) noexcept
{
    if (fault == quelm::FrameFault::kEndInFrame)
        errno = EPIPE;
    QxLogUpdate(nullptr, 1, 13, "Failed to read FIFO");
    return -1;
}

}  // namespace

void quelm::ChuteReaderOn(int fd) noexcept
{
    scan.fd = fd;
}

/* Reads one frame of at most size bytes into buf: the message length, 0 for
 * an empty frame, -1 on failure.  errno after -1: EPIPE when no writer has
 * the pipe open; EMSGSIZE when a longer frame was read and thrown away;
 * otherwise the failed read's, EINTR included when a signal arrived before
 * the frame began.  Every -1 but a read error inside a frame leaves the
 * stream at the next frame's start. */
int quelm::ChuteRecv(int fd, unsigned int size, unsigned char *buf)
{
    /* At a boundary a signal may end the wait: the caller sees EINTR and
     * can look at why it was woken before it reads on. */
    const quelm::FrameSource src = {fd, PipeRead, false};
    quelm::FrameFault fault;
    const int len = quelm::FrameRecv(src, size, buf, &fault);
    switch (fault) {
    case quelm::FrameFault::kNone:
        return len;
    case quelm::FrameFault::kEnd:
        errno = EPIPE;
        return -1;
    case quelm::FrameFault::kReadFailed:
        QxLogUpdate(nullptr, 1, 13, "failed to read FIFO");
        return -1;
    case quelm::FrameFault::kTooLong:
        QxLogUpdate(nullptr, 1, 51, "%s failed", "msg len > buf len, read() FIFO");
        errno = EMSGSIZE;
        return -1;
    default:
        return FailInFrame(fault);
    }
}

/* Reads the next record from the pipe into rec: 1 for a record, 0 for an
 * empty frame, -1 on failure (errno EPIPE when no writer has the pipe open;
 * EINTR when a signal came before a frame began; otherwise the failed
 * read's).  Bytes that are no whole, decodable report (a broken writer's
 * garbage, an impossible length, a frame left unfinished for
 * CHUTE_STALL_MS) are skipped and counted, and reading goes on with the
 * next good frame.  rec is written only when 1 is returned.  mode is not
 * used. */
extern "C" int ChuteGetNext(MonHandle_t *h, int mode, MonData_t *rec)
{
    (void)mode;
    (void)h;
    if (rec == nullptr) {
        errno = EINVAL;
        QxLogUpdate(nullptr, 1, 13, "%s failed", "no record to fill, FIFO");
        return -1;
    }
    /* The decoder zeroes its record when it refuses a message; the caller's
     * record must come out of a refusal as it went in. */
    MonData_t decoded;
    const int len = quelm::FrameScanNext(&scan, DecodeRecord, &decoded);
    ReportDropped();
    if (len < 0) {
        const int err = errno;
        if (err != EPIPE)
            QxLogUpdate(nullptr, 1, 13, "failed to read FIFO");
        errno = err;
        return -1;
    }
    if (len == 0)
        return 0;
    memcpy(rec, &decoded, sizeof decoded);
    return 1;
}

/* Takes the next record out of what the reader has already read, without a
 * read: see the declaration. */
int quelm::ChuteNextBuffered(MonData_t *rec)
{
    MonData_t decoded;
    if (rec == nullptr || quelm::FrameScanTakeBuffered(&scan, DecodeRecord, &decoded) < 0)
        return 0;
    memcpy(rec, &decoded, sizeof decoded);
    return 1;
}

