// The EEPROM tool: backs up, restores and repairs an FT232R's EEPROM, and
// makes and shows image files.  Compiled once and linked into two programs
// (eeprom_tool_main.cpp): varnolt-eeprom over the USB bus (libftdi1),
// installed with varnolt, and ft232r-image over the emulated bus, whose
// devices are image files.  It goes to the device
// through the word transport, not through the D2XX record, so it reads and
// writes blank and broken images that the record refuses.  An image file
// holds the 128-byte user area, optionally followed by the 128 bytes of
// factory data (words 0x40..0x7F), which is read but never written.
//
// Exit status: 0 done, 1 an error (said on standard error), 2 a usage error.

#include "eeprom_tool.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "device_choice.hpp"
#include "eeprom_io.hpp"
#include "ft232r_eeprom.hpp"
#include "image_file.hpp"
#include "signal_hold.hpp"
#include "text.hpp"
#include "word_transport.hpp"

namespace ft232r {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

constexpr std::array<const char*, 8> kInvertNames = {"TXD", "RXD", "RTS", "CTS",
                                                     "DTR", "DSR", "DCD", "RI"};

// The program's name, for its messages and usage.
struct Tool {
    const char* name;
    int usage() const;
    int fail(const std::string& message) const {
        std::cerr << name << ": " << message << '\n';
        return kExitError;
    }
};

int Tool::usage() const {
    const std::string indent(std::string(name).size() + 7, ' ');
    std::cerr << "usage: " << name << " list\n"
              << "       " << name << " read FILE\n"
              << "       " << name << " write FILE\n"
              << "       " << name << " show FILE\n"
              << "       " << name << " fix-checksum FILE\n"
              << "       " << name << " new FILE [--serial S] [--product P] [--manufacturer M]\n"
              << indent << "     [--cbus C0 C1 C2 C3 C4] [--factory]\n"
              << "CBUS codes are hexadecimal (e.g. 3 or 0x0A).  FTD2XX_DEVICE chooses the\n"
              << "device: a USB port path such as 1-1.4, or a serial number.\n";
    return kExitUsage;
}

std::string hex(unsigned value, int digits, bool upper) { return hexDigits(value, digits, upper); }

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
        case Invalid::None:
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

int commandNew(const Tool& tool, const std::vector<std::string>& args) {
    if (args.empty()) return tool.usage();
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
                if (!parseHexByte(args[++i], code)) return tool.usage();
            }
        } else if (opt == "--factory") {
            factory = true;
        } else {
            return tool.usage();
        }
    }

    const Invalid why = validateFields(fields);
    if (why != Invalid::None) return tool.fail(invalidMessage(why));
    std::string error;

    const Image image = makeImage(fields);
    std::vector<std::uint8_t> bytes(image.begin(), image.end());
    // A stand-in for the chip ID and permanent serial: erased-cell bytes.
    if (factory) bytes.insert(bytes.end(), kFactoryBytes, 0xFF);

    if (!saveImageFile(path, bytes.data(), bytes.size(), &error)) return tool.fail(error);
    return kExitOk;
}

std::string yesNo(bool on) { return on ? "yes" : "no"; }

void printFields(const Fields& f) {
    std::cout << "manufacturer: " << printable(f.manufacturer) << '\n'
              << "description: " << printable(f.description) << '\n'
              << "serial: " << printable(f.serial) << '\n'
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

Image userArea(const std::vector<std::uint8_t>& bytes) {
    Image image{};
    std::copy_n(bytes.begin(), kImageBytes, image.begin());
    return image;
}

// "blank (...)" or "broken: " and the structure check the image fails;
// empty for a sound structure.
std::string faultText(const Image& image) {
    const std::string fault = structureFault(image);
    if (fault.empty() || fault.rfind("blank", 0) == 0) return fault;
    return "broken: " + fault;
}

// "checksum bad (stored 0x..., computed 0x...)"
std::string badChecksum(const Image& image) {
    return "checksum bad (stored 0x" + hex(wordAt(image, kChecksumWord), 4, true) +
           ", computed 0x" + hex(checksum(image), 4, true) + ")";
}

// The fields, the checksum and a hex dump.  An image that does not decode
// (blank or broken) is shown too, and is an error: no device reads it.
int commandShow(const Tool& tool, const std::vector<std::string>& args) {
    if (args.size() != 1) return tool.usage();
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!loadImageFile(args[0], bytes, &error)) return tool.fail(error);
    const Image image = userArea(bytes);
    Fields fields;
    const DecodeResult result = decode(image, fields);
    switch (result) {
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
            std::cout << faultText(image) << '\n';
            break;
    }
    printDump(bytes);
    const bool readable = result == DecodeResult::Ok || result == DecodeResult::StaleChecksum;
    return readable ? kExitOk : kExitError;
}

