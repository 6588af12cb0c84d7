#include "configure.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "d2xx_library.hpp"
#include "signal_hold.hpp"

namespace {

// Sizes of the record's four text buffers, as the D2XX library expects them.
constexpr std::size_t kListingBytes = 64;
constexpr std::size_t kManufacturerBytes = 32;
constexpr std::size_t kManufacturerIdBytes = 16;
constexpr std::size_t kDescriptionBytes = 64;
constexpr std::size_t kSerialNumberBytes = 16;

// FT_PROGRAM_DATA header values; Version 2 is the first layout that carries
// the FT232R block with the CBUS bytes.
constexpr DWORD kSignature1 = 0x00000000;
constexpr DWORD kSignature2 = 0xFFFFFFFF;
constexpr DWORD kRecordVersion = 2;

struct RecordBuffers {
    char manufacturer[kManufacturerBytes] = {};
    char manufacturerId[kManufacturerIdBytes] = {};
    char description[kDescriptionBytes] = {};
    char serialNumber[kSerialNumberBytes] = {};

    // A library does no size checking on these: whatever it wrote, each
    // text ends inside its buffer from here on.
    void terminate() {
        manufacturer[kManufacturerBytes - 1] = '\0';
        manufacturerId[kManufacturerIdBytes - 1] = '\0';
        description[kDescriptionBytes - 1] = '\0';
        serialNumber[kSerialNumberBytes - 1] = '\0';
    }
};

// A serial number as text for a terminal.  The stored one comes from the
// device and is untrusted: C0 control bytes and DEL (ESC starts sequences
// that retitle the window, clear the screen or reach the clipboard) are
// shown as \xNN; every other byte goes out as it is, so that ordinary
// serial numbers print exactly as before.  The new one is shown the same
// way, so that both sides of " -> " read alike.
void printSerial(const char* text) {
    for (const char* at = text; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte < 0x20 || byte == 0x7F) {
            std::printf("\\x%02x", byte);
        } else {
            std::putchar(byte);
        }
    }
}

void printReport(const UpdateRequest& request, const FT_PROGRAM_DATA& record) {
    std::printf("Serial Number : ");
    printSerial(record.SerialNumber);
    if ((request.options & OPT_SERIAL) != 0) {
        std::printf(" -> ");
        printSerial(request.newSerialNumber);
    }
    std::printf("\n");
    // Seven spaces after "CBUS0-4" line its colon up with the one above.
    std::printf("CBUS0-4       : %02x, %02x, %02x, %02x, %02x", record.Cbus0, record.Cbus1,
                record.Cbus2, record.Cbus3, record.Cbus4);
    if ((request.options & OPT_CBUS) != 0) {
        std::printf(" -> %02x, %02x, %02x, %02x, %02x", cbusByte(request.newCbus[0]),
                    cbusByte(request.newCbus[1]), cbusByte(request.newCbus[2]),
                    cbusByte(request.newCbus[3]), cbusByte(request.newCbus[4]));
    }
    std::printf("\n");
}

// Errors go to standard error after whatever standard output already holds,
// so that a terminal shows both in order.
void printError(const char* format, const char* argument) {
    std::fflush(stdout);
    std::fprintf(stderr, format, argument);
}

}  // namespace

FT_STATUS applyUpdate(const UpdateRequest& request, FT_PROGRAM_DATA& record, FT_HANDLE handle,
                      const D2xxLibrary& d2xx) {
    const bool echo = (request.options & OPT_REPORT) == 0;
    if ((request.options & OPT_SERIAL) != 0) {
        if (echo) {
            std::printf("Serial Number : ");
            printSerial(record.SerialNumber);
            std::printf(" -> ");
            printSerial(request.newSerialNumber);
            std::printf("\n");
        }
        // Fits: the buffer has 16 bytes and the command line admits 15.
        std::memcpy(record.SerialNumber, request.newSerialNumber,
                    std::strlen(request.newSerialNumber) + 1);
    }
    if ((request.options & OPT_CBUS) != 0) {
        if (echo) {
            // No comma between the fourth and fifth old bytes: the line is
            // kept as scripts have always parsed it.
            std::printf(
                "CBUS0-4       : %02x, %02x, %02x, %02x %02x -> %02x, %02x, %02x, %02x, %02x\n",
                record.Cbus0, record.Cbus1, record.Cbus2, record.Cbus3, record.Cbus4,
                cbusByte(request.newCbus[0]), cbusByte(request.newCbus[1]),
                cbusByte(request.newCbus[2]), cbusByte(request.newCbus[3]),
                cbusByte(request.newCbus[4]));
        }
        UCHAR* const pins[5] = {&record.Cbus0, &record.Cbus1, &record.Cbus2, &record.Cbus3,
                                &record.Cbus4};
        for (int pin = 0; pin < 5; ++pin) {
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

    FT_PROGRAM_DATA record{};
    RecordBuffers buffers;
    record.Signature1 = kSignature1;
    record.Signature2 = kSignature2;
    record.Version = kRecordVersion;
    record.Manufacturer = buffers.manufacturer;
    record.ManufacturerId = buffers.manufacturerId;
    record.Description = buffers.description;
    record.SerialNumber = buffers.serialNumber;

    const FT_STATUS readStatus = d2xx.eeRead(handle, &record);
    // The record must keep pointing at our buffers, whatever the library did.
    record.Manufacturer = buffers.manufacturer;
    record.ManufacturerId = buffers.manufacturerId;
    record.Description = buffers.description;
    record.SerialNumber = buffers.serialNumber;
    buffers.terminate();
    if (readStatus != FT_OK) {
        char name[24];
        printError("Error: failed to read the EEPROM (%s)\n", statusName(readStatus, name));
        d2xx.closeHandle(handle);
        return kExitDeviceError;
    }
    if ((request.options & OPT_REPORT) != 0) {
        printReport(request, record);
    }

    // An interrupt that came before the first write leaves the device as it
    // was: it is closed, and the process ends as the signal asks.  One that
    // comes later waits until the write, its verification and the close are
    // done.
    if ((request.options & OPT_WRITE) != 0 && SignalHold::interruptPending()) {
        d2xx.closeHandle(handle);
        return kExitDeviceError;
    }
    const FT_STATUS programStatus = applyUpdate(request, record, handle, d2xx);
    d2xx.closeHandle(handle);
    std::fflush(stdout);
    return programStatus == FT_OK ? 0 : kExitDeviceError;
}
