/*
 * failtext.h - the text a viewer gives when it cannot connect to warden,
 * the same from warden-top and warden-hub: what failed, where, and what the
 * operator can do about it.
 */
#ifndef WARDEN_SESSION_FAILTEXT_H
#define WARDEN_SESSION_FAILTEXT_H

#include <string>

namespace sess {

/* "cannot connect to warden at WHERE: ..." for a QxMonNetOpen of host that
 * failed with errno e (0: unknown).  A host name that does not resolve to an
 * IPv4 address is named as such (the library reaches the viewer port over
 * IPv4 only); a refused connection asks whether warden runs.  May ask the
 * resolver about host; never fails. */
std::string ConnectFailureText(const std::string &where, const std::string &host, int e);

}  // namespace sess

#endif /* WARDEN_SESSION_FAILTEXT_H */
