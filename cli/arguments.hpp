// The command line: usage line, option grammar and its checks.
#pragma once

#include <optional>

#include "update_request.hpp"

// Exit statuses of the command line: the usage line (no arguments) is not
// an error; a command line that does not parse is.
constexpr int kExitOk = 0;
constexpr int kExitBadCommandLine = 1;

// Turns the arguments into `request`.  Returns nothing when the run goes on;
// otherwise the exit status to stop with, its line already written to
// standard error: 0 after the usage line, 1 after an error message.
// Writes nothing to standard output and touches no device.
std::optional<int> parseArguments(int argc, const char* const* argv, UpdateRequest& request);

// Converts one CBUS value as sscanf "%x" does: optional white space and
// sign, optional 0x, hex digits up to the first other byte.  False when no
// digit converts.
bool convertCbusValue(const char* text, std::int32_t& value);
