/*
 * Parcel.cpp - the record wire codec: MonData_t <-> self-describing message.
 *
 * A message is the type byte 3, a 93-byte header (raw key bytes, big-endian
 * numbers, ten field descriptors) and a packed area of at most 2048 bytes, so
 * never more than MON_MSG_MAX bytes.  The module has no state and allocates
 * nothing; the decoder never reads past the bytes it is given and never
 * writes past a field of the record.  It does not log: its callers know
 * which transport a refused message came from and log that.
 */
#include "monitor.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <type_traits>

/* ------------------------------------------------------------------ */
/* Layouts fixed by the file and wire formats.  MonData_t and the      */
/* segment header are stored byte for byte in /tmp/mon.mmap, which     */
/* other processes map (possibly built by another compiler), and       */
/* MonConnInfo_t is the proxy's own record: a change in any offset     */
/* below breaks every other party, so it must not compile.  They are   */
/* checked here because this is the one module every build contains.   */

static_assert(sizeof(MonData_t) == MON_RECORD_SIZE);
static_assert(std::is_standard_layout_v<MonData_t>);
static_assert(std::is_trivially_copyable_v<MonData_t>);
static_assert(offsetof(MonData_t, pid) == 0);
static_assert(offsetof(MonData_t, handleNum) == 4);
static_assert(offsetof(MonData_t, recordNum) == 8);
static_assert(offsetof(MonData_t, linkPid) == 10);
static_assert(offsetof(MonData_t, linkHandleNum) == 14);
static_assert(offsetof(MonData_t, linkRecordNum) == 18);
static_assert(offsetof(MonData_t, seqNum) == 20);
static_assert(offsetof(MonData_t, flags) == 24);
static_assert(offsetof(MonData_t, startTime) == 28);
static_assert(offsetof(MonData_t, eventTime) == 32);
static_assert(offsetof(MonData_t, endTime) == 36);
static_assert(offsetof(MonData_t, clientTag) == 40);
static_assert(offsetof(MonData_t, countA) == 44);
static_assert(offsetof(MonData_t, countB) == 48);
static_assert(offsetof(MonData_t, status) == 52);
static_assert(offsetof(MonData_t, code1) == 56);
static_assert(offsetof(MonData_t, code2) == 58);
static_assert(offsetof(MonData_t, addrA) == 60);
static_assert(offsetof(MonData_t, addrB) == 320);
static_assert(offsetof(MonData_t, addrC) == 580);
static_assert(offsetof(MonData_t, text1) == 840);
static_assert(offsetof(MonData_t, text2) == 968);
static_assert(offsetof(MonData_t, text3) == 1096);
static_assert(offsetof(MonData_t, text4) == 1224);
static_assert(offsetof(MonData_t, text5) == 1352);
static_assert(offsetof(MonData_t, statusText) == 1416);
static_assert(offsetof(MonData_t, dataLen) == 1544);
static_assert(offsetof(MonData_t, data) == 1546);
static_assert(offsetof(MonData_t, pad) == 2058);

static_assert(sizeof(MonConnInfo_t) == 2284);
static_assert(std::is_standard_layout_v<MonConnInfo_t>);
static_assert(std::is_trivially_copyable_v<MonConnInfo_t>);
static_assert(offsetof(MonConnInfo_t, text1) == 0);
static_assert(offsetof(MonConnInfo_t, text2) == 128);
static_assert(offsetof(MonConnInfo_t, reserved1) == 256);
static_assert(offsetof(MonConnInfo_t, text3) == 384);
static_assert(offsetof(MonConnInfo_t, text4) == 512);
static_assert(offsetof(MonConnInfo_t, text5) == 640);
static_assert(offsetof(MonConnInfo_t, reserved2) == 704);
static_assert(offsetof(MonConnInfo_t, code2) == 706);
static_assert(offsetof(MonConnInfo_t, reserved3) == 707);
static_assert(offsetof(MonConnInfo_t, code1) == 710);
static_assert(offsetof(MonConnInfo_t, reserved4) == 711);
static_assert(offsetof(MonConnInfo_t, addrA) == 716);
static_assert(offsetof(MonConnInfo_t, addrB) == 976);
static_assert(offsetof(MonConnInfo_t, reserved5) == 1236);
static_assert(offsetof(MonConnInfo_t, addrC) == 2016);
static_assert(offsetof(MonConnInfo_t, runCountA) == 2276);
static_assert(offsetof(MonConnInfo_t, runCountB) == 2280);

static_assert(sizeof(MmapBlock_t) == 8);
static_assert(std::is_standard_layout_v<MmapBlock_t>);
static_assert(std::is_trivially_copyable_v<MmapBlock_t>);
static_assert(offsetof(MmapBlock_t, next) == 0);
static_assert(offsetof(MmapBlock_t, units) == 4);

