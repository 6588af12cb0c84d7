// Fields of a factory-style image with a given serial and CBUS setup, for
// tests that build their device images with the codec.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ft232r_eeprom.hpp"

inline ft232r::Fields fieldsWith(const std::string& serial, std::array<std::uint8_t, 5> cbus = {
                                                                0x03, 0x02, 0x00, 0x01, 0x05}) {
    ft232r::Fields fields;
    fields.serial = serial;
    fields.cbus = cbus;
    return fields;
}
