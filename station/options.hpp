// varnolt-station's command line: what a run hands out and to which chips,
// checked in full before the ledger is opened or a number taken.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ledger.hpp"

namespace station {

struct Options {
    std::string command;  // program, release, export, numbers
    std::string ledger;   // an SQLite file or a PostgreSQL URL
    std::string station;  // this station's name, on every record
    RunDefinition run;    // the run (only its name for release, export, numbers)
    // program: the CBUS codes to set, each in its pin's range.
    std::optional<std::array<std::uint8_t, 5>> cbus;
    // program: a chip with a serial number of no number of this run gets a
    // new one (replace) or is left alone (refuse).
    bool replaceOther = true;
    std::vector<std::string> ports;  // program: only these port paths
    bool json = false;               // program: JSON lines even on a terminal; export: JSON
    bool watch = false;              // program: keep running, taking devices as they come
    unsigned waitMs = 10000;         // program: how long a reset device may take to come back
    std::string serial, reason;      // release
    bool csv = true;                 // export: CSV (the default), unless --json
};

// The command line (argv[0] not looked at) into `options`; false with
// `error` for a usage error.  `defaultLedger` and `defaultStation` stand
// where the command line names none.  Counter runs: prefix, width, first
// and last number in decimal (leading zeros are digits: 010 is ten); list
// runs: a file of serial numbers, one a line (CRLF and a missing last line
// end are taken; blank lines are skipped).  Every serial number the run can
// hand out must have 1 to 15 characters, printable ASCII without spaces,
// and each CBUS code fit its pin.
bool parseOptions(int argc, char** argv, const std::string& defaultLedger,
                  const std::string& defaultStation, Options& options, std::string& error);

// Five CBUS codes, hexadecimal (1 or 2 digits, optionally 0x), given as
// five words or as one with commas or spaces between ("0a, 0a, 03, 02, 01",
// as varnolt -r prints them); each in its pin's range.
bool parseCbus(const std::vector<std::string>& words, std::array<std::uint8_t, 5>& cbus,
               std::string& error);

// The serial numbers of a list file's text.
bool parseSerialList(const std::string& text, std::vector<std::string>& serials,
                     std::string& error);

// The usage text.
const char* usageText();

}  // namespace station
