// The EEPROM tool's commands, for the programs that link it with a bus:
// varnolt-eeprom (USB) and ft232r-image (the emulated bus).
#pragma once

// Runs the command line `argv` (argv[0] is not looked at), naming itself
// `name` in its messages.  The process's exit status: 0 done, 1 an error
// (said on standard error), 2 a usage error.
int eepromTool(const char* name, int argc, char** argv);