static_assert(sizeof(ShelfHeader_t) == 124);
static_assert(std::is_standard_layout_v<ShelfHeader_t>);
static_assert(std::is_trivially_copyable_v<ShelfHeader_t>);
static_assert(offsetof(ShelfHeader_t, self) == 0);
static_assert(offsetof(ShelfHeader_t, segSize) == 4);
static_assert(offsetof(ShelfHeader_t, clientPid) == 8);
static_assert(offsetof(ShelfHeader_t, reserved1) == 48);
static_assert(offsetof(ShelfHeader_t, hashSize) == 88);
static_assert(offsetof(ShelfHeader_t, hashCount) == 92);
static_assert(offsetof(ShelfHeader_t, hashDeleted) == 96);
static_assert(offsetof(ShelfHeader_t, putCount) == 100);
static_assert(offsetof(ShelfHeader_t, hashTable) == 104);
static_assert(offsetof(ShelfHeader_t, rover) == 108);
static_assert(offsetof(ShelfHeader_t, reserved2) == 112);
static_assert(offsetof(ShelfHeader_t, sentinel) == 116);

static_assert(MON_MSG_MAX == MON_MSG_HEADER + MON_MSG_AREA_MAX);

namespace {

/* An address block of all zeros means "no address"; such a block is not sent. */
constexpr unsigned char noNetAddr[MON_ADDR_SIZE] = {};

/* Header offsets of the fixed part of a message. */
constexpr size_t kOffType = 0;
constexpr size_t kOffKeys = 1; /* key and link key, 20 raw bytes */
constexpr size_t kKeysSize = 20;
constexpr size_t kOffFlags = 21;
constexpr size_t kOffStartTime = 25;
constexpr size_t kOffEventTime = 29;
constexpr size_t kOffEndTime = 33;
constexpr size_t kOffCountA = 37;
constexpr size_t kOffCountB = 41;
constexpr size_t kOffStatus = 45;
constexpr size_t kOffCode2 = 49;
constexpr size_t kOffCode1 = 51;

static_assert(offsetof(MonData_t, linkRecordNum) + 2 == kKeysSize);

enum class Kind { Address, Text, Data };

/* One variable field: where its descriptor sits in the message, where the
 * field sits in the record, how large it is and how it is judged. */
struct VarField {
    size_t desc;  /* descriptor offset in the message */
    size_t field; /* field offset in MonData_t        */
    uint16_t cap; /* field size in bytes              */
    Kind kind;
};

/* In the order they are packed into the area: A, B, C, the texts, data.
 * The descriptors of addrB and addrC are swapped against that order. */
constexpr std::array<VarField, 10> kVarFields = {{
    {53, offsetof(MonData_t, addrA), MON_ADDR_SIZE, Kind::Address},
    {61, offsetof(MonData_t, addrB), MON_ADDR_SIZE, Kind::Address},
    {57, offsetof(MonData_t, addrC), MON_ADDR_SIZE, Kind::Address},
    {65, offsetof(MonData_t, text1), MON_TEXT_SIZE, Kind::Text},
    {69, offsetof(MonData_t, text2), MON_TEXT_SIZE, Kind::Text},
    {73, offsetof(MonData_t, text3), MON_TEXT_SIZE, Kind::Text},
    {77, offsetof(MonData_t, text4), MON_TEXT_SIZE, Kind::Text},
    {81, offsetof(MonData_t, text5), MON_TEXT5_SIZE, Kind::Text},
    {85, offsetof(MonData_t, statusText), MON_TEXT_SIZE, Kind::Text},
    {89, offsetof(MonData_t, data), MON_DATA_MAX, Kind::Data},
}};

/* Every field at full size still fits the area: a record that keeps its
 * own invariants never loses a field on the way out. */
constexpr size_t AreaNeededAtMost() {
    size_t sum = 0;
    for (const VarField &f : kVarFields) sum += f.cap;
    return sum;
}
static_assert(AreaNeededAtMost() == 1996 && AreaNeededAtMost() <= MON_MSG_AREA_MAX);

unsigned char *FieldPtr(MonData_t *rec, const VarField &f) {
    return reinterpret_cast<unsigned char *>(rec) + f.field;
}
const unsigned char *FieldPtr(const MonData_t *rec, const VarField &f) {
    return reinterpret_cast<const unsigned char *>(rec) + f.field;
}

/* True when one field descriptor of a message whose area holds areaLen
 * readable bytes is sound: absent (length 0, offset word ignored), or a
 * span that lies inside both the area and the field, and for a text ends
 * with its only NUL -- the form the encoder produces, so the decoded field
 * is NUL-terminated with the rest zero, as every record's texts are. */
bool DescriptorIsSound(const unsigned char *msg, size_t areaLen, const VarField &f) {
    uint16_t len, off;
    ParcelGetInt16(&len, msg + f.desc);
    ParcelGetInt16(&off, msg + f.desc + 2);
    if (len == 0) return true;
    if (len > f.cap) return false;
    if (static_cast<size_t>(off) + len > areaLen) return false;
    if (f.kind == Kind::Text) {
        const unsigned char *text = msg + MON_MSG_HEADER + off;
        if (text[len - 1] != 0) return false;
        if (std::memchr(text, 0, len - 1u) != nullptr) return false;
    }
    return true;
}

} // namespace

