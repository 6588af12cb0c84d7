#include "ft232r_eeprom.hpp"

#include <algorithm>
#include <numeric>
#include <tuple>

namespace ft232r {
namespace {

// Byte offsets of the user area (see the byte map in the header).
constexpr std::size_t kConfigByte = 0x00;       // oscillator, drive, driver bits
constexpr std::size_t kEndpointByte = 0x01;     // endpoint size
constexpr unsigned kVendorWord = 0x01;          // bytes 0x02..0x03
constexpr unsigned kProductWord = 0x02;         // bytes 0x04..0x05
constexpr unsigned kReleaseWord = 0x03;         // bytes 0x06..0x07
constexpr std::size_t kPowerConfigByte = 0x08;  // bit7 always set, self-powered, wakeup
constexpr std::size_t kMaxPowerByte = 0x09;     // 2 mA units
constexpr std::size_t kOptionsByte = 0x0A;      // iso, pull-downs, serial, USB version
constexpr std::size_t kInvertByte = 0x0B;       // one bit per UART line
constexpr unsigned kUsbVersionWord = 0x06;      // bytes 0x0C..0x0D

constexpr std::uint16_t kReleaseFt232r = 0x0600;  // marks an FT232R to the driver
constexpr std::uint8_t kPowerConfigFixed = 0x80;  // byte 0x08 bit 7 reads 1 on every part
constexpr std::uint16_t kMaxPowerLimit = 510;     // 0xFF in 2 mA units
constexpr std::uint8_t kStringDescriptorType = 0x03;
constexpr std::size_t kDescriptorHeader = 2;       // length byte, type byte
constexpr std::size_t kMaxDescriptorBytes = 0xFE;  // length byte, kept even
constexpr std::uint8_t kPointerFlag = 0x80;        // string pointers carry bit 7
constexpr std::uint16_t kChecksumSeed = 0xAAAA;
constexpr unsigned kSerialLengthPair = 0x04;  // words 0x08/0x09: byte 0x13 is in word 0x09
constexpr std::size_t kSerialLengthByte = 0x13;

// One flag bit of the model: where it lives and which field carries it.
struct FlagBit {
    std::size_t byte;
    std::uint8_t mask;
    bool Fields::*field;
};

constexpr std::array<FlagBit, 10> kFlagBits = {{
    {kConfigByte, 0x02, &Fields::useExtOsc},          // byte 0x00 bit 1: external oscillator
    {kConfigByte, 0x04, &Fields::highDriveIOs},       // byte 0x00 bit 2: high-current I/O
    {kConfigByte, 0x08, &Fields::riIsD2xx},           // byte 0x00 bit 3: 1 = D2XX, 0 = VCP
    {kPowerConfigByte, 0x40, &Fields::selfPowered},   // byte 0x08 bit 6
    {kPowerConfigByte, 0x20, &Fields::remoteWakeup},  // byte 0x08 bit 5
    {kOptionsByte, 0x01, &Fields::isoIn},             // byte 0x0A bit 0
    {kOptionsByte, 0x02, &Fields::isoOut},            // byte 0x0A bit 1
    {kOptionsByte, 0x04, &Fields::pullDownEnable},    // byte 0x0A bit 2: suspend pull-downs
    {kOptionsByte, 0x08, &Fields::serNumEnable},      // byte 0x0A bit 3
    {kOptionsByte, 0x10, &Fields::usbVersionEnable},  // byte 0x0A bit 4
}};

// Where each CBUS pin's function nibble lives.
struct CbusNibble {
    std::size_t byte;
    unsigned shift;
};

constexpr std::array<CbusNibble, 5> kCbusNibbles = {{
    {0x14, 0},  // byte 0x14 low nibble: CBUS0
    {0x14, 4},  // byte 0x14 high nibble: CBUS1
    {0x15, 0},  // byte 0x15 low nibble: CBUS2
    {0x15, 4},  // byte 0x15 high nibble: CBUS3
    {0x16, 0},  // byte 0x16 low nibble: CBUS4; the high nibble is not ours
}};

// Pointer and length bytes of the three string descriptors, in the order
// the chip's descriptors are indexed: manufacturer, product, serial.
struct StringSlot {
    std::size_t pointerByte;
    std::size_t lengthByte;
    std::string Fields::*field;
};

constexpr std::array<StringSlot, 3> kStringSlots = {{
    {0x0E, 0x0F, &Fields::manufacturer},
    {0x10, 0x11, &Fields::description},
    {0x12, 0x13, &Fields::serial},
}};

struct Descriptor {
    std::size_t offset;
    std::size_t length;  // from the header length byte, which is authoritative
};

using Layout = std::array<Descriptor, kStringSlots.size()>;
using Texts = std::array<std::string, kStringSlots.size()>;

std::uint8_t lowByte(unsigned value) { return static_cast<std::uint8_t>(value & 0xFFu); }

bool isBlank(const Image& image) {
    return std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// Reads the three descriptors' places from the header and checks that each
// lies inside the string area, is a string descriptor, and overlaps no other.
// On failure, `failed` (when given) says which check failed.
bool readLayout(const Image& image, Layout& layout, std::string* failed = nullptr) {
    constexpr const char* kNames[] = {"manufacturer", "product", "serial number"};
    auto fail = [&](std::size_t slot, const std::string& check) {
        if (failed != nullptr) *failed = std::string(kNames[slot]) + " string " + check;
        return false;
    };
    for (std::size_t i = 0; i < kStringSlots.size(); ++i) {
        const std::uint8_t pointer = image[kStringSlots[i].pointerByte];
        const std::size_t offset = pointer & 0x7Fu;
        const std::size_t length = image[kStringSlots[i].lengthByte];
        if ((pointer & kPointerFlag) == 0 || offset < kStringAreaStart)
            return fail(i, "points outside the string area");
        if (length < kDescriptorHeader || length % 2 != 0)
            return fail(i, "has an impossible length");
        if (offset + length > kStringAreaEnd) return fail(i, "runs into the checksum");
        if (image[offset + 1] != kStringDescriptorType)
            return fail(i, "is not a string descriptor");
        layout[i] = {offset, length};
    }
    for (std::size_t i = 0; i < layout.size(); ++i) {
        for (std::size_t j = i + 1; j < layout.size(); ++j) {
            const bool apart = layout[i].offset + layout[i].length <= layout[j].offset ||
                               layout[j].offset + layout[j].length <= layout[i].offset;
            if (!apart) return fail(i, std::string("overlaps the ") + kNames[j] + " string");
        }
    }
    return true;
}

// UTF-16LE units after the descriptor header; a unit outside 8 bits has no
// place in the record's char strings and reads as '?'.
std::string readText(const Image& image, const Descriptor& d) {
    std::string text;
    for (std::size_t at = d.offset + kDescriptorHeader; at + 1 < d.offset + d.length; at += 2) {
        const std::uint8_t lo = image[at];
        const std::uint8_t hi = image[at + 1];
        if (lo == 0 && hi == 0) break;
        text.push_back(hi == 0 ? static_cast<char>(lo) : '?');
    }
    return text;
}

std::size_t descriptorBytes(const std::string& text) { return kDescriptorHeader + 2 * text.size(); }

void appendDescriptor(std::vector<std::uint8_t>& out, const std::string& text) {
    out.push_back(lowByte(static_cast<unsigned>(descriptorBytes(text))));
    out.push_back(kStringDescriptorType);
    for (const char c : text) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0x00);
    }
}

// A descriptor rewritten only to put its length bytes right: the header,
// then the text's UTF-16 units as stored, so that a unit beyond 8 bits
// (decoded as '?') survives.  `text` is what readText gave for `d`.
void appendRepaired(std::vector<std::uint8_t>& out, const Image& image, const Descriptor& d,
                    const std::string& text) {
    out.push_back(lowByte(static_cast<unsigned>(descriptorBytes(text))));
    out.push_back(kStringDescriptorType);
    const auto units = image.begin() + static_cast<std::ptrdiff_t>(d.offset + kDescriptorHeader);
    out.insert(out.end(), units, units + static_cast<std::ptrdiff_t>(2 * text.size()));
}

// Whether a descriptor holds exactly its text: its own length byte and the
// header's length both match the text.  Not so after an interrupted write
// (a shrinking serial's text is complete before its length byte is written)
// or when a descriptor pads its text with NUL units.
bool descriptorIsExact(const Image& image, const Descriptor& d, const std::string& text) {
    return d.length == descriptorBytes(text) && image[d.offset] == d.length;
}

// Places the new string texts into `image` (whose header and string area are
// those of the decoded layout).  Texts that did not change keep their bytes;
// in an image with a stale checksum (an interrupted write) a descriptor that
// does not hold exactly its text is rewritten too, so that running the same
// change again finishes the write.  Returns false when the result would not
// fit before the checksum.
bool layStrings(Image& image, const Layout& layout, const Texts& oldTexts, const Texts& newTexts,
                bool interrupted) {
    constexpr std::size_t n = kStringSlots.size();
    std::array<bool, n> changed{};
    std::array<std::size_t, n> newLength{};
    bool anyChanged = false;
    bool lengthsKept = true;
    for (std::size_t i = 0; i < n; ++i) {
        changed[i] = newTexts[i] != oldTexts[i] ||
                     (interrupted && !descriptorIsExact(image, layout[i], oldTexts[i]));
        newLength[i] = changed[i] ? descriptorBytes(newTexts[i]) : layout[i].length;
        if (newLength[i] > kMaxDescriptorBytes) return false;
        anyChanged = anyChanged || changed[i];
        lengthsKept = lengthsKept && newLength[i] == layout[i].length;
    }
    if (!anyChanged) return true;

    // A changed descriptor's new bytes; one that keeps its text is only repaired.
    auto descriptor = [&](std::vector<std::uint8_t>& out, std::size_t i) {
        if (newTexts[i] == oldTexts[i]) {
            appendRepaired(out, image, layout[i], oldTexts[i]);
        } else {
            appendDescriptor(out, newTexts[i]);
        }
    };

    if (lengthsKept) {
        for (std::size_t i = 0; i < n; ++i) {
            if (!changed[i]) continue;
            std::vector<std::uint8_t> bytes;
            descriptor(bytes, i);
            std::copy(bytes.begin(), bytes.end(), image.begin() + layout[i].offset);
        }
        return true;
    }

    // Re-lay the area in its existing order: the gaps between descriptors
    // and whatever follows the last one keep their bytes and move along.
    std::array<std::size_t, n> order{};
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return layout[a].offset < layout[b].offset; });

    std::vector<std::uint8_t> area;
    std::array<std::size_t, n> newOffset{};
    std::size_t cursor = kStringAreaStart;  // read position in the old image
    for (const std::size_t i : order) {
        area.insert(area.end(), image.begin() + cursor, image.begin() + layout[i].offset);
        newOffset[i] = kStringAreaStart + area.size();
        const auto oldBegin = image.begin() + layout[i].offset;
        if (changed[i]) {
            descriptor(area, i);
        } else {
            area.insert(area.end(), oldBegin, oldBegin + layout[i].length);
        }
        cursor = layout[i].offset + layout[i].length;
    }
    const std::size_t lastEnd = kStringAreaStart + area.size();
    area.insert(area.end(), image.begin() + cursor, image.begin() + kStringAreaEnd);

    constexpr std::size_t room = kStringAreaEnd - kStringAreaStart;
    if (lastEnd > kStringAreaEnd) return false;
    if (area.size() > room) {
        // Only zero bytes may fall off the end; anything else is data we would lose.
        if (!std::all_of(area.begin() + room, area.end(), [](std::uint8_t b) { return b == 0; }))
            return false;
    }
    area.resize(room, 0x00);

    std::copy(area.begin(), area.end(), image.begin() + kStringAreaStart);
    for (std::size_t i = 0; i < n; ++i) {
        image[kStringSlots[i].pointerByte] =
            lowByte(static_cast<unsigned>(newOffset[i])) | kPointerFlag;
        image[kStringSlots[i].lengthByte] = lowByte(static_cast<unsigned>(newLength[i]));
    }
    return true;
}

