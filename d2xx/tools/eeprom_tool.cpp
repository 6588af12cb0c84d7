// The EEPROM tool: backs up, restores and repairs an FT232R's EEPROM, and
// makes and shows image files.  Built twice from this file: varnolt-eeprom
// over the USB bus (libftdi1), installed with varnolt, and ft232r-image over
// the emulated bus, whose devices are image files.  It goes to the device
// through the word transport, not through the D2XX record, so it reads and
// writes blank and broken images that the record refuses.  An image file
// holds the 128-byte user area, optionally followed by the 128 bytes of
// factory data (words 0x40..0x7F), which is read but never written.
//
// Exit status: 0 done, 1 an error (said on standard error), 2 a usage error.

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

#if !defined(_WIN32)
#include <signal.h>
#endif

#include "device_choice.hpp"
#include "eeprom_io.hpp"
#include "ft232r_eeprom.hpp"
#include "image_file.hpp"
#include "word_transport.hpp"

#ifndef VARNOLT_TOOL_NAME
#define VARNOLT_TOOL_NAME "varnolt-eeprom"
#endif

namespace ft232r {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

constexpr std::size_t kFactoryBytes = 128;  // words 0x40..0x7F, never written on a real chip

constexpr std::array<const char*, 8> kInvertNames = {"TXD", "RXD", "RTS", "CTS",
                                                     "DTR", "DSR", "DCD", "RI"};

constexpr const char* kName = VARNOLT_TOOL_NAME;

int usage() {
    const std::string name = kName;
    const std::string indent(name.size() + 7, ' ');
    std::cerr << "usage: " << name << " list\n"
              << "       " << name << " read FILE\n"
              << "       " << name << " write FILE\n"
              << "       " << name << " show FILE\n"
              << "       " << name << " new FILE [--serial S] [--product P] [--manufacturer M]\n"
              << indent << "     [--cbus C0 C1 C2 C3 C4] [--factory]\n"
              << "CBUS codes are hexadecimal (e.g. 3 or 0x0A).  FTD2XX_DEVICE chooses the\n"
              << "device: a USB port path such as 1-1.4, or a serial number.\n";
    return kExitUsage;
}

int fail(const std::string& message) {
    std::cerr << kName << ": " << message << '\n';
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
    if (why != Invalid::None) return fail(invalidMessage(why));

    const Image image = makeImage(fields);
    std::vector<std::uint8_t> bytes(image.begin(), image.end());
    // A stand-in for the chip ID and permanent serial: erased-cell bytes.
    if (factory) bytes.insert(bytes.end(), kFactoryBytes, 0xFF);

    if (!saveImageFile(path, bytes.data(), bytes.size())) return fail("cannot write " + path);
    return kExitOk;
}

std::string yesNo(bool on) { return on ? "yes" : "no"; }

void printFields(const Fields& f) {
    std::cout << "manufacturer: " << d2xx::printable(f.manufacturer) << '\n'
              << "description: " << d2xx::printable(f.description) << '\n'
              << "serial: " << d2xx::printable(f.serial) << '\n'
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

int commandShow(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage();
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!loadImageFile(args[0], bytes, &error)) return fail(error);
    const Image image = userArea(bytes);
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
            std::cout << faultText(image) << '\n';
            break;
    }
    printDump(bytes);
    return kExitOk;
}

const char* statusName(FT_STATUS status) {
    switch (status) {
        case FT_OK:
            return "FT_OK";
        case FT_INVALID_HANDLE:
            return "FT_INVALID_HANDLE";
        case FT_DEVICE_NOT_FOUND:
            return "FT_DEVICE_NOT_FOUND";
        case FT_DEVICE_NOT_OPENED:
            return "FT_DEVICE_NOT_OPENED";
        case FT_IO_ERROR:
            return "FT_IO_ERROR";
        case FT_INSUFFICIENT_RESOURCES:
            return "FT_INSUFFICIENT_RESOURCES";
        case FT_INVALID_PARAMETER:
            return "FT_INVALID_PARAMETER";
        case FT_EEPROM_READ_FAILED:
            return "FT_EEPROM_READ_FAILED";
        case FT_EEPROM_WRITE_FAILED:
            return "FT_EEPROM_WRITE_FAILED";
        default:
            return "FT_OTHER_ERROR";
    }
}

// Holds SIGINT, SIGTERM and SIGHUP while the EEPROM is written, so that a
// Ctrl-C cannot cut a write short; a signal that came meanwhile takes its
// course when the hold ends.  On Windows, Ctrl-C is ignored meanwhile.
class HeldSignals {
  public:
#if defined(_WIN32)
    HeldSignals() { SetConsoleCtrlHandler(nullptr, TRUE); }
    ~HeldSignals() { SetConsoleCtrlHandler(nullptr, FALSE); }
#else
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGINT);
        sigaddset(&held, SIGTERM);
        sigaddset(&held, SIGHUP);
        sigprocmask(SIG_BLOCK, &held, &previous_);
    }
    ~HeldSignals() {
        std::cout.flush();
        sigprocmask(SIG_SETMASK, &previous_, nullptr);
    }

  private:
    sigset_t previous_{};
#endif
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
};

