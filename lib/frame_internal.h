/*
 * frame_internal.h - the 2-byte length framing of the report pipe and of the
 * viewer connections, in one place.
 *
 * A frame is a 16-bit big-endian payload length and that many payload bytes;
 * length 0 is the empty frame.  Readers keep the stream at a frame boundary
 * after every failure except one inside a frame; writers put a frame out
 * whole or report the stream as of no more use.  Nothing here logs: callers
 * own their messages.  Internal to the library and the daemon, not installed.
 */
#ifndef QUELM_FRAME_INTERNAL_H
#define QUELM_FRAME_INTERNAL_H

#include <stddef.h>
#include <sys/types.h>

namespace quelm {

constexpr size_t kFrameHeaderSize = 2;
constexpr unsigned kFramePayloadMax = 65535;

/* Writes len (at most 65535) as a frame header into dst[0..1]. */
inline void FramePutHeader(unsigned len, unsigned char *dst) noexcept
{
    dst[0] = static_cast<unsigned char>(len >> 8);
    dst[1] = static_cast<unsigned char>(len & 0xff);
}

/* The payload length a frame header announces. */
inline unsigned FrameGetHeader(const unsigned char *src) noexcept
{
    return (static_cast<unsigned>(src[0]) << 8) | src[1];
}

/* Where a reader's bytes come from.  read has read(2)'s contract and may
 * hand out bytes it buffered earlier.  Inside a frame EINTR is always
 * retried and EAGAIN waited out (giving up there would tear the stream);
 * before a frame's first byte EINTR is retried only when retryStartEintr
 * is set, so a reader may let a signal end its wait for the next frame. */
struct FrameSource {
    int fd;
    ssize_t (*read)(int fd, unsigned char *p, size_t len) noexcept;
    bool retryStartEintr;
};

/* Why FrameRecv returned no frame. */
enum class FrameFault {
    kNone,
    kEnd,             // end of stream before the frame's first byte
    kReadFailed,      // a read before the frame's first byte failed; errno is its
    kEndInFrame,      // end of stream inside the frame (header or payload)
    kReadFailedInFrame, // a read inside the frame failed; errno is its
    kTooLong,         // longer than the buffer: read to its end and thrown away
};

/* Reads one frame of at most cap payload bytes into buf: the payload length
 * (0 for the empty frame), or -1 with *fault saying why.  After kTooLong the
 * next call reads the following frame; errno is left as the reads left it
 * (kEnd and kEndInFrame set none), callers choose what to report. */
int FrameRecv(const FrameSource &src, unsigned cap, unsigned char *buf, FrameFault *fault) noexcept;

/* Writes one frame of len (at most 65535) payload bytes to fd, header and
 * payload in one writev: 2 + len, or -1 with errno from the failed call
 * (EIO for a write that wrote nothing).  A partial write is continued, and
 * on a non-blocking descriptor a frame once begun is finished by waiting,
 * so the peer sees whole frames or a stream of no more use; EINTR is
 * retried.  A pipe write of at most PIPE_BUF bytes is one piece anyway. */
ssize_t FrameWrite(int fd, const unsigned char *payload, unsigned len) noexcept;

/* Frames gathered in a caller's buffer and written to fd in few writes.
 * The bytes that reach fd are exactly those that one FrameWrite per frame
 * would have written. */
struct FrameBatch {
    int fd;
    unsigned char *buf; // cap bytes, owned by the caller
    size_t cap;
    size_t used;        // bytes gathered, not yet written
};

/* Room for the payload of a frame of at most maxLen bytes: a pointer into
 * the batch, or null (errno set) when the gathered frames had to be written
 * first to make room and that write failed, or the batch can never hold
 * such a frame (EMSGSIZE).  FrameBatchAdd then completes the frame. */
unsigned char *FrameBatchRoom(FrameBatch *b, unsigned maxLen) noexcept;

/* Completes the frame whose payload of len bytes (at most the maxLen given
 * to FrameBatchRoom) was written into the room just handed out. */
void FrameBatchAdd(FrameBatch *b, unsigned len) noexcept;

/* Writes every gathered frame whole (partial writes continued, EINTR
 * retried): true, or false with errno from the failed write.  The batch is
 * empty afterwards either way. */
bool FrameBatchFlush(FrameBatch *b) noexcept;

/* A reader of a stream that many writers share, over a buffer of its own,
 * which finds its way back into step after bytes that are no frame.  A good
 * writer puts each frame into the stream whole with one write, so a good
 * frame always begins where a write began; a broken or hostile writer may
 * put anything.  So a frame is taken only when its length is plausible
 * (minLen to maxLen, or 0 while in step), its first payload byte is
 * firstByte, and the caller's accept function takes its payload.  Anything
 * else costs one byte, counted in dropped, and the search goes on from the
 * next; a bad frame thus costs at most the frames it overlaps, never the
 * stream.  A frame that is taken in itself but ends where no frame can
 * begin, while a frame that is taken begins inside it, is passed over too:
 * its header lied, and the frames inside are the real ones.  A frame begun but not complete within stallMs (or cut short by
 * the end of the stream) is given up the same way: when a wait for more
 * bytes times out, every write made so far is already in the buffer, so
 * what is buffered is searched without waiting until it is used up. */
struct FrameScan {
    int fd;                 // the stream; reads block between frames
    unsigned char *buf;     // cap bytes, at least 2 + maxLen, owned by the caller
    size_t cap;
    size_t head;            // first byte not yet handed out
    size_t tail;            // end of the bytes read
    unsigned minLen;        // shortest payload of a frame to search for
    unsigned maxLen;        // longest payload of any frame
    int firstByte;          // every payload's first byte, or -1 for any
    int stallMs;            // a begun frame must be whole within this
    bool searching;         // out of step: empty frames are not taken
    bool draining;          // waited long enough: no more waits until the buffer is used up
    long long deadlineMs;   // monotonic time a waiting frame is given up; 0 none
    unsigned long long dropped; // bytes given up; the caller reads and resets it
    // Before a read at a frame boundary, wait gatherUs microseconds through
    // pause (0, or -1 with errno), so that the frames written meanwhile come
    // in with the same read: one read, and one batch for the caller, where
    // each frame of a burst would otherwise wake the reader on its own.  No
    // wait before the first read, after a read that filled the buffer (more
    // is waiting), or after a wait a signal cut short.  0: no wait ever.
    long gatherUs = 0;
    int (*pause)(long us) noexcept = nullptr;
    bool readAtOnce = true;     // the next read at a boundary does not wait
};

/* Decides whether a payload of len bytes is a frame worth taking. */
using FrameAccept = bool (*)(const unsigned char *payload, unsigned len, void *ctx) noexcept;

/* The next frame that accept takes: its payload length (0 for an empty frame
 * met in step), or -1 with errno EPIPE at the end of the stream with nothing
 * left, EINTR for a signal before a frame's first byte, else the failed
 * call's.  Bytes given up on the way are added to s->dropped. */
int FrameScanNext(FrameScan *s, FrameAccept accept, void *ctx) noexcept;

/* The next frame if one is whole in the buffer and FrameScanNext would take
 * it without a search: its payload length; -1 otherwise, with nothing read
 * from the stream and nothing given up (FrameScanNext then deals with what
 * is there).  Never blocks: for a reader that gathers a batch. */
int FrameScanTakeBuffered(FrameScan *s, FrameAccept accept, void *ctx) noexcept;

/* Behaves as read(2) on s->fd, handing out buffered bytes first, so that
 * plain frame reads of the same stream never skip what the scan took in. */
ssize_t FrameScanRead(FrameScan *s, unsigned char *p, size_t len) noexcept;

}  // namespace quelm

#endif /* QUELM_FRAME_INTERNAL_H */
