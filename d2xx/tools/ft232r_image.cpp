// ft232r-image: makes and shows FT232R EEPROM image files, the backing store
// of the emulated device.  A file holds the 128-byte user area, optionally
// followed by the 128 bytes of factory data (words 0x40..0x7F).

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "ft232r_eeprom.hpp"

namespace ft232r {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

constexpr std::size_t kFactoryBytes = 128;  // words 0x40..0x7F, never written on a real chip

constexpr std::array<const char*, 8> kInvertNames = {"TXD", "RXD", "RTS", "CTS",
                                                     "DTR", "DSR", "DCD", "RI"};

constexpr const char* kUsage =
    "usage: ft232r-image new FILE [--serial S] [--product P] [--manufacturer M]\n"
    "                             [--cbus C0 C1 C2 C3 C4] [--factory]\n"
    "       ft232r-image show FILE\n"
    "CBUS codes are hexadecimal (e.g. 3 or 0x0A).\n";

int usage() {
    std::cerr << kUsage;
    return kExitUsage;
}

int fail(const std::string& message) {
    std::cerr << "ft232r-image: " << message << '\n';
    return kExitError;
}

std::string hex(unsigned value, int digits, bool upper) {
    char buf[16];
    std::snprintf(buf, sizeof buf, upper ? "%0*X" : "%0*x", digits, value);
    return buf;
}

// One or two hex digits, optionally prefixed with 0x; nothing else.
bool parseHexByte(const std::string& text, std::uint8_t& out) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2) return false;
    unsigned value = 0;
    for (const char c : digits) {
        unsigned d = 0;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * 16 + d;
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

const char* invalidMessage(Invalid why) {
    switch (why) {
        case Invalid::Ok:
            return "ok";
        case Invalid::Cbus:
            return "CBUS code not accepted on that pin (CBUS0..3: 00..0d, CBUS4: 00..09)";
        case Invalid::SerialTooLong:
            return "serial number longer than 15 characters";
        case Invalid::StringsTooLong:
            return "strings too long (manufacturer + product at most 40, all three at most 46)";
        case Invalid::NoRoom:
            return "strings do not fit before the checksum";
        case Invalid::Value:
            return "value out of range";
    }
    return "invalid fields";
}

int commandNew(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    const std::string& path = args[0];
    Fields fields;
    bool factory = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& opt = args[i];
        const bool hasValue = i + 1 < args.size();
        if (opt == "--serial" && hasValue) {
            fields.serial = args[++i];
        } else if (opt == "--product" && hasValue) {
            fields.description = args[++i];
        } else if (opt == "--manufacturer" && hasValue) {
            fields.manufacturer = args[++i];
        } else if (opt == "--cbus" && i + fields.cbus.size() < args.size()) {
            for (std::uint8_t& code : fields.cbus) {
                if (!parseHexByte(args[++i], code)) return usage();
            }
        } else if (opt == "--factory") {
            factory = true;
        } else {
            return usage();
        }
    }

    const Invalid why = validateFields(fields);
    if (why != Invalid::Ok) return fail(invalidMessage(why));

    const Image image = makeImage(fields);
    std::vector<std::uint8_t> bytes(image.begin(), image.end());
    // A stand-in for the chip ID and permanent serial: erased-cell bytes.
    if (factory) bytes.insert(bytes.end(), kFactoryBytes, 0xFF);

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) return fail("cannot write " + path);
    return kExitOk;
}

std::string yesNo(bool on) { return on ? "yes" : "no"; }

void printFields(const Fields& f) {
    std::cout << "manufacturer: " << f.manufacturer << '\n'
              << "description: " << f.description << '\n'
              << "serial: " << f.serial << '\n'
              << "vendorId: 0x" << hex(f.vendorId, 4, false) << '\n'
              << "productId: 0x" << hex(f.productId, 4, false) << '\n'
              << "maxPower: " << f.maxPower << " mA\n"
              << "selfPowered: " << yesNo(f.selfPowered) << '\n'
              << "remoteWakeup: " << yesNo(f.remoteWakeup) << '\n'
              << "isoIn: " << yesNo(f.isoIn) << '\n'
              << "isoOut: " << yesNo(f.isoOut) << '\n'
              << "pullDownEnable: " << yesNo(f.pullDownEnable) << '\n'
              << "serNumEnable: " << yesNo(f.serNumEnable) << '\n'
              << "usbVersionEnable: " << yesNo(f.usbVersionEnable) << '\n'
              << "usbVersion: 0x" << hex(f.usbVersion, 4, false) << '\n'
              << "useExtOsc: " << yesNo(f.useExtOsc) << '\n'
              << "highDriveIOs: " << yesNo(f.highDriveIOs) << '\n'
              << "endpointSize: 0x" << hex(f.endpointSize, 2, false) << '\n';
    std::string inverted;
    for (std::size_t i = 0; i < f.invert.size(); ++i) {
        if (!f.invert[i]) continue;
        if (!inverted.empty()) inverted += ' ';
        inverted += kInvertNames[i];
    }
    std::cout << "invert: " << (inverted.empty() ? "none" : inverted) << '\n';
    for (std::size_t pin = 0; pin < f.cbus.size(); ++pin) {
        std::cout << "cbus" << pin << ": " << hex(f.cbus[pin], 2, false) << '\n';
    }
    std::cout << "riIsD2xx: " << yesNo(f.riIsD2xx) << '\n';
}

void printDump(const std::vector<std::uint8_t>& bytes) {
    for (std::size_t row = 0; row < bytes.size(); row += 16) {
        std::cout << hex(static_cast<unsigned>(row), 2, true) << ':';
        for (std::size_t i = row; i < row + 16 && i < bytes.size(); ++i) {
            std::cout << ' ' << hex(bytes[i], 2, true);
        }
        std::cout << '\n';
    }
}

int commandShow(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage();
    const std::string& path = args[0];
    std::ifstream file(path, std::ios::binary);
    if (!file) return fail("cannot read " + path);
    std::vector<std::uint8_t> bytes;
    // Read one byte past the largest valid size so that longer files are caught.
    char c = 0;
    while (bytes.size() <= kImageBytes + kFactoryBytes && file.get(c)) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    if (file.bad()) return fail("cannot read " + path);
    if (bytes.size() != kImageBytes && bytes.size() != kImageBytes + kFactoryBytes) {
        return fail(path + ": expected 128 or 256 bytes");
    }

    Image image{};
    std::copy(bytes.begin(), bytes.begin() + kImageBytes, image.begin());
    Fields fields;
    switch (decode(image, fields)) {
        case DecodeResult::Ok:
            printFields(fields);
            std::cout << "checksum: good (0x" << hex(checksum(image), 4, true) << ")\n";
            break;
        case DecodeResult::StaleChecksum:
            printFields(fields);
            std::cout << "checksum: bad (stored 0x" << hex(wordAt(image, kChecksumWord), 4, true)
                      << ", computed 0x" << hex(checksum(image), 4, true) << ")\n";
            break;
        case DecodeResult::Blank:
            std::cout << "blank\n";
            break;
        case DecodeResult::Broken:
            std::cout << "broken\n";
            break;
    }
    printDump(bytes);
    return kExitOk;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "new") return commandNew(rest);
    if (args[0] == "show") return commandShow(rest);
    return usage();
}

}  // namespace
}  // namespace ft232r

int main(int argc, char** argv) {
    return ft232r::run(std::vector<std::string>(argv + 1, argv + argc));
}
