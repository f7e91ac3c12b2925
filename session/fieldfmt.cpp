/*
 * fieldfmt.cpp - text forms of monitor record fields for warden-top.
 * Address blocks are decoded only when they follow the proxy convention of
 * the chief header exactly (a sockaddr_in or sockaddr_in6 at the start, every
 * other byte zero); the decoder reads the block through memcpy, so a block of
 * any alignment and content is safe to show.
 */
#include "fieldfmt.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace wtop {

namespace {

constexpr size_t kShortHexBytes = 8;

/* True when the bytes [from, MON_ADDR_SIZE) of block are all zero. */
bool ZeroFrom(const unsigned char *block, size_t from)
{
    return std::all_of(block + from, block + MON_ADDR_SIZE, [](unsigned char b) { return b == 0; });
}

std::string ShortHex(const unsigned char *block)
{
    std::string s = "?";
    char hex[3];
    for (size_t i = 0; i < kShortHexBytes; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", block[i]);
        s += hex;
    }
    return s + "...";
}

/* Length of the valid UTF-8 sequence of a printable code point at s, or 0.
 * Overlong forms, surrogates, values past U+10FFFF and the C1 controls
 * (U+0080..U+009F, which terminals obey) do not count as printable. */
size_t Utf8Printable(std::string_view s)
{
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    size_t n;
    uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (s.size() < n)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i) & 0x3f);
    }
    const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    const bool bad = overlong || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff ||
                     (cp >= 0x80 && cp <= 0x9f);
    return bad ? 0 : n;
}

/* True for a byte that starts a code point (not a UTF-8 continuation). */
bool StartsCodePoint(char c)
{
    return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
}

}  // namespace

RecordKey KeyOf(const MonData_t &rec)
{
    return RecordKey{rec.pid, rec.handleNum, rec.recordNum};
}

RecordKey LinkOf(const MonData_t &rec)
{
    return RecordKey{rec.linkPid, rec.linkHandleNum, rec.linkRecordNum};
}

std::string KeyText(const RecordKey &key)
{
    char buf[MON_KEYSTR_SIZE];
    return MonKeyStr(key.pid, key.handle, key.record, buf);
}

bool ParseKey(std::string_view text, RecordKey *key)
{
    if (text.size() >= 2 && text.front() == '<' && text.back() == '>')
        text = text.substr(1, text.size() - 2);
    const char *p = text.data();
    const char *end = p + text.size();
    uint32_t pid = 0, handle = 0;
    uint16_t record = 0;
    auto r = std::from_chars(p, end, pid, 10);
    if (r.ec != std::errc() || r.ptr == end || *r.ptr != ',')
        return false;
    r = std::from_chars(r.ptr + 1, end, handle, 16);
    if (r.ec != std::errc() || r.ptr == end || *r.ptr != ',')
        return false;
    r = std::from_chars(r.ptr + 1, end, record, 10);
    if (r.ec != std::errc() || r.ptr != end)
        return false;
    *key = RecordKey{pid, handle, record};
    return true;
}

std::optional<std::string> AddrDecode(const unsigned char *block)
{
    if (ZeroFrom(block, 0))
        return std::nullopt;
    sa_family_t family;
    std::memcpy(&family, block, sizeof family);
    char text[INET6_ADDRSTRLEN];
    if (family == AF_INET && ZeroFrom(block, sizeof(sockaddr_in))) {
        sockaddr_in sin;
        std::memcpy(&sin, block, sizeof sin);
        const bool padClean = std::all_of(std::begin(sin.sin_zero), std::end(sin.sin_zero),
                                          [](unsigned char b) { return b == 0; });
        if (padClean && inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text) != nullptr)
            return std::string(text) + ":" + std::to_string(ntohs(sin.sin_port));
    } else if (family == AF_INET6 && ZeroFrom(block, sizeof(sockaddr_in6))) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, block, sizeof sin6);
        if (inet_ntop(AF_INET6, &sin6.sin6_addr, text, sizeof text) != nullptr) {
            std::string s = "[";
            s += text;
            if (sin6.sin6_scope_id != 0)
                s += "%" + std::to_string(sin6.sin6_scope_id);
            return s + "]:" + std::to_string(ntohs(sin6.sin6_port));
        }
    }
    return ShortHex(block);
}

std::string AddrText(const unsigned char *block)
{
    return AddrDecode(block).value_or("-");
}

std::string FieldText(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

std::string Printable(std::string_view text, bool keepSpace)
{
    std::string out;
    out.reserve(text.size());
    char hex[5];
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if ((c > 0x20 && c < 0x7f) || (c == ' ' && keepSpace)) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = c >= 0x80 ? Utf8Printable(text.substr(i)) : 0; n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
            ++i;
        }
    }
    return out;
}

size_t DisplayWidth(std::string_view text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), StartsCodePoint));
}

std::string FitWidth(std::string_view text, size_t width)
{
    if (DisplayWidth(text) <= width)
        return std::string(text);
    if (width == 0)
        return "";
    /* Keep width - 1 code points, then the marker. */
    size_t kept = 0, i = 0;
    for (; i < text.size(); ++i) {
        if (StartsCodePoint(text[i]) && kept++ == width - 1)
            break;
    }
    return std::string(text.substr(0, i)) + "~";
}

std::string HumanBytes(double bytes)
{
    static constexpr const char kUnits[] = "KMGTP";
    if (bytes < 1024)
        return std::to_string(static_cast<long long>(bytes < 0 ? 0 : bytes));
    int unit = -1;
    while (bytes >= 1024 && unit < static_cast<int>(sizeof kUnits) - 2) {
        bytes /= 1024;
        ++unit;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, bytes < 99.95 ? "%.1f%c" : "%.0f%c", bytes, kUnits[unit]);
    return buf;
}

std::string HumanAge(long long seconds)
{
    if (seconds < 0)
        return "-";
    char buf[32];
    if (seconds < 60)
        std::snprintf(buf, sizeof buf, "%llds", seconds);
    else if (seconds < 3600)
        std::snprintf(buf, sizeof buf, "%lldm%02llds", seconds / 60, seconds % 60);
    else if (seconds < 86400)
        std::snprintf(buf, sizeof buf, "%lldh%02lldm", seconds / 3600, seconds % 3600 / 60);
    else
        std::snprintf(buf, sizeof buf, "%lldd%02lldh", seconds / 86400, seconds % 86400 / 3600);
    return buf;
}

std::string ClockText(int32_t t, bool withDate)
{
    if (t == 0)
        return "-";
    const time_t when = t;
    struct tm tm;
    if (localtime_r(&when, &tm) == nullptr)
        return std::to_string(t);
    char buf[32];
    std::strftime(buf, sizeof buf, withDate ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &tm);
    return buf;
}

std::string DataHex(const MonData_t &rec)
{
    const size_t n = std::min<size_t>(rec.dataLen, MON_DATA_MAX);
    std::string s;
    s.reserve(2 * n);
    char hex[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", rec.data[i]);
        s += hex;
    }
    return s;
}

}  // namespace wtop
