// qxformat.cpp - the log line formatter: printf conversions into a bounded
// buffer with a small, fixed stack frame.  The C library's vsnprintf needs
// about 2 KiB of stack on its own, and a proxy thread with a 32 KiB stack
// must be able to log; so the log module formats here, never through stdio.
// Output is cut (never overrun) at the buffer's end, always NUL-terminated.

#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "qxlog_internal.h"

namespace {

constexpr int kDefaultFloatDigits = 6;
constexpr int kMaxFloatDigits = 18;  // digits after the point that still fit a uint64_t

// The bounded output: len < cap always, so one byte stays for the NUL.
struct Out {
    char *buf;
    size_t cap;
    size_t len;
};

void Put(Out *o, char c) {
    if (o->len + 1 < o->cap) o->buf[o->len++] = c;
}

void PutRun(Out *o, char c, int n) {
    for (; n > 0; --n) Put(o, c);
}

void PutBytes(Out *o, const char *s, size_t n) {
    for (size_t i = 0; i < n; ++i) Put(o, s[i]);
}

// One conversion's flags, width and precision.
struct Spec {
    bool left = false;   // '-'
    bool zero = false;   // '0'
    bool plus = false;   // '+'
    bool space = false;  // ' '
    bool alt = false;    // '#'
    int width = 0;
    int precision = -1;  // -1: none given
    int length = 0;      // 'H' hh, 'h', 'l', 'q' ll, 'j', 'z', 't', 'L'
};

// Text of s (n bytes) padded to the width.
void PutPadded(Out *o, const Spec &sp, const char *s, size_t n) {
    const int pad = sp.width > static_cast<int>(n) ? sp.width - static_cast<int>(n) : 0;
    if (!sp.left) PutRun(o, ' ', pad);
    PutBytes(o, s, n);
    if (sp.left) PutRun(o, ' ', pad);
}

void PutString(Out *o, const Spec &sp, const char *s) {
    if (s == nullptr) s = "(null)";
    size_t n = 0;
    // Never read past the precision: the text need not be terminated there.
    while (s[n] != '\0' && (sp.precision < 0 || n < static_cast<size_t>(sp.precision))) ++n;
    PutPadded(o, sp, s, n);
}

// An integer: the digits of magnitude in base, with sign or prefix, the
// precision's leading zeros and the width's padding.
void PutInteger(Out *o, const Spec &sp, uint64_t magnitude, bool negative, unsigned base,
                bool upper, const char *prefix) {
    const char *digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];  // 22 octal digits hold 64 bits
    int n = 0;
    for (uint64_t v = magnitude; v != 0; v /= base) digits[n++] = digitSet[v % base];
    int zeros = sp.precision > n ? sp.precision - n : 0;
    if (magnitude == 0 && sp.precision != 0) zeros = zeros > 0 ? zeros : 1;
    if (base == 8 && sp.alt && zeros == 0 && (n == 0 || digits[n - 1] != '0')) zeros = 1;
    char sign = negative ? '-' : sp.plus ? '+' : sp.space ? ' ' : '\0';
    const size_t prefixLen = strlen(prefix);
    const int body = n + zeros + (sign != '\0' ? 1 : 0) + static_cast<int>(prefixLen);
    int pad = sp.width > body ? sp.width - body : 0;
    if (sp.zero && !sp.left && sp.precision < 0) {
        zeros += pad;
        pad = 0;
    }
    if (!sp.left) PutRun(o, ' ', pad);
    if (sign != '\0') Put(o, sign);
    PutBytes(o, prefix, prefixLen);
    PutRun(o, '0', zeros);
    while (n > 0) Put(o, digits[--n]);
    if (sp.left) PutRun(o, ' ', pad);
}

int64_t SignedArg(const Spec &sp, va_list *ap) {
    switch (sp.length) {
    case 'H': return static_cast<signed char>(va_arg(*ap, int));
    case 'h': return static_cast<short>(va_arg(*ap, int));
    case 'l': return va_arg(*ap, long);
    case 'q': return va_arg(*ap, long long);
    case 'j': return va_arg(*ap, intmax_t);
    case 'z': return va_arg(*ap, ptrdiff_t);  // the signed type of size_t's width
    case 't': return va_arg(*ap, ptrdiff_t);
    default: return va_arg(*ap, int);
    }
}

uint64_t UnsignedArg(const Spec &sp, va_list *ap) {
    switch (sp.length) {
    case 'H': return static_cast<unsigned char>(va_arg(*ap, unsigned));
    case 'h': return static_cast<unsigned short>(va_arg(*ap, unsigned));
    case 'l': return va_arg(*ap, unsigned long);
    case 'q': return va_arg(*ap, unsigned long long);
    case 'j': return va_arg(*ap, uintmax_t);
    case 'z': return va_arg(*ap, size_t);
    case 't': return static_cast<uint64_t>(va_arg(*ap, ptrdiff_t));
    default: return va_arg(*ap, unsigned);
    }
}

