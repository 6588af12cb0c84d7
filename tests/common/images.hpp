// What the tests share about device images: example fields, image files in
// a temporary folder, and the word transfers the file emulator logged.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ft232r_eeprom.hpp"
#include "plans.hpp"

// Factory-style fields with a given serial number and CBUS setup (the
// factory defaults unless given).
inline ft232r::Fields exampleFields(const std::string& serial = "A1B2C3D4",
                                    std::array<std::uint8_t, 5> cbus = ft232r::Fields{}.cbus) {
    ft232r::Fields fields;
    fields.serial = serial;
    fields.cbus = cbus;
    return fields;
}

// Factory-style fields with these strings.
inline ft232r::Fields exampleFields(const std::string& manufacturer, const std::string& product,
                                    const std::string& serial) {
    ft232r::Fields fields = exampleFields(serial);
    fields.manufacturer = manufacturer;
    fields.description = product;
    return fields;
}

// What another tool stored beyond this tool's limits: manufacturer and
// product of 41 characters (over 40), 46 with the serial, and CBUS0 at 0x0E.
inline ft232r::Image storedBeyondTheLimits() {
    ft232r::Image image =
        ft232r::makeImage(exampleFields("Acme Instruments", "Precision Probe Interface", "AB12C"));
    image[0x14] = static_cast<std::uint8_t>((image[0x14] & 0xF0) | 0x0E);  // CBUS0: bits 3:0
    ft232r::updateChecksum(image);
    return image;
}

// An EEPROM never written: every byte 0xFF.
inline const ft232r::Image kBlankImage = [] {
    ft232r::Image blank;
    blank.fill(0xFF);
    return blank;
}();

// The factory image with the 4-byte trailer (02 03 xx 00) some programmers
// leave after the serial, whose descriptor is 0x42..0x53: not ours, it must
// survive every change.
inline ft232r::Image withTrailer() {
    ft232r::Image image = ft232r::makeImage(exampleFields());
    std::copy_n(std::begin({0x02, 0x03, 0x5A}), 3, image.begin() + 0x54);
    ft232r::updateChecksum(image);
    return image;
}

// The images of the report of cut writes that left devices unreadable or
// wrong: the factory strings with serial 40Z2GUAZNLP, and an image whose
// product comes before the serial and manufacturer after it.
inline ft232r::Image imageFromHex(const char* hex) {
    ft232r::Image image{};
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
    }
    return image;
}
inline ft232r::Image reportedFactoryImage() {
    return imageFromHex(
        "0040030401600006a02d08000000980aa220c21825c609000a03460054004400490020034600540032003300"
        "320052002000550053004200200055004100520054001803340030005a0032004700550041005a004e004c00"
        "50000000000000000000000000000000000000000000000000000000000000000000000000004786");
}
inline ft232r::Image reportedProductFirstImage() {
    return imageFromHex(
        "0040030401600006a02d08000000be0c9814ac12226c010014036c004a0063007a006f00340055006500680012"
        "0354004d004200390056004100360039000c034c006d006b0079004400000000000000000000000000000000"
        "000000000000000000000000000000000000000000000000000000000000000000000000001a30");
}

// A new folder /tmp/<prefix>-XXXXXX, or "" when none could be made.
inline std::string makeTempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// `bytes`: an ft232r::Image, or a std::vector of any size.
template <typename Bytes>
void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A text file's lines (a log), none when it does not exist.
inline std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A test's temporary folder of image files, one per device in the order
// added, removed with the test.
class ImageFolder {
  protected:
    explicit ImageFolder(const std::string& prefix) : dir_(makeTempDir(prefix)) {}
    ~ImageFolder() {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    // `bytes`: as writeFile takes them.
    template <typename Bytes>
    std::string addDevice(const Bytes& bytes) {
        const std::string path = dir_ + "/device" + std::to_string(devices_.size()) + ".bin";
        writeFile(path, bytes);
        devices_.push_back(path);
        return path;
    }

    // The user area an image file holds.
    static ft232r::Image imageOf(const std::string& path) {
        const auto bytes = readFile(path);
        ft232r::Image image{};
        EXPECT_GE(bytes.size(), image.size()) << path;
        std::copy_n(bytes.begin(), std::min(bytes.size(), image.size()), image.begin());
        return image;
    }
    ft232r::Image imageOf(std::size_t device = 0) const { return imageOf(devices_.at(device)); }

    std::string dir_;  // "" when it could not be made
    std::vector<std::string> devices_;
};

// Word transfers in an emulator log: reads before the first write, writes,
// and reads after the first write (the verification).
struct WordTransfers {
    int reads = 0, writes = 0, verifies = 0;
};
inline WordTransfers countTransfers(const std::string& logPath) {
    WordTransfers counted;
    for (const std::string& line : readLines(logPath)) {
        if (line.rfind("write 0x", 0) == 0) {
            ++counted.writes;
        } else if (line.rfind("read 0x", 0) == 0) {
            ++(counted.writes == 0 ? counted.reads : counted.verifies);
        }
    }
    return counted;
}
