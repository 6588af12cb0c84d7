// Device access: list, open, read, report, update, close.
#pragma once

#include "d2xx.h"
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

// The same with an already loaded library.
int configureDevice(const UpdateRequest& request, const D2xxLibrary& d2xx);

// Prints the echo lines (unless the report showed the pairs), stores the new
// serial number and CBUS bytes in the record and programs it.  Does nothing
// unless OPT_SERIAL or OPT_CBUS is set.  Prints "Done" on success, the error
// line on failure, and returns the programming status (FT_OK when nothing
// was to be written).
FT_STATUS applyUpdate(const UpdateRequest& request, FT_PROGRAM_DATA& record, FT_HANDLE handle,
                      const D2xxLibrary& d2xx);