// The one device FTD2XX_DEVICE chooses, or the only one attached, opened.
// Several devices and no choice is an error: a repair tool that guessed
// could write the wrong device.
int openDevice(std::unique_ptr<d2xx::WordTransport>& transport, d2xx::DeviceEntry& entry) {
    d2xx::DeviceBus& bus = d2xx::deviceBus();
    std::vector<d2xx::DeviceEntry> devices;
    std::vector<std::size_t> busIndex;
    const FT_STATUS listed = d2xx::listChosen(bus, devices, busIndex);
    if (listed != FT_OK) {
        return fail(std::string("cannot list the USB devices (") + statusName(listed) + ")");
    }
    const char* choice = std::getenv(d2xx::kDeviceVariable);
    const std::string chosen = choice != nullptr ? choice : "";
    if (devices.empty()) {
        return fail(chosen.empty() ? "no FT232R device found"
                                   : "no FT232R device matches " +
                                         std::string(d2xx::kDeviceVariable) + "=" + chosen +
                                         " (a port path such as 1-1.4, or a serial number "
                                         "that one device alone has)");
    }
    if (devices.size() > 1) {
        std::string ports;
        for (const auto& device : devices) ports += " " + device.port;
        return fail(std::to_string(devices.size()) + " FT232R devices attached (at" + ports +
                    "): choose one, e.g. " + d2xx::kDeviceVariable + "=" + devices[0].port + " " +
                    kName + " ...");
    }
    entry = devices[0];
    const FT_STATUS opened = bus.open(busIndex[0], transport);
    if (opened != FT_OK) {
        return fail("cannot open the device at " + entry.port + " (" + statusName(opened) +
                    "): another program holds it, or this user may not open it");
    }
    return kExitOk;
}

std::string named(const d2xx::DeviceEntry& entry) {
    return "the device at " + entry.port +
           (entry.serial.empty() ? "" : " (serial " + d2xx::printable(entry.serial) + ")");
}

// Port, serial number and product string of each device, tab-separated, in
// list order; FTD2XX_DEVICE narrows the list as it narrows every listing.
int commandList(const std::vector<std::string>& args) {
    if (!args.empty()) return usage();
    std::vector<d2xx::DeviceEntry> devices;
    std::vector<std::size_t> busIndex;
    const FT_STATUS listed = d2xx::listChosen(d2xx::deviceBus(), devices, busIndex);
    if (listed != FT_OK) {
        return fail(std::string("cannot list the USB devices (") + statusName(listed) + ")");
    }
    for (const auto& device : devices) {
        std::cout << device.port << '\t' << d2xx::printable(device.serial) << '\t'
                  << d2xx::printable(device.description) << '\n';
    }
    return kExitOk;
}

// The whole EEPROM, user and factory area, into FILE.
int commandRead(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage();
    std::unique_ptr<d2xx::WordTransport> transport;
    d2xx::DeviceEntry entry;
    if (const int status = openDevice(transport, entry); status != kExitOk) return status;
    std::vector<std::uint8_t> bytes;
    for (unsigned word = 0; word < (kImageBytes + kFactoryBytes) / 2; ++word) {
        std::uint16_t value = 0;
        const FT_STATUS status = transport->readWord(word, value);
        if (status != FT_OK) {
            return fail("cannot read word 0x" + hex(word, 2, false) + " of " + named(entry) + " (" +
                        statusName(status) + ")");
        }
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    transport.reset();
    if (!saveImageFile(args[0], bytes.data(), bytes.size())) return fail("cannot write " + args[0]);
    const std::string fault = faultText(userArea(bytes));
    std::cout << "read 256 bytes from " << named(entry) << " into " << args[0] << '\n';
    if (!fault.empty()) std::cout << "the user area is " << fault << '\n';
    return kExitOk;
}

// FILE's user area onto the device: only the word pairs that differ, each
// read back; the factory area is never written.  An image that would leave
// the device unreadable (blank, broken, bad checksum) is refused.
int commandWrite(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage();
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!loadImageFile(args[0], bytes, &error)) return fail(error);
    const Image target = userArea(bytes);
    if (const std::string fault = faultText(target); !fault.empty()) {
        return fail(args[0] + " is " + fault + "; nothing written");
    }
    if (!checksumOk(target)) {
        return fail(args[0] + ": checksum bad (stored 0x" +
                    hex(wordAt(target, kChecksumWord), 4, true) + ", computed 0x" +
                    hex(checksum(target), 4, true) + "); nothing written");
    }
    std::unique_ptr<d2xx::WordTransport> transport;
    d2xx::DeviceEntry entry;
    if (const int status = openDevice(transport, entry); status != kExitOk) return status;
    Image current{};
    const FT_STATUS read = d2xx::readImage(*transport, current);
    if (read != FT_OK) {
        return fail("cannot read " + named(entry) + " (" + statusName(read) + ")");
    }
    const std::size_t words = planWrites(current, target).size();
    if (words == 0) {
        std::cout << named(entry) << " already holds " << args[0] << ": nothing written\n";
        return kExitOk;
    }
    FT_STATUS status = FT_OK;
    {
        const HeldSignals held;
        status = d2xx::programImage(*transport, current, target);
        if (status == FT_OK) transport->programmed();
    }
    if (status != FT_OK) {
        return fail("writing " + named(entry) + " failed (" + statusName(status) +
                    "): a word was not written or did not read back as written (clone chips "
                    "acknowledge writes they do not store); run the same command again to finish "
                    "an interrupted write");
    }
    std::cout << "wrote " << words << " words to " << named(entry) << ", each read back\n";
    return kExitOk;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "new") return commandNew(rest);
    if (args[0] == "show") return commandShow(rest);
    if (args[0] == "list") return commandList(rest);
    if (args[0] == "read") return commandRead(rest);
    if (args[0] == "write") return commandWrite(rest);
    return usage();
}

}  // namespace
}  // namespace ft232r

int main(int argc, char** argv) {
    return ft232r::run(std::vector<std::string>(argv + 1, argv + argc));
}