// Sets the checksum of FILE's user area to what its bytes give: a backup of
// a device whose write was cut short (sound, but with a stale checksum)
// becomes an image that write takes.  A blank or broken image is refused:
// a checksum cannot make it readable.
int commandFixChecksum(const Tool& tool, const std::vector<std::string>& args) {
    if (args.size() != 1) return tool.usage();
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!loadImageFile(args[0], bytes, &error)) return tool.fail(error);
    Image image = userArea(bytes);
    if (const std::string fault = faultText(image); !fault.empty()) {
        return tool.fail(args[0] + " is " + fault +
                         "; a checksum cannot make it readable: nothing "
                         "changed");
    }
    if (checksumOk(image)) {
        std::cout << args[0] << ": checksum already good (0x" << hex(checksum(image), 4, true)
                  << ")\n";
        return kExitOk;
    }
    const std::uint16_t stale = wordAt(image, kChecksumWord);
    updateChecksum(image);
    std::copy(image.begin(), image.end(), bytes.begin());
    if (!saveImageFile(args[0], bytes.data(), bytes.size(), &error)) return tool.fail(error);
    std::cout << args[0] << ": checksum set to 0x" << hex(checksum(image), 4, true) << " (was 0x"
              << hex(stale, 4, true) << ")\n";
    return kExitOk;
}

// A status by its name in the D2XX table, or its number.
std::string statusName(FT_STATUS status) {
    const char* name = d2xxStatusName(status);
    return name != nullptr ? name : "status " + std::to_string(status);
}

// The one device FTD2XX_DEVICE chooses, or the only one attached, opened.
// Several devices and no choice is an error: a repair tool that guessed
// could write the wrong device.
int openDevice(const Tool& tool, std::unique_ptr<d2xx::WordTransport>& transport,
               d2xx::DeviceEntry& entry) {
    d2xx::DeviceBus& bus = d2xx::deviceBus();
    d2xx::ChosenDevices chosen;
    const FT_STATUS listed = d2xx::listChosen(bus, chosen);
    if (listed != FT_OK) {
        return tool.fail(std::string("cannot list the USB devices (") + statusName(listed) + ")");
    }
    if (!chosen.why.empty()) return tool.fail(chosen.why);
    const std::vector<d2xx::DeviceEntry>& devices = chosen.devices;
    if (devices.empty()) {
        return tool.fail(
            !chosen.choice.given
                ? "no FT232R device found"
                : "no FT232R device matches " + std::string(d2xx::kDeviceVariable) + "=" +
                      printable(chosen.choice.text) +
                      " (a port path such as 1-1.4, or a serial number that one device "
                      "alone has)");
    }
    if (devices.size() > 1) {
        std::string ports;
        for (const auto& device : devices) ports += " " + device.port;
        return tool.fail(std::to_string(devices.size()) + " FT232R devices attached (at" + ports +
                         "): choose one, e.g. " + d2xx::kDeviceVariable + "=" + devices[0].port +
                         " " + tool.name + " ...");
    }
    entry = devices[0];
    const FT_STATUS opened = bus.open(chosen.busIndex[0], transport);
    if (opened != FT_OK) {
        return tool.fail("cannot open the device at " + entry.port + " (" + statusName(opened) +
                         "): another program holds it, or this user may not open it");
    }
    return kExitOk;
}

std::string named(const d2xx::DeviceEntry& entry) {
    return "the device at " + entry.port +
           (entry.serial.empty() ? "" : " (serial " + printable(entry.serial) + ")");
}

// Port, serial number and product string of each device, tab-separated, in
// list order; FTD2XX_DEVICE narrows the list as it narrows every listing.
int commandList(const Tool& tool, const std::vector<std::string>& args) {
    if (!args.empty()) return tool.usage();
    d2xx::ChosenDevices chosen;
    const FT_STATUS listed = d2xx::listChosen(d2xx::deviceBus(), chosen);
    if (listed != FT_OK) {
        return tool.fail(std::string("cannot list the USB devices (") + statusName(listed) + ")");
    }
    if (!chosen.why.empty()) return tool.fail(chosen.why);
    for (const auto& device : chosen.devices) {
        std::cout << device.port << '\t' << printable(device.serial) << '\t'
                  << printable(device.description) << '\n';
    }
    return kExitOk;
}

