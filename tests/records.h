// records.h - session records for the tests and benchmarks: keyed, flagged,
// with texts, of the largest wire size, and framed as the pipe and the
// viewer port carry them.
#ifndef QUELM_TEST_RECORDS_H
#define QUELM_TEST_RECORDS_H

#include <quelm/monitor.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
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

}  // namespace testsupport

#endif
