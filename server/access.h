/*
 * access.h - who may reach the viewer port: the addresses the viewer server
 * listens on (--listen, default 0.0.0.0:5051), the peers it lets in
 * (--allow, default everyone) and the keepalive that frees the place of a
 * viewer whose host has vanished.  Configured by the main process before it
 * forks; the viewer server inherits the settings.
 */
#ifndef WARDEN_ACCESS_H
#define WARDEN_ACCESS_H

#include <sys/socket.h>

/* Most --listen addresses and --allow ranges kept; more are refused. */
constexpr int kAccessListenMax = 16;
constexpr int kAccessAllowMax = 64;

/* Adds a listening address: "IPv4", "IPv4:port", "IPv6", "[IPv6]" or
 * "[IPv6]:port" (port 5051 when none is given).  False, with a complaint on
 * standard error, for anything else or one address too many. */
bool AccessAddListen(const char *text);

/* Adds a range of peers let in: "address/prefix" or a single address, IPv4
 * or IPv6.  False, with a complaint on standard error, when malformed. */
bool AccessAddAllow(const char *text);

/* Binds, listens on and returns the socket for one address (SO_REUSEADDR,
 * IPv6 sockets IPv6-only, a backlog of the viewers served, 5 at least).  A busy address is tried 3 times, 5 s
 * apart.  -1 after any failure, logged under "GUIOpen"; nothing left open. */
int AccessListenOn(const struct sockaddr *addr, socklen_t len);

/* Opens a listening socket for every configured address (only 0.0.0.0:5051
 * when none was given) into fds (room for kAccessListenMax).  Returns how
 * many, or 0 when any of them failed (all closed again).  With more than one
 * the sockets are non-blocking, since they are waited on together. */
int AccessOpenListeners(int *fds);

/* The listening socket of fds[0..n) that has a connection waiting: with one
 * socket that socket at once (accept waits), with several the first ready
 * one after a poll.  -2 when a signal cut the wait short, -1 when there is
 * nothing to wait on or the poll failed (logged). */
int AccessNextListener(const int *fds, int n);

/* Pause after accept ran short of descriptors or memory, in ms. */
constexpr int kAccessAcceptPauseMs = 100;

/* Accepts a connection on listenFd with accept4's flags: the descriptor, or
 * -1 with *pauseMs telling the server what to do, the one accept-error
 * policy of both serving modes.  0: go on at once (interrupted, nothing
 * waiting, or an error of that one connection or of the network, such as
 * ECONNABORTED or ENETDOWN).  kAccessAcceptPauseMs: short of descriptors or
 * memory; the connection waits in the backlog and accepting again at once
 * would fail again at once, so the listening socket rests that long.  -1:
 * stop serving (the listening socket itself failed).  Every failure but an
 * interruption or an empty backlog is logged. */
int AccessAccept(int listenFd, int flags, int *pauseMs);

/* Closes fds[0..n). */
void AccessCloseListeners(const int *fds, int n);

/* Decides on a connection just accepted: false when its peer lies outside
 * every --allow range (logged at most once a minute per address; the caller
 * closes it); true otherwise, after turning on keepalive with short timers so
 * that a peer that vanished without a word is noticed within a minute. */
bool AccessAdmit(int fd);

#endif /* WARDEN_ACCESS_H */
