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

// The EEPROM's address space: 128 words.  Words 0x00..0x3F are the user
// area (what this codec reads and writes, an Image); words 0x40..0x7F the
// factory area (the chip ID and a permanent serial), readable but never to
// be written.
constexpr std::size_t kImageBytes = 128;  // user area
constexpr std::size_t kImageWords = 64;
constexpr std::size_t kFactoryBytes = 128;
constexpr unsigned kEepromWords = 0x80;   // user and factory area
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

// Why `image` does not decode, for a person: "blank (...)" or the structure
// check a Broken image fails (which string, which byte, what it holds).
// Empty when the structure is sound (the checksum is not looked at).
std::string structureFault(const Image& image);

// Why fields cannot be stored; None when they can.
enum class Invalid {
    None,
    Cbus,            // a CBUS code above its pin's limit
    SerialTooLong,   // more than 15 characters
    StringsTooLong,  // manufacturer + description over 40, or all three over 46
    NoRoom,          // the strings have no place (see planChange), or the image does not decode
    Value,           // a numeric field out of its byte's range (max power, endpoint size)
};
// The checks that need no image: CBUS codes, string limits, numeric ranges.
// Never returns NoRoom.
Invalid validateFields(const Fields& fields);

// Where a string descriptor lies, by the header's pointer and length, and
// whether it is `sound`: its own length byte agrees with the header's, or
// is one that no write of ours leaves (over the longest serial number's
// descriptor: another program's layout).  A write cut short is the only
// thing of ours that leaves them apart (a descriptor that pads its text with
// NUL units has both equal), so a string that is not `sound` is a write
// still to be finished.
struct StringPlace {
    std::size_t offset = 0;
    std::size_t length = 0;
    bool sound = false;
};

// An image decoded once: the image, what it reads as, its fields and its
// layout.  `fields` and `strings` are filled only when the result is Ok or
// StaleChecksum (`readable`).
struct Decoded {
    Image image{};
    DecodeResult result = DecodeResult::Broken;
    Fields fields;
    std::array<StringPlace, 3> strings{};  // manufacturer, product, serial
    bool readable() const {
        return result == DecodeResult::Ok || result == DecodeResult::StaleChecksum;
    }
};
Decoded decodeImage(const Image& image);

// Where a change put the serial number's descriptor.
enum class Placement {
    Kept,      // not rewritten: the stored bytes are what was asked for
    InPlace,   // at its own pointer; a shorter one zeroes the rest of the old bytes
    Copy,      // into free room; the header switches to it last, the old bytes stay
    Shift,     // no free room: the bytes after the last string moved to make room
    Relayout,  // another string changed length: the string area was laid out again
};

// A change of the fields stored in an image, checked and planned in one pass.
struct Change {
    Invalid status = Invalid::None;
    Fields fields;                       // what is stored once the change is made
    Image current{};                     // the image the change starts from
    Image target{};                      // the image after the change
    Placement serial = Placement::Kept;  // only meaningful when status is Ok
    std::vector<unsigned> words;         // planWrites(current, target)
};

// Words 0x08/0x09 hold the product's and the serial's pointer and length
// (bytes 0x10..0x13): the pair that commits a serial's descriptors, written
// after them (planWrites).
constexpr unsigned kHeaderPairWord = 0x08;

// Plans storing `requested` over the image `current` decodes.  `shown` is
// what a reader was
// handed for `current` (strings possibly cut to the D2XX record's buffers):
// a string that `requested` leaves equal to `shown` keeps its whole stored
// bytes, except a serial number that a cut write left unsound (the request
// then stands, and running the write again finishes it).
//
// Only what differs from the stored fields is checked against the limits
// (each CBUS pin on its own; a sum of string lengths may not grow past its
// limit, one already beyond it may stay or shrink).  A serial number counts
// as unchanged only when its header and descriptor already hold exactly the
// bytes it would be written as (or the unchanged-field rule keeps them);
// never by the checksum or by its decoded text.
//
// The serial's header word (pointer and length, bytes 0x12/0x13) is the
// commit: before it is written, nothing outside the serial's own old
// descriptor and free room (zero bytes) changes, and every choice the plan
// makes depends only on bytes that it does not write before the commit.
// The same request over any state that a cut left therefore plans the same
// target, and the device reads soundly at every step.  A serial that grows
// goes in place when zero bytes follow it, else into the first free room
// (Copy); with neither, a serial that is the last string moves the bytes
// after it (Shift, which a cut can harm; those bytes are not this tool's),
// and one followed by another string is refused (NoRoom): moving that
// string could leave an image no reader accepts.  A change of the
// manufacturer's or product's text (which only a D2XX caller makes) lays
// the string area out again in its order (Relayout); a cut can harm that.
Change planChange(const Decoded& current, const Fields& shown, const Fields& requested);

// The plan that turns `current` into `target` as it is, byte for byte (a
// backup written back): status None, `fields` as `target` decodes.
Change planImage(const Image& current, const Image& target);

// Builds a factory-style image from nothing but fields (for the image tool
// and tests; the device path never does this).  Meant for fields that pass
// validateFields; others still give a well-formed image, with strings cut
// to fit and values clamped to their bytes.
Image makeImage(const Fields& fields);

// The word addresses to write to turn `current` into `target`, in order.
// A changed word goes together with its even/odd partner, pairs in
// ascending order, except that the pair holding the string headers (words
// 0x08/0x09, the serial's commit) goes after every descriptor byte, and the
// checksum's pair goes last, or just before the headers when it also holds
// descriptor bytes (0x7C/0x7D).  Empty when the images are equal.
std::vector<unsigned> planWrites(const Image& current, const Image& target);

}  // namespace ft232r
