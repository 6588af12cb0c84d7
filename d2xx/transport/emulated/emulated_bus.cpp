// The emulated FT232R: every attached device is an EEPROM image file, named
// in FT232R_EMULATOR_DEVICES.  Tests and the demo drive it through three
// variables of its own:
//   FT232R_EMULATOR_DEVICES  image files in list order, ':' separated (';' on Windows)
//   FT232R_EMULATOR_FAULT    comma-separated faults, see Faults below
//   FT232R_EMULATOR_LOG      a file that receives one line per call and per word transfer
// The devices sit on bus 1 at ports 1, 2, ... in FT232R_EMULATOR_DEVICES
// order: port paths 1-1, 1-2, ...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "ft232r_eeprom.hpp"
#include "word_transport.hpp"

namespace d2xx {
namespace {

#if defined(_WIN32)
constexpr char kPathSeparator = ';';
#else
constexpr char kPathSeparator = ':';
#endif

// A user area of 128 bytes, optionally followed by the 128-byte factory area.
constexpr std::size_t kFactoryBytes = 128;

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

struct Faults {
    bool failList = false;
    bool failOpen = false;
    bool failRead = false;
    bool failProgram = false;
    bool failClose = false;
    long writesAllowed = -1;  // writes=N: word writes after the first N fail (cable pulled)
    bool clone = false;       // writes are acknowledged but not stored
    bool andWrites = false;   // a write stores old AND new
    long slowMs = 0;          // slow=MS: each word write takes this long
    bool wholeImage = false;  // whole-image: write all 64 words and read them all back
};

Faults parseFaults(const std::string& text) {
    Faults faults;
    for (const std::string& item : split(text, ',')) {
        if (item == "list")
            faults.failList = true;
        else if (item == "open")
            faults.failOpen = true;
        else if (item == "read")
            faults.failRead = true;
        else if (item == "program")
            faults.failProgram = true;
        else if (item == "close")
            faults.failClose = true;
        else if (item == "clone")
            faults.clone = true;
        else if (item == "and-writes")
            faults.andWrites = true;
        else if (item == "whole-image")
            faults.wholeImage = true;
        else if (item.rfind("writes=", 0) == 0)
            faults.writesAllowed = std::atol(item.c_str() + 7);
        else if (item.rfind("slow=", 0) == 0)
            faults.slowMs = std::atol(item.c_str() + 5);
        else
            std::fprintf(stderr, "ft232r emulator: unknown fault '%s'\n", item.c_str());
    }
    return faults;
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

bool loadFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return bytes.size() == ft232r::kImageBytes ||
           bytes.size() == ft232r::kImageBytes + kFactoryBytes;
}

// Replaces the file in one step: a reader never sees half an image.
bool saveFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            return false;
        }
    }
#if defined(_WIN32)
    // rename() refuses an existing target on Windows; removing it first
    // would leave a moment with no image at all.  MoveFileEx replaces it in
    // one step.
    return MoveFileExA(temporary.c_str(), path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(temporary.c_str(), path.c_str()) == 0;
#endif
}

class ImageFile : public WordTransport {
  public:
    ImageFile(std::string path, std::vector<std::uint8_t> bytes, Faults& faults, const Log& log)
        : path_(std::move(path)), bytes_(std::move(bytes)), faults_(faults), log_(log) {}

    FT_STATUS readWord(unsigned address, std::uint16_t& value) override {
        const std::size_t at = std::size_t{address} * 2;
        if (at + 2 > bytes_.size()) {
            // Outside the file: an absent factory area reads as erased.
            value = 0xFFFF;
        } else {
            value = static_cast<std::uint16_t>(bytes_[at] | (bytes_[at + 1] << 8));
        }
        log_.line("read " + hex(address) + " " + hex(value));
        return FT_OK;
    }

    FT_STATUS writeWord(unsigned address, std::uint16_t value) override {
        log_.line("write " + hex(address) + " " + hex(value));
        if (faults_.slowMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(faults_.slowMs));
        }
        if (faults_.writesAllowed == 0) {
            log_.line("write failed");
            return FT_IO_ERROR;
        }
        if (faults_.writesAllowed > 0) {
            --faults_.writesAllowed;
        }
        // Words 0x40..0x7F are the factory area: never writable.
        if (address >= ft232r::kImageWords) {
            return FT_INVALID_PARAMETER;
        }
        if (faults_.clone) {
            return FT_OK;
        }
        const std::size_t at = std::size_t{address} * 2;
        std::uint16_t stored = value;
        if (faults_.andWrites) {
            stored &= static_cast<std::uint16_t>(bytes_[at] | (bytes_[at + 1] << 8));
        }
        bytes_[at] = static_cast<std::uint8_t>(stored & 0xFF);
        bytes_[at + 1] = static_cast<std::uint8_t>(stored >> 8);
        // Each word is kept as soon as it is written, as an EEPROM does.
        return saveFile(path_, bytes_) ? FT_OK : FT_IO_ERROR;
    }

  private:
    static std::string hex(unsigned value) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02x", value);
        return text;
    }

    std::string path_;
    std::vector<std::uint8_t> bytes_;
    Faults& faults_;
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
            if (loadFile(path, bytes)) {
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
        if (index >= paths_.size() || !loadFile(paths_[index], bytes)) {
            return FT_DEVICE_NOT_OPENED;
        }
        device = std::make_unique<ImageFile>(paths_[index], std::move(bytes), faults_, log_);
        return FT_OK;
    }

    FT_STATUS injectedFault(Call call) override {
        const bool fail = (call == Call::List && faults_.failList) ||
                          (call == Call::Open && faults_.failOpen) ||
                          (call == Call::Read && faults_.failRead) ||
                          (call == Call::Program && faults_.failProgram) ||
                          (call == Call::Close && faults_.failClose);
        if (!fail) return FT_OK;
        switch (call) {
            case Call::Open:
                return FT_DEVICE_NOT_OPENED;
            case Call::Read:
                return FT_EEPROM_READ_FAILED;
            case Call::Program:
                return FT_EEPROM_WRITE_FAILED;
            default:
                return FT_IO_ERROR;
        }
    }

    bool wholeImageWrites() const override { return faults_.wholeImage; }

    void trace(const std::string& line) override { log_.line(line); }

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
