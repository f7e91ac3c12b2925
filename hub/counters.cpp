/*
 * counters.cpp - reading a record's byte counters.  Today the record carries
 * 32 bits per direction; the proxy's running counters wrap at 4 GiB, and the
 * hub's totals stay monotonic by adding what each reading advanced.
 */
#include "counters.h"

namespace hub {

uint64_t CountUp(const MonData_t &rec)
{
    return rec.countA;
}

uint64_t CountDown(const MonData_t &rec)
{
    return rec.countB;
}

uint64_t CounterAdvance(uint64_t before, uint64_t after)
{
    constexpr uint64_t kWrap = uint64_t{1} << 32;
    if (after >= before)
        return after - before;
    if (before < kWrap)
        return after + kWrap - before;
    return after;
}

}  // namespace hub
