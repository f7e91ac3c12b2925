/*
 * monitor.h - the public C interface of the warden monitoring library (libquelm).
 *
 * A SOCKS5 proxy reports its sessions through the reporting calls, the warden
 * daemon collects them into a shared record store, and viewers read them back
 * over TCP.  Everything here compiles as C99 and as C++; records whose bytes
 * are stored in a shared file or sent on the wire have a fixed layout that is
 * checked at compile time in the library's C++ sources.
 *
 * Sections: constants; the record; handles and the generic calls; the
 * record codec; the store; the semaphore mutex; the pipe; TCP framing; proxy
 * reporting; the viewer client; detaching.
 *
 * Conventions: a call returns 0 (or a count) on success and -1 on failure,
 * and logs the failure through QxLogDefaultHandle first; where a contract
 * names an errno, it is set last.  Reads that iterate return 1 for a record
 * and 0 when none is left.  No call throws, and each handle belongs to the
 * process (and, unless said otherwise, the thread) that opened it.
 */
#ifndef QUELM_MONITOR_H
#define QUELM_MONITOR_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

/* Logging (LogHandle_t, QX_LOG_*, QxLog*) is a layer of its own below the
 * library; it is installed beside this header. */
#include "qxlog.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Sizes and constants shared by every party.                          */

#define MON_KEY_SIZE 10          /* pid, handleNum, recordNum, packed     */
#define MON_ADDR_SIZE 260        /* one opaque network address block      */
#define MON_TEXT_SIZE 128        /* text1..text4, statusText              */
#define MON_TEXT5_SIZE 64        /* text5                                 */
#define MON_DATA_MAX 512         /* opaque data area                      */
#define MON_RECORD_SIZE 2060     /* sizeof(MonData_t)                     */
#define MON_MSG_TYPE 3           /* first byte of every record message    */
#define MON_MSG_HEADER 93        /* fixed part of a record message        */
#define MON_MSG_AREA_MAX 2048    /* variable area of a record message     */
#define MON_MSG_MAX 2141         /* MON_MSG_HEADER + MON_MSG_AREA_MAX     */
#define MON_FRAME_MAX 2143       /* 2-byte length + MON_MSG_MAX           */
#define MON_VIEWER_PORT 5051     /* TCP port of the viewer server         */

/* Report flags (written by the reporting client, read by the store). */
#define MON_FLAG_START 0x1u
#define MON_FLAG_UPDATE 0x2u
#define MON_FLAG_STATUS 0x4u
#define MON_FLAG_END 0x8u
#define MON_FLAG_ADDITIONAL 0x40000000u /* report concerns an additional record */
#define MON_FLAG_ALIVE 0x80000000u      /* store only: the session is running    */

/* Handle kinds: the magic word at the start of every handle. */
#define MON_MAGIC_STORE 0xbabefaceu   /* shared record store, one client slot */
#define MON_MAGIC_FIFO 0xdeedfadeu    /* named pipe                           */
#define MON_MAGIC_VIEWER 0xdeafbeadu  /* viewer's connection to the daemon    */
#define MON_MAGIC_PROXY 0xbadfacedu   /* proxy reporting handle               */
#define MON_MAGIC_MUTEX 0xfeedcafeu   /* semaphore mutex                      */
#define MON_MAGIC_SPARE 0xdeafbabeu   /* accepted by close and send; unused   */
#define MON_MAGIC_DEAD 0xdeadbeefu    /* being built, or closed               */

/* Store client slots. */
#define MON_SLOT_DAEMON 0      /* the daemon and its collector            */
#define MON_SLOT_PROXY 1       /* proxies writing straight into the store */
#define MON_SLOT_TAGGER 3      /* reader that keeps clientTag per record  */
#define MON_SLOT_VIEWER_FIRST 6
#define MON_SLOT_VIEWER_LAST 9
#define MON_SLOTS 10

