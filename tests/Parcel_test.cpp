// Parcel_test.cpp - the record wire codec: exact bytes of the message,
// round trips, and refusal of every truncated or lying message.  Truncated
// messages live in exactly sized heap buffers so that a sanitizer build
// catches any read past the bytes received.
#include <quelm/monitor.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kLargestMsg = 93 + 3 * 260 + 5 * 128 + 64 + 512; // 2089

MonData_t ZeroRecord() {
    MonData_t rec;
    std::memset(&rec, 0, sizeof rec);
    return rec;
}

void FillText(char *field, size_t chars, char first) {
    for (size_t i = 0; i < chars; i++) field[i] = static_cast<char>(first + i % 26);
    field[chars] = '\0';
}

// Every field at full size, every byte distinguishable.
MonData_t LargestRecord() {
    MonData_t rec = ZeroRecord();
    rec.pid = 0x11223344;
    rec.handleNum = 0x55667788;
    rec.recordNum = 0x99aa;
    rec.linkPid = 0x01020304;
    rec.linkHandleNum = 0x05060708;
    rec.linkRecordNum = 0x090a;
    rec.seqNum = 77;
    rec.flags = 0x40000005;
    rec.startTime = 1700000000;
    rec.eventTime = 1700000100;
    rec.endTime = -1;
    rec.clientTag = 0xfeedf00d;
    rec.countA = 0xdeadbeef;
    rec.countB = 12345;
    rec.status = -42;
    rec.code1 = 0x00ab;
    rec.code2 = 0x00cd;
    for (size_t i = 0; i < 260; i++) {
        rec.addrA[i] = static_cast<unsigned char>(i + 1);
        rec.addrB[i] = static_cast<unsigned char>(i * 3 + 2);
        rec.addrC[i] = static_cast<unsigned char>(i * 5 + 3);
    }
    FillText(rec.text1, 127, 'a');
    FillText(rec.text2, 127, 'b');
    FillText(rec.text3, 127, 'c');
    FillText(rec.text4, 127, 'd');
    FillText(rec.text5, 63, 'e');
    FillText(rec.statusText, 127, 'f');
    rec.dataLen = 512;
    for (size_t i = 0; i < 512; i++) rec.data[i] = static_cast<unsigned char>(i * 7 + 1);
    return rec;
}

std::vector<unsigned char> Encode(const MonData_t &rec) {
    std::vector<unsigned char> buf(MON_MSG_MAX, 0xa5);
    int n = ParcelPutData(&rec, buf.data());
    EXPECT_GE(n, MON_MSG_HEADER);
    EXPECT_LE(n, MON_MSG_MAX);
    buf.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return buf;
}

// Decodes msg from a heap buffer of exactly its size.
int DecodeExact(const std::vector<unsigned char> &msg, MonData_t *rec) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[msg.size() + (msg.empty() ? 1 : 0)]);
    if (!msg.empty()) std::memcpy(copy.get(), msg.data(), msg.size());
    return ParcelGetDataChecked(rec, copy.get(), msg.size());
}

std::pair<uint16_t, uint16_t> Descriptor(const std::vector<unsigned char> &msg, size_t at) {
    return {static_cast<uint16_t>(msg[at] << 8 | msg[at + 1]),
            static_cast<uint16_t>(msg[at + 2] << 8 | msg[at + 3])};
}

std::pair<uint16_t, uint16_t> Desc(uint16_t len, uint16_t off) { return {len, off}; }

void SetDescriptor(std::vector<unsigned char> &msg, size_t at, uint16_t len, uint16_t off) {
    ParcelPutInt16(len, msg.data() + at);
    ParcelPutInt16(off, msg.data() + at + 2);
}

bool IsAllZero(const MonData_t &rec) {
    MonData_t zero = ZeroRecord();
    return std::memcmp(&rec, &zero, sizeof rec) == 0;
}

TEST(Parcel, EmptyRecordIsBareHeader) {
    MonData_t rec = ZeroRecord();
    rec.seqNum = 9;
    rec.clientTag = 10;
    std::vector<unsigned char> buf(MON_MSG_MAX, 0xa5);
    ASSERT_EQ(ParcelPutData(&rec, buf.data()), 93);
    EXPECT_EQ(buf[0], 3);
    // Nothing of seqNum/clientTag, every descriptor zero, and the whole
    // buffer written, not only the message.
    for (size_t i = 1; i < MON_MSG_MAX; i++) ASSERT_EQ(buf[i], 0) << "byte " << i;
}

