// The shared record store: the exact bytes of a new segment, the allocator's
// ring, the hash table's probing and limits, the change bits of every slot,
// clean-ups, and several processes working on the same records at once.
// Runs under quelm_isolate: /tmp/mon.mmap and the semaphores are private.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Shelf_internal.h"
#include "monitor.h"
#include "semgate_internal.h"
#include "log_support.h"

using namespace quelm;

namespace {

// Messages go to stderr so that tests can see them; the default log handle
// reads the environment once, at its first message.
const bool kLogToStderr = [] {
    setenv("QUELM_DEBUG", "", 1);
    setenv("QUELM_LOG_STDERR", "1", 1);
    return true;
}();

constexpr uint32_t kArenaUnits = 131056;  // the whole arena as one block
constexpr uint32_t kTableUnits = 256;     // 509 entries
constexpr uint32_t kRecordUnits = 259;    // one 2060-byte record

// ---- looking at the segment from outside ----------------------------------

ShelfHeader_t *Hdr() { return static_cast<ShelfHeader_t *>(shelfPtr); }
unsigned char *Base() { return static_cast<unsigned char *>(shelfPtr); }
uint32_t Off(const void *p) {
    return p == nullptr ? 0 : static_cast<uint32_t>(static_cast<const unsigned char *>(p) - Base());
}
template <class T>
T *At(uint32_t off) {
    return reinterpret_cast<T *>(Base() + off);
}
uint32_t *Table() { return At<uint32_t>(Hdr()->hashTable); }
ShelfClient_t *Client(MonHandle_t *h) { return static_cast<ShelfClient_t *>(h->priv); }
int SemIdOf(MonHandle_t *mutex) { return static_cast<MonMutex_t *>(mutex->priv)->semId; }

MonData_t Key(uint32_t pid, uint32_t handleNum, uint16_t recordNum) {
    MonData_t r;
    memset(&r, 0, sizeof r);
    r.pid = pid;
    r.handleNum = handleNum;
    r.recordNum = recordNum;
    return r;
}

// Fills every field a writer owns from one counter, so that a record mixed
// from two puts is recognisable.
void Fill(MonData_t &r, uint32_t counter) {
    r.countA = counter;
    r.countB = ~counter;
    r.status = static_cast<int32_t>(counter * 3);
    memset(r.addrC, static_cast<int>(counter >> 8), sizeof r.addrC);
    memset(r.text1, 'a' + static_cast<int>(counter % 26), sizeof r.text1 - 1);
    r.text1[sizeof r.text1 - 1] = '\0';
    for (size_t j = 0; j < sizeof r.data; ++j) r.data[j] = static_cast<unsigned char>(counter + j);
    r.dataLen = sizeof r.data;
}

bool Consistent(const MonData_t &r) {
    const uint32_t c = r.countA;
    if (r.countB != ~c || r.status != static_cast<int32_t>(c * 3)) return false;
    for (unsigned char b : r.addrC)
        if (b != static_cast<unsigned char>(c >> 8)) return false;
    for (size_t j = 0; j + 1 < sizeof r.text1; ++j)
        if (r.text1[j] != 'a' + static_cast<int>(c % 26)) return false;
    for (size_t j = 0; j < sizeof r.data; ++j)
        if (r.data[j] != static_cast<unsigned char>(c + j)) return false;
    return r.dataLen == sizeof r.data;
}

struct Ring {
    std::vector<std::pair<uint32_t, uint32_t>> blocks;  // offset, units (sentinel first)
    std::string fault;                                  // empty when sound
    uint64_t FreeUnits() const {
        uint64_t n = 0;
        for (auto &b : blocks) n += b.second;
        return n;
    }
};

// Walks the free ring from the sentinel: it must come back to the sentinel
// in strictly ascending address order, with no two blocks overlapping or
// touching (touching ones should have been merged), all inside the arena.
Ring WalkRing() {
    Ring ring;
    uint32_t off = 116;
    for (int step = 0; step < 200000; ++step) {
        auto *b = At<MmapBlock_t>(off);
        ring.blocks.emplace_back(off, b->units);
        uint32_t next = b->next;
        if (next == 116) return ring;
        uint64_t end = uint64_t{off} + uint64_t{b->units} * 8;
        if (next <= off) ring.fault = "ring not address-ordered at " + std::to_string(off);
        else if (end >= next) ring.fault = "free blocks overlap or touch at " + std::to_string(off);
        else if (next < 124 || next > 1048572 - 8) ring.fault = "link outside arena";
        if (!ring.fault.empty()) return ring;
        off = next;
    }
    ring.fault = "ring does not close";
    return ring;
}

// Free units plus every block in use must make up the whole arena.
void ExpectAccounted(uint64_t extraUnits = 0) {
    Ring ring = WalkRing();
    ASSERT_EQ(ring.fault, "");
    EXPECT_EQ(ring.FreeUnits() + kTableUnits + uint64_t{kRecordUnits} * Hdr()->hashCount + extraUnits,
              kArenaUnits);
}

pid_t DeadPid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

int ExitCode(pid_t pid) {
    int st = 0;
    if (waitpid(pid, &st, 0) != pid) return -100;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
}

int ReadId(const char *path) {
    char buf[32] = {};
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    return n > 0 ? atoi(buf) : -1;
}

// Removes what a test left in the private /tmp and IPC namespace.
void RemoveStore() {
    for (const char *p : {"/tmp/mon.free.mutex", "/tmp/mon.hash.mutex"}) {
        int id = ReadId(p);
        if (id >= 0) semctl(id, 0, IPC_RMID);
        unlink(p);
    }
    unlink("/tmp/mon.mmap");
}

int Waiters(int semId) { return semctl(semId, 0, GETZCNT); }
bool WaitForWaiter(int semId) {
    for (int i = 0; i < 500; ++i) {
        if (Waiters(semId) >= 1) return true;
        usleep(10000);
    }
    return false;
}

void NoOp(int) {}

// Routes the store's kill() to a fake for one scope: every call fails with
// err (or succeeds when err is 0) and is counted.
class FakeKill {
public:
    explicit FakeKill(int err) : sys_(shelfSys) {
        error = err;
        calls = 0;
        sys_->kill = [](pid_t, int sig) -> int {
            ++calls;
            signals += sig != 0 ? 1 : 0;
            if (error == 0) return 0;
            errno = error;
            return -1;
        };
    }
    static inline int error = 0;
    static inline int calls = 0;
    static inline int signals = 0;  // calls that would have sent a signal

private:
    SeamOverride<ShelfSys_t> sys_;
};

// A process forked before the test opens anything, so that its opens are
// those of a process with no store handle; it obeys commands over a pipe.
class Worker {
public:
    enum Op { kOpen, kClose, kState, kMappedPages, kExit };
    Worker() {
        if (pipe(cmd_) != 0 || pipe(resp_) != 0) abort();
        pid_ = fork();
        if (pid_ == 0) {
            close(cmd_[1]);
            close(resp_[0]);
            Serve();
        }
        close(cmd_[0]);
        close(resp_[1]);
    }
    ~Worker() {
        if (pid_ > 0) Quit();
        close(cmd_[1]);
        close(resp_[0]);
    }
    int Ask(Op op, int arg = 0) {
        int msg[2] = {op, arg};
        if (write(cmd_[1], msg, sizeof msg) != sizeof msg) return -999;
        int r;
        return read(resp_[0], &r, sizeof r) == sizeof r ? r : -999;
    }
    // Ends the process without closing its handle, and reaps it.
    void Quit() {
        Ask(kExit);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }

private:
    [[noreturn]] void Serve() {
        MonHandle_t *h = nullptr;
        for (;;) {
            int msg[2];
            if (read(cmd_[0], msg, sizeof msg) != sizeof msg) _exit(0);
            int r = 0;
            switch (msg[0]) {
                case kOpen:
                    r = QxMonMemOpen("ignored", msg[1], &h);
                    if (r != 0 && h != nullptr) r = -2;  // a failed open must leave it null
                    break;
                case kClose:
                    r = ShelfClose(h);
                    h = nullptr;
                    break;
                case kState:
                    r = ShelfOpenCount() | (shelfPtr != nullptr ? 0x100 : 0) |
                        (ShelfMapFd() >= 0 ? 0x200 : 0);
                    break;
                case kMappedPages:
                    r = static_cast<int>(shelf::mmapSize / 4096);
                    break;
                default:
                    (void)write(resp_[1], &r, sizeof r);
                    _exit(0);
            }
            if (write(resp_[1], &r, sizeof r) != sizeof r) _exit(1);
        }
    }
    int cmd_[2];
    int resp_[2];
    pid_t pid_;
};

// ---- a store opened by the daemon's slot ---------------------------------------

class Store : public testing::Test {
protected:
    void SetUp() override {
        RemoveStore();
        d = Open(0);
        ASSERT_NE(d, nullptr);
    }
    void TearDown() override {
        for (auto it = handles.rbegin(); it != handles.rend(); ++it) ShelfClose(*it);
        handles.clear();
        EXPECT_EQ(ShelfOpenCount(), 0);
        RemoveStore();
    }
    MonHandle_t *Open(int slot) {
        MonHandle_t *h = nullptr;
        if (QxMonMemOpen(nullptr, slot, &h) != 0) return nullptr;
        handles.push_back(h);
        return h;
    }
    void Close(MonHandle_t *h) {
        std::erase(handles, h);
        EXPECT_EQ(ShelfClose(h), 0);
    }
    // Puts a record with the given key and flags; returns ShelfPut's result.
    int Put(uint32_t pid, uint32_t handleNum, uint32_t flags, uint32_t counter = 7,
            MonData_t *out = nullptr) {
        MonData_t r = Key(pid, handleNum, 0);
        Fill(r, counter);
        r.flags = flags;
        int rc = ShelfPut(d, &r);
        if (out != nullptr) *out = r;
        return rc;
    }
    MonData_t *Stored(uint32_t pid, uint32_t handleNum) {
        MonData_t k = Key(pid, handleNum, 0);
        return ShelfDataPtr(d, &k);
    }