/* Transport types of QxSocksMonOpen, client types of the other openers. */
#define MON_TRANSPORT_FIFO 1
#define MON_TRANSPORT_STORE 2
#define MON_FIFO_READER 0
#define MON_FIFO_WRITER 1
#define MON_CLIENT_VIEWER 6

/* ------------------------------------------------------------------ */
/* The monitor record.  Stored byte for byte in the shared file, so the */
/* offsets are part of the file format: fields pack on 2-byte bounds.   */

#pragma pack(push, 2)
typedef struct MonData {
    uint32_t pid;              /*    0 key 1: reporting process          */
    uint32_t handleNum;        /*    4 key 2: reporting handle number    */
    uint16_t recordNum;        /*    8 key 3: record within the handle   */
    uint32_t linkPid;          /*   10 link key 1: next record of session */
    uint32_t linkHandleNum;    /*   14 link key 2                         */
    uint16_t linkRecordNum;    /*   18 link key 3                         */
    uint32_t seqNum;           /*   20 creation sequence (store only)     */
    uint32_t flags;            /*   24 report flags / store change bits   */
    int32_t startTime;         /*   28 session start, time()              */
    int32_t eventTime;         /*   32 latest start/update/status         */
    int32_t endTime;           /*   36 when the records were closed       */
    uint32_t clientTag;        /*   40 slot-3 reader's word (store only)  */
    uint32_t countA;           /*   44 first accumulated counter          */
    uint32_t countB;           /*   48 second accumulated counter         */
    int32_t status;            /*   52 status reported with 0x4           */
    uint16_t code1;            /*   56 second code byte, widened          */
    uint16_t code2;            /*   58 first code byte, widened           */
    unsigned char addrA[MON_ADDR_SIZE];        /*   60 first address    */
    unsigned char addrB[MON_ADDR_SIZE];        /*  320 second address   */
    unsigned char addrC[MON_ADDR_SIZE];        /*  580 third address    */
    char text1[MON_TEXT_SIZE];                 /*  840                  */
    char text2[MON_TEXT_SIZE];                 /*  968                  */
    char text3[MON_TEXT_SIZE];                 /* 1096                  */
    char text4[MON_TEXT_SIZE];                 /* 1224                  */
    char text5[MON_TEXT5_SIZE];                /* 1352                  */
    char statusText[MON_TEXT_SIZE];            /* 1416                  */
    uint16_t dataLen;                          /* 1544 bytes used, <=512 */
    unsigned char data[MON_DATA_MAX];          /* 1546 opaque data      */
    unsigned char pad[2];                      /* 2058 zero             */
} MonData_t;
#pragma pack(pop)

/* ------------------------------------------------------------------ */
/* Handles.  Every open returns one; callers never look inside, and    */
/* reach a handle's operations only through the four generic calls.    */

typedef struct MonHandle MonHandle_t;
typedef int (*MonOpenFn_t)(const char *name, int type, MonHandle_t **out);
typedef int (*MonCloseFn_t)(MonHandle_t *h);
typedef int (*MonPutFn_t)(MonHandle_t *h, const MonData_t *rec);
typedef int (*MonGetFn_t)(MonHandle_t *h, MonData_t *rec);
typedef int (*MonGetNextFn_t)(MonHandle_t *h, int mode, MonData_t *rec);

#define MON_PATH_SIZE 256

struct MonHandle {
    uint32_t magic;            /* kind of handle, MON_MAGIC_*            */
    MonOpenFn_t openFn;        /* the opener; never called through here  */
    MonCloseFn_t closeFn;      /* frees the private part and the handle  */
    MonPutFn_t putFn;          /* mutex: request                         */
    MonGetFn_t getFn;          /* mutex: release                         */
    MonGetNextFn_t getNextFn;  /* mutex: query                           */
    void *priv;                /* the kind's private part                */
    char path[MON_PATH_SIZE];  /* path or host name, NUL-terminated      */
};