TEST(Parcel, HeaderBytesExact) {
    MonData_t rec = ZeroRecord();
    rec.pid = 1234;
    rec.handleNum = 26;
    rec.recordNum = 7;
    rec.linkPid = 99;
    rec.linkRecordNum = 3;
    rec.seqNum = 0x77777777;
    rec.clientTag = 0x66666666;
    rec.flags = 0x40000001;
    rec.startTime = 0x01020304;
    rec.eventTime = 0x05060708;
    rec.endTime = -2;
    rec.countA = 0xa1b2c3d4;
    rec.countB = 0x00000100;
    rec.status = -1;
    rec.code1 = 1;
    rec.code2 = 2;
    std::vector<unsigned char> msg = Encode(rec);
    ASSERT_EQ(msg.size(), 93u);

    std::vector<unsigned char> want(93, 0);
    want[0] = 3;
    std::memcpy(&want[1], &rec, 20); // key and link key travel raw
    const unsigned char fixed[] = {
        0x40, 0x00, 0x00, 0x01, // flags
        0x01, 0x02, 0x03, 0x04, // startTime
        0x05, 0x06, 0x07, 0x08, // eventTime
        0xff, 0xff, 0xff, 0xfe, // endTime
        0xa1, 0xb2, 0xc3, 0xd4, // countA
        0x00, 0x00, 0x01, 0x00, // countB
        0xff, 0xff, 0xff, 0xff, // status
        0x00, 0x02, 0x00, 0x01, // code2 then code1
    };
    std::memcpy(&want[21], fixed, sizeof fixed);
    EXPECT_EQ(msg, want);

    MonData_t back;
    std::memset(&back, 0xff, sizeof back);
    ASSERT_EQ(DecodeExact(msg, &back), 93);
    rec.seqNum = 0;
    rec.clientTag = 0;
    EXPECT_EQ(std::memcmp(&back, &rec, sizeof rec), 0);
}

TEST(Parcel, AddressesSentWholeInOrderAThenBThenC) {
    MonData_t rec = ZeroRecord();
    rec.addrC[259] = 0x5a; // one non-zero byte is enough
    std::vector<unsigned char> msg = Encode(rec);
    ASSERT_EQ(msg.size(), 93u + 260);
    EXPECT_EQ(Descriptor(msg, 57), Desc(260, 0));
    EXPECT_EQ(Descriptor(msg, 53), Desc(0, 0));
    EXPECT_EQ(Descriptor(msg, 61), Desc(0, 0));
    EXPECT_EQ(std::memcmp(&msg[93], rec.addrC, 260), 0);

    rec = LargestRecord();
    msg = Encode(rec);
    EXPECT_EQ(Descriptor(msg, 53), Desc(260, 0));
    EXPECT_EQ(Descriptor(msg, 61), Desc(260, 260));
    EXPECT_EQ(Descriptor(msg, 57), Desc(260, 520));
    EXPECT_EQ(std::memcmp(&msg[93], rec.addrA, 260), 0);
    EXPECT_EQ(std::memcmp(&msg[93 + 260], rec.addrB, 260), 0);
    EXPECT_EQ(std::memcmp(&msg[93 + 520], rec.addrC, 260), 0);
}

TEST(Parcel, TextsTakeTheirLengthPlusNul) {
    MonData_t rec = ZeroRecord();
    FillText(rec.text1, 127, 'a');
    FillText(rec.text2, 1, 'x');
    FillText(rec.text5, 63, 'm');
    std::strcpy(rec.statusText, "ok");
    rec.dataLen = 3;
    rec.data[0] = 0;
    rec.data[1] = 0xff;
    rec.data[2] = 0;
    std::vector<unsigned char> msg = Encode(rec);
    ASSERT_EQ(msg.size(), 93u + 128 + 2 + 64 + 3 + 3);
    EXPECT_EQ(Descriptor(msg, 65), Desc(128, 0));
    EXPECT_EQ(Descriptor(msg, 69), Desc(2, 128));
    EXPECT_EQ(Descriptor(msg, 73), Desc(0, 0));
    EXPECT_EQ(Descriptor(msg, 81), Desc(64, 130));
    EXPECT_EQ(Descriptor(msg, 85), Desc(3, 194));
    EXPECT_EQ(Descriptor(msg, 89), Desc(3, 197));
    EXPECT_EQ(msg[93 + 127], 0);
    EXPECT_EQ(msg[93 + 128], 'x');
    EXPECT_EQ(msg[93 + 129], 0);
    EXPECT_EQ(std::memcmp(&msg[93 + 194], "ok", 3), 0);
    EXPECT_EQ(msg[93 + 198], 0xff);
}

