// What the two EEPROM fuzzers (codec_fuzzer.cpp, d2xx_fuzzer.cpp) share:
// how a violated property is reported, and the change a command line's -s
// and -c make, planned over what the device shows.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "eeprom_io.hpp"
#include "ft232r_eeprom.hpp"
#include "plans.hpp"  // encode, validate, keepUnchangedStrings (tests/common)

namespace oracle {

// Aborts with the image the input started from, which libFuzzer reports as
// a finding.
[[noreturn]] inline void violation(const char* what, const ft232r::Image& image) {
    std::fprintf(stderr, "violation: %s\nimage:", what);
    for (std::size_t i = 0; i < image.size(); ++i) {
        std::fprintf(stderr, "%s%02X", i % 16 == 0 ? "\n  " : " ", image[i]);
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

inline void check(bool ok, const char* what, const ft232r::Image& image) {
    if (!ok) violation(what, image);
}

// What the D2XX record shows of an image: strings cut to its buffers.
inline ft232r::Fields shownOf(const ft232r::Image& image) {
    ft232r::Fields f;
    ft232r::decode(image, f);
    return d2xx::shownFields(f);
}

// `-s` and `-c` as a command line asks them.
struct Command {
    bool setSerial = false;
    std::string serial;
    bool setCbus = false;
    std::array<std::uint8_t, 5> cbus{};

    // The change planned over what `image` shows.
    ft232r::Change over(const ft232r::Image& image) const {
        const ft232r::Fields shown = shownOf(image);
        ft232r::Fields wanted = shown;
        if (setSerial) wanted.serial = serial;
        if (setCbus) wanted.cbus = cbus;
        return ft232r::planChange(ft232r::decodeImage(image), shown, wanted);
    }
};

}  // namespace oracle
