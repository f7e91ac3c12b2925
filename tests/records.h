// records.h - session records for the tests and benchmarks: keyed, flagged,
// with texts, of the largest wire size, and framed as the pipe and the
// viewer port carry them.
#ifndef QUELM_TEST_RECORDS_H
#define QUELM_TEST_RECORDS_H

#include <quelm/monitor.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace testsupport {

using Bytes = std::vector<unsigned char>;

// The record (pid, handle, num) with flags, everything else zero.
inline MonData_t MakeRecord(uint32_t pid, uint32_t handle, uint16_t num, uint32_t flags)
{
    MonData_t r;
    memset(&r, 0, sizeof r);
    r.pid = pid;
    r.handleNum = handle;
    r.recordNum = num;
    r.flags = flags;
    return r;
}

// A record of this process, a live owner, so the store keeps it.
inline MonData_t OwnRecord(uint32_t handle, uint16_t num, uint32_t flags)
{
    return MakeRecord(static_cast<uint32_t>(getpid()), handle, num, flags);
}

// Formats into one of a record's text fields (cut at its size).
template <size_t N>
inline void SetText(char (&field)[N], const char *format, ...) __attribute__((format(printf, 2, 3)));
template <size_t N>
inline void SetText(char (&field)[N], const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(field, N, format, args);
    va_end(args);
}

// The record (pid, handle, num) with flags and text1 naming it,
// "session handle/num".
inline MonData_t NamedRecord(uint32_t pid, uint32_t handle, uint16_t num, uint32_t flags)
{
    MonData_t r = MakeRecord(pid, handle, num, flags);
    SetText(r.text1, "session %u/%u", handle, num);
    return r;
}

// A record of the size proxies typically report: two addresses, short
// texts, counters numbered after num.
inline MonData_t TypicalRecord(uint32_t pid, uint32_t handle, uint16_t num, uint32_t flags)
{
    MonData_t r = MakeRecord(pid, handle, num, flags);
    r.countA = 1000u + num;
    r.countB = 2000u + num;
    memset(r.addrA, 0x11, 16);
    memset(r.addrC, 0x22, 16);
    strcpy(r.text1, "alice");
    strcpy(r.text2, "198.51.100.7:443");
    strcpy(r.text3, "CONNECT");
    return r;
}

// An address block holding the sockaddr_in of ip:port, the rest zero.
inline void PutV4(unsigned char *block, const char *ip, uint16_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, ip, &sin.sin_addr);
    memset(block, 0, MON_ADDR_SIZE);
    memcpy(block, &sin, sizeof sin);
}

// An address block holding the sockaddr_in6 of [ip%scope]:port.
inline void PutV6(unsigned char *block, const char *ip, uint16_t port, uint32_t scope = 0)
{
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    sin6.sin6_scope_id = scope;
    inet_pton(AF_INET6, ip, &sin6.sin6_addr);
    memset(block, 0, MON_ADDR_SIZE);
    memcpy(block, &sin6, sizeof sin6);
}

// A session of this process (a live owner, so the store keeps it) as
// socks5-demo reports a CONNECT by user to dest, started now: record 1 of
// handle, client 192.0.2.10:40000, resolved [2001:db8::1]:443.
inline MonData_t Session(uint32_t handle, uint32_t flags, const char *user, const char *dest)
{
    MonData_t r = OwnRecord(handle, 1, flags);
    r.startTime = r.eventTime = static_cast<int32_t>(time(nullptr));
    SetText(r.text1, "%s", user);
    SetText(r.text2, "%s", dest);
    SetText(r.text3, "CONNECT");
    SetText(r.text4, "socks5-demo");
    r.code2 = 1;
    r.code1 = 3;
    PutV4(r.addrA, "192.0.2.10", 40000);
    PutV6(r.addrB, "2001:db8::1", 443);
    return r;
}

// r with its bulk at full size, addresses A and B and the opaque data:
// most of the largest wire size (texts and address C as they were).
inline MonData_t Bulky(MonData_t r)
{
    memset(r.addrA, 0x31, MON_ADDR_SIZE);
    memset(r.addrB, 0x32, MON_ADDR_SIZE);
    r.dataLen = MON_DATA_MAX;
    memset(r.data, 0x5a, MON_DATA_MAX);
    return r;
}

// The record as one frame: a two-byte big-endian length, then the message.
inline Bytes Framed(const MonData_t &r)
{
    Bytes f(2 + MON_MSG_MAX);
    const int len = ParcelPutData(&r, f.data() + 2);
    f[0] = static_cast<unsigned char>(len >> 8);
    f[1] = static_cast<unsigned char>(len);
    f.resize(2 + static_cast<size_t>(len));
    return f;
}

// Appends the record's frame to out.
inline void AppendFrame(Bytes *out, const MonData_t &r)
{
    const Bytes f = Framed(r);
    out->insert(out->end(), f.begin(), f.end());
}

}  // namespace testsupport

#endif
