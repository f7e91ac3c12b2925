/*
 * wardenopts.h - the daemon's command line.
 */
#ifndef WARDEN_WARDENOPTS_H
#define WARDEN_WARDENOPTS_H

/* Takes every option of argv into the settings it names; returns only when
 * start-up is to go on: true to detach, false for -f/--foreground.  Prints
 * the version line whenever asked; exits with 1 after the usage text (a bad
 * or unknown option, -h, database server options without a name) or after
 * saying why a value cannot be used (--capacity, the history settings). */
bool ParseOptions(int argc, char **argv);

#endif /* WARDEN_WARDENOPTS_H */
