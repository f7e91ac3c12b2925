/*
 * socksparse.cpp - the SOCKS handshake parser: two small state machines, one
 * per direction, that take one byte at a time, so that a read of any size,
 * split anywhere, leaves the same state as the whole handshake in one piece.
 * The password of an RFC 1929 login is skipped, never kept.
 */
#include "socksparse.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

namespace {

/* Client stream states. */
enum : uint8_t {
    kCVer, kCNMethods, kCMethods, kCNext, kAULen, kAUser, kAPLen, kAPass, kRVer,
    kRCmd, kRRsv, kRAtyp, kRALen, kRAddr, kRPort, k4Cmd, k4Port, k4Ip, k4User,
    k4Host, kCDone
};
/* Server stream states. */
enum : uint8_t {
    kSVer, kSMethod, kSAVer, kSAStatus, kSRVer, kSRep, kSRsv, kSAtyp, kSALen,
    kSAddr, kSPort, kS4Cd, kS4Rest, kSDone
};

/* Address length of a SOCKS5 address type with a fixed size, 0 otherwise. */
uint16_t FixedAddrLen(uint8_t atyp)
{
    return atyp == 1 ? 4 : atyp == 4 ? 16 : 0;
}

/* One client byte; false when the stream is not SOCKS after all. */
bool ClientByte(SocksParse_t *p, uint8_t b)
{
    switch (p->cState) {
    case kCVer:
        if (b != 5 && b != 4)
            return false;
        p->version = b;
        p->cState = b == 5 ? kCNMethods : k4Cmd;
        return true;
    case kCNMethods:
        if (b == 0)
            return false;
        p->cLeft = b;
        p->cState = kCMethods;
        return true;
    case kCMethods:
        if (--p->cLeft == 0)
            p->cState = kCNext;
        return true;
    case kCNext:  // a login (version 1) or straight the request (version 5)
        if (b == 1) {
            p->cState = kAULen;
            return true;
        }
        if (b != 5)
            return false;
        p->cState = kRCmd;
        return true;
    case kAULen:
        p->userLen = 0;
        p->cLeft = b;
        p->cState = b != 0 ? kAUser : kAPLen;
        return true;
    case kAUser:
        p->user[p->userLen++] = static_cast<char>(b);
        if (--p->cLeft == 0)
            p->cState = kAPLen;
        return true;
    case kAPLen:
        p->cLeft = b;
        p->cState = b != 0 ? kAPass : kRVer;
        return true;
    case kAPass:
        if (--p->cLeft == 0)
            p->cState = kRVer;
        return true;
    case kRVer:
        if (b != 5)
            return false;
        p->cState = kRCmd;
        return true;
    case kRCmd:
        p->cmd = b;
        p->cState = kRRsv;
        return true;
    case kRRsv:
        p->cState = kRAtyp;
        return true;
    case kRAtyp:
        p->atyp = b;
        p->addrLen = 0;
        if (b == 3) {
            p->cState = kRALen;
            return true;
        }
        if (FixedAddrLen(b) == 0)
            return false;
        p->cLeft = FixedAddrLen(b);
        p->cState = kRAddr;
        return true;
    case kRALen:
        p->cLeft = b;
        p->cState = b != 0 ? kRAddr : kRPort;
        if (b == 0)
            p->cLeft = 2;
        return true;
    case kRAddr:
        p->addr[p->addrLen++] = b;
        if (--p->cLeft == 0) {
            p->cState = kRPort;
            p->cLeft = 2;
        }
        return true;
    case kRPort:
    case k4Port:
        p->port = static_cast<uint16_t>(p->port << 8 | b);
        if (--p->cLeft == 0) {
            if (p->cState == kRPort) {
                p->cState = kCDone;
                p->done |= SP_REQUEST;
            } else {
                p->cState = k4Ip;
                p->cLeft = 4;
                p->addrLen = 0;
            }
        }
        return true;
    case k4Cmd:
        p->cmd = b;
        p->atyp = 1;
        p->cState = k4Port;
        p->cLeft = 2;
        return true;
    case k4Ip:
        p->addr[p->addrLen++] = b;
        if (--p->cLeft == 0) {
            p->cState = k4User;
            p->userLen = 0;
        }
        return true;
    case k4User:
        if (b == 0) {
            // 0.0.0.x with x not 0: SOCKS4a, a host name follows.
            const bool named = p->addr[0] == 0 && p->addr[1] == 0 && p->addr[2] == 0 &&
                               p->addr[3] != 0;
            if (!named) {
                p->cState = kCDone;
                p->done |= SP_REQUEST;
            } else {
                p->cState = k4Host;
                p->atyp = 3;
                p->addrLen = 0;
            }
            return true;
        }
        if (p->userLen == 255)
            return false;
        p->user[p->userLen++] = static_cast<char>(b);
        return true;
    case k4Host:
        if (b == 0) {
            p->cState = kCDone;
            p->done |= SP_REQUEST;
            return true;
        }
        if (p->addrLen == 255)
            return false;
        p->addr[p->addrLen++] = b;
        return true;
    }
    return false;
}

/* One server byte; false when the stream is not SOCKS after all. */
bool ServerByte(SocksParse_t *p, uint8_t b)
{
    switch (p->sState) {
    case kSVer:
        if (p->version == 5 && b == 5) {
            p->sState = kSMethod;
            return true;
        }
        if (p->version == 4 && (b == 0 || b == 4)) {
            p->sState = kS4Cd;
            return true;
        }
        return false;
    case kSMethod:
        p->method = b;
        if (b == 0) {
            p->sState = kSRVer;
        } else if (b == 2) {
            p->sState = kSAVer;
        } else if (b == 0xff) {
            p->done |= SP_NOMETHOD;
            p->sState = kSDone;
        } else {
            return false;  // GSS-API and private methods wrap what follows
        }
        return true;
    case kSAVer:
        if (b != 1)
            return false;
        p->sState = kSAStatus;
        return true;
    case kSAStatus:
        p->authStatus = b;
        if (b != 0) {
            p->done |= SP_AUTHFAIL;
            p->sState = kSDone;
        } else {
            p->sState = kSRVer;
        }
        return true;
    case kSRVer:
        if (b != 5)
            return false;
        p->sState = kSRep;
        return true;
    case kSRep:
        p->reply = b;
        p->sState = kSRsv;
        return true;
    case kSRsv:
        p->sState = kSAtyp;
        return true;
    case kSAtyp:
        if (b == 3) {
            p->sState = kSALen;
            return true;
        }
        if (FixedAddrLen(b) == 0)
            return false;
        p->sLeft = FixedAddrLen(b);
        p->sState = kSAddr;
        return true;
    case kSALen:
        p->sLeft = b != 0 ? b : 2;
        p->sState = b != 0 ? kSAddr : kSPort;
        return true;
    case kSAddr:
        if (--p->sLeft == 0) {
            p->sState = kSPort;
            p->sLeft = 2;
        }
        return true;
    case kSPort:
    case kS4Rest:
        if (--p->sLeft == 0) {
            p->sState = kSDone;
            p->done |= SP_REPLY;
        }
        return true;
    case kS4Cd:
        p->reply = b;
        p->sState = kS4Rest;
        p->sLeft = 6;
        return true;
    }
    return false;
}

}  // namespace