TEST(Parcel, RoundTripOfLargestRecord) {
    const MonData_t rec = LargestRecord();
    std::vector<unsigned char> msg = Encode(rec);
    ASSERT_EQ(msg.size(), kLargestMsg);

    MonData_t back;
    std::memset(&back, 0xff, sizeof back);
    ASSERT_EQ(DecodeExact(msg, &back), static_cast<int>(kLargestMsg));
    MonData_t want = rec;
    want.seqNum = 0;
    want.clientTag = 0;
    EXPECT_EQ(std::memcmp(&back, &want, sizeof want), 0);
    EXPECT_EQ(back.seqNum, 0u);
    EXPECT_EQ(back.clientTag, 0u);
    EXPECT_EQ(Encode(back), msg);

    // The unchecked entry point reads the same message from a whole buffer.
    std::vector<unsigned char> whole(MON_MSG_MAX, 0xee);
    std::memcpy(whole.data(), msg.data(), msg.size());
    std::memset(&back, 0xff, sizeof back);
    ASSERT_EQ(ParcelGetData(&back, whole.data()), static_cast<int>(kLargestMsg));
    EXPECT_EQ(std::memcmp(&back, &want, sizeof want), 0);
}

TEST(Parcel, EveryTruncatedLengthIsRefused) {
    const std::vector<unsigned char> msg = Encode(LargestRecord());
    for (size_t n = 0; n < msg.size(); n++) {
        std::vector<unsigned char> cut(msg.begin(), msg.begin() + static_cast<long>(n));
        MonData_t rec;
        std::memset(&rec, 0xff, sizeof rec);
        ASSERT_EQ(DecodeExact(cut, &rec), -1) << "length " << n;
        ASSERT_TRUE(IsAllZero(rec)) << "length " << n;
    }
}

TEST(Parcel, LyingMessagesAreRefused) {
    struct Lie {
        const char *what;
        size_t at;      // descriptor offset, or 0 for the type byte
        uint16_t len;
        uint16_t off;
        bool pastReceivedOnly; // inside a whole 2141-byte buffer it is sound
    };
    const Lie lies[] = {
        {"address longer than its field", 53, 261, 0, false},
        {"addrC longer than its field", 57, 261, 520, false},
        {"text longer than its field", 65, 129, 780, false},
        {"text5 longer than its field", 81, 65, 1292, false},
        {"data longer than its field", 89, 513, 1484, false},
        {"span past the message", 89, 512, 1485, true},
        {"offset far past the message", 61, 1, 0xffff, false},
        {"text not ending in NUL", 69, 127, 908, false},
        {"text with an inner NUL", 69, 65, 1291, false},
        {"type byte", 0, 4, 0, false},
    };
    const std::vector<unsigned char> good = Encode(LargestRecord());
    for (const Lie &lie : lies) {
        std::vector<unsigned char> msg = good;
        if (lie.at == 0)
            msg[0] = static_cast<unsigned char>(lie.len);
        else
            SetDescriptor(msg, lie.at, lie.len, lie.off);
        MonData_t rec;
        std::memset(&rec, 0xff, sizeof rec);
        EXPECT_EQ(DecodeExact(msg, &rec), -1) << lie.what;
        EXPECT_TRUE(IsAllZero(rec)) << lie.what;

        // The buffer-sized entry point refuses the same lies.
        if (lie.pastReceivedOnly) continue;
        std::vector<unsigned char> whole(MON_MSG_MAX, 0);
        std::memcpy(whole.data(), msg.data(), msg.size());
        std::memset(&rec, 0xff, sizeof rec);
        EXPECT_EQ(ParcelGetData(&rec, whole.data()), -1) << lie.what;
        EXPECT_TRUE(IsAllZero(rec)) << lie.what;
    }
}

TEST(Parcel, AreaNeverReachesPast2048EvenInALongerBuffer) {
    std::vector<unsigned char> msg(93 + 2100, 0);
    msg[0] = 3;
    SetDescriptor(msg, 89, 100, 2000); // inside the bytes, outside the area
    MonData_t rec;
    EXPECT_EQ(DecodeExact(msg, &rec), -1);
    SetDescriptor(msg, 89, 48, 2000); // ends exactly at 2048
    EXPECT_EQ(DecodeExact(msg, &rec), 93 + 48);
    EXPECT_EQ(rec.dataLen, 48);
}

