// Parcel_fuzz.cpp - libFuzzer target for the record wire codec.
// Whatever the checked decoder accepts must come out as a record that keeps
// the record's invariants, and encoding that record must give a message that
// decodes to the same record and re-encodes to the same bytes.
#include "monitor.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Texts are NUL-terminated with the rest of the field zero.
bool TextIsClean(const char *text, size_t size) {
    const void *nul = std::memchr(text, 0, size);
    if (nul == nullptr) return false;
    for (const char *p = static_cast<const char *>(nul); p < text + size; p++)
        if (*p != 0) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    MonData_t first;
    int got = ParcelGetDataChecked(&first, data, size);
    if (got < 0) {
        static const MonData_t zero{};
        Check(std::memcmp(&first, &zero, sizeof first) == 0);
        return 0;
    }
    Check(got >= MON_MSG_HEADER && got <= MON_MSG_MAX);
    Check(first.seqNum == 0 && first.clientTag == 0);
    Check(first.dataLen <= MON_DATA_MAX);
    Check(first.pad[0] == 0 && first.pad[1] == 0);
    Check(TextIsClean(first.text1, sizeof first.text1));
    Check(TextIsClean(first.text2, sizeof first.text2));
    Check(TextIsClean(first.text3, sizeof first.text3));
    Check(TextIsClean(first.text4, sizeof first.text4));
    Check(TextIsClean(first.text5, sizeof first.text5));
    Check(TextIsClean(first.statusText, sizeof first.statusText));

    unsigned char buf[MON_MSG_MAX];
    int len = ParcelPutData(&first, buf);
    Check(len >= MON_MSG_HEADER && len <= MON_MSG_MAX);

    // Decode from a buffer of exactly the message's size, so that the
    // sanitizer sees any read past it.
    unsigned char *exact = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(len)));
    Check(exact != nullptr);
    std::memcpy(exact, buf, static_cast<size_t>(len));
    MonData_t second;
    Check(ParcelGetDataChecked(&second, exact, static_cast<size_t>(len)) == len);
    std::free(exact);
    Check(std::memcmp(&first, &second, sizeof first) == 0);

    unsigned char again[MON_MSG_MAX];
    Check(ParcelPutData(&second, again) == len);
    Check(std::memcmp(buf, again, MON_MSG_MAX) == 0);
    return 0;
}