/* Each generic call checks the handle's kind and operation and returns what
 * the operation returns; a handle it refuses is logged, left untouched, and
 * gives -1 with errno EINVAL. */

/* Closes and frees h (any kind): the kind's result, 0 on success; -1 for
 * null (nothing logged) or a refused handle.  h must not be used again. */
int QxMonClose(MonHandle_t *h);
/* Sends rec (store, pipe): the store's 0 or the pipe's bytes written, or -1
 * (pipe: EPIPE no reader, EAGAIN pipe full; store slots but 0: EPIPE no
 * daemon serves the store; EINVAL refused).  After a daemon restart a pipe
 * writer moves onto the new pipe, and an attached store handle onto the
 * new store, at its next send; the pipe then sends rec with
 * MON_FLAG_START added. */
int QxMonSendData(MonHandle_t *h, const MonData_t *rec);
/* Keyed read (store, viewer): 0 with the record of rec's key in rec, or -1
 * (viewer: ENOENT no such record; EINVAL refused). */
int QxMonRecvData(MonHandle_t *h, MonData_t *rec);
/* Next record (store, viewer: mode non-zero every record, 0 changed ones;
 * pipe reader: mode unused, bytes that are no good report skipped): 1 with
 * rec filled, 0 none left, -1 (pipe: EPIPE no writer, EINTR; EINVAL
 * refused). */
int QxMonRecvNextData(MonHandle_t *h, int mode, MonData_t *rec);

/* ------------------------------------------------------------------ */
/* Record wire codec: type byte 3, a 93-byte header, then a packed area  */
/* of at most 2048 bytes; numbers big-endian.  No call logs or sets errno. */

/* Encodes rec into buf (MON_MSG_MAX bytes): the message length, 93 to
 * 2141, or -1 for a null argument. */
int ParcelPutData(const MonData_t *rec, unsigned char *buf);
/* Decodes a message in a buffer of MON_MSG_MAX bytes: as the checked decode
 * bounded to that buffer. */
int ParcelGetData(MonData_t *rec, const unsigned char *msg);
/* Decodes the len-byte message at msg into rec: its length, or -1 with rec
 * all zero for a short message, a type byte other than 3, or a descriptor
 * larger than its field or pointing past the message. */
int ParcelGetDataChecked(MonData_t *rec, const unsigned char *msg, size_t len);
/* Big-endian 16- and 32-bit numbers at any alignment. */
void ParcelPutInt16(uint16_t value, unsigned char *dst);
void ParcelGetInt16(uint16_t *dst, const unsigned char *src);
void ParcelPutInt32(uint32_t value, unsigned char *dst);
void ParcelGetInt32(uint32_t *dst, const unsigned char *src);
/* Appends len bytes to the area at *used and describes them in desc; a
 * field that would pass MON_MSG_AREA_MAX is dropped, desc left as it was. */
void ParcelPutVarLen(const void *src, uint16_t len, unsigned char *desc,
                     unsigned char *area, uint16_t *used);
/* Copies the field desc describes into dst, its length into *len; trusts
 * desc (check it first, as ParcelGetDataChecked does). */
void ParcelGetVarLen(void *dst, uint16_t *len, const unsigned char *desc,
                     const unsigned char *area);
/* Writes "<pid,handle-in-hex,record>" into buf (at least MON_KEYSTR_SIZE
 * bytes): buf. */
#define MON_KEYSTR_SIZE 28
char *MonKeyStr(uint32_t pid, uint32_t handleNum, uint16_t recordNum, char *buf);

/* ------------------------------------------------------------------ */
/* Shared record store (/tmp/mon.mmap).                                 */

#define SHELF_MMAP_SIZE 1048576u
#define SHELF_HASH_INITIAL 506

/* The segment header: the first 124 bytes of /tmp/mon.mmap.  Every
 * reference in the file is a 32-bit offset from its first byte. */
