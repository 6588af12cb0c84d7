// Holds the interrupt signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl-C,
// Ctrl-Break and console close on Windows) for the lifetime of the object,
// in every thread the process starts meanwhile: taken before device work
// begins (before a library or libusb starts a thread), it lasts until the
// device is given back, so that neither an EEPROM write and its
// verification nor the close that gives the device back is ever cut short.
// When the hold ends, a signal that arrived meanwhile takes its normal
// course: the process ends as it asks, with what it printed flushed.
// varnolt, the EEPROM tool and every later program of the package take it.
#pragma once

#if !defined(_WIN32)
#include <signal.h>
#endif

class SignalHold {
  public:
    SignalHold();
    ~SignalHold();
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

    // Whether a held signal arrived that will end the process when the hold
    // ends (one whose action is to be ignored does not count): a caller can
    // then leave out work it has not begun, such as a write.
    static bool interruptPending();

  private:
#if !defined(_WIN32)
    sigset_t previousMask_{};
#endif
};
