/*
 * host.cpp - the small pieces of a host's data that are more than fields.
 */
#include "host.h"

namespace hub {

void Histogram::Observe(double seconds)
{
    for (size_t i = 0; i < kBuckets; ++i) {
        if (seconds <= kBounds[i]) {
            ++counts[i];
            break;
        }
    }
    ++count;
    sum += seconds;
}

const char *LinkName(Link l)
{
    switch (l) {
    case Link::Up:
        return "up";
    case Link::Stale:
        return "stale";
    case Link::Down:
        break;
    }
    return "down";
}

}  // namespace hub
