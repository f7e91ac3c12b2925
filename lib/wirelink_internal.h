/*
 * wirelink_internal.h - a TCP connect in two steps, so that a caller with a
 * deadline can bound it: start it, then wait for it as long as the caller
 * allows.  Mon_TcpConnect is the two steps with no bound.  C++ only and not
 * installed.
 */
#ifndef QUELM_WIRELINK_INTERNAL_H
#define QUELM_WIRELINK_INTERNAL_H

namespace quelm {

/* Starts a connect to host (dotted IPv4 address or host name) at the low
 * 16 bits of port: the socket (blocking, close-on-exec), its connection made
 * or still under way, or -1 (logged with the failed call as Mon_TcpConnect
 * logs it; nothing left open).  Ignores SIGPIPE for the process from then
 * on, as Mon_TcpConnect does. */
int TcpConnectStart(const char *host, int port) noexcept;

/* Waits until the connect started on fd is over, at most ms milliseconds
 * (a negative ms: as long as the kernel keeps trying).  0 once connected;
 * -1 with errno ETIMEDOUT, not logged, when ms passed first (the connect
 * goes on and may be waited for again); -1 with the connect's errno
 * (logged "Error in connect: ...") when it failed. */
int TcpConnectWait(int fd, int ms) noexcept;

}  // namespace quelm

#endif /* QUELM_WIRELINK_INTERNAL_H */
