// The emulated FT232R: every attached device is an EEPROM image file, named
// in FT232R_EMULATOR_DEVICES.  Tests and the demo drive it through three
// variables of its own:
//   FT232R_EMULATOR_DEVICES  image files in list order, ':' separated (';' on Windows)
//   FT232R_EMULATOR_FAULT    comma-separated faults, see Faults below
//   FT232R_EMULATOR_LOG      a file that receives one line per thing the devices see: a
//                            listing, an open, each word read and write, a close
// The devices sit on bus 1 at ports 1, 2, ... in FT232R_EMULATOR_DEVICES
// order: port paths 1-1, 1-2, ...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "ft232r_eeprom.hpp"
#include "ft232r_model.hpp"
#include "word_transport.hpp"

namespace d2xx {
namespace {

#if defined(_WIN32)
constexpr char kPathSeparator = ';';
#else
constexpr char kPathSeparator = ':';
#endif

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator)) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

// What the devices do wrong, each with the D2XX status the failing call
// then returns (the API layer passes the bus's and transport's statuses on).
struct Faults {
    bool failList = false;     // list: the listing fails, FT_IO_ERROR
    bool failOpen = false;     // open: no device opens, FT_DEVICE_NOT_OPENED
    bool failRead = false;     // read: every word read fails, FT_EEPROM_READ_FAILED
    bool failProgram = false;  // program: the device will not be written, FT_EEPROM_WRITE_FAILED
    bool failClose = false;    // close: the close fails (FT_W32_CloseHandle returns FALSE)
    long slowMs = 0;           // slow=MS: each word write takes this long
    // writes=N, clone, per-word, stale-buffer, and-writes: the chip's own faults.
    ft232r::ChipFaults chip;
    // A fault unknown or malformed: every listing fails, FT_OTHER_ERROR.  A
    // library cannot refuse its caller's command line; failing every run is
    // how a typo in a test's faults is refused instead of passing unnoticed.
    bool refused = false;
};

// One of the devices' own faults (the chip's are parsed by the model).
ft232r::FaultItem busFault(const std::string& item, Faults& faults) {
    static const std::pair<const char*, bool Faults::*> kFlags[] = {
        {"list", &Faults::failList},   {"open", &Faults::failOpen},
        {"read", &Faults::failRead},   {"program", &Faults::failProgram},
        {"close", &Faults::failClose},
    };
    for (const auto& [name, flag] : kFlags) {
        if (item == name) {
            faults.*flag = true;
            return ft232r::FaultItem::Taken;
        }
    }
    if (item.rfind("slow=", 0) != 0) return ft232r::FaultItem::Unknown;
    return ft232r::parseFaultNumber(item.substr(5), 10, faults.slowMs)
               ? ft232r::FaultItem::Taken
               : ft232r::FaultItem::Malformed;
}

// Said once on standard error when refused: the library is loaded once per run.
Faults parseFaults(const std::string& text) {
    Faults faults;
    std::string refused;
    const ft232r::FaultItem taken = ft232r::parseFaults(
        text, faults.chip, [&](const std::string& item) { return busFault(item, faults); },
        refused);
    if (taken == ft232r::FaultItem::Taken) return faults;
    std::fprintf(stderr, "ft232r emulator: %s fault '%s'\n",
                 taken == ft232r::FaultItem::Unknown ? "unknown" : "bad", refused.c_str());
    Faults none;
    none.refused = true;
    return none;
}

class Log {
  public:
    explicit Log(std::string path) : path_(std::move(path)) {}
    void line(const std::string& text) const {
        if (path_.empty()) {
            return;
        }
        // Appended and closed at once, so that nothing is lost when the
        // process is ended by a signal.  Binary: lines end in '\n' on every
        // platform, so one reader serves the Linux and the Windows build.
        std::ofstream out(path_, std::ios::app | std::ios::binary);
        out << text << '\n';
    }

  private:
    std::string path_;
};

class ImageFile : public WordTransport {
  public:
    ImageFile(std::string path, const std::vector<std::uint8_t>& bytes, const Faults& faults,
              const Log& log)
        : path_(std::move(path)),
          fileSize_(bytes.size()),
          chip_(bytes, faults.chip),
          faults_(faults),
          log_(log) {}

