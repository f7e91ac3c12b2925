/*
 * wardenlog.cpp - owns the daemon's log handle.  It is process-wide state
 * written once by the main process before any worker is forked, so every
 * process of the daemon reads the same handle without a lock.
 */
#include "wardenlog.h"

namespace {

constexpr int kDaemonLevel = 3; // errors pass; the level-4 restart notice does not

LogHandle_t *daemonLog = nullptr;

} // namespace

void WardenLogStart(int flags)
{
    QxLogStart(&QxLogDefaultHandle, flags, kDaemonLevel, "");
    QxLogStart(&daemonLog, flags, kDaemonLevel, "");
}

LogHandle_t *WardenLog(void)
{
    return daemonLog;
}
