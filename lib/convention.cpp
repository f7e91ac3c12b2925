/*
 * convention.cpp - what the record's fields mean to the programs shipped
 * with warden, where the record leaves them to the proxy: byte totals past
 * 4 GiB (high words in text5), address blocks from a struct sockaddr, and
 * the SOCKS reply texts.  Pure functions of their arguments: no state, no
 * locks, safe from any thread.
 */
#include "convention_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr size_t kTagLen = sizeof MON_TOTALS_TAG - 1;

/* Parses the high words that StampTotals wrote into rec's text5: true with
 * both set, or false when text5 holds no such tag (then both are 0). */
bool HighWords(const MonData_t &rec, uint32_t hi[2]) noexcept
{
    hi[0] = hi[1] = 0;
    const char *p = rec.text5;
    const char *end = rec.text5 + sizeof rec.text5;
    if (strncmp(p, MON_TOTALS_TAG, kTagLen) != 0)
        return false;
    p += kTagLen;
    for (int i = 0; i < 2; ++i) {
        uint64_t v = 0;
        const char *first = p;
        while (p < end && *p >= '0' && *p <= '9' && v <= UINT32_MAX)
            v = v * 10 + static_cast<uint64_t>(*p++ - '0');
        if (p == first || v > UINT32_MAX || p == end || *p != (i == 0 ? ' ' : '\0')) {
            hi[0] = hi[1] = 0;
            return false;
        }
        hi[i] = static_cast<uint32_t>(v);
        ++p;
    }
    return true;
}

/* The full total of counter `which` (0 A, 1 B) of rec: see monitor.h. */
uint64_t Total(const MonData_t *rec, int which) noexcept
{
    if (rec == nullptr)
        return 0;
    uint32_t hi[2];
    (void)HighWords(*rec, hi);
    return static_cast<uint64_t>(hi[which]) << 32 | (which == 0 ? rec->countA : rec->countB);
}

}  // namespace

/* Writes the high words of the totals into text5 as MON_TOTALS_TAG "A B"
 * while one of them is not 0, and the low words into the counters; a tag
 * left in text5 (copied from the session record) is cleared when the
 * totals fit 32 bits, so it never claims more than the record has. */
void quelm::StampTotals(MonData_t &rec, uint64_t totalA, uint64_t totalB) noexcept
{
    rec.countA = static_cast<uint32_t>(totalA);
    rec.countB = static_cast<uint32_t>(totalB);
    const uint32_t hi[2] = {static_cast<uint32_t>(totalA >> 32),
                            static_cast<uint32_t>(totalB >> 32)};
    if ((hi[0] | hi[1]) == 0) {
        if (strncmp(rec.text5, MON_TOTALS_TAG, kTagLen) == 0)
            memset(rec.text5, 0, sizeof rec.text5);
        return;
    }
    char text[sizeof rec.text5] = MON_TOTALS_TAG;
    size_t n = kTagLen;
    for (int i = 0; i < 2; ++i) {
        char digits[10];
        size_t d = 0;
        uint32_t v = hi[i];
        do {
            digits[d++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        if (i == 1)
            text[n++] = ' ';
        while (d > 0)
            text[n++] = digits[--d];
    }
    memset(text + n, 0, sizeof text - n);
    memcpy(rec.text5, text, sizeof text);
}

/* countA with its high word. */
extern "C" uint64_t QxMonTotalA(const MonData_t *rec)
{
    return Total(rec, 0);
}

/* countB with its high word. */
extern "C" uint64_t QxMonTotalB(const MonData_t *rec)
{
    return Total(rec, 1);
}

/* Fills an address block from sa in the sockaddr convention: 0, or -1 with
 * the block zeroed (EAFNOSUPPORT) or untouched when null (EINVAL). */
extern "C" int QxMonAddrFromSockaddr(unsigned char *block, const struct sockaddr *sa)
{
    if (block == nullptr) {
        errno = EINVAL;
        return -1;
    }
    memset(block, 0, MON_ADDR_SIZE);
    if (sa == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (sa->sa_family == AF_INET) {
        memcpy(block, sa, sizeof(struct sockaddr_in));
        return 0;
    }
    if (sa->sa_family == AF_INET6) {
        memcpy(block, sa, sizeof(struct sockaddr_in6));
        return 0;
    }
    errno = EAFNOSUPPORT;
    return -1;
}

/* The RFC 1928 reply text of code; see monitor.h. */
extern "C" const char *QxSocksReplyText(int code)
{
    static const char *const kText[] = {
        "succeeded",
        "general SOCKS server failure",
        "connection not allowed by ruleset",
        "Network unreachable",
        "Host unreachable",
        "Connection refused",
        "TTL expired",
        "Command not supported",
        "Address type not supported",
    };
    if (code >= 0 && code < static_cast<int>(sizeof kText / sizeof kText[0]))
        return kText[code];
    if (code > MON_STATUS_AUTH_BASE && code <= MON_STATUS_AUTH_BASE + 0xff)
        return "authentication failed";
    return "unassigned";
}