typedef struct MmapBlock {
    uint32_t next;  /* free block: offset of the next free block (ring) */
    uint32_t units; /* size in 8-byte units, header included            */
} MmapBlock_t;

typedef struct ShelfHeader {
    uint32_t self;                 /*   0 creator's mapping address (low word) */
    uint32_t segSize;              /*   4 mapping size, 1048576              */
    uint32_t clientPid[MON_SLOTS]; /*   8 slot table: holder PID or 0       */
    uint32_t reserved1[10];        /*  48 zero                              */
    uint32_t hashSize;             /*  88 entries of the hash table         */
    uint32_t hashCount;            /*  92 live records                      */
    uint32_t hashDeleted;          /*  96 deleted markers                   */
    uint32_t putCount;             /* 100 started-record sequence counter   */
    uint32_t hashTable;            /* 104 offset of the hash table          */
    uint32_t rover;                /* 108 allocator's roving offset         */
    uint32_t reserved2;            /* 112 not used                          */
    MmapBlock_t sentinel;          /* 116 free-list anchor, units 0         */
} ShelfHeader_t;

/* Where this process mapped the store; null while it has none open. */
extern void *shelfPtr;

/* Opens the store as client slot client (MON_SLOT_*; slot 0, the daemon,
 * recreates it empty): 0 with *out set, or -1 with *out null (logged).  The
 * name is not consulted: the path is fixed. */
int QxMonMemOpen(const char *name, int client, MonHandle_t **out);
/* Marks the records of vanished reporters ended and deletes the records no
 * reader still waits for (force: ended ones even while a viewer has changes
 * pending on them): always 0. */
int ShelfCleanup(MonHandle_t *h, unsigned char force);
/* The record of the 10-byte key, created (or reused) and cleared but for
 * the key, in place in the store; null when the store is full or locked. */
MonData_t *ShelfCreateData(MonHandle_t *h, const void *key);
/* Removes the key's record: 0 (an absent key too), -1 when the lock fails. */
int ShelfDeleteData(MonHandle_t *h, const void *key);
/* The key's record in place in the store (not a copy), or null. */
MonData_t *ShelfDataPtr(MonHandle_t *h, const void *key);
/* The next live record after the handle's cursor, in place, or null at the
 * end of a pass (the cursor starts again); the record may change at once. */
MonData_t *ShelfIterate(MonHandle_t *h);

/* ------------------------------------------------------------------ */
/* Semaphore mutex (System V, key file under /tmp).                    */

/* These log nothing: a failure is the -1 and errno. */

/* Opens (creator non-zero: creates) the mutex keyed by /tmp/name: 0 with
 * *out set, or -1 with *out null (EINVAL empty name, EPERM a key file that
 * cannot be made the creator's own, else the failed call's errno). */
int MonMutexOpen(const char *name, int creator, MonHandle_t **out);
/* Takes the lock, waiting while another process holds it: 0, or -1 (semop's
 * errno, EINTR included; not retried). */
int MonMutexRequest(MonHandle_t *h);
/* Gives the lock back: 0, or -1 (EAGAIN when it was not held). */
int MonMutexRelease(MonHandle_t *h);
/* The lock's value, 0 free or 1 held, or -1 (semctl's errno). */
int MonMutexQuery(MonHandle_t *h);
/* Frees the handle (the semaphore and key file stay): 0, or -1 for anything
 * that is not an open mutex handle (left untouched). */
int MonMutexClose(MonHandle_t *h);

/* ------------------------------------------------------------------ */
/* Named pipe transport (/tmp/mon.fifo).                                */

/* Opens the pipe as MON_FIFO_READER or MON_FIFO_WRITER (the name is not
 * consulted): 0 with *out set, or -1 with *out null (logged; EINVAL for a
 * bad type or a file at the path that is not a FIFO, ENXIO for a writer
 * while no reader has the pipe open).  A process opens the pipe once and
 * later handles share it. */
int QxChuteOpen(const char *name, unsigned int type, MonHandle_t **out);

