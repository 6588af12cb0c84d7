// What one run of the tool asks for: built from the command line, read by
// the device access and the update.
#pragma once

#include <cstdint>

#include "d2xx_record.hpp"

// Option bits; they only accumulate.
constexpr std::uint32_t OPT_REPORT = 1;  // -r: print the read-back report
constexpr std::uint32_t OPT_SERIAL = 2;  // -s: write a new serial number
constexpr std::uint32_t OPT_CBUS = 4;    // -c: write five new CBUS bytes
constexpr std::uint32_t OPT_WRITE = OPT_SERIAL | OPT_CBUS;

struct UpdateRequest {
    std::uint32_t options = 0;
    // At most 15 bytes of text and its NUL: the FT232R serial string limit,
    // and the record's serial-number buffer.
    char newSerialNumber[kSerialNumberBytes] = {};
    // CBUS0..CBUS4 as converted; only the low 8 bits are ever used.
    std::int32_t newCbus[5] = {};
};

// The byte that is printed and stored for a CBUS value.
inline unsigned cbusByte(std::int32_t value) { return static_cast<unsigned>(value) & 0xFFu; }