    MonHandle_t *d = nullptr;
    std::vector<MonHandle_t *> handles;
    const uint32_t me = static_cast<uint32_t>(getpid());
};

TEST_F(Store, NewSegmentHasExactLayout) {
    struct stat st;
    ASSERT_EQ(stat("/tmp/mon.mmap", &st), 0);
    EXPECT_EQ(st.st_size, 1049600);
    EXPECT_EQ(st.st_mode & 077, 0u);  // the owner's alone

    EXPECT_EQ(d->magic, MON_MAGIC_STORE);
    EXPECT_STREQ(d->path, "/tmp/mon.mmap");
    EXPECT_EQ(d->putFn, ShelfPut);
    EXPECT_EQ(d->getNextFn, ShelfGetNext);
    EXPECT_EQ(Client(d)->client, 0);
    EXPECT_EQ(Client(d)->cursor, 0);

    ShelfHeader_t *h = Hdr();
    EXPECT_EQ(h->self, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(shelfPtr)));
    EXPECT_EQ(h->segSize, 1048576u);
    EXPECT_EQ(h->clientPid[0], me);
    for (int s = 1; s < 10; ++s) EXPECT_EQ(h->clientPid[s], 0u) << s;
    EXPECT_EQ(h->hashSize, 509u);
    EXPECT_EQ(h->hashCount, 0u);
    EXPECT_EQ(h->hashDeleted, 0u);
    EXPECT_EQ(h->putCount, 0u);
    EXPECT_EQ(h->hashTable, 1046532u);
    EXPECT_EQ(h->rover, 116u);
    EXPECT_EQ(h->sentinel.next, 124u);
    EXPECT_EQ(h->sentinel.units, 0u);
    EXPECT_EQ(At<MmapBlock_t>(124)->next, 116u);
    EXPECT_EQ(At<MmapBlock_t>(124)->units, 130800u);
    EXPECT_EQ(At<MmapBlock_t>(1046524)->units, 256u);
    // Everything else is zero: reserved words, the arena, the table.
    for (uint32_t w : h->reserved1) EXPECT_EQ(w, 0u);
    EXPECT_EQ(h->reserved2, 0u);
    size_t nonZero = 0;
    for (uint32_t off = 132; off < 1046524; ++off) nonZero += Base()[off] != 0;
    for (uint32_t off = 1046532; off < 1048576; ++off) nonZero += Base()[off] != 0;
    EXPECT_EQ(nonZero, 0u);
}

TEST_F(Store, AllocatorCarvesFromTheTail) {
    void *a = MmapAlloc(d, 2060);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Off(a), 1044460u);
    EXPECT_EQ(At<MmapBlock_t>(1044452)->units, 259u);
    EXPECT_EQ(At<MmapBlock_t>(124)->units, 130800u - 259u);
    EXPECT_EQ(Hdr()->rover, 116u);
    // Zero bytes take a bare header and still give a usable address.
    void *z = MmapAlloc(d, 0);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(Off(z), 1044452u);
    EXPECT_EQ(At<MmapBlock_t>(1044444)->units, 1u);
    ExpectAccounted(259 + 1);
    MmapFree(d, z);
    MmapFree(d, a);
    ExpectAccounted();
}

TEST_F(Store, AllocatorUnlinksExactFitAndMergesBothNeighbours) {
    void *a = MmapAlloc(d, 2060);  // highest, just under the table
    void *b = MmapAlloc(d, 2060);
    void *c = MmapAlloc(d, 2060);  // lowest, just over the big free block
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(Off(a) - Off(b), 2072u);
    EXPECT_EQ(Off(b) - Off(c), 2072u);

    // a alone becomes a second free block; the next request of its exact
    // size takes it whole instead of splitting the big block.
    MmapFree(d, a);
    Ring ring = WalkRing();
    ASSERT_EQ(ring.fault, "");
    ASSERT_EQ(ring.blocks.size(), 3u);
    EXPECT_EQ(ring.blocks[2], std::make_pair(Off(a) - 8, 259u));
    void *again = MmapAlloc(d, 2060);
    EXPECT_EQ(again, a);
    EXPECT_EQ(WalkRing().blocks.size(), 2u);

    // Free the outer two, then the middle one: all three and the big block
    // merge; a, above, stays apart until it is freed as well.
    MmapFree(d, c);  // merges down into the big block
    EXPECT_EQ(WalkRing().blocks.size(), 2u);
    MmapFree(d, a);
    EXPECT_EQ(WalkRing().blocks.size(), 3u);
    MmapFree(d, b);
    ring = WalkRing();
    ASSERT_EQ(ring.fault, "");
    ASSERT_EQ(ring.blocks.size(), 2u);
    EXPECT_EQ(ring.blocks[1], std::make_pair(124u, 130800u));

    // Freeing the table too restores the arena as one block.
    MmapFree(d, At<unsigned char>(Hdr()->hashTable));
    ring = WalkRing();
    ASSERT_EQ(ring.fault, "");
    ASSERT_EQ(ring.blocks.size(), 2u);
    EXPECT_EQ(ring.blocks[1], std::make_pair(124u, kArenaUnits));
    Hdr()->hashTable = 0;  // nothing may use it now
    Hdr()->hashSize = 0;
}

TEST_F(Store, FreeOfABadAddressLogsAndChangesNothing) {
    void *a = MmapAlloc(d, 2060);
    void *b = MmapAlloc(d, 2060);
    ASSERT_TRUE(a && b);
    MmapFree(d, a);  // a is now a free block of its own
    std::vector<unsigned char> before(Base(), Base() + 1048576);

    int local = 0;
    testing::internal::CaptureStderr();
    MmapFree(d, Base() + 100);                                  // below the arena
    MmapFree(d, Base() + 124);                                  // would free the sentinel
    MmapFree(d, Base() + 1048576 - 2);                          // past segSize - 4
    MmapFree(d, &local);                                        // not in the mapping
    MmapFree(d, static_cast<unsigned char *>(b) + 4);           // off the 8-byte grid
    MmapFree(d, a);                                             // double free
    MmapFree(d, static_cast<unsigned char *>(a) + 16);          // inside a free block
    MmapFree(d, Base() + 1000);                                 // inside the big free block
    std::string log = testing::internal::GetCapturedStderr();

    size_t count = 0;
    for (size_t at = 0; (at = log.find("MmapFree: can't free bad addr=0x", at)) != std::string::npos; ++at)
        ++count;
    EXPECT_EQ(count, 8u) << log;
    EXPECT_TRUE(memcmp(before.data(), Base(), before.size()) == 0) << "segment changed";
    MmapFree(d, b);
    ExpectAccounted();
}

TEST_F(Store, AllocationFailuresLogAndKeepTheRover) {
    testsupport::EveryLogLine everyLine;  // each case finds its line, repeats included
    const uint32_t rover = Hdr()->rover;
    testing::internal::CaptureStderr();
    EXPECT_EQ(MmapAlloc(d, 2000000), nullptr);
    EXPECT_EQ(MmapAlloc(d, 0xffffffffu), nullptr);  // no wrap to a tiny block
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("MmapAlloc: no more free shared memory"), std::string::npos) << log;
    EXPECT_EQ(Hdr()->rover, rover);

    for (uint32_t bad : {0x80000u, 0xfffffu, 0u, 0x200000u}) {
        Hdr()->segSize = bad;
        testing::internal::CaptureStderr();
        EXPECT_EQ(MmapAlloc(d, 8), nullptr) << bad;
        log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("MmapAlloc: Could not map memory mapped file"), std::string::npos) << bad;
    }
    Hdr()->segSize = 1048576;
    ExpectAccounted();
}

TEST(ShelfHash, KeyHashAndPrimes) {
    MonData_t k = Key(12345, 0, 1);
    EXPECT_EQ(Hash(&k), 0x30000239u);
    EXPECT_EQ(Hash(&k) % 509, 222u);
    EXPECT_EQ(Hash(&k) % 505, 102u);
    MonData_t z = Key(0, 0, 0);
    EXPECT_EQ(Hash(&z), 0u);
    // Only the 10 key bytes count.
    MonData_t k2 = k;
    k2.linkPid = 99;
    EXPECT_EQ(Hash(&k2), Hash(&k));

    EXPECT_EQ(Prime(506), 509);
    for (int n = -3; n <= 5; ++n) EXPECT_EQ(Prime(n), 5) << n;
    EXPECT_EQ(Prime(9), 11);
    EXPECT_EQ(Prime(25), 29);
    EXPECT_EQ(Prime(510), 521);
    EXPECT_EQ(Prime(509), 509);
    EXPECT_EQ(Prime(121), 127);
}