/* ------------------------------------------------------------------ */
/* TCP framing: 2-byte big-endian length, then the payload.  Failures  */
/* are logged as "Error in <call>: %m".                                 */

/* Connects to host (dotted IPv4 or a name) at port, ignoring SIGPIPE for
 * the process from then on: the socket, or -1 (ESRCH unknown host, else the
 * failed call's errno). */
int Mon_TcpConnect(const char *host, int port);
/* Sends one whole frame of len (0 to 65535) bytes: len + 2, or -1 (EMSGSIZE
 * len out of range, else writev's errno; the connection is then of no use). */
int Mon_TcpSend(int fd, int len, const unsigned char *buf);
/* Receives one frame into buf of size bytes: its length (0 the empty frame),
 * or -1 (ECONNRESET peer closed, EMSGSIZE longer frame skipped, the next
 * call reads the frame after it; else read's errno). */
int Mon_TcpRecv(int fd, int size, unsigned char *buf);
/* Closes fd when it is greater than 0: always 0. */
int Mon_TcpClose(int fd);

/* ------------------------------------------------------------------ */
/* Proxy reporting API.                                                 */

/* The proxy's connection record, passed to every report.  The library
 * reads the fields below in this order; the reserved places are the
 * proxy's own and are never read. */
typedef struct MonConnInfo {
    char text1[128];               /*    0 -> text1                     */
    char text2[128];               /*  128 -> text2                     */
    unsigned char reserved1[128];  /*  256 not read                     */
    char text3[128];               /*  384 -> text3                     */
    char text4[128];               /*  512 -> text4                     */
    char text5[64];                /*  640 -> text5                     */
    unsigned char reserved2[2];    /*  704 not read                     */
    unsigned char code2;           /*  706 first code byte -> code2     */
    unsigned char reserved3[3];    /*  707 not read                     */
    unsigned char code1;           /*  710 second code byte -> code1    */
    unsigned char reserved4[5];    /*  711 not read                     */
    unsigned char addrA[MON_ADDR_SIZE];  /*  716 -> addrA             */
    unsigned char addrB[MON_ADDR_SIZE];  /*  976 -> addrB, selects an additional record */
    unsigned char reserved5[3 * MON_ADDR_SIZE]; /* 1236 not read         */
    unsigned char addrC[MON_ADDR_SIZE];  /* 2016 -> addrC             */
    uint32_t runCountA;            /* 2276 running counter A             */
    uint32_t runCountB;            /* 2280 running counter B             */
} MonConnInfo_t;

/*
 * Conventions of the reference proxy (socks5-demo) and of warden-top.  The
 * library copies every field as it stands; these are what the fields mean to
 * the programs shipped with warden:
 *
 *   address blocks  a struct sockaddr_in or sockaddr_in6 copied to the start
 *                   of the 260-byte block (sa_family first, in host byte
 *                   order as the system stores it; port and address in
 *                   network order), the rest zero.  260 zero bytes: no
 *                   address.  A block whose family is neither AF_INET nor
 *                   AF_INET6, or whose bytes past the sockaddr are not zero,
 *                   is shown as a short hex form, never guessed at.
 *   addrA           the client's address (peer of the accepted connection)
 *   addrB           the destination address actually connected to (resolved)
 *   addrC           the proxy's outbound address (local end towards the
 *                   destination)
 *   text1           the user name (RFC 1929), empty without authentication
 *   text2           the destination as the client asked for it, "host:port"
 *                   (a domain name, or an IPv4/IPv6 address in text form)
 *   text3           the SOCKS command: "CONNECT", "BIND", "UDP ASSOCIATE"
 *   text4           the proxy's name, "socks5-demo"
 *   code2           the SOCKS command byte; code1 the address type byte
 *   runCountA       bytes relayed from the client to the destination
 *   runCountB       bytes relayed from the destination to the client
 *   status          the SOCKS reply code (0 succeeded, 1-8 the RFC 1928
 *                   failures); statusText its text
 */
