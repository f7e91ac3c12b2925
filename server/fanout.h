/*
 * fanout.h - serving more than four viewers from one process and one
 * reading slot, without loading the store: the fan-out.
 */
#ifndef WARDEN_FANOUT_H
#define WARDEN_FANOUT_H

/* Serves viewers on the listening sockets listenFds[0..listeners) from this
 * process until accept fails for good; holds the store's first viewer slot
 * for all of them.  Returns when it stops serving, with the slot released. */
void FanoutServe(const int *listenFds, int listeners);

#endif /* WARDEN_FANOUT_H */