Texts textsOf(const Fields& fields) {
    Texts texts;
    for (std::size_t i = 0; i < kStringSlots.size(); ++i) texts[i] = fields.*kStringSlots[i].field;
    return texts;
}

void setBits(Image& image, std::size_t byte, std::uint8_t mask, bool on) {
    image[byte] = on ? static_cast<std::uint8_t>(image[byte] | mask)
                     : static_cast<std::uint8_t>(image[byte] & ~mask);
}

// Writes every non-string field into `image`, touching only the bits the
// model covers.
void putScalars(Image& image, const Fields& fields) {
    for (const FlagBit& bit : kFlagBits) setBits(image, bit.byte, bit.mask, fields.*bit.field);
    image[kEndpointByte] = fields.endpointSize;
    setWord(image, kVendorWord, fields.vendorId);
    setWord(image, kProductWord, fields.productId);
    image[kMaxPowerByte] = lowByte(std::min<unsigned>(fields.maxPower, kMaxPowerLimit) / 2);
    std::uint8_t invert = 0;
    for (std::size_t i = 0; i < fields.invert.size(); ++i) {
        if (fields.invert[i]) invert = static_cast<std::uint8_t>(invert | (1u << i));
    }
    image[kInvertByte] = invert;
    setWord(image, kUsbVersionWord, fields.usbVersion);
    for (std::size_t pin = 0; pin < kCbusNibbles.size(); ++pin) {
        const CbusNibble& at = kCbusNibbles[pin];
        const unsigned keep = image[at.byte] & ~(0x0Fu << at.shift);
        image[at.byte] = lowByte(keep | ((fields.cbus[pin] & 0x0Fu) << at.shift));
    }
}

