// The EEPROM of one FT232R as the chip keeps it, with the faults that parts
// and cables show.  One model for every emulated chip: the image-file bus of
// the emulated D2XX library, ft232r-usb under the real USB stack, and the
// chips held in memory by the fuzzer and the unit tests' transports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ft232r_eeprom.hpp"
#include "image_file.hpp"

namespace ft232r {

// The chip stores its EEPROM a 32-bit pair at a time: a write to an even
// word only loads a buffer, and the write to an odd word stores the pair,
// the buffered value into the even word whatever address it was written
// for.  The faults are what parts and cables do otherwise.
struct ChipFaults {
    // Word writes after the first N fail and reach no cell, as when the
    // cable is pulled mid-write; -1: none fails.
    long writesAllowed = -1;
    bool clone = false;        // writes acknowledged, never kept
    bool perWord = false;      // no pair buffer: every word stored at once (some clones)
    bool staleBuffer = false;  // an even write never reaches the buffer
    bool andWrites = false;    // a kept write leaves old AND new in the cells
};

// How one item of a fault list was taken.
enum class FaultItem {
    Taken,      // known, with a good value where it takes one
    Unknown,    // no such fault
    Malformed,  // a known fault with its value missing or not a number it takes
};

// A fault list as both emulators take it (FT232R_EMULATOR_FAULT, ft232r-usb
// --fault): items separated by commas, empty ones skipped.  The chip's own
// faults go into `chip`: writes=N (writesAllowed N), clone, per-word,
// stale-buffer, and-writes.  Every other item goes to `other`, the caller's
// own faults, which says how it took it.  Returns Taken when every item was
// taken; otherwise stops at the first item that was not, says how, and puts
// it in `refused`.  A typo refused, not ignored: no test passes by accident.
FaultItem parseFaults(const std::string& text, ChipFaults& chip,
                      const std::function<FaultItem(const std::string& item)>& other,
                      std::string& refused);

// A fault's number: digits only in `base` (10 or 16; no sign, space or 0x),
// within a long.  False otherwise, `out` then undefined.
bool parseFaultNumber(const std::string& text, int base, long& out);

// What became of one word write.
enum class WordWrite {
    Kept,     // in the cells (with andWrites: old AND new)
    Dropped,  // acknowledged, nothing stored: a clone, or an even word buffered
    Refused,  // the factory area, never writable
    Failed,   // never reached the chip (writesAllowed)
};

class ChipEeprom {
  public:
    // Words 0x00..0x3F the user area, 0x40..0x7F the factory area.
    static constexpr std::size_t kBytes = 2 * kEepromWords;

    // `image`: the user area, optionally followed by the factory area; the
    // cells it does not cover read as erased (0xFF).
    explicit ChipEeprom(const std::vector<std::uint8_t>& image, ChipFaults faults = {});
    explicit ChipEeprom(const Image& userArea, ChipFaults faults = {})
        : ChipEeprom(std::vector<std::uint8_t>(userArea.begin(), userArea.end()), faults) {}

    // `address` < kEepromWords.
    std::uint16_t read(unsigned address) const;
    WordWrite write(unsigned address, std::uint16_t value);

    // Every cell, the user area first.
    const std::array<std::uint8_t, kBytes>& cells() const { return cells_; }
    Image userArea() const;
    // Word writes asked for so far, kept or not.
    long writes() const { return writes_; }

  private:
    void store(unsigned address, std::uint16_t value);

    std::array<std::uint8_t, kBytes> cells_{};
    ChipFaults faults_;
    long writes_ = 0;
    // The pair buffer.  What it holds at power-on is not documented; an
    // erased cell's value stands in.
    std::uint16_t buffer_ = 0xFFFF;
};

// The chip's first `size` cells (the file's own size) replace the file in
// one step, as each kept word write does: a reader never sees half an image.
bool saveImageFile(const std::string& path, const ChipEeprom& chip, std::size_t size);

}  // namespace ft232r
