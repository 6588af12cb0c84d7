// How a caller lays out an FT_PROGRAM_DATA record and its listing buffer,
// for both sides of the D2XX interface: varnolt fills them in, the stand-in
// libraries rely on them.  Takes nothing but d2xx.h, so that the stand-ins
// may include it too.
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
