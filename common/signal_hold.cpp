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

SignalHold::SignalHold() { SetConsoleCtrlHandler(holdHandler, TRUE); }

SignalHold::~SignalHold() {
    SetConsoleCtrlHandler(holdHandler, FALSE);
    if (interruptPending()) {
        // What the default handler would have done: end the process.
        std::fflush(stdout);
        std::fflush(stderr);
        ExitProcess(STATUS_CONTROL_C_EXIT);
    }
}

bool SignalHold::interruptPending() {
    return InterlockedCompareExchange(&g_pendingEvent, -1, -1) != -1;
}

#else
#include <pthread.h>

namespace {

// SIGINT: Ctrl-C.  SIGTERM: a service manager's stop.  SIGHUP: the terminal
// closed.  SIGQUIT: Ctrl-\.  Each ends the process by default.
constexpr int kHeldSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t heldSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : kHeldSignals) {
        sigaddset(&held, signal);
    }
    return held;
}

}  // namespace

// Why a blocked mask and not a handler that records the signal: a mask set
// here, before the library is loaded, is inherited by every thread the
// library starts (libusb starts an event thread inside the first D2XX call),
// so no thread of the process can take the signal; it stays pending and
// nothing runs in the library's threads meanwhile.  A handler would run on
// whichever thread the kernel picks, inside libusb's poll or a usbfs ioctl,
// making them fail with EINTR; and it would replace an inherited "ignore"
// (nohup) that a mask leaves alone.
SignalHold::SignalHold() {
    const sigset_t held = heldSignals();
    pthread_sigmask(SIG_BLOCK, &held, &previousMask_);
}

SignalHold::~SignalHold() {
    // Unblocking delivers a pending signal at once, before the call returns;
    // what was printed must reach its reader before the default action ends
    // the process (exit status 128 + the signal's number in a shell).
    std::fflush(stdout);
    std::fflush(stderr);
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

bool SignalHold::interruptPending() {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0) {
        return false;
    }
    for (const int signal : kHeldSignals) {
        struct sigaction action {};
        if (sigismember(&pending, signal) == 1 && sigaction(signal, nullptr, &action) == 0 &&
            action.sa_handler != SIG_IGN) {
            return true;
        }
    }
    return false;
}
#endif
