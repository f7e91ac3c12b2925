/*
 * liveview.h - warden-top's live table on a terminal.
 */
#ifndef WARDEN_TOP_LIVEVIEW_H
#define WARDEN_TOP_LIVEVIEW_H

#include "modes.h"

namespace wtop {

/* Connects and reads the store before taking the terminal, so that an
 * unreachable daemon is reported plainly; then draws until q or a stop
 * signal.  The exit status.  The terminal is given back on every way out,
 * an exception included. */
int RunLive(const Options &opt);

}  // namespace wtop

#endif /* WARDEN_TOP_LIVEVIEW_H */
