// The generic handle API: every refusal path, that a refusal never touches the
// handle, and that an accepted call returns exactly what the slot returns.
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include <cerrno>

#include "monitor.h"
#include "monapi_internal.h"
#include "log_support.h"

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

// Building handles: what every opener relies on.
namespace {

int allocCalls;
int failAt; // 1-based allocation that fails; 0: none
void *CountedCalloc(size_t n, size_t size) {
    ++allocCalls;
    return allocCalls == failAt ? nullptr : calloc(n, size);
}

struct Priv {
    int a;
    unsigned char big[3000];
};

}  // namespace

TEST_F(MonApi, NewHandleIsRefusedUntilItsOpenerSetsTheMagic) {
    const quelm::HandleOps ops = {nullptr, FakeClose, FakePut, nullptr, FakeGetNext};
    MonHandle_t *p = quelm::HandleNew(ops, sizeof(Priv), "/tmp/x");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->magic, MON_MAGIC_DEAD);
    EXPECT_STREQ(p->path, "/tmp/x");
    EXPECT_EQ(p->getFn, nullptr);
    auto *priv = static_cast<Priv *>(p->priv);
    ASSERT_NE(priv, nullptr);
    for (unsigned char b : priv->big) ASSERT_EQ(b, 0);
    int res[4];
    const std::string log = All(p, res);
    EXPECT_EQ(calls, 0);
    for (int r : res) EXPECT_EQ(r, -1);
    p->magic = MON_MAGIC_FIFO;
    EXPECT_EQ(QxMonSendData(p, &rec), 11);
    EXPECT_EQ(QxMonRecvNextData(p, 2, &rec), 17);
    quelm::HandleFree(p);  // leak-checked under the sanitizers
    quelm::HandleFree(nullptr);
}

TEST_F(MonApi, NewHandleKeepsAtMost255PathCharacters) {
    const std::string longPath(400, 'p');
    MonHandle_t *p = quelm::HandleNew({}, 1, longPath.c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(strlen(p->path), 255u);
    quelm::HandleFree(p);
    p = quelm::HandleNew({}, 1, nullptr);
    ASSERT_NE(p, nullptr);
    for (char c : p->path) EXPECT_EQ(c, 0);
    quelm::HandleFree(p);
}

TEST_F(MonApi, NewHandleFailingEitherAllocationLeavesNothing) {
    for (int which : {1, 2}) {
        allocCalls = 0;
        failAt = which;
        errno = 0;
        EXPECT_EQ(quelm::HandleNew({}, sizeof(Priv), "x", CountedCalloc), nullptr);
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_EQ(allocCalls, 2);  // the other block was taken, and freed (ASan checks)
    }
    failAt = 0;
}