TEST_F(Store, ProbeRestartsThenGoesLinear) {
    MonData_t k = Key(12345, 0, 1);
    EXPECT_EQ(HashIndex(&k), 222);
    MonData_t kx = Key(1, 1, 1), ky = Key(2, 2, 2);
    MonData_t *rx = ShelfCreateData(d, &kx);
    MonData_t *ry = ShelfCreateData(d, &ky);
    ASSERT_TRUE(rx && ry);
    uint32_t *t = Table();
    const int ix = HashIndex(&kx), iy = HashIndex(&ky);
    t[ix] = 0;
    t[iy] = 0;
    // Another key in the first place: restart at hash mod 505.
    t[222] = Off(rx);
    EXPECT_EQ(HashIndex(&k), 102);
    // And in that one too: from there on, one by one.
    t[102] = Off(ry);
    EXPECT_EQ(HashIndex(&k), 103);
    // A deleted marker never ends a search and is never reused.
    t[103] = 1;
    EXPECT_EQ(HashIndex(&k), 104);
    MonData_t *rk = ShelfCreateData(d, &k);
    ASSERT_NE(rk, nullptr);
    EXPECT_EQ(t[104], Off(rk));
    EXPECT_EQ(HashIndex(&k), 104);
    t[222] = t[102] = t[103] = t[104] = 0;
}

TEST_F(Store, TableHolds382LiveRecords) {
    for (uint32_t i = 0; i < 382; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_START), 0) << i;
    EXPECT_EQ(Hdr()->hashCount, 382u);
    // Full of live sessions: the purge frees nothing, so the 383rd is
    // refused, and "store full" is logged once for the whole episode.
    testing::internal::CaptureStderr();
    MonData_t k = Key(me, 382, 0);
    EXPECT_EQ(ShelfCreateData(d, &k), nullptr);
    EXPECT_EQ(Put(me, 382, MON_FLAG_START), -1);
    EXPECT_EQ(Put(me, 383, MON_FLAG_START), -1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("store full, 382 live records"), std::string::npos) << log;
    EXPECT_EQ(log.find("store full"), log.rfind("store full")) << log;
    EXPECT_EQ(Hdr()->hashCount, 382u);
    for (uint32_t i = 0; i < 382; ++i) EXPECT_NE(Stored(me, i), nullptr) << i;
    // Stored keys still take puts.
    EXPECT_EQ(Put(me, 5, MON_FLAG_START), 0);
    ExpectAccounted();
}

// The store used to stay full for good: the load check refused before any
// clean-up could run.  Ended sessions that every reader has seen now make
// room for the next one, and a new episode logs again.
TEST_F(Store, FullStoreRecoversOnceItsSessionsEnd) {
    MonHandle_t *v6 = Open(6);
    ASSERT_NE(v6, nullptr);
    for (uint32_t i = 0; i < 382; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_START), 0) << i;
    for (uint32_t i = 0; i < 382; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_END), 0) << i;
    MonData_t g;
    int read = 0;
    while (ShelfGetNext(v6, 0, &g) == 1) ++read;
    EXPECT_EQ(read, 382);

    testing::internal::CaptureStderr();
    ASSERT_EQ(Put(me, 1000, MON_FLAG_START), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("store full"), std::string::npos) << log;
    EXPECT_EQ(Hdr()->hashCount, 1u);  // the read, ended records were purged
    ASSERT_EQ(ShelfGetNext(v6, 0, &g), 1);
    EXPECT_EQ(g.handleNum, 1000u);
    EXPECT_EQ(g.flags, MON_FLAG_START);
    ExpectAccounted();
}

// Ended records that a viewer has not read are kept by a gentle purge; only
// when that frees nothing does the forced one drop them, counted in the log,
// and the viewer (a made-up slot 7 holder) is left alone.
TEST_F(Store, FullStoreOfUnreadEndsIsPurgedByForce) {
    FakeKill fake(0);
    ShelfClaimSlot(7, 4242);
    for (uint32_t i = 0; i < 382; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_START | MON_FLAG_END), 0);
    EXPECT_EQ(Hdr()->hashCount, 382u);
    FakeKill::signals = 0;
    testing::internal::CaptureStderr();
    ASSERT_EQ(Put(me, 1000, MON_FLAG_START), 0);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("382 ended records dropped before every reader had read them"), std::string::npos) << log;
    EXPECT_EQ(FakeKill::signals, 0);
    EXPECT_EQ(Hdr()->hashCount, 1u);
    EXPECT_NE(Stored(me, 1000), nullptr);
    ExpectAccounted();
}

TEST_F(Store, MarkersForceARebuildAtTheSameSize) {
    for (uint32_t i = 0; i < 382; ++i) {
        MonData_t k = Key(me, i, 0);
        ASSERT_NE(ShelfCreateData(d, &k), nullptr);
    }
    for (uint32_t i = 0; i < 132; ++i) {
        MonData_t k = Key(me, i, 0);
        ASSERT_EQ(ShelfDeleteData(d, &k), 0);
    }
    EXPECT_EQ(Hdr()->hashCount, 250u);
    EXPECT_EQ(Hdr()->hashDeleted, 132u);
    const uint32_t oldTable = Hdr()->hashTable;
    MonData_t k = Key(me, 1000, 0);
    ASSERT_NE(ShelfCreateData(d, &k), nullptr);
    EXPECT_EQ(Hdr()->hashSize, 509u);
    EXPECT_EQ(Hdr()->hashDeleted, 0u);
    EXPECT_EQ(Hdr()->hashCount, 251u);
    EXPECT_NE(Hdr()->hashTable, oldTable);
    size_t live = 0, markers = 0;
    for (uint32_t i = 0; i < 509; ++i) {
        live += Table()[i] > 1;
        markers += Table()[i] == 1;
    }
    EXPECT_EQ(live, 251u);
    EXPECT_EQ(markers, 0u);
    for (uint32_t i = 132; i < 382; ++i) EXPECT_NE(Stored(me, i), nullptr) << i;
    ExpectAccounted();
}

TEST_F(Store, DeleteCreateAndLookupKeepTheirContracts) {
    MonData_t k = Key(4242, 7, 3);
    MonData_t *r = ShelfCreateData(d, &k);
    ASSERT_NE(r, nullptr);
    const int first = HashIndex(&k);
    EXPECT_EQ(static_cast<uint32_t>(first), Hash(&k) % 509);
    EXPECT_EQ(ShelfDataPtr(d, &k), r);

    // Creating a present key hands back the same record cleared.
    r->countA = 5;
    r->flags = 0x1234;
    EXPECT_EQ(ShelfCreateData(d, &k), r);
    EXPECT_EQ(r->countA, 0u);
    EXPECT_EQ(r->flags, 0u);
    EXPECT_EQ(memcmp(r, &k, 10), 0);
    EXPECT_EQ(Hdr()->hashCount, 1u);

    // Deleting an absent key is no error and changes no counter.
    MonData_t absent = Key(4242, 7, 4);
    EXPECT_EQ(ShelfDeleteData(d, &absent), 0);
    EXPECT_EQ(Hdr()->hashCount, 1u);
    EXPECT_EQ(Hdr()->hashDeleted, 0u);

    EXPECT_EQ(ShelfDeleteData(d, &k), 0);
    EXPECT_EQ(Table()[first], 1u);
    EXPECT_EQ(Hdr()->hashCount, 0u);
    EXPECT_EQ(Hdr()->hashDeleted, 1u);
    EXPECT_EQ(ShelfDataPtr(d, &k), nullptr);

    // Re-created, it lands in the first empty entry of its path; its old
    // entry stays a marker.
    ASSERT_NE(ShelfCreateData(d, &k), nullptr);
    EXPECT_EQ(Table()[first], 1u);
    EXPECT_EQ(static_cast<uint32_t>(HashIndex(&k)), Hash(&k) % 505);
    EXPECT_EQ(Hdr()->hashCount, 1u);
    ExpectAccounted();
}

TEST_F(Store, IterationWrapsAfterTheLastEntry) {
    // A key whose first index is 508, the last entry.
    MonData_t k;
    uint32_t pid = 1;
    for (;; ++pid) {
        k = Key(pid, 0, 0);
        if (Hash(&k) % 509 == 508) break;
    }
    MonData_t *r = ShelfCreateData(d, &k);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(Table()[508], Off(r));
    EXPECT_EQ(ShelfIterate(d), r);
    EXPECT_EQ(Client(d)->cursor, 509);
    EXPECT_EQ(ShelfIterate(d), nullptr);
    EXPECT_EQ(Client(d)->cursor, 0);
    EXPECT_EQ(ShelfIterate(d), r);
}

TEST_F(Store, WalkVisitsEveryLiveRecordUnderTheHashLock) {
    ASSERT_EQ(Put(me, 1, MON_FLAG_START), 0);
    ASSERT_EQ(Put(me, 2, MON_FLAG_START), 0);
    ASSERT_EQ(Put(me, 3, MON_FLAG_START), 0);
    MonData_t k = Key(me, 2, 0);
    ASSERT_EQ(ShelfDeleteData(d, &k), 0);
    struct Seen { int count; int lockValue; MonHandle_t *mutex; } seen{0, -1, Client(d)->hashMutex};
    int visited = ShelfWalk(
        d,
        [](MonData_t *rec, void *ctx) {
            auto *s = static_cast<Seen *>(ctx);
            ++s->count;
            rec->clientTag = 0xC0FFEEu;  // changed in place
            s->lockValue = MonMutexQuery(s->mutex);
        },
        &seen);
    EXPECT_EQ(visited, 2);
    EXPECT_EQ(seen.count, 2);
    EXPECT_EQ(seen.lockValue, 1);  // held while the records were visited
    EXPECT_EQ(Stored(me, 1)->clientTag, 0xC0FFEEu);
    EXPECT_EQ(Stored(me, 3)->clientTag, 0xC0FFEEu);
    EXPECT_EQ(MonMutexQuery(Client(d)->hashMutex), 0);  // released afterwards
}

