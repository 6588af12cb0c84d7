#include "signal_hold.hpp"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>

namespace {

// Set by the console handler while a hold is active.  A console control
// handler runs on its own thread, hence the volatile LONG and the
// Interlocked calls.
volatile LONG g_pendingEvent = -1;

BOOL WINAPI holdHandler(DWORD event) {
    InterlockedExchange(&g_pendingEvent, static_cast<LONG>(event));
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;  // handled: the process keeps running for now
    }
    // Console closed, logoff, shutdown: Windows ends the process as soon as
    // a handler returns, handled or not.  So this one does not return: the
    // write goes on meanwhile and the end of the hold ends the process
    // (within the grace Windows gives, about five seconds for a close).
    Sleep(INFINITE);
    return TRUE;
}

}  // namespace

SignalHold::SignalHold(bool active) : active_(active) {
    if (active_) {
        SetConsoleCtrlHandler(holdHandler, TRUE);
    }
}

SignalHold::~SignalHold() {
    if (!active_) {
        return;
    }
    SetConsoleCtrlHandler(holdHandler, FALSE);
    if (InterlockedCompareExchange(&g_pendingEvent, -1, -1) != -1) {
        // What the default handler would have done: end the process.
        std::fflush(stdout);
        ExitProcess(STATUS_CONTROL_C_EXIT);
    }
}

#else
SignalHold::SignalHold(bool active) : active_(active) {
    if (!active_) {
        return;
    }
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, &previousMask_);
}

SignalHold::~SignalHold() {
    if (!active_) {
        return;
    }
    // Unblocking delivers a pending signal at once; what was printed must
    // reach its reader before the default action ends the process.
    std::fflush(stdout);
    sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
}
#endif
