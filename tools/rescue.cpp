/*
 * rescue.cpp - stop signals and the terminal rescue.  Everything a handler
 * touches is prepared beforehand and published with a signal fence; the
 * handler itself only calls write(), tcsetattr() and _exit().
 */
#include "rescue.h"

#include <curses.h>
#include <term.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace wtop {

namespace {

volatile sig_atomic_t stopRequested = 0;  /* the first stop signal's number   */
volatile sig_atomic_t waiting = 0;        /* inside a WaitingForWarden span   */

volatile sig_atomic_t rescueArmed = 0;
struct termios rescueTty;  /* the modes the terminal had before curses        */
char rescueText[256];      /* leave the alternate screen, cursor visible      */
size_t rescueLength = 0;

/* Gives the terminal back if the rescue is armed and leaves with status. */
[[noreturn]] void Leave(int status)
{
    if (rescueArmed != 0) {
        (void)!write(STDOUT_FILENO, rescueText, rescueLength);
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &rescueTty);
    }
    _exit(status);
}

/* The first stop signal is noted for the main loop, unless the program is
 * waiting for warden, where nothing would look at it soon: it leaves then.
 * A second one means the loop did not get to its end: it leaves at once,
 * with the status of death by that signal. */
void OnStop(int sig)
{
    if (stopRequested != 0)
        Leave(128 + sig);
    if (waiting != 0)
        Leave(0);
    stopRequested = sig;
}

/* Adds a terminal capability of the current terminal to the rescue text. */
void AddRescue(const char *capability)
{
    const char *seq = tigetstr(capability);
    if (seq == nullptr || seq == reinterpret_cast<const char *>(-1))
        return;
    const size_t n = std::strlen(seq);
    if (rescueLength + n <= sizeof rescueText) {
        std::memcpy(rescueText + rescueLength, seq, n);
        rescueLength += n;
    }
}

}  // namespace

int StopSignal()
{
    return stopRequested;
}

/* The others are held while the handler runs, so that two arriving together
 * still take the first and the second path one after the other. */
void CatchStopSignals()
{
    constexpr int kStops[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sa.sa_flags = 0;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStops)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : kStops)
        sigaction(sig, &sa, nullptr);
}

void ArmRescue(const struct termios &shellTty)
{
    rescueTty = shellTty;
    rescueLength = 0;
    for (const char *cap : {"sgr0", "rmkx", "cnorm", "rmcup"})
        AddRescue(cap);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    rescueArmed = 1;
}

void DisarmRescue()
{
    rescueArmed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

WaitingForWarden::WaitingForWarden()
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    waiting = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

WaitingForWarden::~WaitingForWarden()
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    waiting = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace wtop