// ---- puts, gets and change bits --------------------------------------------------

TEST_F(Store, PutWithoutStartCreatesNothing) {
    EXPECT_EQ(Put(me, 1, MON_FLAG_UPDATE), -1);
    EXPECT_EQ(Put(me, 1, 0), -1);
    EXPECT_EQ(Hdr()->hashCount, 0u);
    EXPECT_EQ(Hdr()->putCount, 0u);
}

TEST_F(Store, ChangeBitsFollowTheViewersSlots) {
    MonHandle_t *v6 = Open(6);
    MonHandle_t *v7 = Open(7);
    ASSERT_TRUE(v6 && v7);
    Hdr()->putCount = 40;

    MonData_t out;
    MonData_t in = Key(me, 1, 0);
    Fill(in, 99);
    in.flags = MON_FLAG_START;
    in.clientTag = 555;  // puts never change the stored tag
    ASSERT_EQ(QxMonSendData(d, &in), 0);
    MonData_t *s = Stored(me, 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->flags, 0x80011000u);
    EXPECT_EQ(s->seqNum, 41u);
    EXPECT_EQ(s->clientTag, 0u);
    EXPECT_EQ(in.flags, 0x80011000u);  // handed back to the caller
    EXPECT_EQ(in.seqNum, 41u);
    EXPECT_EQ(in.clientTag, 0u);
    EXPECT_TRUE(Consistent(*s));
    EXPECT_EQ(s->countA, 99u);

    ASSERT_EQ(Put(me, 1, MON_FLAG_END, 100, &out), 0);
    EXPECT_EQ(s->flags, 0x00099000u);
    EXPECT_EQ(out.flags, 0x00099000u);
    EXPECT_EQ(s->seqNum, 41u);  // only a start numbers the record
    EXPECT_EQ(s->countA, 100u);

    MonData_t got;
    memset(&got, 0, sizeof got);
    ASSERT_EQ(QxMonRecvNextData(v6, 0, &got), 1);
    EXPECT_EQ(got.flags, 0x9u);
    EXPECT_EQ(got.countA, 100u);
    EXPECT_TRUE(Consistent(got));
    EXPECT_EQ(s->flags, 0x00090000u);
    EXPECT_EQ(ShelfGetNext(v6, 0, &got), 0);

    ASSERT_EQ(ShelfGetNext(v7, 0, &got), 1);
    EXPECT_EQ(got.flags, 0x9u);
    EXPECT_EQ(s->flags, 0u);
    EXPECT_EQ(ShelfGetNext(v7, 0, &got), 0);

    EXPECT_EQ(ShelfCleanup(d, 0), 0);
    EXPECT_EQ(Stored(me, 1), nullptr);
    EXPECT_EQ(Hdr()->hashCount, 0u);
    ExpectAccounted();
}

TEST_F(Store, AliveBitAndSequenceFollowTheFlags) {
    ASSERT_EQ(Put(me, 2, MON_FLAG_START | MON_FLAG_END), 0);
    MonData_t *s = Stored(me, 2);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->flags, 0u);  // not alive, nobody registered
    EXPECT_EQ(s->seqNum, 1u);

    ASSERT_EQ(Put(me, 2, MON_FLAG_UPDATE), 0);
    EXPECT_EQ(s->flags, MON_FLAG_ALIVE);
    ASSERT_EQ(Put(me, 2, MON_FLAG_STATUS | MON_FLAG_END), 0);
    EXPECT_EQ(s->flags, 0u);

    // Flags 0 rewrites the contents and nothing else.
    MonHandle_t *v8 = Open(8);
    ASSERT_NE(v8, nullptr);
    ASSERT_EQ(Put(me, 2, MON_FLAG_START, 1), 0);
    const uint32_t flags = s->flags, seq = s->seqNum;
    EXPECT_EQ(flags, 0x80100000u);
    ASSERT_EQ(Put(me, 2, 0, 12345), 0);
    EXPECT_EQ(s->flags, flags);
    EXPECT_EQ(s->seqNum, seq);
    EXPECT_EQ(s->countA, 12345u);
    EXPECT_TRUE(Consistent(*s));
}

TEST_F(Store, GetReturnsOnlyTheSlotsBitsAndStoresTheTag) {
    MonHandle_t *v6 = Open(6);
    MonHandle_t *v9 = Open(9);
    ASSERT_TRUE(v6 && v9);
    ASSERT_EQ(Put(me, 3, MON_FLAG_START | MON_FLAG_UPDATE), 0);
    MonData_t *s = Stored(me, 3);
    ASSERT_EQ(s->flags, 0x83003000u);

    MonData_t g = Key(me, 3, 0);
    g.clientTag = 77;
    ASSERT_EQ(QxMonRecvData(v9, &g), 0);
    EXPECT_EQ(g.flags, 0x3u);
    EXPECT_EQ(g.clientTag, 0u);  // the buffer gets the tag as it was stored
    EXPECT_TRUE(Consistent(g));
    EXPECT_EQ(s->flags, 0x83003000u);  // a keyed read clears nothing
    EXPECT_EQ(s->clientTag, 77u);
    g = Key(me, 3, 0);
    ASSERT_EQ(ShelfGet(v6, &g), 0);
    EXPECT_EQ(g.clientTag, 77u);
    EXPECT_EQ(s->clientTag, 0u);  // zero is stored too, through any slot

    MonData_t none = Key(me, 4, 0);
    EXPECT_EQ(ShelfGet(v6, &none), -1);
}

TEST_F(Store, TaggingSlotKeepsItsWordAndBit30) {
    MonHandle_t *t = Open(3);
    MonHandle_t *v6 = Open(6);
    ASSERT_TRUE(t && v6);
    ASSERT_EQ(Put(me, 5, MON_FLAG_START | MON_FLAG_ADDITIONAL), 0);
    MonData_t *s = Stored(me, 5);
    // Slot 3's shift is 0, so bit 30 of the report lands in the record.
    EXPECT_EQ(s->flags, 0x80000000u | 0x40000000u | 0x1u | 0x1000u);

    MonData_t g;
    memset(&g, 0, sizeof g);
    g.clientTag = 31337;
    ASSERT_EQ(ShelfGetNext(t, 0, &g), 1);
    EXPECT_EQ(g.flags, 0x1u);
    EXPECT_EQ(s->clientTag, 31337u);
    EXPECT_EQ(s->flags, 0x80000000u | 0x40000000u | 0x1000u);  // only bits 0-3 cleared

    g.clientTag = 9;
    ASSERT_EQ(ShelfGetNext(v6, 0, &g), 1);  // not slot 3: the tag stays
    EXPECT_EQ(s->clientTag, 31337u);
    ASSERT_EQ(Put(me, 5, MON_FLAG_UPDATE), 0);  // neither do puts change it
    EXPECT_EQ(s->clientTag, 31337u);

    // With slot 3 free, a put carrying bit 30 clears it again.
    Close(t);
    ASSERT_EQ(Put(me, 5, MON_FLAG_UPDATE | MON_FLAG_ADDITIONAL), 0);
    EXPECT_EQ(s->flags & 0x40000000u, 0u);
}

TEST_F(Store, GetNextAllWalksEveryRecordOncePerPass) {
    MonHandle_t *v6 = Open(6);
    ASSERT_NE(v6, nullptr);
    ASSERT_EQ(Put(me, 10, MON_FLAG_START), 0);
    ASSERT_EQ(Put(me, 11, MON_FLAG_START | MON_FLAG_END), 0);
    ASSERT_EQ(Put(me, 12, MON_FLAG_START), 0);
    MonData_t g;
    while (ShelfGetNext(v6, 0, &g) == 1) {
    }
    // No pending bits now: all=0 has nothing, all=1 has everything.
    EXPECT_EQ(ShelfGetNext(v6, 0, &g), 0);
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<uint32_t> seen;
        while (ShelfGetNext(v6, 1, &g) == 1) {
            seen.push_back(g.handleNum);
            EXPECT_EQ(g.flags, g.handleNum == 11 ? 0x8u : 0u) << g.handleNum;
        }
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (std::vector<uint32_t>{10, 11, 12})) << pass;
    }
}

TEST_F(Store, UnregisteredSlotsOnReads) {
    MonHandle_t *v6 = Open(6);
    ASSERT_NE(v6, nullptr);
    ASSERT_EQ(Put(me, 1, MON_FLAG_START), 0);
    // A viewer whose entry was cleared (taken for dead) registers again.
    Hdr()->clientPid[6] = 0;
    MonData_t g = Key(me, 1, 0);
    ASSERT_EQ(ShelfGet(v6, &g), 0);
    EXPECT_EQ(Hdr()->clientPid[6], me);

    // Slot 0 with an empty entry is refused.
    Hdr()->clientPid[0] = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(QxMonRecvData(d, &g), -1);
    EXPECT_EQ(ShelfGetNext(d, 1, &g), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("bad client=0"), std::string::npos) << log;
    EXPECT_EQ(Hdr()->clientPid[0], 0u);
    Hdr()->clientPid[0] = me;
    // Slots 0-2 own no change bits: their reads show none.
    ASSERT_EQ(ShelfGet(d, &g), 0);
    EXPECT_EQ(g.flags, 0u);
    EXPECT_EQ(ShelfGetNext(d, 0, &g), 0);
    ASSERT_EQ(ShelfGetNext(d, 1, &g), 1);
    EXPECT_EQ(g.flags, 0u);
}