/* Stores value big-endian at dst, any alignment. */
void ParcelPutInt16(uint16_t value, unsigned char *dst) {
    dst[0] = static_cast<unsigned char>(value >> 8);
    dst[1] = static_cast<unsigned char>(value);
}

/* Loads a big-endian 16-bit value from src, any alignment, into *dst. */
void ParcelGetInt16(uint16_t *dst, const unsigned char *src) {
    *dst = static_cast<uint16_t>((src[0] << 8) | src[1]);
}

/* Stores value big-endian at dst, any alignment. */
void ParcelPutInt32(uint32_t value, unsigned char *dst) {
    dst[0] = static_cast<unsigned char>(value >> 24);
    dst[1] = static_cast<unsigned char>(value >> 16);
    dst[2] = static_cast<unsigned char>(value >> 8);
    dst[3] = static_cast<unsigned char>(value);
}

/* Loads a big-endian 32-bit value from src, any alignment, into *dst. */
void ParcelGetInt32(uint32_t *dst, const unsigned char *src) {
    *dst = (static_cast<uint32_t>(src[0]) << 24) | (static_cast<uint32_t>(src[1]) << 16) |
           (static_cast<uint32_t>(src[2]) << 8) | static_cast<uint32_t>(src[3]);
}

/* Appends len bytes of src to the area at *used and describes them in desc
 * (length, then offset, both big-endian).  A field that would take the area
 * past MON_MSG_AREA_MAX bytes is dropped: nothing is written, so its
 * descriptor keeps whatever it held (zeros in a message being built) and a
 * later, smaller field may still fit. */
void ParcelPutVarLen(const void *src, uint16_t len, unsigned char *desc,
                     unsigned char *area, uint16_t *used) {
    if (static_cast<size_t>(*used) + len > MON_MSG_AREA_MAX) return;
    ParcelPutInt16(len, desc);
    if (len == 0) return;
    ParcelPutInt16(*used, desc + 2);
    std::memcpy(area + *used, src, len);
    *used = static_cast<uint16_t>(*used + len);
}

/* Copies the field that desc describes out of area into dst and reports
 * its length in *len (0 for an absent field, dst then untouched).  Trusts
 * the descriptor: callers check it against the message and the field first,
 * as ParcelGetDataChecked does. */
void ParcelGetVarLen(void *dst, uint16_t *len, const unsigned char *desc,
                     const unsigned char *area) {
    uint16_t off;
    ParcelGetInt16(len, desc);
    if (*len == 0) return;
    ParcelGetInt16(&off, desc + 2);
    std::memcpy(dst, area + off, *len);
}

/* Encodes rec into buf (MON_MSG_MAX bytes, all written) and returns the
 * message length, 93 plus the area bytes used; -1 only for a null argument.
 * A record that breaks its own invariants is still sent within bounds: a
 * text without a NUL in its field goes out cut to its field size with a NUL
 * last, and a dataLen above 512 sends the 512 bytes of the data area. */
int ParcelPutData(const MonData_t *rec, unsigned char *buf) {
    if (rec == nullptr || buf == nullptr) return -1;
    std::memset(buf, 0, MON_MSG_MAX);
    buf[kOffType] = MON_MSG_TYPE;
    /* The key travels raw: to other hosts it is an opaque token. */
    std::memcpy(buf + kOffKeys, rec, kKeysSize);
    ParcelPutInt32(rec->flags, buf + kOffFlags);
    ParcelPutInt32(static_cast<uint32_t>(rec->startTime), buf + kOffStartTime);
    ParcelPutInt32(static_cast<uint32_t>(rec->eventTime), buf + kOffEventTime);
    ParcelPutInt32(static_cast<uint32_t>(rec->endTime), buf + kOffEndTime);
    ParcelPutInt32(rec->countA, buf + kOffCountA);
    ParcelPutInt32(rec->countB, buf + kOffCountB);
    ParcelPutInt32(static_cast<uint32_t>(rec->status), buf + kOffStatus);
    ParcelPutInt16(rec->code2, buf + kOffCode2);
    ParcelPutInt16(rec->code1, buf + kOffCode1);

    unsigned char *area = buf + MON_MSG_HEADER;
    uint16_t used = 0;
    for (const VarField &f : kVarFields) {
        const unsigned char *src = FieldPtr(rec, f);
        size_t len = 0;
        switch (f.kind) {
        case Kind::Address:
            if (std::memcmp(src, noNetAddr, MON_ADDR_SIZE) != 0) len = MON_ADDR_SIZE;
            break;
        case Kind::Text: {
            const void *nul = std::memchr(src, 0, f.cap);
            size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - src)
                                      : f.cap - 1u; /* unterminated: cut, NUL below */
            if (n != 0) len = n + 1;
            break;
        }
        case Kind::Data:
            len = rec->dataLen > MON_DATA_MAX ? MON_DATA_MAX : rec->dataLen;
            break;
        }
        if (len == 0) continue;
        uint16_t before = used;
        ParcelPutVarLen(src, static_cast<uint16_t>(len), buf + f.desc, area, &used);
        if (f.kind == Kind::Text && used != before) area[used - 1] = 0;
    }
    return MON_MSG_HEADER + used;
}

