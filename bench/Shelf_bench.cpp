// Record store costs against the system calls a put or get cannot avoid: one
// semaphore lock/unlock pair (semop with SEM_UNDO) and one 2060-byte copy into
// a MAP_SHARED mapping.  Re-executes itself under quelm_isolate, so the store
// file and semaphores it creates never meet those of a running warden.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "Shelf_internal.h"
#include "monitor.h"
#include "records.h"

using namespace quelm;
using testsupport::TypicalRecord;

namespace {

constexpr char kIsolatedEnv[] = "SHELF_BENCH_IPC_NS";

MonHandle_t *daemonHandle = nullptr;  // slot 0: writes
MonHandle_t *viewerHandle = nullptr;  // slot 6: reads, collects change bits
uint32_t nextPid = 1;                 // fresh keys for the create benchmark

std::string IpcNamespace() {
    char buf[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/ns/ipc", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// ---- the raw baseline ----------------------------------------------------------

struct Raw {
    int semId = -1;
    unsigned char *map = nullptr;
    Raw() {
        semId = semget(IPC_PRIVATE, 1, 0600);
        int fd = open("/tmp/bench.raw", O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
        if (semId < 0 || fd < 0 || ftruncate(fd, SHELF_MMAP_SIZE) != 0) abort();
        void *p = mmap(nullptr, SHELF_MMAP_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) abort();
        map = static_cast<unsigned char *>(p);
        close(fd);
        unlink("/tmp/bench.raw");  // the mapping keeps the pages
    }
    ~Raw() {
        munmap(map, SHELF_MMAP_SIZE);
        semctl(semId, 0, IPC_RMID);
    }
    void Lock() {
        sembuf ops[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
        semop(semId, ops, 2);
    }
    void Unlock() {
        sembuf op = {0, -1, SEM_UNDO | IPC_NOWAIT};
        semop(semId, &op, 1);
    }
};

void BM_RawLockCopyUnlock(benchmark::State &state) {
    Raw raw;
    MonData_t rec = TypicalRecord(1, 1, 0, 0);
    for (auto _ : state) {
        raw.Lock();
        memcpy(raw.map + 4096, &rec, sizeof rec);
        raw.Unlock();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RawLockCopyUnlock);

// The floor of a create: the free list has a mutex of its own, so a record
// block costs a second lock pair inside the first.
void BM_RawTwoLocksCopy(benchmark::State &state) {
    Raw outer, inner;
    MonData_t rec = TypicalRecord(1, 1, 0, 0);
    for (auto _ : state) {
        outer.Lock();
        inner.Lock();
        inner.Unlock();
        memcpy(outer.map + 4096, &rec, sizeof rec);
        outer.Unlock();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RawTwoLocksCopy);

// ---- the store -------------------------------------------------------------------------

void BM_PutExistingKey(benchmark::State &state) {
    MonData_t rec = TypicalRecord(static_cast<uint32_t>(getpid()), 0xE0, 0, 0);
    rec.flags = MON_FLAG_START;
    ShelfPut(daemonHandle, &rec);
    for (auto _ : state) {
        rec.flags = MON_FLAG_UPDATE;
        if (ShelfPut(daemonHandle, &rec) != 0) state.SkipWithError("put failed");
    }
    ShelfDeleteData(daemonHandle, &rec);
}
BENCHMARK(BM_PutExistingKey);

void BM_GetExistingKey(benchmark::State &state) {
    MonData_t rec = TypicalRecord(static_cast<uint32_t>(getpid()), 0xE1, 0, 0);
    rec.flags = MON_FLAG_START;
    ShelfPut(daemonHandle, &rec);
    MonData_t out = rec;
    for (auto _ : state) {
        if (ShelfGet(viewerHandle, &out) != 0) state.SkipWithError("get failed");
        benchmark::DoNotOptimize(out.countA);
    }
    ShelfDeleteData(daemonHandle, &rec);
}
BENCHMARK(BM_GetExistingKey);

// Puts that create their record, in batches of 50 fresh keys; the batch is
// deleted with the clock stopped.  Every tenth start runs the store's
// clean-up walk, so its share is part of the figure.
void BM_PutCreatingRecord(benchmark::State &state) {
    constexpr int kBatch = 50;
    std::vector<MonData_t> batch;
    batch.reserve(kBatch);
    const uint32_t me = static_cast<uint32_t>(getpid());
    for (auto _ : state) {
        MonData_t rec = TypicalRecord(me, 0x100000 + nextPid++, 0, 0);
        rec.flags = MON_FLAG_START;
        if (ShelfPut(daemonHandle, &rec) != 0) state.SkipWithError("create failed");
        batch.push_back(rec);
        if (batch.size() == kBatch) {
            state.PauseTiming();
            for (MonData_t &r : batch) ShelfDeleteData(daemonHandle, &r);
            batch.clear();
            state.ResumeTiming();
        }
    }
    for (MonData_t &r : batch) ShelfDeleteData(daemonHandle, &r);
}
BENCHMARK(BM_PutCreatingRecord);

// A viewer draining a full table: 382 changed records per iteration.
void BM_GetNextDrain382(benchmark::State &state) {
    const uint32_t me = static_cast<uint32_t>(getpid());
    std::vector<MonData_t> recs;
    for (uint32_t i = 0; i < 382; ++i) {
        MonData_t r = TypicalRecord(me, 0x200000 + i, 0, 0);
        r.flags = MON_FLAG_START;
        if (ShelfPut(daemonHandle, &r) != 0) {
            state.SkipWithError("fill failed");
            break;
        }
        recs.push_back(r);
    }
    MonData_t out;
    memset(&out, 0, sizeof out);
    int64_t delivered = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (MonData_t &r : recs) {
            r.flags = MON_FLAG_UPDATE;
            ShelfPut(daemonHandle, &r);
        }
        state.ResumeTiming();
        while (ShelfGetNext(viewerHandle, 0, &out) == 1) ++delivered;
    }
    state.SetItemsProcessed(delivered);
    for (MonData_t &r : recs) ShelfDeleteData(daemonHandle, &r);
}
BENCHMARK(BM_GetNextDrain382)->Unit(benchmark::kMicrosecond);

// The baseline for the drain, one lock pair and one copy per record.
void BM_RawDrain382(benchmark::State &state) {
    Raw raw;
    MonData_t out;
    int64_t delivered = 0;
    for (auto _ : state) {
        for (int i = 0; i < 382; ++i) {
            raw.Lock();
            memcpy(&out, raw.map + 132 + static_cast<size_t>(i) * 2072, sizeof out);
            raw.Unlock();
            benchmark::DoNotOptimize(out.countA);
            ++delivered;
        }
    }
    state.SetItemsProcessed(delivered);
}
BENCHMARK(BM_RawDrain382)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    // Run only inside a private /tmp and IPC namespace: re-execute under
    // quelm_isolate, and refuse to go on if the namespace did not change.
    const char *origin = getenv(kIsolatedEnv);
    if (origin == nullptr) {
        setenv(kIsolatedEnv, IpcNamespace().c_str(), 1);
        setenv("QUELM_ISOLATE_FORCE", "1", 1);  // fresh namespaces even when nested
        char self[PATH_MAX] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
        std::vector<char *> args;
        args.push_back(const_cast<char *>(QUELM_ISOLATE));
        args.push_back(self);
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(QUELM_ISOLATE, args.data());
        perror("Shelf_bench: cannot run " QUELM_ISOLATE);
        return 1;
    }
    if (IpcNamespace() == origin) {
        fprintf(stderr, "Shelf_bench: no private IPC namespace; not touching the real store\n");
        return 1;
    }

    if (QxMonMemOpen(nullptr, MON_SLOT_DAEMON, &daemonHandle) != 0 ||
        QxMonMemOpen(nullptr, MON_SLOT_VIEWER_FIRST, &viewerHandle) != 0) {
        fprintf(stderr, "Shelf_bench: cannot open the store\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QxMonClose(viewerHandle);
    QxMonClose(daemonHandle);
    return 0;
}
