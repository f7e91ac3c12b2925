/*
 * rescue.h - how warden-top stops: SIGINT, SIGTERM, SIGQUIT and SIGHUP are
 * noted for the main loop, which ends in order; and how the terminal is
 * given back when the orderly way cannot be taken (a second stop signal, or
 * one that comes while the program waits inside the library for warden).
 */
#ifndef WARDEN_TOP_RESCUE_H
#define WARDEN_TOP_RESCUE_H

#include <termios.h>

namespace wtop {

/* The first stop signal's number; 0 while none has come. */
int StopSignal();

/* Installs the stop handlers (no SA_RESTART: a pause is cut short). */
void CatchStopSignals();

/* Prepares the rescue once curses has the terminal: shellTty holds the
 * modes from before initscr().  The rescue writes the sequences that leave
 * the keypad mode and the alternate screen and show the cursor, then puts
 * those modes back: all a signal handler can do safely. */
void ArmRescue(const struct termios &shellTty);
void DisarmRescue();

/* Marks a call into the library that may wait for warden.  The library
 * takes up a wait again after a signal, so the main loop cannot see a stop
 * until the reply's timeout; a stop signal inside this span therefore ends
 * the program on the spot, with status 0 as a stop does, after the rescue
 * when it is armed.  Output is flushed line by line, so nothing is lost. */
class WaitingForWarden {
public:
    WaitingForWarden();
    ~WaitingForWarden();
    WaitingForWarden(const WaitingForWarden &) = delete;
    WaitingForWarden &operator=(const WaitingForWarden &) = delete;
};

}  // namespace wtop

#endif /* WARDEN_TOP_RESCUE_H */