    FT_STATUS readWord(unsigned address, std::uint16_t& value) override {
        if (faults_.failRead) {
            log_.line("read failed");
            return FT_EEPROM_READ_FAILED;
        }
        if (address >= ft232r::kEepromWords) {
            return FT_INVALID_PARAMETER;
        }
        value = chip_.read(address);
        log_.line("read 0x" + hexDigits(address, 2) + " 0x" + hexDigits(value, 2));
        return FT_OK;
    }

    FT_STATUS beginWrites() override {
        if (faults_.failProgram) {
            log_.line("write failed");
            return FT_EEPROM_WRITE_FAILED;
        }
        return FT_OK;
    }

    FT_STATUS writeWord(unsigned address, std::uint16_t value) override {
        log_.line("write 0x" + hexDigits(address, 2) + " 0x" + hexDigits(value, 2));
        if (faults_.slowMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(faults_.slowMs));
        }
        switch (chip_.write(address, value)) {
            case ft232r::WordWrite::Failed:
                log_.line("write failed");
                return FT_IO_ERROR;
            case ft232r::WordWrite::Refused:
                return FT_INVALID_PARAMETER;
            case ft232r::WordWrite::Dropped:
                return FT_OK;
            case ft232r::WordWrite::Kept:
                break;
        }
        // Each word is kept as soon as it is written, as an EEPROM does.
        return ft232r::saveImageFile(path_, chip_, fileSize_) ? FT_OK : FT_IO_ERROR;
    }

    FT_STATUS close() override {
        log_.line(faults_.failClose ? "close failed" : "close");
        return faults_.failClose ? FT_IO_ERROR : FT_OK;
    }

  private:
    std::string path_;
    std::size_t fileSize_;  // 128 bytes, or 256 with the factory area
    ft232r::ChipEeprom chip_;
    const Faults& faults_;
    const Log& log_;
};

class EmulatedBus : public DeviceBus {
  public:
    EmulatedBus()
        : paths_(split(environment("FT232R_EMULATOR_DEVICES"), kPathSeparator)),
          faults_(parseFaults(environment("FT232R_EMULATOR_FAULT"))),
          log_(environment("FT232R_EMULATOR_LOG")) {}

    FT_STATUS list(std::vector<DeviceEntry>& devices) override {
        devices.clear();
        if (faults_.refused) {
            log_.line("list failed");
            return FT_OTHER_ERROR;
        }
        if (faults_.failList) {
            log_.line("list failed");
            return FT_IO_ERROR;
        }
        log_.line("list");
        for (std::size_t index = 0; index < paths_.size(); ++index) {
            const std::string& path = paths_[index];
            // A file that is missing or not an image still takes its place
            // in the list (with no strings), so that the order stays fixed.
            DeviceEntry entry;
            // Bus 1, one port each in list order, as four devices on a
            // root hub's ports would be named.
            entry.port = "1-" + std::to_string(index + 1);
            std::vector<std::uint8_t> bytes;
            ft232r::Image image{};
            ft232r::Fields fields;
            entry.stringsRead = ft232r::loadImageFile(path, bytes);
            if (entry.stringsRead) {
                std::copy_n(bytes.begin(), image.size(), image.begin());
                const auto result = ft232r::decode(image, fields);
                if (result == ft232r::DecodeResult::Ok ||
                    result == ft232r::DecodeResult::StaleChecksum) {
                    entry.description = fields.description;
                    entry.serial = fields.serial;
                }
            }
            devices.push_back(entry);
        }
        return FT_OK;
    }

    FT_STATUS open(std::size_t index, std::unique_ptr<WordTransport>& device) override {
        std::vector<std::uint8_t> bytes;
        if (faults_.failOpen || index >= paths_.size() ||
            !ft232r::loadImageFile(paths_[index], bytes)) {
            log_.line("open failed");
            return FT_DEVICE_NOT_OPENED;
        }
        log_.line("open 1-" + std::to_string(index + 1));
        device = std::make_unique<ImageFile>(paths_[index], bytes, faults_, log_);
        return FT_OK;
    }

  private:
    std::vector<std::string> paths_;
    Faults faults_;
    Log log_;
};

}  // namespace

DeviceBus& deviceBus() {
    static EmulatedBus bus;
    return bus;
}

}  // namespace d2xx
