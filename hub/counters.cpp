/*
 * counters.cpp - reading a record's byte counters.  The library gives the full
 * 64-bit totals (QxMonTotalA/B); a proxy built before them wraps at 4 GiB,
 * and the hub's totals stay monotonic by adding what each reading advanced.
 */
#include "counters.h"

namespace hub {

uint64_t CountUp(const MonData_t &rec)
{
    return QxMonTotalA(&rec);
}

uint64_t CountDown(const MonData_t &rec)
{
    return QxMonTotalB(&rec);
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
