// FT232R internal EEPROM codec: the 128-byte user area to and from the
// fields that the D2XX record carries for this chip, string descriptors and
// checksum.  Pure functions over byte arrays; no I/O.
//
// Byte map (64 little-endian words):
//   0x00      bit1 external oscillator, bit2 high-current I/O, bit3 D2XX driver
//   0x01      endpoint size
//   0x02..05  vendor ID, product ID (LE)
//   0x06..07  release number (0x0600 marks an FT232R), not in the record
//   0x08      bit6 self-powered, bit5 remote wakeup (bit7 always 1)
//   0x09      max power in 2 mA units
//   0x0A      bit0/1 iso IN/OUT, bit2 pull-downs, bit3 serial enabled, bit4 USB version enabled
//   0x0B      invert mask TXD RXD RTS CTS DTR DSR DCD RI (bit0..7)
//   0x0C..0D  USB version BCD (LE)
//   0x0E..13  string pointer/length pairs: manufacturer, product, serial
//   0x14..16  CBUS0..4 nibbles
//   0x18..7D  string descriptors, then whatever follows them (kept opaque)
//   0x7E..7F  checksum
// Every bit not listed is carried through encode untouched.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ft232r {

constexpr std::size_t kImageBytes = 128;  // user area; words 0x40..0x7F are factory data
constexpr std::size_t kImageWords = 64;
constexpr unsigned kChecksumWord = 0x3F;  // bytes 0x7E..0x7F
constexpr std::size_t kStringAreaStart = 0x18;
constexpr std::size_t kStringAreaEnd = 0x7E;  // exclusive: the checksum follows

using Image = std::array<std::uint8_t, kImageBytes>;

// Documented FT232R limits, in characters.
constexpr std::size_t kMaxSerialChars = 15;
constexpr std::size_t kMaxManufacturerPlusDescription = 40;
constexpr std::size_t kMaxAllStrings = 46;

// Highest accepted CBUS function code per pin: CBUS0..3 take 0x00..0x0D,
// CBUS4 only 0x00..0x09 (no I/O mode, bit-bang or FIFO strobes on that pin).
constexpr std::array<std::uint8_t, 5> kCbusMax = {0x0D, 0x0D, 0x0D, 0x0D, 0x09};

// The fields of the D2XX record (Versions 0 to 2) that an FT232R stores.
struct Fields {
    std::uint16_t vendorId = 0x0403;
    std::uint16_t productId = 0x6001;
    std::uint16_t maxPower = 90;  // mA; stored in 2 mA units
    bool selfPowered = false;
    bool remoteWakeup = true;
    bool isoIn = false;
    bool isoOut = false;
    bool pullDownEnable = false;
    bool serNumEnable = true;
    bool usbVersionEnable = false;
    std::uint16_t usbVersion = 0;
    bool useExtOsc = false;
    bool highDriveIOs = false;
    std::uint8_t endpointSize = 0x40;
    std::array<bool, 8> invert{};  // TXD RXD RTS CTS DTR DSR DCD RI
    std::array<std::uint8_t, 5> cbus = {0x03, 0x02, 0x00, 0x01, 0x05};
    bool riIsD2xx = false;
    // Strings as 8-bit text; decode stops a string at its first NUL unit.
    std::string manufacturer = "FTDI";
    std::string description = "FT232R USB UART";
    std::string serial;
};

// Field by field, strings by their text.
bool operator==(const Fields& a, const Fields& b);
inline bool operator!=(const Fields& a, const Fields& b) { return !(a == b); }

enum class DecodeResult {
    Ok,             // structure sound, checksum good
    StaleChecksum,  // structure sound, checksum does not match (an interrupted write)
    Blank,          // every byte 0xFF: never programmed
    Broken,         // pointers, lengths or descriptor types out of range
};

std::uint16_t wordAt(const Image& image, unsigned word);
void setWord(Image& image, unsigned word, std::uint16_t value);

// Checksum over words 0x00..0x3E: start 0xAAAA, XOR each word, rotate left 1.
std::uint16_t checksum(const Image& image);
bool checksumOk(const Image& image);
void updateChecksum(Image& image);

// Decodes the image into fields.  `out` is filled only when the result is
// Ok or StaleChecksum.  Never reads outside the image.
DecodeResult decode(const Image& image, Fields& out);

// Which structure check a Broken image failed, in words ("serial number
// string runs into the checksum"); empty for an image that is not Broken.
std::string brokenCheck(const Image& image);

// Why fields cannot be stored; Ok when they can.
enum class Invalid {
    Ok,
    Cbus,            // a CBUS code above its pin's limit
    SerialTooLong,   // more than 15 characters
    StringsTooLong,  // manufacturer + description over 40, or all three over 46
    NoRoom,          // the strings and the bytes after them do not fit before the checksum
    Value,           // a numeric field out of its byte's range (max power, endpoint size)
};
// The checks that need no image: CBUS codes, string limits, numeric ranges.
// Never returns NoRoom.
Invalid validateFields(const Fields& fields);
// Whether `fields` can be stored over `current`.  Only what differs from the
// fields `current` decodes to is checked (each CBUS pin on its own), so that
// a value another tool stored outside these limits (a CBUS nibble 0x0E, long
// strings) blocks no other change.  The string limits bound what a change
// adds: it is refused when it makes a sum of string lengths longer than its
// limit, while a sum already beyond it may stay as long or get shorter.
// Then whether the strings fit the current image's layout; NoRoom also when
// `current` does not decode: it has no layout to place them in.
Invalid validate(const Image& current, const Fields& fields);

// Reconciles a request with what its caller was shown.  `shown` is the
// decoded fields of `current` as a reader was handed them, strings possibly
// cut short (the D2XX record has fixed buffers); a string that `requested`
// leaves equal to `shown` was not changed and gets back the whole stored
// text, so that a cut copy never replaces it.  Not so for a string whose
// descriptor, in an image with a stale checksum, disagrees with its text:
// a write cut short left it, its text is no sound reading, and the request
// stands (running that write again then finishes it).
void keepUnchangedStrings(const Image& current, const Fields& shown, Fields& requested);

// Encodes `fields` over `current`: only bits and bytes whose values differ
// change, strings that keep their text keep their bytes, bytes following the
// last string descriptor move with it, and the checksum is recomputed.
// Requires a current image that decodes (Ok or StaleChecksum) and
// validate(current, fields) == Invalid::Ok; otherwise returns current.
Image encode(const Image& current, const Fields& fields);

// Builds a factory-style image from nothing but fields (for the image tool
// and tests; the device path never does this).  Meant for fields that pass
// validateFields; others still give a well-formed image, with strings cut
// to fit and values clamped to their bytes.
Image makeImage(const Fields& fields);

// The word addresses to write to turn `current` into `target`, in order.
// A changed word goes together with its even/odd partner; pairs go in
// ascending order, except that the pair holding the serial length goes last
// when the serial shrinks (so that an interrupted write never leaves old
// serial text where the bytes after the serial are looked for); the
// checksum's pair always goes last.  Empty when the images are equal.
std::vector<unsigned> planWrites(const Image& current, const Image& target);

}  // namespace ft232r
