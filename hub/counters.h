/*
 * counters.h - the byte counters of a session record as the hub reads them.
 * Every read of a record's countA and countB goes through CountUp and
 * CountDown, so that wider counters reach every total through one place;
 * CounterAdvance turns two readings of a running counter into bytes moved,
 * across the wrap of a 32-bit counter.
 */
#ifndef WARDEN_HUB_COUNTERS_H
#define WARDEN_HUB_COUNTERS_H

#include <quelm/monitor.h>

#include <cstdint>

namespace hub {

/* Bytes relayed from the client to the destination (countA). */
uint64_t CountUp(const MonData_t &rec);

/* Bytes relayed from the destination to the client (countB). */
uint64_t CountDown(const MonData_t &rec);

/* Bytes a running counter moved from before to after.  A counter that is
 * still 32 bits wide and reads lower than before has wrapped once; a wider
 * one that went back was reset, and only what it counted since is new. */
uint64_t CounterAdvance(uint64_t before, uint64_t after);

}  // namespace hub

#endif /* WARDEN_HUB_COUNTERS_H */