TEST(Parcel, ToleratedOddities) {
    // An absent field with a stray offset word, and bytes after the message.
    MonData_t src = ZeroRecord();
    std::strcpy(src.text3, "abc");
    std::vector<unsigned char> msg = Encode(src);
    SetDescriptor(msg, 53, 0, 1234);
    msg.resize(msg.size() + 10, 0x77);
    MonData_t rec;
    ASSERT_EQ(DecodeExact(msg, &rec), 93 + 4);
    EXPECT_STREQ(rec.text3, "abc");
    EXPECT_EQ(rec.addrA[0], 0);

    // A short address is accepted and the rest of its block comes out zero.
    SetDescriptor(msg, 53, 2, 0); // the bytes "ab" of the text
    ASSERT_EQ(DecodeExact(msg, &rec), 93 + 4 + 2);
    EXPECT_EQ(rec.addrA[0], 'a');
    EXPECT_EQ(rec.addrA[1], 'b');
    EXPECT_EQ(rec.addrA[2], 0);
}

TEST(Parcel, EncoderKeepsBrokenRecordsInBounds) {
    MonData_t rec = ZeroRecord();
    std::memset(rec.text4, 'q', sizeof rec.text4); // no NUL in the field
    std::memset(rec.text5, 'r', sizeof rec.text5);
    rec.dataLen = 600;
    std::memset(rec.data, 0x3c, sizeof rec.data);
    std::vector<unsigned char> msg = Encode(rec);
    ASSERT_EQ(msg.size(), 93u + 128 + 64 + 512);
    EXPECT_EQ(Descriptor(msg, 77), Desc(128, 0));
    EXPECT_EQ(Descriptor(msg, 81), Desc(64, 128));
    EXPECT_EQ(Descriptor(msg, 89), Desc(512, 192));

    MonData_t back;
    ASSERT_EQ(DecodeExact(msg, &back), static_cast<int>(msg.size()));
    EXPECT_EQ(std::string(back.text4), std::string(127, 'q'));
    EXPECT_EQ(std::string(back.text5), std::string(63, 'r'));
    EXPECT_EQ(back.dataLen, 512);
}

TEST(Parcel, PutVarLenDropsWhatWouldOverflowTheArea) {
    std::vector<unsigned char> area(MON_MSG_AREA_MAX, 0);
    unsigned char desc[8] = {};
    const std::vector<unsigned char> src(100, 0x42);
    uint16_t used = 2000;
    ParcelPutVarLen(src.data(), 100, desc, area.data(), &used);
    EXPECT_EQ(used, 2000);
    for (unsigned char b : desc) EXPECT_EQ(b, 0);
    EXPECT_EQ(area[2000], 0);

    ParcelPutVarLen(src.data(), 48, desc + 4, area.data(), &used);
    EXPECT_EQ(used, 2048);
    EXPECT_EQ(desc[4], 0);
    EXPECT_EQ(desc[5], 48);
    EXPECT_EQ(desc[6], 0x07);
    EXPECT_EQ(desc[7], 0xd0);
    EXPECT_EQ(area[2000], 0x42);
    EXPECT_EQ(area[2047], 0x42);

    uint16_t len = 0xffff;
    std::vector<unsigned char> out(48, 0);
    ParcelGetVarLen(out.data(), &len, desc + 4, area.data());
    EXPECT_EQ(len, 48);
    EXPECT_EQ(out, std::vector<unsigned char>(48, 0x42));
    ParcelGetVarLen(out.data(), &len, desc, area.data());
    EXPECT_EQ(len, 0);
}

TEST(Parcel, BigEndianHelpersAtOddAddresses) {
    unsigned char buf[7] = {};
    ParcelPutInt32(0x89abcdef, buf + 1);
    ParcelPutInt16(0xfe01, buf + 5);
    const unsigned char want[7] = {0, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0x01};
    EXPECT_EQ(std::memcmp(buf, want, sizeof want), 0);
    uint32_t v32 = 0;
    uint16_t v16 = 0;
    ParcelGetInt32(&v32, buf + 1);
    ParcelGetInt16(&v16, buf + 5);
    EXPECT_EQ(v32, 0x89abcdefu);
    EXPECT_EQ(v16, 0xfe01);
}

TEST(Parcel, KeyText) {
    char buf[MON_KEYSTR_SIZE];
    EXPECT_EQ(MonKeyStr(1234, 26, 7, buf), buf);
    EXPECT_STREQ(buf, "<1234,1a,7>");
    std::memset(buf, 'z', sizeof buf);
    MonKeyStr(0xffffffffu, 0xffffffffu, 0xffff, buf);
    EXPECT_STREQ(buf, "<4294967295,ffffffff,65535>");
    EXPECT_EQ(std::strlen(buf) + 1, static_cast<size_t>(MON_KEYSTR_SIZE));
}

} // namespace
