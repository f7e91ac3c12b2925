// Parcel_fuzz.cpp - libFuzzer target for the record wire codec and the pipe
// reader's search for frames.
// Whatever the checked decoder accepts must come out as a record that keeps
// the record's invariants, and encoding that record must give a message that
// decodes to the same record and re-encodes to the same bytes.  The same
// bytes, as a stream in a pipe, must be read to the end by the frame search:
// every byte either in a frame it took or counted as given up, every frame
// it took one the decoder accepts, and nothing but the end reported.
#include "monitor.h"

#include "frame_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

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

bool DecodeRecord(const unsigned char *payload, unsigned len, void *rec) noexcept {
    return ParcelGetDataChecked(static_cast<MonData_t *>(rec), payload, len) >= 0;
}

// Runs the bytes through the pipe reader's frame search.  A buffer of twice
// the largest frame makes the search move its bytes down often.
void SearchFrames(const uint8_t *data, size_t size) {
    if (size > 60000) return;  // a pipe holds 64 KiB: the write must not block
    int p[2];
    Check(pipe(p) == 0);
    Check(write(p[1], data, size) == static_cast<ssize_t>(size));
    close(p[1]);  // the end of the stream: the search never waits out a stall
    static unsigned char buf[2 * (2 + MON_MSG_MAX)];
    quelm::FrameScan scan = {p[0], buf, sizeof buf, 0, 0, MON_MSG_HEADER, MON_MSG_MAX,
                             MON_MSG_TYPE, 60000, false, false, 0, 0};
    size_t taken = 0;
    for (;;) {
        MonData_t rec;
        const int len = quelm::FrameScanNext(&scan, DecodeRecord, &rec);
        if (len < 0) break;
        taken += 2 + static_cast<size_t>(len);
        if (len > 0) {
            Check(len >= MON_MSG_HEADER && len <= MON_MSG_MAX);
            // The frame handed out is the one just behind the head.
            Check(scan.head >= 2 + static_cast<size_t>(len));
            MonData_t again;
            const int used = ParcelGetDataChecked(&again, scan.buf + scan.head - len,
                                                  static_cast<size_t>(len));
            Check(used >= MON_MSG_HEADER);
            Check(std::memcmp(&rec, &again, sizeof rec) == 0);
        }
    }
    Check(errno == EPIPE);
    Check(taken + scan.dropped == size);
    close(p[0]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    SearchFrames(data, size);
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