// The whole EEPROM, user and factory area, into FILE.  The device is read
// with the interrupt signals held: one that comes meanwhile ends the
// process once the device is given back, before FILE is written.
int commandRead(const Tool& tool, const std::vector<std::string>& args) {
    if (args.size() != 1) return tool.usage();
    const std::string& path = args[0];
    std::string error;
    if (!imageFileTarget(path, &error)) return tool.fail(error + "; the device was not read");
    std::vector<std::uint8_t> bytes;
    d2xx::DeviceEntry entry;
    {
        const SignalHold hold;
        std::unique_ptr<d2xx::WordTransport> transport;
        if (const int status = openDevice(tool, transport, entry); status != kExitOk) return status;
        for (unsigned word = 0; word < kEepromWords; ++word) {
            std::uint16_t value = 0;
            const FT_STATUS status = transport->readWord(word, value);
            if (status != FT_OK) {
                return tool.fail("cannot read word 0x" + hex(word, 2, false) + " of " +
                                 named(entry) + " (" + statusName(status) + ")");
            }
            bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(value >> 8));
        }
    }
    if (!saveImageFile(path, bytes.data(), bytes.size(), &error, true)) return tool.fail(error);
    const Image user = userArea(bytes);
    const std::string fault = faultText(user);
    std::cout << "read 256 bytes from " << named(entry) << " into " << path << '\n';
    if (!fault.empty()) {
        std::cout << "the user area is " << fault << '\n';
    } else if (!checksumOk(user)) {
        // What a write cut short leaves: varnolt reads it, and the same
        // command run again finishes it; write takes the file only once its
        // checksum is set.
        std::cout << "the user area's " << badChecksum(user)
                  << ": a write to the device was cut short; to write this backup back later, "
                     "first run: "
                  << tool.name << " fix-checksum " << path << '\n';
    }
    return kExitOk;
}

// Why a write stopped, for a person.
std::string writeFailure(const std::string& device, const d2xx::Programmed& done) {
    return "writing " + device + " failed (" + statusName(done.status) +
           "): " + d2xx::whereItStopped(done);
}

// FILE's user area onto the device: only the word pairs that differ, each
// read back before the next; the factory area is never written.  An image
// that would leave the device unreadable (blank, broken, bad checksum) is
// refused.  The interrupt signals are held from before the device is
// listed until it is given back: one that came before the first write
// leaves the device untouched, a later one waits for the write to finish.
int commandWrite(const Tool& tool, const std::vector<std::string>& args) {
    if (args.size() != 1) return tool.usage();
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!loadImageFile(args[0], bytes, &error)) return tool.fail(error);
    const Image target = userArea(bytes);
    if (const std::string fault = faultText(target); !fault.empty()) {
        return tool.fail(args[0] + " is " + fault + "; nothing written");
    }
    if (!checksumOk(target)) {
        return tool.fail(args[0] + ": " + badChecksum(target) +
                         "; nothing written.  A backup of a device whose write was cut short holds "
                         "such a checksum: if its other bytes are as wanted, set it with `" +
                         tool.name + " fix-checksum " + args[0] + "` and write it again");
    }
    const SignalHold hold;
    std::unique_ptr<d2xx::WordTransport> transport;
    d2xx::DeviceEntry entry;
    if (const int status = openDevice(tool, transport, entry); status != kExitOk) return status;
    Image current{};
    const FT_STATUS read = d2xx::readImage(*transport, current);
    if (read != FT_OK) {
        return tool.fail("cannot read " + named(entry) + " (" + statusName(read) + ")");
    }
    const Change plan = planImage(current, target);
    if (plan.words.empty()) {
        std::cout << named(entry) << " already holds " << args[0] << ": nothing written\n";
        return kExitOk;
    }
    // A signal before the first write: the device stays as it is, and the
    // process ends as the signal asks once the device is given back.
    if (SignalHold::interruptPending()) return kExitError;
    const d2xx::Programmed done = d2xx::programImage(*transport, plan);
    if (done.status != FT_OK) return tool.fail(writeFailure(named(entry), done));
    transport->programmed();
    transport.reset();
    std::cout << "wrote " << plan.words.size() << " words to " << named(entry)
              << ", each read back\n";
    return kExitOk;
}

int run(const Tool& tool, const std::vector<std::string>& args) {
    if (args.empty()) return tool.usage();
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "new") return commandNew(tool, rest);
    if (args[0] == "show") return commandShow(tool, rest);
    if (args[0] == "fix-checksum") return commandFixChecksum(tool, rest);
    if (args[0] == "list") return commandList(tool, rest);
    if (args[0] == "read") return commandRead(tool, rest);
    if (args[0] == "write") return commandWrite(tool, rest);
    return tool.usage();
}

}  // namespace
}  // namespace ft232r

int eepromTool(const char* name, int argc, char** argv) {
    return ft232r::run({name}, std::vector<std::string>(argv + 1, argv + argc));
}