// ---- clean-ups ----------------------------------------------------------------------

TEST_F(Store, CleanupClearsDeadOwnersAndKeepsUnreadRecords) {
    MonHandle_t *v6 = Open(6);
    ASSERT_NE(v6, nullptr);
    const uint32_t dead = static_cast<uint32_t>(DeadPid());
    ASSERT_EQ(Put(dead, 1, MON_FLAG_START), 0);           // owner gone
    ASSERT_EQ(Put(dead, 0xffffffffu, MON_FLAG_START), 0);  // never checked
    ASSERT_EQ(Put(me, 2, MON_FLAG_START), 0);              // owner alive
    ASSERT_EQ(Put(me, 3, MON_FLAG_START), 0);
    ASSERT_EQ(Put(me, 3, MON_FLAG_END), 0);                // ended, unread

    ASSERT_EQ(ShelfCleanup(d, 0), 0);
    ASSERT_NE(Stored(dead, 1), nullptr);
    EXPECT_EQ(Stored(dead, 1)->flags, 0x9000u);  // alive bit gone, an end for slot 6
    EXPECT_EQ(Stored(dead, 0xffffffffu)->flags, 0x80001000u);
    EXPECT_EQ(Stored(me, 2)->flags, 0x80001000u);
    ASSERT_NE(Stored(me, 3), nullptr);

    MonData_t g;
    while (ShelfGetNext(v6, 0, &g) == 1) {
    }
    ASSERT_EQ(ShelfCleanup(d, 0), 0);
    EXPECT_EQ(Stored(dead, 1), nullptr);
    EXPECT_EQ(Stored(me, 3), nullptr);
    EXPECT_NE(Stored(dead, 0xffffffffu), nullptr);
    EXPECT_NE(Stored(me, 2), nullptr);
    EXPECT_EQ(Hdr()->hashCount, 2u);
    ExpectAccounted();
}

// ---- liveness and the slot table ---------------------------------------------

TEST_F(Store, OnlyEsrchCountsAProcessAsGone) {
    {
        FakeKill eperm(EPERM);  // another user's process: alive
        EXPECT_FALSE(ShelfProcessGone(4242));
        ASSERT_EQ(Put(4242, 1, MON_FLAG_START), 0);
        ASSERT_EQ(ShelfCleanup(d, 0), 0);
        EXPECT_EQ(Stored(4242, 1)->flags & MON_FLAG_ALIVE, MON_FLAG_ALIVE);
        ShelfClaimSlot(7, 4242);
        EXPECT_FALSE(ShelfHolderGone(7));
    }
    {
        FakeKill esrch(ESRCH);
        EXPECT_TRUE(ShelfProcessGone(4242));
        EXPECT_TRUE(ShelfHolderGone(7));
        ASSERT_EQ(ShelfCleanup(d, 0), 0);
        EXPECT_EQ(Stored(4242, 1), nullptr);  // owner gone, no living reader: purged
    }
    {
        FakeKill esrch(ESRCH);
        EXPECT_TRUE(ShelfProcessGone(0x80000000u));  // a negative pid_t: no process
        EXPECT_EQ(FakeKill::calls, 0);               // and never signalled
        EXPECT_FALSE(ShelfHolderGone(8));            // a free slot has no holder to lose
        MonData_t detached = Key(4242, 0xffffffffu, 0);
        MonData_t owned = Key(4242, 5, 0);
        EXPECT_FALSE(ShelfOwnerGone(&detached));
        EXPECT_TRUE(ShelfOwnerGone(&owned));
    }
}

// A clean-up asks the kernel about each owner once, however many records
// it owns.
TEST_F(Store, CleanupAsksAboutEachOwnerOnce) {
    FakeKill alive(0);
    for (uint32_t i = 0; i < 40; ++i) ASSERT_EQ(Put(5000 + i % 4, i, MON_FLAG_START), 0);
    FakeKill::calls = 0;
    ASSERT_EQ(ShelfCleanup(d, 0), 0);
    EXPECT_EQ(FakeKill::calls, 4);
    EXPECT_EQ(Hdr()->hashCount, 40u);
}

TEST_F(Store, SlotReleaseOnlyUndoesItsOwnClaim) {
    ShelfClaimSlot(6, 111);
    EXPECT_FALSE(ShelfReleaseSlot(6, 222));  // a newer holder's claim stays
    EXPECT_EQ(ShelfSlotHolder(6), 111u);
    EXPECT_EQ(Hdr()->clientPid[6], 111u);
    EXPECT_TRUE(ShelfReleaseSlot(6, 111));
    EXPECT_EQ(Hdr()->clientPid[6], 0u);
    EXPECT_FALSE(ShelfReleaseSlot(6, 111));
    EXPECT_EQ(ShelfSlotHolder(MON_SLOTS), 0u);  // out of range reads as free
    ShelfClaimSlot(-1, 5);                       // and is never written
    EXPECT_EQ(ShelfSlotHolder(-1), 0u);
}

TEST_F(Store, SeedingEndsVanishedReportersAndSeedsOpenSessions) {
    const uint32_t dead = static_cast<uint32_t>(DeadPid());
    MonData_t r = Key(me, 1, 0);  // counts and a status: start, update, status
    r.countA = 5;
    r.statusText[0] = 'x';
    r.flags = MON_FLAG_START;
    ASSERT_EQ(ShelfPut(d, &r), 0);
    r = Key(me, 2, 0);  // nothing yet: start only
    r.flags = MON_FLAG_START;
    ASSERT_EQ(ShelfPut(d, &r), 0);
    r = Key(me, 3, 0);  // a status code alone
    r.status = 7;
    r.flags = MON_FLAG_START;
    ASSERT_EQ(ShelfPut(d, &r), 0);
    r = Key(dead, 4, 0);  // its reporter is gone
    r.flags = MON_FLAG_START;
    ASSERT_EQ(ShelfPut(d, &r), 0);
    r = Key(dead, 0xffffffffu, 0);  // detached: its owner is never asked
    r.flags = MON_FLAG_START;
    ASSERT_EQ(ShelfPut(d, &r), 0);
    r = Key(me, 6, 0);  // ended
    r.flags = MON_FLAG_START | MON_FLAG_END;
    ASSERT_EQ(ShelfPut(d, &r), 0);

    // Slot 8's holder died with a change pending on record 1; slot 9's died
    // with nothing pending on any record.
    const uint32_t deadViewer = static_cast<uint32_t>(DeadPid());
    Stored(me, 1)->flags |= 0x100000u;
    ShelfClaimSlot(8, deadViewer);
    ShelfClaimSlot(9, static_cast<uint32_t>(DeadPid()));  // freed only where bits wait

    ASSERT_EQ(ShelfSeedSlot(d, 6), 6);
    EXPECT_EQ(Stored(me, 1)->flags, 0x80007000u);  // slot 8's nibble cleared with its slot
    EXPECT_EQ(ShelfSlotHolder(8), 0u);
    EXPECT_NE(ShelfSlotHolder(9), 0u);
    EXPECT_EQ(Stored(me, 2)->flags, 0x80001000u);
    EXPECT_EQ(Stored(me, 3)->flags, 0x80005000u);
    EXPECT_EQ(Stored(dead, 4)->flags, 0u);
    EXPECT_EQ(Stored(dead, 0xffffffffu)->flags, 0x80001000u);
    EXPECT_EQ(Stored(me, 6)->flags, 0u);

    // Bits already pending stay; a second seeding adds nothing new.
    ASSERT_EQ(ShelfSeedSlot(d, 6), 6);
    EXPECT_EQ(Stored(me, 1)->flags, 0x80007000u);
    EXPECT_EQ(ShelfSeedSlot(d, 2), -1);  // a slot without change bits
    EXPECT_EQ(ShelfSeedSlot(nullptr, 6), -1);
}

