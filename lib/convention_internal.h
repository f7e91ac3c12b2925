/*
 * convention_internal.h - the library's side of the record conventions: how
 * the reporting client writes 64-bit totals into a record.  The reading side
 * (QxMonTotalA/B) and the helpers for proxies are public, in monitor.h.
 */
#ifndef QUELM_CONVENTION_INTERNAL_H
#define QUELM_CONVENTION_INTERNAL_H

#include "monitor.h"

namespace quelm {
/* Writes totalA and totalB into rec: the low words into countA and countB,
 * the high words into text5 as MON_TOTALS_TAG "A B" while one of them is not
 * 0; a tag already in text5 is cleared when both fit 32 bits. */
void StampTotals(MonData_t &rec, uint64_t totalA, uint64_t totalB) noexcept;
}  // namespace quelm

#endif /* QUELM_CONVENTION_INTERNAL_H */
