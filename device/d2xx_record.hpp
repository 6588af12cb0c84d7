// What both sides of the D2XX interface share beyond its declarations: how
// a caller lays out an FT_PROGRAM_DATA record and its listing buffer
// (varnolt fills them in, the stand-in libraries rely on them), and the
// names of the status codes.  Takes nothing but d2xx.h, so that the
// stand-ins may include it too.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "d2xx.h"

// Caller-owned buffers, the terminating NUL included.  The library writes
// into them without knowing their size, so both sides keep to these: the
// description FT_ListDevices lists by index, and the record's four texts.
constexpr std::size_t kListingBytes = 64;
constexpr std::size_t kManufacturerBytes = 32;
constexpr std::size_t kManufacturerIdBytes = 16;
constexpr std::size_t kDescriptionBytes = 64;
constexpr std::size_t kSerialNumberBytes = 16;

// The record's header: both signatures mark a record a library may read or
// program; Version 2 is the first layout that carries the FT232R block with
// the CBUS bytes.
constexpr DWORD kRecordSignature1 = 0x00000000;
constexpr DWORD kRecordSignature2 = 0xFFFFFFFF;
constexpr DWORD kRecordVersion = 2;

// The D2XX status table, by code: FT_OK (0) to FT_DEVICE_LIST_NOT_READY (19).
constexpr std::array<const char*, 20> kStatusNames = {
    "FT_OK",
    "FT_INVALID_HANDLE",
    "FT_DEVICE_NOT_FOUND",
    "FT_DEVICE_NOT_OPENED",
    "FT_IO_ERROR",
    "FT_INSUFFICIENT_RESOURCES",
    "FT_INVALID_PARAMETER",
    "FT_INVALID_BAUD_RATE",
    "FT_DEVICE_NOT_OPENED_FOR_ERASE",
    "FT_DEVICE_NOT_OPENED_FOR_WRITE",
    "FT_FAILED_TO_WRITE_DEVICE",
    "FT_EEPROM_READ_FAILED",
    "FT_EEPROM_WRITE_FAILED",
    "FT_EEPROM_ERASE_FAILED",
    "FT_EEPROM_NOT_PRESENT",
    "FT_EEPROM_NOT_PROGRAMMED",
    "FT_INVALID_ARGS",
    "FT_NOT_SUPPORTED",
    "FT_OTHER_ERROR",
    "FT_DEVICE_LIST_NOT_READY",
};

// A status's name from the table, or nullptr for a code beyond it.
inline const char* d2xxStatusName(FT_STATUS status) {
    return status < kStatusNames.size() ? kStatusNames[status] : nullptr;
}

inline bool signaturesOk(const FT_PROGRAM_DATA& data) {
    return data.Signature1 == kRecordSignature1 && data.Signature2 == kRecordSignature2;
}

// The FT232R block's five CBUS bytes, CBUS0 first: pointers into `data`
// (const ones for a const record).
template <typename Record>
std::array<decltype(&std::declval<Record&>().Cbus0), 5> cbusBytes(Record& data) {
    return {&data.Cbus0, &data.Cbus1, &data.Cbus2, &data.Cbus3, &data.Cbus4};
}

// A Version 2 record with its own text buffers, all empty.  Not copyable:
// the record points into the object.
struct D2xxRecord {
    D2xxRecord() {
        data.Signature1 = kRecordSignature1;
        data.Signature2 = kRecordSignature2;
        data.Version = kRecordVersion;
        attach();
    }
    D2xxRecord(const D2xxRecord&) = delete;
    D2xxRecord& operator=(const D2xxRecord&) = delete;

    // Points the record's texts at the buffers: again after a library call,
    // which may have moved the pointers.
    void attach() {
        data.Manufacturer = manufacturer;
        data.ManufacturerId = manufacturerId;
        data.Description = description;
        data.SerialNumber = serialNumber;
    }
    // Ends each text inside its buffer, whatever a library wrote there.
    void terminate() {
        manufacturer[kManufacturerBytes - 1] = '\0';
        manufacturerId[kManufacturerIdBytes - 1] = '\0';
        description[kDescriptionBytes - 1] = '\0';
        serialNumber[kSerialNumberBytes - 1] = '\0';
    }

    FT_PROGRAM_DATA data{};
    char manufacturer[kManufacturerBytes] = {};
    char manufacturerId[kManufacturerIdBytes] = {};
    char description[kDescriptionBytes] = {};
    char serialNumber[kSerialNumberBytes] = {};
};
