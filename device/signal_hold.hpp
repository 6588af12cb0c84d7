// Holds interrupt signals (SIGINT, SIGTERM; Ctrl-C and console close on
// Windows) for the lifetime of the object, so that an EEPROM write and its
// verification are never cut short.  When the hold ends, a signal that
// arrived meanwhile takes its normal course: the process ends as it asks.
#pragma once

#if !defined(_WIN32)
#include <signal.h>
#endif

class SignalHold {
  public:
    explicit SignalHold(bool active);
    ~SignalHold();
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

  private:
    bool active_;
#if !defined(_WIN32)
    sigset_t previousMask_{};
#endif
};