// A forced clean-up drops the ended record a real viewer process has not
// read, and leaves the viewer be: no signal is pending for it afterwards.
TEST_F(Store, ForcedCleanupDropsUnreadEndsAndLeavesTheViewer) {
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t viewer = fork();
    if (viewer == 0) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        MonHandle_t *v = nullptr;
        if (QxMonMemOpen(nullptr, 7, &v) != 0) _exit(2);
        char c = 'r';
        if (write(ready[1], &c, 1) != 1) _exit(3);
        if (read(done[0], &c, 1) != 1) _exit(5);
        sigset_t pending;
        sigpending(&pending);
        _exit(sigismember(&pending, SIGINT) ? 4 : 0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(Hdr()->clientPid[7], static_cast<uint32_t>(viewer));

    ASSERT_EQ(Put(me, 1, MON_FLAG_START), 0);
    ASSERT_EQ(Put(me, 1, MON_FLAG_END), 0);  // not alive, slot 7 unread
    ASSERT_EQ(Put(me, 2, MON_FLAG_START), 0);  // alive: stays
    EXPECT_EQ(Stored(me, 1)->flags, 0x90000u);
    ASSERT_EQ(ShelfCleanup(d, 1), 0);
    ASSERT_EQ(write(done[1], &c, 1), 1);  // a signal sent would be pending by now
    EXPECT_EQ(ExitCode(viewer), 0);
    EXPECT_EQ(Stored(me, 1), nullptr);
    ASSERT_NE(Stored(me, 2), nullptr);
    EXPECT_EQ(Stored(me, 2)->flags, 0x80010000u);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(Store, EveryTenthStartCleansUpAndChecksTheTagger) {
    ASSERT_EQ(Put(me, 100, MON_FLAG_START), 0);  // 1
    ASSERT_EQ(Put(me, 100, MON_FLAG_END), 0);    // ended, nobody to read it
    for (uint32_t i = 1; i < 9; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_START), 0);  // 2..9
    EXPECT_NE(Stored(me, 100), nullptr);
    Hdr()->clientPid[3] = static_cast<uint32_t>(DeadPid());
    ASSERT_EQ(Put(me, 9, MON_FLAG_START), 0);  // 10
    EXPECT_EQ(Hdr()->putCount, 10u);
    EXPECT_EQ(Hdr()->clientPid[3], 0u);
    EXPECT_EQ(Stored(me, 100), nullptr);
    EXPECT_EQ(Hdr()->hashCount, 9u);
    ExpectAccounted();
}

// The tenth start of a record whose owner is gone: the clean-up it triggers
// must not free the record that the put is writing.
TEST_F(Store, TenthStartSparesTheRecordBeingPut) {
    const uint32_t dead = static_cast<uint32_t>(DeadPid());
    for (uint32_t i = 0; i < 9; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_START), 0);
    MonData_t out;
    ASSERT_EQ(Put(dead, 1, MON_FLAG_START, 4321, &out), 0);  // new record, 10th
    MonData_t *s = Stored(dead, 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->countA, 4321u);
    EXPECT_TRUE(Consistent(*s));
    EXPECT_EQ(s->flags, MON_FLAG_ALIVE);
    EXPECT_EQ(s->seqNum, 10u);
    EXPECT_EQ(Hdr()->hashCount, 10u);
    ExpectAccounted();

    // The same with an existing record at the twentieth start.
    for (uint32_t i = 0; i < 9; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_START), 0);
    ASSERT_EQ(Put(dead, 1, MON_FLAG_START, 8765), 0);
    s = Stored(dead, 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->countA, 8765u);
    EXPECT_TRUE(Consistent(*s));
    EXPECT_EQ(s->seqNum, 20u);
    ExpectAccounted();
    // The next clean-up takes it.
    ASSERT_EQ(ShelfCleanup(d, 0), 0);
    EXPECT_EQ(Stored(dead, 1), nullptr);
    ExpectAccounted();
}

TEST_F(Store, CreateOutOfSpacePurgesOnceUnderItsOwnLock) {
    for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_START), 0);
    ASSERT_EQ(Put(me, 0, MON_FLAG_END), 0);
    ASSERT_EQ(Put(me, 1, MON_FLAG_END), 0);
    // Take every remaining unit.
    Ring ring = WalkRing();
    ASSERT_EQ(ring.blocks.size(), 2u);
    const uint32_t rest = ring.blocks[1].second;
    void *filler = MmapAlloc(d, (rest - 1) * 8);
    ASSERT_NE(filler, nullptr);
    ASSERT_EQ(WalkRing().blocks.size(), 1u);

    testing::internal::CaptureStderr();
    MonData_t k = Key(me, 50, 0);
    MonData_t *r = ShelfCreateData(d, &k);  // would hang if it waited on itself
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_NE(r, nullptr);
    EXPECT_NE(log.find("no more free shared memory"), std::string::npos);
    EXPECT_EQ(Stored(me, 0), nullptr);
    EXPECT_EQ(Stored(me, 1), nullptr);
    EXPECT_EQ(Hdr()->hashCount, 3u);
    ExpectAccounted(rest);
    ASSERT_EQ(Put(me, 50, MON_FLAG_START), 0);  // alive from now on

    // Through a put, the same; and with nothing left to purge, a failure
    // that enters nothing.
    testing::internal::CaptureStderr();
    EXPECT_EQ(Put(me, 51, MON_FLAG_START), 0);
    EXPECT_EQ(Put(me, 52, MON_FLAG_START), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(Stored(me, 52), nullptr);
    EXPECT_EQ(Hdr()->hashCount, 4u);
    ExpectAccounted(rest);
}

// ---- change word ---------------------------------------------------------------------

// A reader that has drained its changes skips the walk while nothing was
// put; anything put since, even behind its cursor mid-pass, comes back.
TEST_F(Store, ChangeWordNeverHidesAChange) {
    MonHandle_t *v6 = Open(6);
    ASSERT_NE(v6, nullptr);
    for (uint32_t i = 0; i < 20; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_START), 0);
    MonData_t g;
    int n = 0;
    while (ShelfGetNext(v6, 0, &g) == 1) ++n;
    EXPECT_EQ(n, 20);
    const uint32_t word = Hdr()->reserved1[0];
    EXPECT_EQ(ShelfGetNext(v6, 0, &g), 0);  // nothing changed
    EXPECT_EQ(Hdr()->reserved1[0], word);

    // Half a pass, then a put of every record: those behind the cursor
    // were missed by this pass and must come in the next.
    ASSERT_EQ(ShelfGetNext(v6, 1, &g), 1);
    const int32_t cursor = Client(v6)->cursor;
    for (uint32_t i = 0; i < 20; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_UPDATE), 0);
    while (ShelfGetNext(v6, 0, &g) == 1) {  // the rest of this pass
    }
    EXPECT_GT(cursor, 0);
    n = 0;
    while (ShelfGetNext(v6, 0, &g) == 1) {
        EXPECT_EQ(g.flags, MON_FLAG_UPDATE);
        ++n;
    }
    EXPECT_GT(n, 0);  // the records before the cursor
    EXPECT_EQ(ShelfGetNext(v6, 0, &g), 0);

    // Seeding hands out bits without a put; "all" always walks.
    ASSERT_EQ(ShelfSeedSlot(v6, 6), 20);
    n = 0;
    while (ShelfGetNext(v6, 0, &g) == 1) ++n;
    EXPECT_EQ(n, 20);
    n = 0;
    while (ShelfGetNext(v6, 1, &g) == 1) ++n;
    EXPECT_EQ(n, 20);
}

// ---- stores larger than the default ----------------------------------------------------

TEST(ShelfCapacity, GeometryFollowsTheLoadRule) {
    for (long n : {1L, 2L, 381L, 382L, 383L, 5000L, 100000L, kShelfMaxCapacity}) {
        ShelfGeometry_t g{};
        ASSERT_TRUE(ShelfGeometry(n, &g)) << n;
        EXPECT_EQ(static_cast<uint32_t>(Prime(static_cast<int>(g.hashSize))), g.hashSize) << n;
        EXPECT_GE(3 * uint64_t{g.hashSize} / 4, uint64_t(n - 1)) << n;
        EXPECT_EQ(g.records, 3 * g.hashSize / 4 + 1) << n;
        EXPECT_GE(g.segSize, 1048576u) << n;
        EXPECT_EQ(g.segSize % 4096, 0u) << n;
        // Every admitted record and two tables fit in the arena.
        EXPECT_GE(uint64_t{g.segSize} - 136,
                  uint64_t{g.records} * 2072 + 2 * (uint64_t{g.hashSize} * 4 + 16))
            << n;
    }
    ShelfGeometry_t g{};
    ASSERT_TRUE(ShelfGeometry(382, &g));  // the default store, exactly
    EXPECT_EQ(g.segSize, 1048576u);
    EXPECT_EQ(g.hashSize, 509u);
    ASSERT_TRUE(ShelfGeometry(383, &g));  // one more no longer fits 509 entries
    EXPECT_GT(g.hashSize, 509u);
    for (long bad : {0L, -1L, kShelfMaxCapacity + 1}) EXPECT_FALSE(ShelfGeometry(bad, &g)) << bad;
    uint64_t need = 0;
    errno = 0;
    EXPECT_EQ(ShelfSetCapacity(0, &need), -1);
    EXPECT_EQ(errno, EINVAL);
}

// A store made for a capacity, with the default restored afterwards.
class BigStore : public Store {
protected:
    static constexpr long kCapacity = 3000;
    void SetUp() override {
        RemoveStore();
        ASSERT_EQ(ShelfSetCapacity(kCapacity, nullptr), 0);
        ASSERT_TRUE(ShelfGeometry(kCapacity, &geo));
        d = Open(0);
        ASSERT_NE(d, nullptr);
    }
    void TearDown() override {
        Store::TearDown();
        EXPECT_EQ(ShelfSetCapacity(382, nullptr), 0);
    }
    ShelfGeometry_t geo{};
};

TEST_F(BigStore, HoldsItsCapacityAndRefusesTheNext) {
    EXPECT_EQ(Hdr()->segSize, geo.segSize);
    EXPECT_EQ(Hdr()->hashSize, geo.hashSize);
    struct stat st;
    ASSERT_EQ(stat("/tmp/mon.mmap", &st), 0);
    EXPECT_EQ(st.st_size, off_t{geo.segSize} + 1024);
    for (uint32_t i = 0; i < geo.records; ++i) ASSERT_EQ(Put(me, i, MON_FLAG_START), 0) << i;
    EXPECT_EQ(Hdr()->hashCount, geo.records);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Put(me, geo.records, MON_FLAG_START), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(Stored(me, geo.records), nullptr);
    // Still consistent: every record readable and intact.
    for (uint32_t i = 0; i < geo.records; ++i) {
        MonData_t *r = Stored(me, i);
        ASSERT_NE(r, nullptr) << i;
        ASSERT_TRUE(Consistent(*r)) << i;
    }
}

