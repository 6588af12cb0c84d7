#include "configure.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "d2xx_library.hpp"
#include "d2xx_record.hpp"
#include "signal_hold.hpp"
#include "text.hpp"

namespace {

// A serial number as text for a terminal.  The stored one comes from the
// device and is untrusted: C0 control bytes and DEL (ESC starts sequences
// that retitle the window, clear the screen or reach the clipboard) are
// shown as \xNN; every other byte goes out as it is, so that ordinary
// serial numbers print exactly as before.  The new one is shown the same
// way, so that both sides of " -> " read alike.
void printSerial(const char* text) { std::fputs(printable(text).c_str(), stdout); }

// "Serial Number : " and the record's serial, then " -> " and the new one
// when `showNew`.
void printSerialLine(const FT_PROGRAM_DATA& record, const UpdateRequest& request, bool showNew) {
    std::printf("Serial Number : ");
    printSerial(record.SerialNumber);
    if (showNew) {
        std::printf(" -> ");
        printSerial(request.newSerialNumber);
    }
    std::printf("\n");
}

// Five CBUS bytes in hex, ", " between them and `beforeFifth` between the
// fourth and the fifth.
void printCbusBytes(const std::array<unsigned, 5>& bytes, const char* beforeFifth) {
    std::printf("%02x, %02x, %02x, %02x%s%02x", bytes[0], bytes[1], bytes[2], bytes[3], beforeFifth,
                bytes[4]);
}

// "CBUS0-4       : " (seven spaces line its colon up with the serial
// line's) and the record's CBUS bytes, then " -> " and the new ones when
// `showNew`.
void printCbusLine(const FT_PROGRAM_DATA& record, const UpdateRequest& request, bool showNew,
                   const char* oldBeforeFifth) {
    std::array<unsigned, 5> old{};
    std::array<unsigned, 5> asked{};
    const auto pins = cbusBytes(record);
    for (std::size_t pin = 0; pin < pins.size(); ++pin) {
        old[pin] = *pins[pin];
        asked[pin] = cbusByte(request.newCbus[pin]);
    }
    std::printf("CBUS0-4       : ");
    printCbusBytes(old, oldBeforeFifth);
    if (showNew) {
        std::printf(" -> ");
        printCbusBytes(asked, ", ");
    }
    std::printf("\n");
}

// Errors go to standard error after whatever standard output already holds,
// so that a terminal shows both in order.
void printError(const char* format, const char* argument) {
    std::fflush(stdout);
    std::fprintf(stderr, format, argument);
}

// Prints the echo lines (unless the report showed the pairs), stores the new
// serial number and CBUS bytes in the record and programs it.  Does nothing
// unless OPT_SERIAL or OPT_CBUS is set.  Prints "Done" on success, the error
// line on failure, and returns the programming status (FT_OK when nothing
// was to be written).
FT_STATUS applyUpdate(const UpdateRequest& request, FT_PROGRAM_DATA& record, FT_HANDLE handle,
                      const D2xxLibrary& d2xx) {
    const bool echo = (request.options & OPT_REPORT) == 0;
    if ((request.options & OPT_SERIAL) != 0) {
        if (echo) {
            printSerialLine(record, request, true);
        }
        // Fits: the buffer has 16 bytes and the command line admits 15.
        std::memcpy(record.SerialNumber, request.newSerialNumber,
                    std::strlen(request.newSerialNumber) + 1);
    }
    if ((request.options & OPT_CBUS) != 0) {
        if (echo) {
            // No comma between the fourth and fifth old bytes: the line is
            // kept as scripts have always parsed it.
            printCbusLine(record, request, true, " ");
        }
        const auto pins = cbusBytes(record);
        for (std::size_t pin = 0; pin < pins.size(); ++pin) {
            *pins[pin] = static_cast<UCHAR>(cbusByte(request.newCbus[pin]));
        }
    }
    if ((request.options & OPT_WRITE) == 0) {
        return FT_OK;
    }
    const FT_STATUS status = d2xx.eeProgram(handle, &record);
    if (status != FT_OK) {
        char name[24];
        printError("Error: failed to program the EEPROM (%s)\n", statusName(status, name));
        return status;
    }
    std::printf("Done\n");
    return FT_OK;
}

}  // namespace

int configureDevice(const UpdateRequest& request) {
    // Interrupt signals wait from before the library is loaded (every thread
    // it starts inherits the hold) until after it is unloaded: the device is
    // closed, its serial driver back, before the process ends as they ask.
    // Declared first, so that it ends last.
    const SignalHold hold;
    D2xxLibrary d2xx;
    if (!d2xx.load()) {
        printError("Error: cannot load %s\n", kD2xxLibraryName);
        return kExitDeviceError;
    }
    return configureDevice(request, d2xx);
}

int configureDevice(const UpdateRequest& request, const D2xxLibrary& d2xx) {
    char listing[kListingBytes] = {};
    // Device 0 by index; the index travels in the pointer-sized argument.
    const FT_STATUS listStatus =
        d2xx.listDevices(reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(0)), listing,
                         FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    listing[kListingBytes - 1] = '\0';
    // A failed listing names no device: an open by its empty buffer would
    // take the first device whose description is empty, whichever it is.
    if (listStatus != FT_OK) {
        printError("%s", "Error: may be not connected a beacon\n");
        return kExitDeviceError;
    }

    // With nothing attached the listing fails; an open that finds no device
    // by the listed description fails here.
    const FT_HANDLE handle = d2xx.createFile(
        listing, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL | FT_OPEN_BY_DESCRIPTION, nullptr);
    if (isInvalidHandle(handle)) {
        printError("%s", "Error: may be not connected a beacon\n");
        return kExitDeviceError;
    }

    D2xxRecord record;
    const FT_STATUS readStatus = d2xx.eeRead(handle, &record.data);
    // The record must keep pointing at our buffers, whatever the library did.
    record.attach();
    record.terminate();
    if (readStatus != FT_OK) {
        char name[24];
        printError("Error: failed to read the EEPROM (%s)\n", statusName(readStatus, name));
        d2xx.closeHandle(handle);
        return kExitDeviceError;
    }
    if ((request.options & OPT_REPORT) != 0) {
        printSerialLine(record.data, request, (request.options & OPT_SERIAL) != 0);
        printCbusLine(record.data, request, (request.options & OPT_CBUS) != 0, ", ");
    }

    // An interrupt that came before the first write leaves the device as it
    // was: it is closed, and the process ends as the signal asks.  One that
    // comes later waits until the write, its verification and the close are
    // done.
    if ((request.options & OPT_WRITE) != 0 && SignalHold::interruptPending()) {
        d2xx.closeHandle(handle);
        return kExitDeviceError;
    }
    const FT_STATUS programStatus = applyUpdate(request, record.data, handle, d2xx);
    d2xx.closeHandle(handle);
    std::fflush(stdout);
    return programStatus == FT_OK ? 0 : kExitDeviceError;
}
