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
// it, so a placeholder device handle is set around them (newContext).
// Included by differential_test.cpp alone, and compiled there.
#pragma once

#include <ftdi.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

inline constexpr ftdi_eeprom_value kCbusValues[5] = {
    CBUS_FUNCTION_0, CBUS_FUNCTION_1, CBUS_FUNCTION_2, CBUS_FUNCTION_3, CBUS_FUNCTION_4};

using Context = std::unique_ptr<ftdi_context, void (*)(ftdi_context*)>;

// A TYPE_R context with libftdi1's defaults and the 128-byte internal EEPROM.
inline Context newContext(const ReferenceSettings* strings) {
    Context context(ftdi_new(), [](ftdi_context* made) {
        made->usb_dev = nullptr;  // never a real device: nothing to close
        ftdi_free(made);
    });
    if (!context) return context;
    context->type = TYPE_R;
    // ftdi_eeprom_initdefaults and ftdi_eeprom_set_strings return early
    // without an open device, although for an FT232R neither they nor
    // ftdi_eeprom_build touch it.  This placeholder is never dereferenced
    // and is cleared again before the context is freed.
    static int placeholder;
    context->usb_dev = reinterpret_cast<libusb_device_handle*>(&placeholder);
    std::vector<std::string> texts = {"", "", ""};
    if (strings != nullptr) texts = {strings->manufacturer, strings->product, strings->serial};
    const int status =
        ftdi_eeprom_initdefaults(context.get(), texts[0].data(), texts[1].data(), texts[2].data());
    context->usb_dev = nullptr;
    if (status != 0) context.reset();
    return context;
}

// An image as ftdi_eeprom_build makes it from `settings`.  ftdi_eeprom_build
// replaces CBUS codes it does not know (above 0x0C on CBUS0..3, above 0x09
// on CBUS4) with its defaults; those nibbles, and the spare bits, are put in
// afterwards and the checksum recomputed, as a tool that knows them would
// have written them.  False (with the reason in `error`) when libftdi1
// refuses.
inline bool referenceImage(const ReferenceSettings& settings, ft232r::Image& image,
                           std::string& error) {
    const Context context = newContext(&settings);
    if (!context) {
        error = "libftdi1 context";
        return false;
    }
    ftdi_context* const ftdi = context.get();
    const unsigned v = settings.variant;
    std::vector<std::pair<ftdi_eeprom_value, int>> values = {
        {MAX_POWER, static_cast<int>(100 + 20 * (v % 20))},
        {SELF_POWERED, static_cast<int>(v & 1)},
        {REMOTE_WAKEUP, static_cast<int>((v >> 1) & 1)},
        {SUSPEND_PULL_DOWNS, static_cast<int>((v >> 2) & 1)},
        {HIGH_CURRENT, static_cast<int>((v >> 1) & 1)},
        {CHANNEL_A_DRIVER, static_cast<int>((v >> 2) & 1)},
        {EXTERNAL_OSCILLATOR, static_cast<int>((v >> 3) & 1)},
        {INVERT, static_cast<int>((v * 37) & 0xFF)},
        {IS_NOT_PNP, static_cast<int>(v & 1)},  // the third byte of the trailer
    };
    for (std::size_t pin = 0; pin < 5; ++pin)
        values.push_back({kCbusValues[pin], settings.cbus[pin]});
    for (const auto& [name, value] : values) {
        if (ftdi_set_eeprom_value(ftdi, name, value) != 0) {
            error = ftdi_get_error_string(ftdi);
            return false;
        }
    }
    if (ftdi_eeprom_build(ftdi) < 0 ||
        ftdi_get_eeprom_buf(ftdi, image.data(), static_cast<int>(image.size())) != 0) {
        error = ftdi_get_error_string(ftdi);
        return false;
    }
    // CBUS nibbles: bytes 0x14 (CBUS0 low, CBUS1 high), 0x15 (CBUS2, CBUS3),
    // 0x16 low nibble (CBUS4).
    for (std::size_t pin = 0; pin < 5; ++pin) {
        const int shift = pin % 2 == 0 ? 0 : 4;  // the other nibble is kept
        std::uint8_t& byte = image[0x14 + pin / 2];
        byte = static_cast<std::uint8_t>((byte & (0xF0 >> shift)) |
                                         ((settings.cbus[pin] & 0x0F) << shift));
    }
    if (settings.spareBits) {
        image[0x00] |= 0x50;  // bits 4-7: no function
        image[0x08] |= 0x15;  // bits 0-4: reserved
        image[0x0A] |= 0xA0;  // bits 5-7: reserved
        image[0x16] |= 0x60;  // high nibble: no pin
        image[0x17] = 0xC3;   // zero on every factory part
    }
    ft232r::updateChecksum(image);
    return true;
}

// libftdi1's reading of `image`; false when libftdi1 cannot be set up.
inline bool referenceDecode(const ft232r::Image& image, ReferenceDecoded& decoded) {
    const Context context = newContext(nullptr);
    if (!context) return false;
    ftdi_context* const ftdi = context.get();
    if (ftdi_set_eeprom_buf(ftdi, image.data(), static_cast<int>(image.size())) != 0) return false;
    // A string length byte under 2 leaves libftdi1 without that string, which
    // ftdi_eeprom_get_strings does not expect.
    for (const std::size_t lengthByte : {0x0F, 0x11, 0x13}) {
        if (image[lengthByte] < 2) return false;
    }
    decoded = ReferenceDecoded{};
    decoded.checksumOk = ftdi_eeprom_decode(ftdi, 0) == 0;
    // Buffers of the image's size hold any string it can carry.
    char manufacturer[ft232r::kImageBytes] = {}, product[ft232r::kImageBytes] = {},
         serial[ft232r::kImageBytes] = {};
    if (ftdi_eeprom_get_strings(ftdi, manufacturer, sizeof manufacturer, product, sizeof product,
                                serial, sizeof serial) != 0) {
        return false;
    }
    decoded.manufacturer = manufacturer;
    decoded.product = product;
    decoded.serial = serial;
    for (std::size_t pin = 0; pin < 5; ++pin) {
        if (ftdi_get_eeprom_value(ftdi, kCbusValues[pin], &decoded.cbus[pin]) != 0) return false;
    }
    return true;
}