size_t SocksParseClient(SocksParse_t *p, const uint8_t *buf, size_t n)
{
    size_t i = 0;
    while (i < n && p->cState != kCDone && (p->done & SP_BAD) == 0) {
        if (!ClientByte(p, buf[i])) {
            p->done |= SP_BAD;
            return i;
        }
        ++i;
    }
    return i;
}

size_t SocksParseServer(SocksParse_t *p, const uint8_t *buf, size_t n)
{
    size_t i = 0;
    while (i < n && p->sState != kSDone && (p->done & SP_BAD) == 0) {
        if (!ServerByte(p, buf[i])) {
            p->done |= SP_BAD;
            return i;
        }
        ++i;
    }
    return i;
}

size_t SocksParseDest(const SocksParse_t *p, char *buf, size_t size)
{
    if (size == 0)
        return 0;
    buf[0] = '\0';
    if ((p->done & SP_REQUEST) == 0)
        return 0;
    char host[300];
    size_t h = 0;
    if (p->atyp == 1 || p->atyp == 4) {
        const bool six = p->atyp == 4;
        if (six)
            host[h++] = '[';
        if (inet_ntop(six ? AF_INET6 : AF_INET, p->addr, host + h, sizeof host - h - 2) == nullptr)
            return 0;
        h += strlen(host + h);
        if (six)
            host[h++] = ']';
        host[h] = '\0';
    } else {
        const bool colon = memchr(p->addr, ':', p->addrLen) != nullptr;
        if (colon)
            host[h++] = '[';
        for (size_t i = 0; i < p->addrLen; ++i)
            host[h++] = p->addr[i] >= 0x20 && p->addr[i] < 0x7f ? static_cast<char>(p->addr[i])
                                                                 : '?';
        if (colon)
            host[h++] = ']';
        host[h] = '\0';
    }
    const int len = snprintf(buf, size, "%s:%u", host, p->port);
    return len < 0 ? 0 : static_cast<size_t>(len) < size ? static_cast<size_t>(len) : size - 1;
}

const char *SocksParseCommand(const SocksParse_t *p, char *buf)
{
    switch (p->cmd) {
    case 1: return "CONNECT";
    case 2: return "BIND";
    case 3:
        if (p->version == 5)
            return "UDP ASSOCIATE";
        break;
    }
    snprintf(buf, 8, "0x%02x", p->cmd);
    return buf;
}

int SocksParseStatus(const SocksParse_t *p)
{
    if (p->done & SP_AUTHFAIL)
        return 0x100 + p->authStatus;
    if (p->version == 4)
        return p->reply == 90 ? 0 : p->reply;
    return p->reply;
}
