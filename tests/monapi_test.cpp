// The generic handle API: every refusal path, that a refusal never touches the
// handle, and that an accepted call returns exactly what the slot returns.
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include <cerrno>

#include "monitor.h"

namespace {

int calls;
int lastMode;
int FakeClose(MonHandle_t *) { ++calls; return 7; }
int FakePut(MonHandle_t *, const MonData_t *) { ++calls; return 11; }
int FakeGet(MonHandle_t *, MonData_t *) { ++calls; return 13; }
int FakeGetNext(MonHandle_t *, int mode, MonData_t *) { ++calls; lastMode = mode; return 17; }

class MonApi : public testing::Test {
  protected:
    void SetUp() override {
        setenv("QUELM_DEBUG", "", 1);
        setenv("QUELM_LOG_STDERR", "", 1);
        calls = 0;
        memset(&h, 0, sizeof h);
        h.closeFn = FakeClose;
        h.putFn = FakePut;
        h.getFn = FakeGet;
        h.getNextFn = FakeGetNext;
        memset(&rec, 0, sizeof rec);
    }
    // Runs all four calls and returns their results and the log.
    std::string All(MonHandle_t *p, int res[4]) {
        testing::internal::CaptureStderr();
        res[0] = QxMonClose(p);
        res[1] = QxMonSendData(p, &rec);
        res[2] = QxMonRecvData(p, &rec);
        res[3] = QxMonRecvNextData(p, 5, &rec);
        return testing::internal::GetCapturedStderr();
    }
    MonHandle_t h;
    MonData_t rec;
};

TEST_F(MonApi, NullHandle) {
    int r[4];
    std::string log = All(nullptr, r);
    for (int v : r) EXPECT_EQ(v, -1);
    EXPECT_EQ(log.find("QxMonClose"), std::string::npos);  // close logs nothing
    EXPECT_NE(log.find("QxMonSendData: invalid handle=0x0 specified"), std::string::npos);
    EXPECT_NE(log.find("QxMonRecvData: invalid handle=0x0 specified"), std::string::npos);
    EXPECT_NE(log.find("QxMonRecvNextData : invalid handle=0x0 specified"), std::string::npos);
}

TEST_F(MonApi, HandleUnderConstructionIsRefusedUntouched) {
    h.magic = MON_MAGIC_DEAD;
    MonHandle_t before = h;
    int r[4];
    std::string log = All(&h, r);
    for (int v : r) EXPECT_EQ(v, -1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(memcmp(&before, &h, sizeof h), 0);
    char addr[64];
    snprintf(addr, sizeof addr, "bad handle=0x%lx specified", reinterpret_cast<unsigned long>(&h));
    EXPECT_NE(log.find(std::string("QxMonClose(): ") + addr), std::string::npos) << log;
}

TEST_F(MonApi, AcceptedMagicsPerFunction) {
    struct Case { uint32_t magic; int close, put, get, next; } cases[] = {
        {MON_MAGIC_STORE, 7, 11, 13, 17},  {MON_MAGIC_FIFO, 7, 11, -1, 17},
        {MON_MAGIC_VIEWER, 7, 11, 13, 17}, {MON_MAGIC_PROXY, 7, -1, -1, -1},
        {MON_MAGIC_SPARE, 7, 11, -1, -1},  {MON_MAGIC_MUTEX, 7, -1, -1, -1},
        {0x12345678u, -1, -1, -1, -1},
    };
    for (auto &c : cases) {
        h.magic = c.magic;
        int r[4];
        All(&h, r);
        EXPECT_EQ(r[0], c.close) << std::hex << c.magic;
        EXPECT_EQ(r[1], c.put) << std::hex << c.magic;
        EXPECT_EQ(r[2], c.get) << std::hex << c.magic;
        EXPECT_EQ(r[3], c.next) << std::hex << c.magic;
    }
}

TEST_F(MonApi, EmptySlotIsRefusedEvenForAnAcceptedKind) {
    h.magic = MON_MAGIC_FIFO;
    h.getNextFn = nullptr;  // a pipe writer
    h.getFn = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(QxMonRecvNextData(&h, 0, &rec), -1);
    EXPECT_EQ(QxMonRecvData(&h, &rec), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(calls, 0);
    EXPECT_NE(log.find("QxMonRecvNextData : invalid handle"), std::string::npos);
    h.magic = MON_MAGIC_VIEWER;
    h.putFn = nullptr;
    errno = EAGAIN;  // a refusal must not leave an errno from before it
    EXPECT_EQ(QxMonSendData(&h, &rec), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(calls, 0);
}

TEST_F(MonApi, ArgumentsPassThrough) {
    h.magic = MON_MAGIC_STORE;
    EXPECT_EQ(QxMonRecvNextData(&h, 42, &rec), 17);
    EXPECT_EQ(lastMode, 42);
}

}  // namespace