// The limits on what `fields` changes relative to `old`, or on all of it
// when there is no `old`.  A value that another tool stored beyond a limit
// is no reason to refuse a change of something else.
Invalid validateChange(const Fields& fields, const Fields* old) {
    for (std::size_t pin = 0; pin < fields.cbus.size(); ++pin) {
        const bool changed = old == nullptr || fields.cbus[pin] != old->cbus[pin];
        if (changed && fields.cbus[pin] > kCbusMax[pin]) return Invalid::Cbus;
    }
    const bool serialChanged = old == nullptr || fields.serial != old->serial;
    if (serialChanged && fields.serial.size() > kMaxSerialChars) return Invalid::SerialTooLong;
    // A sum of string lengths may not grow beyond its limit; one that is
    // already beyond it (stored so by another tool) may stay or shrink.
    auto pairOf = [](const Fields& f) { return f.manufacturer.size() + f.description.size(); };
    auto allOf = [&](const Fields& f) { return pairOf(f) + f.serial.size(); };
    auto grownPast = [&](std::size_t now, std::size_t before, std::size_t limit) {
        return now > limit && (old == nullptr || now > before);
    };
    if (grownPast(pairOf(fields), old ? pairOf(*old) : 0, kMaxManufacturerPlusDescription) ||
        grownPast(allOf(fields), old ? allOf(*old) : 0, kMaxAllStrings)) {
        return Invalid::StringsTooLong;
    }
    const bool powerChanged = old == nullptr || fields.maxPower != old->maxPower;
    if (powerChanged && fields.maxPower > kMaxPowerLimit) return Invalid::Value;
    return Invalid::Ok;
}

}  // namespace

