/*
 * modes.h - what warden-top can be asked to do, and the three modes that
 * print and end: --once (a snapshot), --json (a line per change) and get
 * (one record by key).  Each returns the exit status: 0 on success, 1 on
 * any error; usage errors (2) are found before a mode runs.
 */
#ifndef WARDEN_TOP_MODES_H
#define WARDEN_TOP_MODES_H

#include "fieldfmt.h"
#include "table.h"

#include <quelm/monitor.h>

#include <ctime>
#include <string>

namespace wtop {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

constexpr double kLinger = 10.0; /* seconds an ended session stays in a table */

enum class Mode { Live, Once, Json, Get };

struct Options {
    std::string host = "127.0.0.1";
    Mode mode = Mode::Live;
    bool json = false;
    bool once = false;
    Column sort = Column::Key;
    bool reverse = false;
    std::string filter;
    RecordKey key{};
    int answerWait = 10;  /* seconds a request may go unanswered */
};

/* Seconds on a clock that never jumps: for polls and lingering. */
double Monotonic();

/* Writes "warden-top: message" to standard error. */
void Complain(const std::string &message);

int RunOnce(const Options &opt);
int RunJson(const Options &opt);
int RunGet(const Options &opt);

/* The record as `get` prints it: one "label  value" line per field of the
 * table of meanings that has a label, values printable.  A keyed read
 * carries no alive bit, so the end time alone says ended. */
std::string Describe(const MonData_t &rec, time_t wall);

}  // namespace wtop

#endif /* WARDEN_TOP_MODES_H */
