// varnolt's own lines that the tests of whole runs expect.
#pragma once

#include <string>

inline const std::string kBanner =
    "varnolt " VARNOLT_VERSION " - FT232R serial number and CBUS configurator\n";
inline const std::string kNoDevice = "Error: may be not connected a beacon\n";