// A floating value in fixed notation.  Log lines hardly ever carry one;
// magnitudes beyond 64 bits of integer part are shown by their sign only.
void PutFloat(Out *o, const Spec &sp, long double v) {
    char text[48];
    size_t n = 0;
    if (v != v) {
        PutPadded(o, sp, "nan", 3);
        return;
    }
    const bool negative = v < 0;
    if (negative) v = -v;
    if (negative) text[n++] = '-';
    else if (sp.plus) text[n++] = '+';
    if (v > 1.8e19L) {
        memcpy(text + n, "inf", 3);
        PutPadded(o, sp, text, n + 3);
        return;
    }
    int prec = sp.precision < 0 ? kDefaultFloatDigits : sp.precision;
    if (prec > kMaxFloatDigits) prec = kMaxFloatDigits;
    uint64_t scale = 1;
    for (int i = 0; i < prec; ++i) scale *= 10;
    uint64_t whole = static_cast<uint64_t>(v);
    uint64_t frac = static_cast<uint64_t>((v - static_cast<long double>(whole)) * scale + 0.5L);
    if (frac >= scale) {
        ++whole;
        frac -= scale;
    }
    char digits[24];
    int d = 0;
    do {
        digits[d++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    while (d > 0) text[n++] = digits[--d];
    if (prec > 0 || sp.alt) text[n++] = '.';
    for (int i = prec - 1; i >= 0; --i) {
        text[n + static_cast<size_t>(i)] = static_cast<char>('0' + frac % 10);
        frac /= 10;
    }
    n += static_cast<size_t>(prec);
    PutPadded(o, sp, text, n);
}

// Reads flags, width, precision and length after a '%'; returns the
// position of the conversion character.
const char *ParseSpec(const char *p, Spec *sp, va_list *ap) {
    for (;; ++p) {
        if (*p == '-') sp->left = true;
        else if (*p == '0') sp->zero = true;
        else if (*p == '+') sp->plus = true;
        else if (*p == ' ') sp->space = true;
        else if (*p == '#') sp->alt = true;
        else break;
    }
    if (*p == '*') {
        sp->width = va_arg(*ap, int);
        if (sp->width < 0) {
            sp->left = true;
            sp->width = sp->width == INT32_MIN ? 0 : -sp->width;
        }
        ++p;
    } else {
        for (; *p >= '0' && *p <= '9'; ++p)
            if (sp->width < 100000) sp->width = sp->width * 10 + (*p - '0');
    }
    if (*p == '.') {
        ++p;
        sp->precision = 0;
        if (*p == '*') {
            sp->precision = va_arg(*ap, int);
            if (sp->precision < 0) sp->precision = -1;
            ++p;
        } else {
            for (; *p >= '0' && *p <= '9'; ++p)
                if (sp->precision < 100000) sp->precision = sp->precision * 10 + (*p - '0');
        }
    }
    if (p[0] == 'h' && p[1] == 'h') { sp->length = 'H'; p += 2; }
    else if (p[0] == 'l' && p[1] == 'l') { sp->length = 'q'; p += 2; }
    else if (*p == 'h' || *p == 'l' || *p == 'j' || *p == 'z' || *p == 't' || *p == 'L' ||
             *p == 'q') {
        sp->length = *p == 'q' ? 'q' : *p;
        ++p;
    }
    return p;
}

}  // namespace

namespace quelm {

size_t LogFormat(char *buf, size_t cap, size_t len, const char *format, va_list args, int err) {
    if (cap == 0) return 0;
    Out o{buf, cap, len < cap ? len : cap - 1};
    va_list ap;
    va_copy(ap, args);
    for (const char *p = format; *p != '\0' && o.len + 1 < o.cap; ++p) {
        if (*p != '%') {
            Put(&o, *p);
            continue;
        }
        const char *start = p;
        Spec sp;
        p = ParseSpec(p + 1, &sp, &ap);
        switch (*p) {
        case '%': Put(&o, '%'); break;
        case 'm': {
            char errBuf[64];
            PutString(&o, sp, strerror_r(err, errBuf, sizeof errBuf));
            break;
        }
        case 's': PutString(&o, sp, va_arg(ap, const char *)); break;
        case 'c': {
            const char c = static_cast<char>(va_arg(ap, int));
            PutPadded(&o, sp, &c, 1);
            break;
        }
        case 'd':
        case 'i': {
            const int64_t v = SignedArg(sp, &ap);
            const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            PutInteger(&o, sp, mag, v < 0, 10, false, "");
            break;
        }
        case 'u': PutInteger(&o, sp, UnsignedArg(sp, &ap), false, 10, false, ""); break;
        case 'o': PutInteger(&o, sp, UnsignedArg(sp, &ap), false, 8, false, ""); break;
        case 'x':
        case 'X': {
            const uint64_t v = UnsignedArg(sp, &ap);
            const bool upper = *p == 'X';
            PutInteger(&o, sp, v, false, 16, upper, sp.alt && v != 0 ? (upper ? "0X" : "0x") : "");
            break;
        }
        case 'p': {
            const void *ptr = va_arg(ap, const void *);
            if (ptr == nullptr) PutPadded(&o, sp, "(nil)", 5);
            else PutInteger(&o, sp, reinterpret_cast<uintptr_t>(ptr), false, 16, false, "0x");
            break;
        }
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            PutFloat(&o, sp, sp.length == 'L' ? va_arg(ap, long double) : va_arg(ap, double));
            break;
        case 'n':
            // Writing a count through an argument has no place in a log line.
            (void)va_arg(ap, void *);
            break;
        default:
            // Unknown conversion: shown as written, no argument taken.
            PutBytes(&o, start, static_cast<size_t>(p - start) + (*p != '\0' ? 1 : 0));
            if (*p == '\0') --p;
            break;
        }
    }
    va_end(ap);
    o.buf[o.len] = '\0';
    return o.len;
}

}  // namespace quelm
