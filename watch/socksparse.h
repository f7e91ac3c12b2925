/*
 * socksparse.h - an incremental parser of a SOCKS handshake (RFC 1928 SOCKS5
 * with the RFC 1929 user name; SOCKS4 and 4a) as it passes a server, fed
 * with the two byte streams of one client connection in whatever pieces the
 * server reads and writes them.  Plain data, no allocation, no system call:
 * the state lives in memory that several processes of one server share.
 */
#ifndef QUELM_WATCH_SOCKSPARSE_H
#define QUELM_WATCH_SOCKSPARSE_H

#include <stddef.h>
#include <stdint.h>

/* What the parser has learnt (SocksParse_t.done bits). */
#define SP_REQUEST 0x1u   /* the client's request is complete            */
#define SP_REPLY 0x2u     /* the server's reply is complete               */
#define SP_AUTHFAIL 0x4u  /* the server refused the RFC 1929 login        */
#define SP_NOMETHOD 0x8u  /* the server accepted none of the methods      */
#define SP_BAD 0x10u      /* not SOCKS, or a method not followed: forget  */

/* One connection's handshake.  All zero is the start state. */
typedef struct SocksParse {
    uint8_t cState;      /* client stream state                          */
    uint8_t sState;      /* server stream state                          */
    uint16_t cLeft;      /* bytes left of the client field being read    */
    uint16_t sLeft;      /* bytes left of the server field being read    */
    uint8_t done;        /* SP_* bits                                    */
    uint8_t version;     /* 4 or 5 once the first byte is seen           */
    uint8_t method;      /* method the server chose (SOCKS5)             */
    uint8_t cmd;         /* request command byte                         */
    uint8_t atyp;        /* SOCKS5 address type (SOCKS4: 1, 4a: 3)       */
    uint8_t reply;       /* reply byte as sent (SOCKS4: 90..93)          */
    uint8_t authStatus;  /* RFC 1929 status byte the server sent         */
    uint8_t userLen;     /* bytes of user                                */
    uint8_t addrLen;     /* bytes of addr                                */
    uint16_t port;       /* requested port                               */
    char user[256];      /* user name, not terminated; never the password */
    uint8_t addr[256];   /* requested address: 4 or 16 bytes, or a name  */
} SocksParse_t;

#ifdef __cplusplus
extern "C" {
#endif

/* Takes n bytes the server read from the client: how many of them belong to
 * the handshake (the rest, n minus that, is relayed data).  After SP_BAD or
 * a complete request every byte is data and the state stays as it is. */
size_t SocksParseClient(SocksParse_t *p, const uint8_t *buf, size_t n);

/* The same for n bytes the server wrote to the client. */
size_t SocksParseServer(SocksParse_t *p, const uint8_t *buf, size_t n);

/* Writes the destination as the client asked, "host:port" (an IPv6 address
 * or a name with a colon in brackets; bytes of a name that are not printable
 * as '?'), NUL-terminated in size bytes: the length, 0 without a request. */
size_t SocksParseDest(const SocksParse_t *p, char *buf, size_t size);

/* The command's name: "CONNECT", "BIND", "UDP ASSOCIATE", or "0xNN" written
 * into buf (at least 8 bytes). */
const char *SocksParseCommand(const SocksParse_t *p, char *buf);

/* The reply as a status in the record convention: the SOCKS5 code; for
 * SOCKS4 90 granted as 0, the other codes as sent; for a refused login
 * 0x100 plus the status byte. */
int SocksParseStatus(const SocksParse_t *p);

#ifdef __cplusplus
}
#endif

#endif /* QUELM_WATCH_SOCKSPARSE_H */