bool operator==(const Fields& a, const Fields& b) {
    auto tied = [](const Fields& f) {
        return std::tie(f.vendorId, f.productId, f.maxPower, f.selfPowered, f.remoteWakeup, f.isoIn,
                        f.isoOut, f.pullDownEnable, f.serNumEnable, f.usbVersionEnable,
                        f.usbVersion, f.useExtOsc, f.highDriveIOs, f.endpointSize, f.invert, f.cbus,
                        f.riIsD2xx, f.manufacturer, f.description, f.serial);
    };
    return tied(a) == tied(b);
}

std::uint16_t wordAt(const Image& image, unsigned word) {
    const std::size_t at = (static_cast<std::size_t>(word) % kImageWords) * 2;
    return static_cast<std::uint16_t>(image[at] | (image[at + 1] << 8));
}

void setWord(Image& image, unsigned word, std::uint16_t value) {
    const std::size_t at = (static_cast<std::size_t>(word) % kImageWords) * 2;
    image[at] = lowByte(value);
    image[at + 1] = lowByte(value >> 8);
}

std::uint16_t checksum(const Image& image) {
    unsigned acc = kChecksumSeed;
    for (unsigned w = 0; w < kChecksumWord; ++w) {
        acc ^= wordAt(image, w);
        acc = ((acc << 1) | (acc >> 15)) & 0xFFFFu;
    }
    return static_cast<std::uint16_t>(acc);
}

bool checksumOk(const Image& image) { return wordAt(image, kChecksumWord) == checksum(image); }

void updateChecksum(Image& image) { setWord(image, kChecksumWord, checksum(image)); }

DecodeResult decode(const Image& image, Fields& out) {
    if (isBlank(image)) return DecodeResult::Blank;
    Layout layout{};
    if (!readLayout(image, layout)) return DecodeResult::Broken;

    Fields f;
    for (const FlagBit& bit : kFlagBits) f.*bit.field = (image[bit.byte] & bit.mask) != 0;
    f.endpointSize = image[kEndpointByte];
    f.vendorId = wordAt(image, kVendorWord);
    f.productId = wordAt(image, kProductWord);
    f.maxPower = static_cast<std::uint16_t>(image[kMaxPowerByte] * 2u);
    for (std::size_t i = 0; i < f.invert.size(); ++i) f.invert[i] = (image[kInvertByte] >> i) & 1u;
    f.usbVersion = wordAt(image, kUsbVersionWord);
    for (std::size_t pin = 0; pin < kCbusNibbles.size(); ++pin) {
        const CbusNibble& at = kCbusNibbles[pin];
        f.cbus[pin] = lowByte((image[at.byte] >> at.shift) & 0x0Fu);
    }
    for (std::size_t i = 0; i < kStringSlots.size(); ++i) {
        f.*kStringSlots[i].field = readText(image, layout[i]);
    }
    out = f;
    return checksumOk(image) ? DecodeResult::Ok : DecodeResult::StaleChecksum;
}

