// varnolt: reads and rewrites the serial number and CBUS pin functions in
// the EEPROM of the first FT232R that the D2XX library lists.
#include <cstdio>

#include "arguments.hpp"
#include "configure.hpp"
#include "version.hpp"

int main(int argc, char** argv) {
    UpdateRequest request;
    if (const auto status = parseArguments(argc, argv, request)) {
        return *status;
    }
    std::printf("varnolt %s - FT232R serial number and CBUS configurator\n", VARNOLT_VERSION);
    // -1 reaches a POSIX shell as 255 and Windows as 0xFFFFFFFF.
    return configureDevice(request);
}
