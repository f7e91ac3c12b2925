/*
 * monitor.h - the public C interface of the warden monitoring library (libquelm).
 *
 * A SOCKS5 proxy reports its sessions through the reporting calls, the warden
 * daemon collects them into a shared record store, and viewers read them back
 * over TCP.  Everything here compiles as C99 and as C++; records whose bytes
 * are stored in a shared file or sent on the wire have a fixed layout that is
 * checked at compile time in the library's C++ sources.
 */
#ifndef QUELM_MONITOR_H
#define QUELM_MONITOR_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define QX_PRINTF(f, a)
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
/* Handles.  Every open returns one; callers never look inside.         */

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

/* Generic API: check the magic, check the slot, call it.  -1 on refusal. */
int QxMonClose(MonHandle_t *h);
int QxMonSendData(MonHandle_t *h, const MonData_t *rec);
int QxMonRecvData(MonHandle_t *h, MonData_t *rec);
int QxMonRecvNextData(MonHandle_t *h, int mode, MonData_t *rec);

/* ------------------------------------------------------------------ */
/* Logging.                                                             */

typedef struct LogHandle {
    intptr_t catd; /* catopen() descriptor, -1 when there is no catalogue */
    int level;     /* threshold: levels above it are dropped; -1 = off    */
    int flags;     /* 1 standard error, 2 syslog, 3 both, 0 nothing       */
} LogHandle_t;

#define QX_LOG_STDERR 1
#define QX_LOG_SYSLOG 2

extern LogHandle_t *QxLogDefaultHandle;
extern int QxLogShowThreadIDS;

void QxLogStart(LogHandle_t **where, int flags, int level, const char *name);
void QxLogUpdate(LogHandle_t *h, int level, int number, const char *format, ...)
    QX_PRINTF(4, 5);
void QxLogvUpdate(LogHandle_t *h, int level, int number, const char *format,
                  va_list args) QX_PRINTF(4, 0);
void QxLogEnd(LogHandle_t *h);

/* ------------------------------------------------------------------ */
/* Record wire codec.                                                   */

int ParcelPutData(const MonData_t *rec, unsigned char *buf);
int ParcelGetData(MonData_t *rec, const unsigned char *msg);
/* Length-checked decode of a message of len bytes: -1 (record zeroed) for
 * a message that is short, has a bad type byte, or a field descriptor that
 * is larger than its field or points past the message. */
int ParcelGetDataChecked(MonData_t *rec, const unsigned char *msg, size_t len);
void ParcelPutInt16(uint16_t value, unsigned char *dst);
void ParcelGetInt16(uint16_t *dst, const unsigned char *src);
void ParcelPutInt32(uint32_t value, unsigned char *dst);
void ParcelGetInt32(uint32_t *dst, const unsigned char *src);
void ParcelPutVarLen(const void *src, uint16_t len, unsigned char *desc,
                     unsigned char *area, uint16_t *used);
void ParcelGetVarLen(void *dst, uint16_t *len, const unsigned char *desc,
                     const unsigned char *area);
/* "<pid,handle-in-hex,record>" into buf (at least MON_KEYSTR_SIZE bytes). */
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

int QxMonMemOpen(const char *name, int client, MonHandle_t **out);
int ShelfCleanup(MonHandle_t *h, unsigned char force);
MonData_t *ShelfCreateData(MonHandle_t *h, const void *key);
int ShelfDeleteData(MonHandle_t *h, const void *key);
MonData_t *ShelfDataPtr(MonHandle_t *h, const void *key);
MonData_t *ShelfIterate(MonHandle_t *h);

/* ------------------------------------------------------------------ */
/* Semaphore mutex (System V, key file under /tmp).                    */

int MonMutexOpen(const char *name, int creator, MonHandle_t **out);
int MonMutexRequest(MonHandle_t *h);
int MonMutexRelease(MonHandle_t *h);
int MonMutexQuery(MonHandle_t *h);
int MonMutexClose(MonHandle_t *h);

/* ------------------------------------------------------------------ */
/* Named pipe transport (/tmp/mon.fifo).                                */

int QxChuteOpen(const char *name, unsigned int type, MonHandle_t **out);

/* ------------------------------------------------------------------ */
/* TCP framing: 2-byte big-endian length, then the payload.            */

int Mon_TcpConnect(const char *host, int port);
int Mon_TcpSend(int fd, int len, const unsigned char *buf);
int Mon_TcpRecv(int fd, int size, unsigned char *buf);
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

int QxSocksMonOpen(const char *name, int type, MonHandle_t **out);
int QxSocksMonPut(MonHandle_t *h, int flags, MonConnInfo_t *conn,
                  unsigned int dataLen, const void *data, int status,
                  const char *statusText);
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
 * -1 when nothing is held back (or h is bad, errno EINVAL).  A poll timeout. */
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

int QxMonNetOpen(const char *host, int type, MonHandle_t **out);

/* ------------------------------------------------------------------ */
/* Detaching from the terminal.                                         */

void my_daemonize(void);

#ifdef __cplusplus
}
#endif

#endif /* QUELM_MONITOR_H */
