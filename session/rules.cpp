/*
 * rules.cpp - the session rules: ends, reused keys, counter advances and
 * rates, from the record alone.  Every reading of a record's totals goes
 * through wtop::BytesUp/BytesDown, so wider counters reach every rule in one
 * place.
 */
#include "rules.h"

#include "fields.h"

namespace sess {

namespace {

/* True when a total went back where no 32-bit wrap explains it. */
bool WentBack(uint64_t before, uint64_t after)
{
    return after < before && before > UINT32_MAX;
}

}  // namespace

bool IsEnded(const MonData_t &rec)
{
    return (rec.flags & MON_FLAG_END) != 0 || rec.endTime != 0;
}

uint64_t CounterAdvance(uint64_t before, uint64_t after)
{
    if (after >= before)
        return after - before;
    if (before <= UINT32_MAX)
        return after + (uint64_t{1} << 32) - before;
    return after;
}

bool IsNewSession(const MonData_t &known, bool knownEnded, const MonData_t &rec)
{
    if (rec.startTime != 0 && rec.startTime != known.startTime)
        return true;
    const bool freshStart = (rec.flags & (MON_FLAG_START | MON_FLAG_END)) == MON_FLAG_START && rec.endTime == 0;
    if (knownEnded && freshStart)
        return true;
    return WentBack(wtop::BytesUp(known), wtop::BytesUp(rec)) ||
           WentBack(wtop::BytesDown(known), wtop::BytesDown(rec));
}

Rate RateStart(const MonData_t &rec)
{
    Rate r;
    r.sampleA = wtop::BytesUp(rec);
    r.sampleB = wtop::BytesDown(rec);
    r.sampleTime = rec.eventTime != 0 ? rec.eventTime : rec.startTime;
    const long long span = static_cast<long long>(rec.eventTime) - rec.startTime;
    if (rec.startTime != 0 && span >= 1 && (r.sampleA != 0 || r.sampleB != 0)) {
        r.rateA = static_cast<double>(r.sampleA) / static_cast<double>(span);
        r.rateB = static_cast<double>(r.sampleB) / static_cast<double>(span);
    }
    return r;
}

bool RateAdvance(Rate *rate, const MonData_t &before, const MonData_t &rec)
{
    const uint64_t up = wtop::BytesUp(rec), down = wtop::BytesDown(rec);
    if (up == wtop::BytesUp(before) && down == wtop::BytesDown(before))
        return false;
    const long long span = static_cast<long long>(rec.eventTime) - rate->sampleTime;
    if (span < 1)
        return true;
    rate->rateA = static_cast<double>(CounterAdvance(rate->sampleA, up)) / static_cast<double>(span);
    rate->rateB = static_cast<double>(CounterAdvance(rate->sampleB, down)) / static_cast<double>(span);
    rate->sampleA = up;
    rate->sampleB = down;
    rate->sampleTime = rec.eventTime;
    return true;
}

}  // namespace sess