// Every tenth start cleans one slice of the table from where the last one
// stopped, asking about each owner once per slice.
TEST_F(BigStore, CleanUpWalksOneSliceAtATime) {
    ASSERT_GT(Hdr()->hashSize, 2048u);
    FakeKill fake(ESRCH);  // every owner has gone
    for (uint32_t i = 0; i < 9; ++i) ASSERT_EQ(Put(6000 + i % 3, i, MON_FLAG_START), 0);
    // Park 2000 ended-by-owner records all over the table, unreadable by
    // anyone (no reader registered): a clean-up that reaches one purges it.
    for (uint32_t i = 100; i < 2100; ++i) {
        MonData_t k = Key(7000 + i % 5, i, 0);
        MonData_t *r = ShelfCreateData(d, &k);
        ASSERT_NE(r, nullptr);
        r->flags = MON_FLAG_ALIVE;
    }
    EXPECT_EQ(Hdr()->reserved1[1], 0u);
    FakeKill::calls = 0;
    ASSERT_EQ(Put(me, 9, MON_FLAG_START), 0);  // the tenth start
    EXPECT_EQ(Hdr()->reserved1[1], 1024u);
    const uint32_t afterOne = Hdr()->hashCount;
    EXPECT_LT(afterOne, 2010u);  // some purged ...
    EXPECT_GT(afterOne, 20u);    // ... but not the whole table
    EXPECT_LE(FakeKill::calls, 3 + 5);  // one question per distinct owner
    // Enough slices reach every entry.
    const uint32_t slices = (Hdr()->hashSize + 1023) / 1024;
    for (uint32_t k = 1; k < slices; ++k) {
        for (uint32_t i = 0; i < 10; ++i) ASSERT_EQ(Put(me, 10000 + k * 10 + i, MON_FLAG_START), 0);
    }
    for (uint32_t i = 100; i < 2100; ++i) EXPECT_EQ(Stored(7000 + i % 5, i), nullptr) << i;
}

TEST(ShelfCapacity, AttachMapsTheStatedSizeAndRefusesALyingHeader) {
    RemoveStore();
    ShelfGeometry_t geo{};
    ASSERT_TRUE(ShelfGeometry(5000, &geo));
    ASSERT_EQ(ShelfSetCapacity(5000, nullptr), 0);
    Worker w1, w2, w3, w4, w5, w6;
    MonHandle_t *d = nullptr;
    ASSERT_EQ(QxMonMemOpen(nullptr, 0, &d), 0);
    EXPECT_EQ(w1.Ask(Worker::kOpen, 4), 0);
    EXPECT_EQ(w1.Ask(Worker::kMappedPages), static_cast<int>(geo.segSize / 4096));

    ShelfHeader_t *h = Hdr();
    const ShelfHeader_t good = *h;
    struct Lie {
        const char *what;
        void (*apply)(ShelfHeader_t *);
    };
    const Lie lies[] = {
        {"size beyond the file", [](ShelfHeader_t *x) { x->segSize += 1 << 20; }},
        {"size below 1 MiB", [](ShelfHeader_t *x) { x->segSize = 4096; }},
        {"size past any capacity", [](ShelfHeader_t *x) { x->segSize = 0xfffff000u; }},
        {"table past the segment", [](ShelfHeader_t *x) { x->hashSize = x->segSize / 4; }},
        {"table inside the header", [](ShelfHeader_t *x) { x->hashTable = 64; }},
    };
    Worker *refusers[] = {&w2, &w3, &w4, &w5, &w6};
    for (size_t i = 0; i < std::size(lies); ++i) {
        *h = good;
        lies[i].apply(h);
        EXPECT_EQ(refusers[i]->Ask(Worker::kOpen, 5), -1) << lies[i].what;
        EXPECT_EQ(refusers[i]->Ask(Worker::kState), 0) << lies[i].what;  // nothing kept
    }
    *h = good;
    EXPECT_EQ(w2.Ask(Worker::kOpen, 5), 0);
    // A file cut shorter than its header says.
    ASSERT_EQ(truncate("/tmp/mon.mmap", off_t{geo.segSize} - 4096), 0);
    EXPECT_EQ(w3.Ask(Worker::kOpen, 3), -1);

    EXPECT_EQ(ShelfClose(d), 0);
    EXPECT_EQ(ShelfSetCapacity(382, nullptr), 0);
    RemoveStore();
}

// ---- opens and closes ----------------------------------------------------------------

