// FT232R images made and read by libftdi1, a widely used implementation of
// the same EEPROM layout written independently of ours: its
// ftdi_eeprom_build makes images as other tools leave them on devices, and
// its ftdi_eeprom_decode is a second opinion on what an image holds.
//
// libftdi1 works offline through its public API: a context of type TYPE_R,
// ftdi_eeprom_initdefaults (which sets the 128-byte size), then
// ftdi_set_eeprom_value / ftdi_eeprom_build / ftdi_get_eeprom_buf to make an
// image, or ftdi_set_eeprom_buf / ftdi_eeprom_decode to read one.  Two of
// those calls refuse to run without an open device although they never use
// it, so a placeholder device handle is set around them (see the .cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ft232r_eeprom.hpp"

// What an image is made of.  `variant` picks the other settings (power,
// invert mask, driver, drive, oscillator, the PnP byte in the trailer).
struct ReferenceSettings {
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::array<std::uint8_t, 5> cbus{};
    unsigned variant = 0;
    bool spareBits = false;  // set bits no field owns in 0x00, 0x08, 0x0A, 0x16, 0x17
};

// What libftdi1 decodes from an image.
struct ReferenceDecoded {
    bool checksumOk = false;
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::array<int, 5> cbus{};  // read only when the checksum is good: libftdi1 stops there
};

// An image as ftdi_eeprom_build makes it from `settings`.  ftdi_eeprom_build
// replaces CBUS codes it does not know (above 0x0C on CBUS0..3, above 0x09
// on CBUS4) with its defaults; those nibbles, and the spare bits, are put in
// afterwards and the checksum recomputed, as a tool that knows them would
// have written them.  False (with the reason in `error`) when libftdi1
// refuses.
bool referenceImage(const ReferenceSettings& settings, ft232r::Image& image, std::string& error);

// libftdi1's reading of `image`; false when libftdi1 cannot be set up.
bool referenceDecode(const ft232r::Image& image, ReferenceDecoded& decoded);