/* Decodes the message of len bytes at msg into rec (all 2060 bytes written)
 * and returns 93 plus the sum of the ten field lengths.  Reads no byte past
 * msg + len and writes no byte past a field.  Refuses the whole message,
 * returning -1 with rec all zero, when it is shorter than the header, its
 * type byte is not 3, or any descriptor is unsound: longer than its field,
 * a span past the bytes received or past the 2048-byte area, or a text
 * whose sent bytes do not end in their only NUL.  An absent field's offset
 * word is ignored, and so are bytes after the last field. */
int ParcelGetDataChecked(MonData_t *rec, const unsigned char *msg, size_t len) {
    if (rec == nullptr) return -1;
    std::memset(rec, 0, sizeof *rec);
    if (msg == nullptr || len < MON_MSG_HEADER || msg[kOffType] != MON_MSG_TYPE) return -1;
    size_t areaLen = len - MON_MSG_HEADER;
    if (areaLen > MON_MSG_AREA_MAX) areaLen = MON_MSG_AREA_MAX;
    for (const VarField &f : kVarFields)
        if (!DescriptorIsSound(msg, areaLen, f)) return -1;

    /* Through locals: the record packs on 2-byte bounds, so its 32-bit
     * fields may not be addressed as uint32_t. */
    std::memcpy(rec, msg + kOffKeys, kKeysSize);
    uint32_t word;
    ParcelGetInt32(&word, msg + kOffFlags);
    rec->flags = word;
    ParcelGetInt32(&word, msg + kOffStartTime);
    rec->startTime = static_cast<int32_t>(word);
    ParcelGetInt32(&word, msg + kOffEventTime);
    rec->eventTime = static_cast<int32_t>(word);
    ParcelGetInt32(&word, msg + kOffEndTime);
    rec->endTime = static_cast<int32_t>(word);
    ParcelGetInt32(&word, msg + kOffCountA);
    rec->countA = word;
    ParcelGetInt32(&word, msg + kOffCountB);
    rec->countB = word;
    ParcelGetInt32(&word, msg + kOffStatus);
    rec->status = static_cast<int32_t>(word);
    uint16_t half;
    ParcelGetInt16(&half, msg + kOffCode2);
    rec->code2 = half;
    ParcelGetInt16(&half, msg + kOffCode1);
    rec->code1 = half;

    const unsigned char *area = msg + MON_MSG_HEADER;
    int total = MON_MSG_HEADER;
    for (const VarField &f : kVarFields) {
        uint16_t fieldLen;
        ParcelGetVarLen(FieldPtr(rec, f), &fieldLen, msg + f.desc, area);
        if (f.kind == Kind::Data) rec->dataLen = fieldLen;
        total += fieldLen;
    }
    return total;
}

/* Decodes a message held in a buffer of MON_MSG_MAX bytes, as the pipe and
 * TCP transports keep it: the checked decode bounded to that buffer, so a
 * malformed message gives -1 and an all-zero record rather than a read or
 * write out of bounds. */
int ParcelGetData(MonData_t *rec, const unsigned char *msg) {
    return ParcelGetDataChecked(rec, msg, MON_MSG_MAX);
}

/* Writes "<pid,handle-in-hex,record>" into buf (at least MON_KEYSTR_SIZE
 * bytes; the largest key takes 28 with its NUL) and returns buf. */
char *MonKeyStr(uint32_t pid, uint32_t handleNum, uint16_t recordNum, char *buf) {
    std::snprintf(buf, MON_KEYSTR_SIZE, "<%lu,%lx,%u>", static_cast<unsigned long>(pid),
                  static_cast<unsigned long>(handleNum), static_cast<unsigned>(recordNum));
    return buf;
}
