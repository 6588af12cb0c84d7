// varnolt's own lines that the tests of whole runs expect.
#pragma once

#include <string>

inline const std::string kBanner =
    "varnolt " VARNOLT_VERSION " - FT232R serial number and CBUS configurator\n";
inline const std::string kNoDevice = "Error: may be not connected a beacon\n";
inline const std::string kReadFailed = "Error: failed to read the EEPROM (FT_EEPROM_READ_FAILED)\n";
inline const std::string kWriteFailed =
    "Error: failed to program the EEPROM (FT_EEPROM_WRITE_FAILED)\n";
// What -r prints after the banner for a device with the factory CBUS setup.
inline std::string factoryReport(const std::string& serial) {
    return "Serial Number : " + serial + "\nCBUS0-4       : 03, 02, 00, 01, 05\n";
}
