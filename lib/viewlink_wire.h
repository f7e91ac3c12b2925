/*
 * viewlink_wire.h - the viewer requests as they travel: the first byte of a
 * request frame names its type, the bytes after it its argument.  Shared by
 * the viewer client (viewlink.cpp) and both of the daemon's serving modes,
 * so a request is spelled in one place.  C++ only and not installed.
 */
#ifndef QUELM_VIEWLINK_WIRE_H
#define QUELM_VIEWLINK_WIRE_H

#include "monitor.h"

namespace quelm {

/* A keyed read: the type byte, then the 10-byte record key. */
constexpr unsigned char kViewRequestKeyed = 1;
constexpr int kViewKeyedRequestSize = 1 + MON_KEY_SIZE;

/* A change stream: the type byte, then the "all" flag byte (a one-byte
 * request asks for the changed records only). */
constexpr unsigned char kViewRequestStream = 2;
constexpr int kViewStreamRequestSize = 2;

}  // namespace quelm

#endif /* QUELM_VIEWLINK_WIRE_H */