TEST_F(Store, HandlesOfOneProcessShareTheMapping) {
    ASSERT_EQ(Put(me, 1, MON_FLAG_START), 0);
    void *map = shelfPtr;
    const int fd = ShelfMapFd();
    MonHandle_t *a = Open(6);
    MonHandle_t *b = Open(6);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(shelfPtr, map);
    EXPECT_EQ(ShelfMapFd(), fd);
    EXPECT_EQ(ShelfOpenCount(), 3);
    // Closing either clears the slot, although the other still uses it.
    Close(a);
    EXPECT_EQ(Hdr()->clientPid[6], 0u);
    Close(d);
    EXPECT_EQ(shelfPtr, map);
    Close(b);
    EXPECT_EQ(shelfPtr, nullptr);
    EXPECT_EQ(ShelfMapFd(), -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    // A new daemon open recreates the file from nothing.
    d = Open(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Hdr()->hashCount, 0u);
    EXPECT_EQ(Hdr()->putCount, 0u);
    EXPECT_EQ(Stored(me, 1), nullptr);
}

TEST(ShelfOpen, BadSlotsAreRefused) {
    for (int slot : {10, -1, 1000}) {
        MonHandle_t *h = reinterpret_cast<MonHandle_t *>(0x8);
        testing::internal::CaptureStderr();
        EXPECT_EQ(QxMonMemOpen(nullptr, slot, &h), -1);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(h, nullptr);
        EXPECT_NE(log.find("QxMonMemOpen: bad client=" + std::to_string(slot)), std::string::npos) << log;
    }
}

TEST(ShelfOpen, DuplicateSlotsAndTakeover) {
    RemoveStore();
    Worker w1, w2, w3, w4;
    MonHandle_t *d = nullptr;
    ASSERT_EQ(QxMonMemOpen(nullptr, 0, &d), 0);

    EXPECT_EQ(w1.Ask(Worker::kOpen, 4), 0);
    EXPECT_EQ(Hdr()->clientPid[4], static_cast<uint32_t>(w1.pid()));
    EXPECT_EQ(w2.Ask(Worker::kOpen, 4), -1);  // held by a live process
    // The failed open kept nothing: no handle, mapping or descriptor.
    EXPECT_EQ(w2.Ask(Worker::kState), 0);

    // Slot 1 is shared by any number of proxies; it names the last one.
    EXPECT_EQ(w3.Ask(Worker::kOpen, 1), 0);
    EXPECT_EQ(w4.Ask(Worker::kOpen, 1), 0);
    EXPECT_EQ(Hdr()->clientPid[1], static_cast<uint32_t>(w4.pid()));

    // A slot held by a process that has exited is taken over.
    w1.Quit();
    EXPECT_EQ(w2.Ask(Worker::kOpen, 4), 0);
    EXPECT_EQ(Hdr()->clientPid[4], static_cast<uint32_t>(w2.pid()));
    EXPECT_EQ(w2.Ask(Worker::kState), 0x301);
    EXPECT_EQ(w2.Ask(Worker::kClose), 0);
    EXPECT_EQ(Hdr()->clientPid[4], 0u);
    EXPECT_EQ(w2.Ask(Worker::kState), 0);

    EXPECT_EQ(ShelfClose(d), 0);
    RemoveStore();
}

// A holder that the kernel will not let us signal (EPERM) is alive: only
// ESRCH hands its slot to another process.
TEST(ShelfOpen, OnlyAVanishedHolderLosesItsSlot) {
    RemoveStore();
    FakeKill kill(EPERM);
    Worker refused;  // forked before any open, each with its own fake answer
    FakeKill::error = ESRCH;
    Worker takesOver;
    MonHandle_t *d = nullptr;
    ASSERT_EQ(QxMonMemOpen(nullptr, 0, &d), 0);
    ShelfClaimSlot(7, 4242);
    EXPECT_EQ(refused.Ask(Worker::kOpen, 7), -1);
    EXPECT_EQ(ShelfSlotHolder(7), 4242u);
    EXPECT_EQ(takesOver.Ask(Worker::kOpen, 7), 0);
    EXPECT_EQ(ShelfSlotHolder(7), static_cast<uint32_t>(takesOver.pid()));
    EXPECT_EQ(ShelfClose(d), 0);
    RemoveStore();
}

TEST(ShelfOpen, AttachingNeedsARegularFullLengthFile) {
    RemoveStore();
    Worker w;
    MonHandle_t *d = nullptr;
    ASSERT_EQ(QxMonMemOpen(nullptr, 0, &d), 0);  // creates the semaphores
    ASSERT_EQ(ShelfClose(d), 0);

    unlink("/tmp/mon.mmap");
    EXPECT_EQ(w.Ask(Worker::kOpen, 6), -1);  // no file: only slot 0 creates
    int fd = open("/tmp/mon.mmap", O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);  // mapped past its end would be SIGBUS
    close(fd);
    EXPECT_EQ(w.Ask(Worker::kOpen, 6), -1);
    EXPECT_EQ(w.Ask(Worker::kState), 0);
    unlink("/tmp/mon.mmap");
    ASSERT_EQ(mkfifo("/tmp/mon.mmap", 0600), 0);
    EXPECT_EQ(w.Ask(Worker::kOpen, 0), -1);
    unlink("/tmp/mon.mmap");
    RemoveStore();
}

TEST(ShelfOpen, SymlinkAtTheStorePathIsNeverFollowed) {
    RemoveStore();
    int fd = open("/tmp/victim", O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "precious", 8), 8);
    close(fd);
    ASSERT_EQ(symlink("/tmp/victim", "/tmp/mon.mmap"), 0);

    MonHandle_t *h = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(QxMonMemOpen(nullptr, 0, &h), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(log.find("QxMonMemOpen: Error in opening file: /tmp/mon.mmap "), std::string::npos) << log;
    EXPECT_EQ(shelfPtr, nullptr);
    EXPECT_EQ(ShelfOpenCount(), 0);

    struct stat st;
    ASSERT_EQ(stat("/tmp/victim", &st), 0);
    EXPECT_EQ(st.st_size, 8);
    char buf[16] = {};
    fd = open("/tmp/victim", O_RDONLY);
    ASSERT_EQ(read(fd, buf, sizeof buf), 8);
    close(fd);
    EXPECT_STREQ(buf, "precious");
    unlink("/tmp/mon.mmap");
    unlink("/tmp/victim");
    RemoveStore();
}

// The creator's files must be its own alone.  A store file planted by
// another user, or key files that are one file under two names, are put
// aside and replaced; the planted file is left as it was.
TEST(ShelfOpen, PlantedOrLinkedFilesAreReplacedNotUsed) {
    RemoveStore();
    // Another user's store file, open to all.
    int planted = open("/tmp/mon.mmap", O_CREAT | O_RDWR, 0666);
    ASSERT_GE(planted, 0);
    ASSERT_EQ(write(planted, "theirs", 6), 6);
    if (fchown(planted, 65534, 65534) != 0) {
        close(planted);
        RemoveStore();
        GTEST_SKIP() << "needs root to plant another user's file";
    }
    ASSERT_EQ(fchmod(planted, 0666), 0);
    // One key file under both names: both locks would be one semaphore.
    int key = open("/tmp/mon.free.mutex", O_CREAT | O_RDWR, 0666);
    ASSERT_GE(key, 0);
    close(key);
    ASSERT_EQ(link("/tmp/mon.free.mutex", "/tmp/mon.hash.mutex"), 0);

    alarm(20);  // a store that waits on itself ends the test instead of hanging it
    MonHandle_t *d = nullptr;
    ASSERT_EQ(QxMonMemOpen(nullptr, 0, &d), 0);
    EXPECT_NE(SemIdOf(Client(d)->freeMutex), SemIdOf(Client(d)->hashMutex));
    MonData_t rec = Key(static_cast<uint32_t>(getpid()), 1, 1);
    rec.flags = MON_FLAG_START;
    EXPECT_EQ(ShelfPut(d, &rec), 0);  // a create takes both locks
    alarm(0);

    struct stat st, old;
    ASSERT_EQ(stat("/tmp/mon.mmap", &st), 0);
    ASSERT_EQ(fstat(planted, &old), 0);
    EXPECT_NE(st.st_ino, old.st_ino);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(old.st_size, 6);  // the planted file was never written
    ASSERT_EQ(stat("/tmp/mon.free.mutex", &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    ASSERT_EQ(stat("/tmp/mon.hash.mutex", &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    close(planted);
    EXPECT_EQ(ShelfClose(d), 0);
    RemoveStore();
}

// ---- several processes at once -----------------------------------------------------

TEST_F(Store, ConcurrentPutsAndReadsNeverTearOrLose) {
    // Two writers put the same few keys over and over and churn the
    // allocator; two readers copy those keys out as fast as they can.
    constexpr int kProcs = 4;
    constexpr int kIters = 3000;
    constexpr uint32_t kKeys = 3;
    std::vector<pid_t> kids;
    for (int id = 0; id < kProcs; ++id) {
        pid_t pid = fork();
        if (pid == 0) {
            MonHandle_t *v = nullptr;
            if (QxMonMemOpen(nullptr, 6 + id, &v) != 0) _exit(10);
            const bool writer = id % 2 == 0;
            int torn = 0, failed = 0, reads = 0;
            for (int i = 0; i < kIters; ++i) {
                const auto key = static_cast<uint32_t>(i + id) % kKeys;
                MonData_t r = Key(me, key, 0);
                if (writer) {
                    Fill(r, static_cast<uint32_t>(id * 1000000 + i));
                    r.flags = MON_FLAG_START | (i % 2 ? MON_FLAG_UPDATE : 0u);
                    failed += ShelfPut(v, &r) != 0;
                    // Records that come and go, for the allocator.
                    MonData_t c = Key(me, 1000 + static_cast<uint32_t>(id), static_cast<uint16_t>(i % 3));
                    if (i % 2 == 0) {
                        failed += ShelfCreateData(v, &c) == nullptr;
                    } else {
                        failed += ShelfDeleteData(v, &c) != 0;
                    }
                    continue;
                }
                if (ShelfGet(v, &r) == 0) {
                    ++reads;
                    torn += !Consistent(r);
                }
                if (i % 10 == 0) {
                    while (ShelfGetNext(v, i % 20 == 0, &r) == 1) {
                        ++reads;
                        if (r.handleNum < kKeys && !Consistent(r)) ++torn;
                    }
                }
            }
            _exit(torn != 0 ? 1 : failed != 0 ? 2 : (!writer && reads == 0) ? 3 : 0);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) EXPECT_EQ(ExitCode(k), 0) << "1 torn record, 2 failed operation, 3 no reads";

    for (uint32_t k = 0; k < kKeys; ++k) {
        MonData_t *s = Stored(me, k);
        ASSERT_NE(s, nullptr) << "lost key " << k;
        EXPECT_TRUE(Consistent(*s)) << k;
    }
    for (int id = 0; id < kProcs; ++id)
        for (uint16_t n = 0; n < 3; ++n) {
            MonData_t c = Key(me, 1000 + static_cast<uint32_t>(id), n);
            ShelfDeleteData(d, &c);
        }
    EXPECT_EQ(Hdr()->hashCount, kKeys);
    EXPECT_EQ(Hdr()->putCount, static_cast<uint32_t>(kProcs / 2 * kIters));
    ExpectAccounted();
}

TEST_F(Store, KilledLockHolderDoesNotBlockTheStore) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        if (MonMutexRequest(Client(d)->hashMutex) != 0) _exit(2);
        if (MonMutexRequest(Client(d)->freeMutex) != 0) _exit(3);
        char c = 'h';
        if (write(ready[1], &c, 1) != 1) _exit(4);
        for (;;) pause();
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(MonMutexQuery(Client(d)->hashMutex), 1);
    kill(holder, SIGKILL);
    EXPECT_EQ(ExitCode(holder), -SIGKILL);
    alarm(30);  // a lock left held would hang the put below
    EXPECT_EQ(Put(me, 1, MON_FLAG_START), 0);
    alarm(0);
    EXPECT_EQ(MonMutexQuery(Client(d)->hashMutex), 0);
    EXPECT_EQ(MonMutexQuery(Client(d)->freeMutex), 0);
    close(ready[0]);
    close(ready[1]);
}

// A signal that interrupts a put's wait for the hash mutex (as SIGCHLD does
// in the daemon) must not make the put fail.
TEST_F(Store, SignalDuringLockWaitDoesNotFailThePut) {
    MonHandle_t *lock = nullptr;
    ASSERT_EQ(MonMutexOpen("mon.hash.mutex", 0, &lock), 0);
    ASSERT_EQ(MonMutexRequest(lock), 0);
    pid_t putter = fork();
    if (putter == 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = NoOp;  // no SA_RESTART: semop returns EINTR
        sigaction(SIGUSR1, &sa, nullptr);
        MonData_t r = Key(me, 77, 0);
        Fill(r, 77);
        r.flags = MON_FLAG_START;
        int put = ShelfPut(d, &r);
        MonData_t g = Key(me, 77, 0);
        int get = ShelfGet(d, &g);
        _exit(put == 0 && get == 0 && g.countA == 77 ? 0 : 1);
    }
    const int id = SemIdOf(lock);
    ASSERT_TRUE(WaitForWaiter(id));
    for (int i = 0; i < 3; ++i) {
        kill(putter, SIGUSR1);
        usleep(20000);
    }
    EXPECT_EQ(waitpid(putter, nullptr, WNOHANG), 0) << "put gave up while the lock was held";
    EXPECT_TRUE(WaitForWaiter(id));
    ASSERT_EQ(MonMutexRelease(lock), 0);
    EXPECT_EQ(ExitCode(putter), 0);
    EXPECT_NE(Stored(me, 77), nullptr);
    EXPECT_EQ(MonMutexClose(lock), 0);
}

}  // namespace
