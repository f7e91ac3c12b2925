/*
 * watchtable.h - the state warden-watch keeps inside a watched server: a
 * table of client connections in a shared anonymous mapping, made when the
 * library loads, so that every process the server forks sees and updates the
 * same sessions (a descriptor passed to another process finds its session by
 * the socket's inode), and a per-process map from descriptor to table slot.
 *
 * Only the reporter (one thread in one process of the family) frees a slot;
 * the interposed calls claim slots and update them with atomics, so they
 * take no lock and make no allocation.  A descriptor's map entry carries the
 * slot's generation: an entry left from an ended session no longer matches.
 */
#ifndef QUELM_WATCH_WATCHTABLE_H
#define QUELM_WATCH_WATCHTABLE_H

#include <atomic>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "socksparse.h"

namespace watch {

constexpr uint32_t kSlots = 4096;  // connections watched at once
constexpr int kMaxFd = 65536;      // descriptors at or above are not watched

/* Slot states. */
enum : uint32_t {
    kFree = 0,     // unused
    kClaimed = 1,  // being filled by the accepting call
    kLive = 2,     // a client connection, SOCKS or not yet known
    kDropped = 3,  // not SOCKS (or no longer): the reporter ends and frees it
};

struct Slot {
    std::atomic<uint32_t> state;
    std::atomic<uint32_t> gen;         // bumped by each free
    std::atomic<uint32_t> closes;      // closes and shutdowns of its descriptors
    std::atomic<uint32_t> outSeq;      // bumped when the outbound addresses change
    std::atomic<uint64_t> fromClient;  // bytes read from the client after the request
    std::atomic<uint64_t> toClient;    // bytes written to the client after the reply
    uint64_t inode;                    // the client socket's inode
    int64_t startTime;                 // time() at accept
    struct sockaddr_storage peer;      // the client's address
    struct sockaddr_storage local;     // the server's end of the client connection
    struct sockaddr_storage outPeer;   // where the server connected for it
    struct sockaddr_storage outLocal;  // the server's end of that connection
    SocksParse_t parse;                // the handshake as seen so far
};

struct Shared {
    std::atomic<int32_t> reporterPid;  // process whose thread reports, 0 none
    std::atomic<uint32_t> highWater;   // slots [0, highWater) were ever used
    std::atomic<uint32_t> rover;       // where the next claim starts looking
    Slot slots[kSlots];
};

/* The family's table; null when the mapping could not be made (then
 * nothing is watched). */
extern Shared *shared;

/* Per-process: descriptor -> (generation << 16 | slot + 1), 0 unwatched. */
extern std::atomic<uint32_t> fdMap[kMaxFd];

inline uint32_t EntryOf(uint32_t slot, uint32_t gen) { return (gen & 0xffffu) << 16 | (slot + 1); }

/* The slot of a map entry when it is still that session's, else null. */
inline Slot *SlotOfEntry(uint32_t e)
{
    if (e == 0 || shared == nullptr)
        return nullptr;
    Slot *s = &shared->slots[(e & 0xffffu) - 1];
    if ((s->gen.load(std::memory_order_acquire) & 0xffffu) != e >> 16)
        return nullptr;
    return s;
}

/* Starts the reporting thread in this process unless a live process of the
 * family already runs it (reporter.cpp). */
void EnsureReporter();

/* Forks this process has been through as a child (the pid cache's key). */
extern uint32_t forks;

/* Fork handlers (reporter.cpp): the lock is held across the fork; the
 * child forgets the reporting state that belonged to the parent's thread
 * and releases the lock. */
void ReporterAfterFork();

void ReporterLock();
void ReporterUnlock();

}  // namespace watch

#endif  // QUELM_WATCH_WATCHTABLE_H
