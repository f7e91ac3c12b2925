/*
 * guiserver.h - the daemon's viewer server: listens on TCP port 5051, forks
 * one child per viewer (at most four, store slots 6 to 9) and answers keyed
 * reads and change streams from the shared store.  A slot's clientPid entry
 * names the child serving it, or is 0 while the slot is free.
 */
#ifndef WARDEN_GUISERVER_H
#define WARDEN_GUISERVER_H

#include <quelm/monitor.h>

#include "wardenlog.h"

/* Body of the viewer server process: serves until the listening socket
 * cannot be set up, accept fails for good or a fork fails, then sends SIGINT
 * to every listed viewer child and returns (the caller exits with 1). */
void MonGUIServer(void);

/* The listening socket on 0.0.0.0:5051 (SO_REUSEADDR, backlog 5), or -1
 * after three failed binds 5 seconds apart or any other failure (logged;
 * nothing left open). */
int GUIOpen(void);

/* Accepts one viewer and hands it to a child on the lowest free slot.
 * 0 to go on serving (also after an interruption, a transient network error
 * or a refused fifth viewer), -1 to stop (accept or fork failed; logged). */
int GUIAccept(int listenFd);

/* Body of a viewer child on slot (6..9) serving connection fd until the
 * viewer leaves or a send fails.  Closes the connection and the store handle
 * (freeing the slot) and returns the result of the store close. */
int GUIChild(int slot, int fd);

/* Claims slot for the calling process and seeds the slot's change bits so
 * that the first change stream returns every open session.  Marks records
 * of vanished reporters ended and frees viewer slots held by dead processes
 * that still had changes pending.  Always 0. */
int GUIChildInit(MonHandle_t *store, int slot);

/* SIGCHLD handler of the viewer server: reaps every ended child and frees
 * the viewer slots naming it.  Async-signal-safe; errno is preserved. */
void GUISigChldHandler(int sig);

/* In the main process, before the viewer server is stopped: records the
 * viewer children of server, the slot holders whose parent it is.  PIDs in
 * the slot table that are not its children are never recorded: any process
 * that maps the store can write them. */
void MonGUIRecordChildren(pid_t server);

/* Sends SIGINT to the viewer children recorded by MonGUIRecordChildren
 * (through process descriptors, so never to a reused PID) and forgets
 * them; neither waits nor clears the slot entries. */
void MonGUICleanup(void);

#endif /* WARDEN_GUISERVER_H */
