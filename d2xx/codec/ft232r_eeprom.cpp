#include "ft232r_eeprom.hpp"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <optional>
#include <tuple>

#include "text.hpp"

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
// The pair (words 0x08/0x09) whose writing commits the descriptors written
// before it.
constexpr unsigned kHeaderPair = kHeaderPairWord / 2;

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

std::uint8_t lowByte(unsigned value) { return static_cast<std::uint8_t>(value & 0xFFu); }

bool isBlank(const Image& image) {
    return std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// The names of the three string slots, for a reader told what is wrong.
constexpr std::array<const char*, 3> kStringNames = {"manufacturer", "product", "serial"};

// A byte or offset as the messages name it: "0x7e".
std::string hexByte(std::size_t value) { return "0x" + hexDigits(value, 2); }

// Reads the three descriptors' places from the header and checks that each
// lies inside the string area, is a string descriptor, and overlaps no other.
// When one does not, `why` (if given) gets the check it failed.
bool readLayout(const Image& image, Layout& layout, std::string* why = nullptr) {
    auto fail = [&](const std::string& text) {
        if (why != nullptr) *why = text;
        return false;
    };
    for (std::size_t i = 0; i < kStringSlots.size(); ++i) {
        const std::uint8_t pointer = image[kStringSlots[i].pointerByte];
        const std::size_t offset = pointer & 0x7Fu;
        const std::size_t length = image[kStringSlots[i].lengthByte];
        const std::string name = std::string(kStringNames[i]) + " string";
        if ((pointer & kPointerFlag) == 0 || offset < kStringAreaStart) {
            return fail(name + " pointer " + hexByte(pointer) + " (byte " +
                        hexByte(kStringSlots[i].pointerByte) +
                        ") does not point into the string area 0x18..0x7d");
        }
        if (length < kDescriptorHeader || length % 2 != 0) {
            return fail(name + " length " + hexByte(length) + " (byte " +
                        hexByte(kStringSlots[i].lengthByte) + ") is not an even number from 2");
        }
        if (offset + length > kStringAreaEnd) {
            return fail(name + " at " + hexByte(offset) + ", " + std::to_string(length) +
                        " bytes, runs into the checksum at 0x7e");
        }
        if (image[offset + 1] != kStringDescriptorType) {
            return fail(name + " at " + hexByte(offset) + " has descriptor type " +
                        hexByte(image[offset + 1]) + ", not 0x03");
        }
        layout[i] = {offset, length};
    }
    for (std::size_t i = 0; i < layout.size(); ++i) {
        for (std::size_t j = i + 1; j < layout.size(); ++j) {
            const bool apart = layout[i].offset + layout[i].length <= layout[j].offset ||
                               layout[j].offset + layout[j].length <= layout[i].offset;
            if (!apart) {
                return fail(std::string(kStringNames[i]) + " and " + kStringNames[j] +
                            " strings overlap");
            }
        }
    }
    return true;
}

// Whether a descriptor whose own length byte is `own` and whose header says
// `length` is not a write still to be finished.  Our writes give a
// descriptor the length of a serial of at most kMaxSerialChars characters,
// in the word they write first, so only such a length byte can disagree
// with the header in a cut; a part that stores old AND new leaves the AND
// of two such lengths, which may be 0 (no descriptor's).  Any other
// disagreement is another program's layout, read by the header and kept as
// it is.
bool soundDescriptor(std::size_t own, std::size_t length) {
    const bool ours = own % 2 == 0 && own <= kDescriptorHeader + 2 * kMaxSerialChars;
    return own == length || !ours;
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
    return Invalid::None;
}

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kSerialSlot = 2;  // kStringSlots: manufacturer, product, serial

// Re-lays the string area in its existing order, each descriptor whose slot
// is in `changed` replaced by its new bytes: the gaps between descriptors and
// whatever follows the last one keep their bytes and move along.  Returns
// false when the result would not fit before the checksum.  A cut write can
// harm whatever moves; planChange uses this only where no safe place exists
// or another string than the serial changes length (which this tool never
// asks for).
bool layStrings(Image& image, const Layout& layout, const std::array<bool, 3>& changed,
                const std::array<Bytes, 3>& bytes) {
    constexpr std::size_t n = kStringSlots.size();
    std::array<std::size_t, n> order{};
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return layout[a].offset < layout[b].offset; });

    Bytes area;
    std::array<std::size_t, n> newOffset{};
    std::array<std::size_t, n> newLength{};
    std::size_t cursor = kStringAreaStart;  // read position in the old image
    for (const std::size_t i : order) {
        area.insert(area.end(), image.begin() + cursor, image.begin() + layout[i].offset);
        newOffset[i] = kStringAreaStart + area.size();
        const auto oldBegin = image.begin() + layout[i].offset;
        if (changed[i]) {
            area.insert(area.end(), bytes[i].begin(), bytes[i].end());
        } else {
            area.insert(area.end(), oldBegin, oldBegin + layout[i].length);
        }
        newLength[i] = changed[i] ? bytes[i].size() : layout[i].length;
        if (newLength[i] > kMaxDescriptorBytes) return false;
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

Layout layoutOf(const Decoded& d) {
    Layout layout{};
    for (std::size_t i = 0; i < layout.size(); ++i) {
        layout[i] = {d.strings[i].offset, d.strings[i].length};
    }
    return layout;
}

bool insideString(const Decoded& d, std::size_t byte) {
    return std::any_of(d.strings.begin(), d.strings.end(), [&](const StringPlace& s) {
        return byte >= s.offset && byte < s.offset + s.length;
    });
}

// Whether `bytes`, placed at `start`, may be written over [from, start +
// size): every byte lies in the string area, in no string's descriptor, and
// is free (zero) or already what would be written there.  The second half
// keeps the answer the same after a cut: a byte the plan wrote reads as
// its target.
bool roomAt(const Image& image, const Decoded& d, std::size_t start, std::size_t from,
            const Bytes& bytes) {
    const std::size_t end = start + bytes.size();
    if (end > kStringAreaEnd) return false;
    for (std::size_t b = from; b < end; ++b) {
        if (insideString(d, b)) return false;
        if (image[b] != 0 && image[b] != bytes[b - start]) return false;
    }
    return true;
}

// Whether room may start at `at`: at the start of the string area, right
// after a descriptor, or after a zero word (never straight after foreign
// bytes, whose last zeros may belong to them, as in a 02 03 00 00 trailer).
bool roomMayStart(const Image& image, const Decoded& d, std::size_t at) {
    if (at == kStringAreaStart) return true;
    const bool afterString =
        std::any_of(d.strings.begin(), d.strings.end(),
                    [&](const StringPlace& s) { return s.offset + s.length == at; });
    return afterString || (image[at - 1] == 0 && image[at - 2] == 0);
}

// Puts the serial's new descriptor `bytes` into `image` (still a copy of
// `current` in its string area and header).  See planChange for the rules.
std::optional<Placement> placeSerial(Image& image, const Image& current, const Decoded& d,
                                     const Bytes& bytes) {
    const StringPlace& old = d.strings[kSerialSlot];
    const std::size_t length = bytes.size();
    auto commit = [&](std::size_t at) {
        std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
        image[kStringSlots[kSerialSlot].pointerByte] =
            lowByte(static_cast<unsigned>(at)) | kPointerFlag;
        image[kStringSlots[kSerialSlot].lengthByte] = lowByte(static_cast<unsigned>(length));
    };
    if (length <= old.length || roomAt(current, d, old.offset, old.offset + old.length, bytes)) {
        // The rest of a longer old descriptor is zeroed: it is the serial's own.
        for (std::size_t b = old.offset + length; b < old.offset + old.length; ++b) image[b] = 0;
        commit(old.offset);
        return Placement::InPlace;
    }
    for (std::size_t at = kStringAreaStart; at + length <= kStringAreaEnd; at += 2) {
        if (roomMayStart(current, d, at) && roomAt(current, d, at, at, bytes)) {
            commit(at);
            return Placement::Copy;
        }
    }
    const bool last = std::none_of(d.strings.begin(), d.strings.end(),
                                   [&](const StringPlace& s) { return s.offset > old.offset; });
    std::array<Bytes, 3> all;
    all[kSerialSlot] = bytes;
    if (last && layStrings(image, layoutOf(d), {false, false, true}, all)) return Placement::Shift;
    return std::nullopt;
}

// The unchanged-field rule: a string that `requested` leaves as `shown`
// gets back its whole stored text, unless it is a serial number that a cut
// write left unsound (the request then stands).
void reconcile(const Decoded& d, const Fields& shown, Fields& requested) {
    for (std::size_t i = 0; i < kStringSlots.size(); ++i) {
        const auto field = kStringSlots[i].field;
        const bool sound = i != kSerialSlot || d.strings[i].sound;
        if (sound && requested.*field == shown.*field) requested.*field = d.fields.*field;
    }
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

Decoded decodeImage(const Image& image) {
    Decoded d;
    d.image = image;
    Layout layout{};
    if (isBlank(image)) {
        d.result = DecodeResult::Blank;
        return d;
    }
    if (!readLayout(image, layout)) {
        d.result = DecodeResult::Broken;
        return d;
    }
    Fields& f = d.fields;
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
        d.strings[i] = {layout[i].offset, layout[i].length,
                        soundDescriptor(image[layout[i].offset], layout[i].length)};
    }
    d.result = checksumOk(image) ? DecodeResult::Ok : DecodeResult::StaleChecksum;
    return d;
}

DecodeResult decode(const Image& image, Fields& out) {
    const Decoded d = decodeImage(image);
    if (d.readable()) out = d.fields;
    return d.result;
}

Invalid validateFields(const Fields& fields) { return validateChange(fields, nullptr); }

Change planChange(const Decoded& d, const Fields& shown, const Fields& requested) {
    const Image& current = d.image;
    Change change;
    change.fields = requested;
    change.current = current;
    change.target = current;
    if (!d.readable()) {
        change.status = Invalid::NoRoom;  // no layout to place anything in
        return change;
    }
    Fields& wanted = change.fields;
    reconcile(d, shown, wanted);
    change.status = validateChange(wanted, &d.fields);
    if (change.status != Invalid::None) return change;

    Image image = current;
    putScalars(image, wanted);
    // Descriptor bytes as they would be written.  A serial that keeps its
    // text keeps its UTF-16 units as stored (a unit beyond 8 bits, decoded as
    // '?', survives the repair of an unsound descriptor).
    std::array<Bytes, 3> bytes;
    std::array<bool, 3> changed{};
    for (std::size_t i = 0; i < kStringSlots.size(); ++i) {
        const std::string& text = wanted.*kStringSlots[i].field;
        const std::string& stored = d.fields.*kStringSlots[i].field;
        const StringPlace& s = d.strings[i];
        if (text == stored) {
            appendRepaired(bytes[i], current, {s.offset, s.length}, stored);
        } else {
            appendDescriptor(bytes[i], text);
        }
        const bool exact = s.length == bytes[i].size() &&
                           std::equal(bytes[i].begin(), bytes[i].end(), current.begin() + s.offset);
        // The unchanged-field rule keeps a sound descriptor of the same text
        // as stored (NUL padding included); only the serial is ever repaired.
        const bool kept = text == stored && (s.sound || i != kSerialSlot);
        changed[i] = !exact && !kept;
        if (bytes[i].size() > kMaxDescriptorBytes) change.status = Invalid::NoRoom;
    }
    if (change.status != Invalid::None) return change;
    if (changed[0] || changed[1]) {
        if (!layStrings(image, layoutOf(d), changed, bytes)) change.status = Invalid::NoRoom;
        change.serial = Placement::Relayout;
    } else if (changed[kSerialSlot]) {
        const std::optional<Placement> placed = placeSerial(image, current, d, bytes[kSerialSlot]);
        if (!placed) change.status = Invalid::NoRoom;
        change.serial = placed.value_or(Placement::Kept);
    }
    if (change.status != Invalid::None) return change;
    updateChecksum(image);
    change.target = image;
    change.words = planWrites(current, image);
    return change;
}

Change planImage(const Image& current, const Image& target) {
    Change change;
    decode(target, change.fields);
    change.current = current;
    change.target = target;
    change.words = planWrites(current, target);
    return change;
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
    constexpr unsigned kLastAreaWord = kChecksumWord - 1;  // bytes 0x7C..0x7D
    std::array<bool, kPairs> pairChanged{};
    for (unsigned w = 0; w < kImageWords; ++w) {
        if (wordAt(current, w) != wordAt(target, w)) pairChanged[w / 2] = true;
    }
    std::vector<unsigned> pairs;
    for (unsigned p = 0; p < kChecksumPair; ++p) {
        if (pairChanged[p] && p != kHeaderPair) pairs.push_back(p);
    }
    // The headers commit the descriptors written before them; the last area
    // word shares the checksum's pair, which then goes first (the checksum
    // is a hint to the chip, never to the next run: it is recomputed).
    const bool areaInChecksumPair = wordAt(current, kLastAreaWord) != wordAt(target, kLastAreaWord);
    if (areaInChecksumPair) pairs.push_back(kChecksumPair);
    if (pairChanged[kHeaderPair]) pairs.push_back(kHeaderPair);
    if (pairChanged[kChecksumPair] && !areaInChecksumPair) pairs.push_back(kChecksumPair);

    std::vector<unsigned> words;
    for (const unsigned p : pairs) {
        words.push_back(2 * p);
        words.push_back(2 * p + 1);
    }
    return words;
}

std::string structureFault(const Image& image) {
    if (isBlank(image)) return "blank (every byte 0xff)";
    Layout layout{};
    std::string why;
    return readLayout(image, layout, &why) ? std::string() : why;
}

}  // namespace ft232r