#define MON_ADDR_CONVENTION_SOCKADDR 1

/*
 * Byte totals past 4 GiB.  The library keeps each record's two totals in 64
 * bits; countA and countB carry the low words (an old viewer sees the total
 * modulo 2^32, as before).  While either high word is not 0, the library
 * writes both into text5 as "#qx64 HIA HIB" (decimal, one space apart), so a
 * proxy whose sessions may pass 4 GiB leaves text5 to the library; below
 * 4 GiB text5 is the proxy's, as always.  QxMonTotalA and QxMonTotalB put
 * the halves back together; every reader of the totals should use them.
 */
#define MON_TOTALS_TAG "#qx64 "

/* countA plus its high word from text5: the session's full first total.
 * Never fails; a null record gives 0. */
uint64_t QxMonTotalA(const MonData_t *rec);
/* The same for countB. */
uint64_t QxMonTotalB(const MonData_t *rec);

/*
 * Login failures.  A client refused by the RFC 1929 login has sent no
 * request, so it has no SOCKS reply code; socks5-demo reports it as one
 * session (start, status and end at once) with status MON_STATUS_AUTH_BASE
 * plus the RFC 1929 status byte it sent back (so 0x101, refused), text1 the
 * user name tried, text3 empty, and statusText QxSocksReplyText(status).
 */
#define MON_STATUS_AUTH_BASE 0x100

/*
 * Threads.  Opens and closes may run in any threads at the same time; a
 * handle belongs to one thread at a time (one handle per thread is the
 * simple rule: every call on it, QxSocksMonClose included, from the thread
 * that uses it).  Handles of one process share the pipe's descriptor, and
 * each frame enters the pipe in one write, so reports never interleave.
 */

/* Opens a reporting handle over MON_TRANSPORT_FIFO or MON_TRANSPORT_STORE
 * (the name is not consulted): 0 with *out set, or -1 with *out null (the
 * transport's errno, ENOMEM). */
int QxSocksMonOpen(const char *name, int type, MonHandle_t **out);
/* Reports one event (MON_FLAG_* in flags) of conn's session: the
 * transport's put result for a record sent, 0 for a report held back by
 * the throttle, or -1 (the transport's errno: EPIPE no daemon, either
 * transport; EAGAIN pipe full); an unsent report travels with the next one
 * sent.  Never blocks. */
int QxSocksMonPut(MonHandle_t *h, int flags, MonConnInfo_t *conn,
                  unsigned int dataLen, const void *data, int status,
                  const char *statusText);
/* Ends a live session, closes the transport and frees h: 0, or -1 for a
 * bad handle (logged; nothing freed) or a failed transport close. */
int QxSocksMonClose(MonHandle_t *h);

/* 64-bit running counters of a connection, for QxSocksMonReport. */
typedef struct MonCounts {
    uint64_t runCountA; /* like MonConnInfo_t.runCountA, never wrapping */
    uint64_t runCountB; /* like MonConnInfo_t.runCountB                 */
} MonCounts_t;

/* Results of QxSocksMonReport and QxSocksMonSendDue's count of sends. */
#define MON_REPORT_HELD 0 /* recorded; held back by the throttle */
#define MON_REPORT_SENT 1 /* handed to the transport (an end: every record) */

/* QxSocksMonPut with the outcome told apart and, when counts is not null,
 * the running counters taken from it in 64 bits instead of conn's 32-bit
 * fields (the two ways may be mixed within a session).  MON_REPORT_SENT,
 * MON_REPORT_HELD, or -1 with errno (EINVAL bad handle or connection record,
 * ENOMEM, or the transport's: EPIPE no daemon, EAGAIN pipe full). */
int QxSocksMonReport(MonHandle_t *h, int flags, MonConnInfo_t *conn,
                     const MonCounts_t *counts, unsigned int dataLen,
                     const void *data, int status, const char *statusText);

