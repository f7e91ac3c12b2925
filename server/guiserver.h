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

/* Accepts one viewer and hands it to a child on the lowest free slot.
 * 0 to go on serving (also after an interruption, an error the accept
 * policy lets pass, after its pause, or a refused fifth viewer), -1 to stop
 * (accept or fork failed; logged). */
int GUIAccept(int listenFd);

/* Body of a viewer child on slot (6..9) serving connection fd until the
 * viewer leaves or a send fails.  Closes the connection and the store handle
 * (freeing the slot) and returns the result of the store close. */
int GUIChild(int slot, int fd);

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
