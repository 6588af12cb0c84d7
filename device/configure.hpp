// Device access: list, open, read, report, update, close.
#pragma once

#include "update_request.hpp"

class D2xxLibrary;

constexpr int kExitDeviceError = -1;

// Loads the D2XX library and configures the first listed device as the
// request asks.  Returns the exit status: 0 when every step succeeded, -1
// when the library, the device, the EEPROM read or the programming failed
// (its line already on standard error).  After a successful open the device
// is closed exactly once on every path.  SIGINT, SIGTERM, SIGHUP and SIGQUIT
// are held from before the load until after the unload; one that arrived
// meanwhile then ends the process (nothing is written when it came before
// the first write).
int configureDevice(const UpdateRequest& request);

// The same with a library already loaded: the seam where tests hand in a
// D2xxLibrary whose five operations are fakes.  Holds no signals itself.
int configureDevice(const UpdateRequest& request, const D2xxLibrary& d2xx);