std::string brokenCheck(const Image& image) {
    Layout layout{};
    std::string failed;
    return isBlank(image) || readLayout(image, layout, &failed) ? std::string() : failed;
}

Invalid validateFields(const Fields& fields) { return validateChange(fields, nullptr); }

Invalid validate(const Image& current, const Fields& fields) {
    Fields old;
    const DecodeResult r = decode(current, old);
    if (r != DecodeResult::Ok && r != DecodeResult::StaleChecksum) return Invalid::NoRoom;
    const Invalid plain = validateChange(fields, &old);
    if (plain != Invalid::Ok) return plain;
    Layout layout{};
    readLayout(current, layout);
    Image scratch = current;
    if (!layStrings(scratch, layout, textsOf(old), textsOf(fields), !checksumOk(current)))
        return Invalid::NoRoom;
    return Invalid::Ok;
}

Image encode(const Image& current, const Fields& fields) {
    if (validate(current, fields) != Invalid::Ok) return current;
    Fields old;
    decode(current, old);  // sound: validate accepted the image
    Layout layout{};
    readLayout(current, layout);

    Image image = current;
    putScalars(image, fields);
    layStrings(image, layout, textsOf(old), textsOf(fields), !checksumOk(current));
    updateChecksum(image);
    return image;
}

void keepUnchangedStrings(const Image& current, const Fields& shown, Fields& requested) {
    Fields stored;
    const DecodeResult r = decode(current, stored);
    if (r != DecodeResult::Ok && r != DecodeResult::StaleChecksum) return;
    Layout layout{};
    readLayout(current, layout);
    for (std::size_t i = 0; i < kStringSlots.size(); ++i) {
        const auto field = kStringSlots[i].field;
        const bool sound =
            r == DecodeResult::Ok || descriptorIsExact(current, layout[i], stored.*field);
        if (sound && requested.*field == shown.*field) requested.*field = stored.*field;
    }
}

Image makeImage(const Fields& fields) {
    Image image{};
    image[kPowerConfigByte] = kPowerConfigFixed;
    setWord(image, kReleaseWord, kReleaseFt232r);
    putScalars(image, fields);

    // Descriptors back to back from 0x18, each cut if need be so that the
    // ones after it still find room for their headers.
    std::vector<std::uint8_t> area;
    constexpr std::size_t room = kStringAreaEnd - kStringAreaStart;
    for (std::size_t i = 0; i < kStringSlots.size(); ++i) {
        const std::size_t reserved = kDescriptorHeader * (kStringSlots.size() - 1 - i);
        const std::size_t budget = std::min(room - area.size() - reserved, kMaxDescriptorBytes);
        const std::string& full = fields.*kStringSlots[i].field;
        const std::string text = full.substr(0, (budget - kDescriptorHeader) / 2);
        image[kStringSlots[i].pointerByte] =
            lowByte(static_cast<unsigned>(kStringAreaStart + area.size())) | kPointerFlag;
        image[kStringSlots[i].lengthByte] = lowByte(static_cast<unsigned>(descriptorBytes(text)));
        appendDescriptor(area, text);
    }
    std::copy(area.begin(), area.end(), image.begin() + kStringAreaStart);
    updateChecksum(image);
    return image;
}

std::vector<unsigned> planWrites(const Image& current, const Image& target) {
    constexpr unsigned kPairs = kImageWords / 2;
    constexpr unsigned kChecksumPair = kChecksumWord / 2;
    std::array<bool, kPairs> pairChanged{};
    for (unsigned w = 0; w < kImageWords; ++w) {
        if (wordAt(current, w) != wordAt(target, w)) pairChanged[w / 2] = true;
    }

    // The serial's length byte shrinking first would leave old serial text
    // where the bytes after the serial are now looked for; write it last.
    const bool serialShrinks = target[kSerialLengthByte] < current[kSerialLengthByte];
    std::vector<unsigned> pairs;
    for (unsigned p = 0; p < kChecksumPair; ++p) {
        if (pairChanged[p] && !(serialShrinks && p == kSerialLengthPair)) pairs.push_back(p);
    }
    if (serialShrinks) pairs.push_back(kSerialLengthPair);
    if (pairChanged[kChecksumPair]) pairs.push_back(kChecksumPair);

    std::vector<unsigned> words;
    for (const unsigned p : pairs) {
        words.push_back(2 * p);
        words.push_back(2 * p + 1);
    }
    return words;
}

}  // namespace ft232r