/* Sends every record of the handle's session that holds a report not yet
 * delivered (held back, or whose send failed) and whose throttle interval
 * has passed; for a proxy's event loop or timer, so that counters stay
 * fresh without a new report.  The number of records sent (0: none due),
 * or -1 with errno (EINVAL bad handle, or the transport's) at the first
 * failed send; the records not sent stay held. */
int QxSocksMonSendDue(MonHandle_t *h);

/* Seconds until QxSocksMonSendDue has something to send: 0 when it has now,
 * -1 when nothing is held back (or h is bad, errno EINVAL).  A poll timeout.
 * Once a process has called this or QxSocksMonSendDue, the library holds a
 * new record's first reports for up to 250 ms after it began (telling 1
 * here meanwhile), so a session that ends sooner reaches warden as one
 * report carrying start, status and end: a viewer may see it appear
 * already ended.  A report held so is MON_REPORT_HELD. */
int QxSocksMonDueIn(MonHandle_t *h);

/* The handle's throttle: the first freeReports reports of each record are
 * always sent, later ones at most one per intervalSeconds (0: never held
 * back).  A new handle has 4 and 5.  0, or -1 with errno EINVAL (bad
 * handle). */
int QxSocksMonSetThrottle(MonHandle_t *h, unsigned int freeReports,
                          unsigned int intervalSeconds);

struct sockaddr;
/* Fills a 260-byte address block in the convention above from an AF_INET or
 * AF_INET6 address (the sockaddr first, the rest zero).  0, or -1 with the
 * block all zero ("no address") and errno EAFNOSUPPORT for another family,
 * EINVAL for a null argument (nothing written when block is null). */
int QxMonAddrFromSockaddr(unsigned char *block, const struct sockaddr *sa);

/* The RFC 1928 text of a SOCKS reply code ("succeeded", "general SOCKS
 * server failure", ... "Address type not supported"), "authentication
 * failed" for MON_STATUS_AUTH_BASE + 1 to 255, "unassigned" for anything
 * else.  Never null; a static string. */
const char *QxSocksReplyText(int code);

/* ------------------------------------------------------------------ */
/* Viewer network client.                                               */

/* Connects to the viewer server on host, port 5051, as MON_CLIENT_VIEWER:
 * 0 with *out set, or -1 with *out null (logged; EINVAL bad type, ENOMEM,
 * else Mon_TcpConnect's errno).  A connect not made within a moment goes on
 * in the background: the first request waits for it within its bound (see
 * QxMonNetSetTimeout) and fails with its error.  Read through QxMonRecvData
 * and QxMonRecvNextData; a stream once begun is read to its end. */
int QxMonNetOpen(const char *host, int type, MonHandle_t **out);

/* Bounds each request's wait on the viewer handle h: a keyed read's reply,
 * or a change stream from its request to its closing empty frame, must be
 * whole within milliseconds, the connect too while it is under way (0, the
 * default: no bound; it applies from the next request).  0, or -1 with errno EINVAL (not an open viewer handle, or
 * milliseconds negative).  An overdue reply fails the call with -1 and errno
 * ETIMEDOUT, and the handle is dead from then on: the rest of that reply may
 * still come and would be taken for the next one, so later calls fail at once
 * with ENOTCONN and the caller closes the handle and opens a new one. */
int QxMonNetSetTimeout(MonHandle_t *h, int milliseconds);

/* No store holds this many records: a change stream that goes on past it
 * fails with -1 and errno EPROTO and leaves the handle dead as above. */
#define MON_VIEWER_STREAM_MAX 1000000u

/* ------------------------------------------------------------------ */
/* Detaching from the terminal.                                         */

/* Forks and starts a new session; returns only in the detached child, with
 * errno 0 (the parent exits 0; a failed fork or setsid ends with status 1). */
void my_daemonize(void);

#ifdef __cplusplus
}
#endif

#endif /* QUELM_MONITOR_H */
