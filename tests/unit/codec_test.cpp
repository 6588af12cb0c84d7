// Unit tests of the FT232R EEPROM codec.  The first fact checked is the one
// everything else rests on: an image decoded and encoded again is the same
// image, byte for byte.

#include <functional>
#include <optional>
#include <utility>

#include "images.hpp"

namespace ft232r {
namespace {

// The factory image with serial "A1B2C3D4" as dumped from a genuine part.
constexpr Image kWorkedExample = {
    0x00, 0x40, 0x03, 0x04, 0x01, 0x60, 0x00, 0x06, 0xA0, 0x2D, 0x08, 0x00, 0x00, 0x00, 0x98, 0x0A,
    0xA2, 0x20, 0xC2, 0x12, 0x23, 0x10, 0x05, 0x00, 0x0A, 0x03, 0x46, 0x00, 0x54, 0x00, 0x44, 0x00,
    0x49, 0x00, 0x20, 0x03, 0x46, 0x00, 0x54, 0x00, 0x32, 0x00, 0x33, 0x00, 0x32, 0x00, 0x52, 0x00,
    0x20, 0x00, 0x55, 0x00, 0x53, 0x00, 0x42, 0x00, 0x20, 0x00, 0x55, 0x00, 0x41, 0x00, 0x52, 0x00,
    0x54, 0x00, 0x12, 0x03, 0x41, 0x00, 0x31, 0x00, 0x42, 0x00, 0x32, 0x00, 0x43, 0x00, 0x33, 0x00,
    0x44, 0x00, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD3, 0x4E,
};

using Edit = std::function<void(Fields&)>;

// Row names of the tables below.
template <class Case>
std::string rowName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// The worked example with `bytes` set, its checksum made right or left stale.
Image exampleWith(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes,
                  bool fixChecksum = true) {
    Image image = kWorkedExample;
    for (const auto& [at, value] : bytes) image[at] = value;
    if (fixChecksum) updateChecksum(image);
    return image;
}

// The worked example with its serial descriptor moved to `at`.
Image serialMovedTo(std::size_t at) {
    Image image = kWorkedExample;
    std::fill(image.begin() + 0x42, image.begin() + 0x54, 0x00);
    std::copy(kWorkedExample.begin() + 0x42, kWorkedExample.begin() + 0x54, image.begin() + at);
    image[0x12] = static_cast<std::uint8_t>(0x80 | at);
    updateChecksum(image);
    return image;
}

Fields decoded(const Image& image) {
    Fields f;
    const DecodeResult r = decode(image, f);
    EXPECT_TRUE(r == DecodeResult::Ok || r == DecodeResult::StaleChecksum);
    return f;
}

Image encodedWith(const Image& base, const Edit& edit) {
    Fields f = decoded(base);
    edit(f);
    return encode(base, f);
}

Edit serial(const std::string& text) {
    return [text](Fields& f) { f.serial = text; };
}
Edit cbus(std::size_t pin, std::uint8_t code) {
    return [pin, code](Fields& f) { f.cbus[pin] = code; };
}
// Strings of the given numbers of characters.
Edit strings(std::size_t manufacturer, std::size_t description, std::size_t serial) {
    return [=](Fields& f) {
        f.manufacturer = std::string(manufacturer, 'm');
        f.description = std::string(description, 'd');
        f.serial = std::string(serial, 's');
    };
}

// --- The worked example -----------------------------------------------------

TEST(WorkedExample, MakeImageReproducesTheDump) {
    EXPECT_EQ(makeImage(exampleFields()), kWorkedExample);
}

TEST(WorkedExample, ChecksumIs4ED3) {
    EXPECT_EQ(checksum(kWorkedExample), 0x4ED3);
    EXPECT_TRUE(checksumOk(kWorkedExample));
}

TEST(Checksum, AllZeroImageIsTheSeedRotatedAnOddNumberOfTimes) {
    // 0xAAAA rotated left 63 times is 0x5555: checks the rotation count and direction.
    EXPECT_EQ(checksum(Image{}), 0x5555);
}

TEST(Checksum, IgnoresTheChecksumWordItself) {
    Image image = exampleWith({{0x7E, 0x00}, {0x7F, 0x00}}, false);
    EXPECT_EQ(checksum(image), 0x4ED3);
    EXPECT_FALSE(checksumOk(image));
    updateChecksum(image);
    EXPECT_EQ(image, kWorkedExample);
}

// Decoded Ok to exampleFields(): see the round-trip rows.  The values the
// dump holds, whatever the defaults of Fields:
TEST(WorkedExample, DecodesToItsFields) {
    const Fields f = decoded(kWorkedExample);
    EXPECT_EQ(f.maxPower, 90);
    EXPECT_EQ(f.cbus, (std::array<std::uint8_t, 5>{3, 2, 0, 1, 5}));
}

// --- Decode, and the byte-exact round trip -------------------------------------

struct RoundTripCase {
    const char* name;
    Image image;
    DecodeResult expected;
    std::optional<Fields> fields{};  // what it decodes to, where a row says
};
// Shown by its name in the test run, not as its bytes.
void PrintTo(const RoundTripCase& row, std::ostream* out) { *out << row.name; }

// Serial stored first, product last, and two opaque bytes between them.
Image otherOrderWithGap() {
    Image image = makeImage(exampleFields());
    Image moved = image;
    // serial 0x42..0x53 -> 0x18, manufacturer -> 0x2A, gap EE EE, product -> 0x36.
    std::copy(image.begin() + 0x42, image.begin() + 0x54, moved.begin() + 0x18);
    std::copy(image.begin() + 0x18, image.begin() + 0x22, moved.begin() + 0x2A);
    std::fill(moved.begin() + 0x34, moved.begin() + 0x36, 0xEE);
    std::copy(image.begin() + 0x22, image.begin() + 0x42, moved.begin() + 0x36);
    std::fill(moved.begin() + 0x56, moved.begin() + 0x7E, 0x00);
    moved[0x0E] = 0x80 | 0x2A;
    moved[0x10] = 0x80 | 0x36;
    moved[0x12] = 0x80 | 0x18;
    updateChecksum(moved);
    return moved;
}

// clang-format off
const RoundTripCase kRoundTrips[] = {
    {"WorkedExample", kWorkedExample, DecodeResult::Ok, exampleFields()},
    {"TrailerAfterSerial", withTrailer(), DecodeResult::Ok},
    // An interrupted write: serial descriptor's own length byte disagrees
    // with 0x13; the header's length wins.
    {"DescriptorLengthDisagreesStale", exampleWith({{0x42, 0x0A}}, false), DecodeResult::StaleChecksum},
    {"DescriptorLengthDisagrees", exampleWith({{0x42, 0x0A}}), DecodeResult::Ok, exampleFields()},
    // Byte 0x00 bit 0 and bits 4-7, the release number (0x06/0x07), byte
    // 0x08 with bit 7 clear and bits 0-4 set, byte 0x0A bits 5-7, the high
    // nibble beside CBUS4 (0x16), and byte 0x17.
    {"UnknownBitsSet", exampleWith({{0x00, 0xF1}, {0x06, 0x34}, {0x07, 0x12}, {0x08, 0x1F}, {0x0A, 0xE8}, {0x16, 0xA5}, {0x17, 0x5C}}), DecodeResult::Ok},
    // A wrong checksum is stale, the fields still filled.
    {"WrongChecksum", exampleWith({{0x7E, 0x00}}, false), DecodeResult::StaleChecksum, exampleFields()},
    {"WrongChecksumHighByte", exampleWith({{0x7F, 0x4E ^ 0x01}}, false), DecodeResult::StaleChecksum, exampleFields()},
    // A UTF-16 unit beyond 8 bits decodes to '?' but must be kept as it was.
    {"WideCharacterInSerial", exampleWith({{0x45, 0x04}}), DecodeResult::Ok},
    // Text stops at a NUL unit: 'A' becomes U+2041, 'C' NUL.
    {"TextStopsAtANulUnit", exampleWith({{0x45, 0x20}, {0x4C, 0x00}, {0x4D, 0x00}}), DecodeResult::Ok, exampleFields("?1B2")},
    {"OtherOrderWithGap", otherOrderWithGap(), DecodeResult::Ok},
    {"DescriptorEndingExactlyAtTheChecksum", serialMovedTo(0x6C), DecodeResult::Ok, exampleFields()},
};
// clang-format on

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, DecodeThenEncodeReproducesEveryByte) {
    const RoundTripCase& c = GetParam();
    const Image& image = c.image;
    Fields f;
    ASSERT_EQ(decode(image, f), c.expected);
    EXPECT_TRUE(!c.fields || f == *c.fields);
    Image expected = image;
    const std::size_t serialAt = image[0x12] & 0x7Fu;
    if (image[serialAt] != image[0x13]) {
        // Only a cut write leaves the serial descriptor's own length byte
        // apart from the header's, whatever the checksum says: encode puts
        // it right, so that running the change again finishes it.
        expected[serialAt] = image[0x13];
    }
    updateChecksum(expected);
    EXPECT_EQ(validate(image, f), Invalid::None);
    EXPECT_EQ(encode(image, f), expected);
}

INSTANTIATE_TEST_SUITE_P(Images, RoundTrip, ::testing::ValuesIn(kRoundTrips),
                         rowName<RoundTripCase>);

TEST(Decode, AllOnesIsBlank) {
    Fields f;
    f.serial = "untouched";
    EXPECT_EQ(decode(kBlankImage, f), DecodeResult::Blank);
    EXPECT_EQ(f.serial, "untouched");
    EXPECT_EQ(structureFault(kBlankImage), "blank (every byte 0xff)");
    EXPECT_EQ(structureFault(kWorkedExample), "");
}

struct BrokenCase {
    const char* name;
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;
    const char* fault;  // part of what structureFault says
};
// Shown by its name in the test run, not as its bytes.
void PrintTo(const BrokenCase& row, std::ostream* out) { *out << row.name; }

// clang-format off
const BrokenCase kBroken[] = {
    // Type byte valid at 0x17, so only the offset below 0x18 is wrong.
    {"PointerBelowStringArea", {{0x0E, 0x80 | 0x16}, {0x17, 0x03}}, "manufacturer string pointer 0x96 (byte 0x0e) does not point into the string area"},
    {"PointerBit7Clear", {{0x0E, 0x18}}, "manufacturer string pointer 0x18 (byte 0x0e)"},
    {"OddLength", {{0x0F, 0x09}}, "manufacturer string length 0x09 (byte 0x0f) is not an even"},
    {"ZeroLength", {{0x11, 0x00}}, "product string length 0x00 (byte 0x11)"},
    {"PastTheChecksum", {{0x12, 0x80 | 0x6E}, {0x6F, 0x03}}, "serial string at 0x6e"},
    {"WrongType", {{0x19, 0x04}}, "manufacturer string at 0x18 has descriptor type 0x04"},
    {"Overlapping", {{0x10, 0x98}}, "manufacturer and product strings overlap"},
    {"OverlappingTail", {{0x12, 0x80 | 0x40}, {0x41, 0x03}}, "strings overlap"},
    {"OneByteFromBlank", {}, "manufacturer string length 0xff"},
};
// clang-format on

class BrokenImages : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenImages, DecodeAsBrokenAndLeaveTheFieldsAlone) {
    const BrokenCase& c = GetParam();
    Image image = c.bytes.empty() ? kBlankImage : kWorkedExample;
    if (c.bytes.empty()) image[0x20] = 0x00;
    for (const auto& [at, value] : c.bytes) image[at] = value;
    updateChecksum(image);
    Fields f;
    f.serial = "untouched";
    EXPECT_EQ(decode(image, f), DecodeResult::Broken);
    EXPECT_EQ(f.serial, "untouched");
    EXPECT_NE(structureFault(image).find(c.fault), std::string::npos) << structureFault(image);
}

INSTANTIATE_TEST_SUITE_P(Images, BrokenImages, ::testing::ValuesIn(kBroken), rowName<BrokenCase>);

// --- A change over a given image: refused or made, and where it goes ----------

// With 0x22 at 0x56..0x7C and 0x11 right behind the serial and at 0x7D:
// no room in place, a shift would lose 0x7D, and no free run for a copy.
Image noRoomBehindTheSerial() {
    Image image = kWorkedExample;
    std::fill(image.begin() + 0x56, image.begin() + 0x7D, 0x22);
    image[0x55] = image[0x7D] = 0x11;
    updateChecksum(image);
    return image;
}

// The trailer with no free run of 20 bytes after it.
Image trailerWithoutFreeRoom() {
    Image image = withTrailer();
    std::fill(image.begin() + 0x5C, image.begin() + 0x78, 0x11);
    updateChecksum(image);
    return image;
}

using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;

struct ChangeCase {
    const char* name;
    std::vector<Image> bases;  // each one's decoded fields edited in turn
    Edit edit;
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> bytes{};  // the result's, at
    Invalid status = Invalid::None;
    std::optional<Placement> serial{};  // where planChange puts the serial, where a row says
    std::pair<std::size_t, std::size_t> kept{};  // base bytes [first, last) the result keeps
    // Where a row gives them: the only bytes the change may touch besides
    // the checksum 0x7E/0x7F, as [first, last] ranges (and it touches some).
    Ranges allowed{};
};
// Shown by its name in the test run, not as its bytes.
void PrintTo(const ChangeCase& row, std::ostream* out) { *out << row.name; }

// A field change over the worked example with and without a trailer,
// touching only the bytes in `allowed`.
ChangeCase touching(const char* name, Edit edit, Ranges allowed) {
    ChangeCase change{name, {kWorkedExample, withTrailer()}, std::move(edit)};
    change.allowed = std::move(allowed);
    return change;
}

// clang-format off
const ChangeCase kFieldChanges[] = {
    touching("SerialSameLength", serial("Z9Y8X7W6"), {{0x44, 0x53}}),
    // In place, or (behind a trailer) a copy in free room and a new pointer.
    touching("SerialLonger", serial("A1B2C3D4E5F6"), {{0x12, 0x13}, {0x42, 0x7D}}),
    touching("SerialShorter", serial("A1"), {{0x13, 0x13}, {0x42, 0x7D}}),
    touching("SerialEmpty", serial(""), {{0x13, 0x13}, {0x42, 0x7D}}),
    // Bytes from 0x80 up are UTF-16 code units 0x0080..0x00FF, whatever
    // the signedness of plain char.
    touching("SerialHighBytes", serial("12345\xe9\xff\x80"), {{0x44, 0x53}}),
    touching("ManufacturerSameLength", [](Fields& f) { f.manufacturer = "ACME"; }, {{0x1A, 0x21}}),
    touching("ManufacturerLonger", [](Fields& f) { f.manufacturer = "ACME Ltd"; }, {{0x0F, 0x10}, {0x12, 0x12}, {0x18, 0x7D}}),
    touching("DescriptionShorter", [](Fields& f) { f.description = "Widget"; }, {{0x11, 0x12}, {0x22, 0x7D}}),
    touching("Cbus0", cbus(0, 0x0A), {{0x14, 0x14}}),
    touching("Cbus1", cbus(1, 0x0D), {{0x14, 0x14}}),
    touching("Cbus2", cbus(2, 0x06), {{0x15, 0x15}}),
    touching("Cbus3", cbus(3, 0x0B), {{0x15, 0x15}}),
    touching("Cbus4", cbus(4, 0x09), {{0x16, 0x16}}),
    touching("VendorId", [](Fields& f) { f.vendorId = 0x1234; }, {{0x02, 0x03}}),
    touching("ProductId", [](Fields& f) { f.productId = 0x6015; }, {{0x04, 0x05}}),
    touching("Invert", [](Fields& f) { f.invert[0] = f.invert[7] = true; }, {{0x0B, 0x0B}}),
    touching("MaxPower", [](Fields& f) { f.maxPower = 500; }, {{0x09, 0x09}}),
    touching("SelfPowered", [](Fields& f) { f.selfPowered = true; }, {{0x08, 0x08}}),
    touching("RemoteWakeupOff", [](Fields& f) { f.remoteWakeup = false; }, {{0x08, 0x08}}),
    touching("PullDowns", [](Fields& f) { f.pullDownEnable = true; }, {{0x0A, 0x0A}}),
    touching("SerialNumberOff", [](Fields& f) { f.serNumEnable = false; }, {{0x0A, 0x0A}}),
    touching("UsbVersion", [](Fields& f) { f.usbVersionEnable = true; f.usbVersion = 0x0200; }, {{0x0A, 0x0A}, {0x0C, 0x0D}}),
    touching("ExternalOscillator", [](Fields& f) { f.useExtOsc = true; }, {{0x00, 0x00}}),
    touching("HighDrive", [](Fields& f) { f.highDriveIOs = true; }, {{0x00, 0x00}}),
    touching("D2xxDriver", [](Fields& f) { f.riIsD2xx = true; }, {{0x00, 0x00}}),
    touching("EndpointSize", [](Fields& f) { f.endpointSize = 0x10; }, {{0x01, 0x01}}),
};
// clang-format on

const Image kBeyond = storedBeyondTheLimits();

// clang-format off
const ChangeCase kChanges[] = {
    // Validation limits.
    {"Cbus0At0D", {kWorkedExample}, cbus(0, 0x0D)},
    {"Cbus0At0E", {kWorkedExample}, cbus(0, 0x0E), {}, Invalid::Cbus},
    {"Cbus1At0D", {kWorkedExample}, cbus(1, 0x0D)},
    {"Cbus1At0E", {kWorkedExample}, cbus(1, 0x0E), {}, Invalid::Cbus},
    {"Cbus2At0D", {kWorkedExample}, cbus(2, 0x0D)},
    {"Cbus2At0E", {kWorkedExample}, cbus(2, 0x0E), {}, Invalid::Cbus},
    {"Cbus3At0D", {kWorkedExample}, cbus(3, 0x0D)},
    {"Cbus3At0E", {kWorkedExample}, cbus(3, 0x0E), {}, Invalid::Cbus},
    {"Cbus4At09", {kWorkedExample}, cbus(4, 0x09)},
    {"Cbus4At0A", {kWorkedExample}, cbus(4, 0x0A), {}, Invalid::Cbus},
    {"Cbus4At0F", {kWorkedExample}, cbus(4, 0x0F), {}, Invalid::Cbus},
    {"CbusOverANibble", {kWorkedExample}, cbus(0, 0x13), {}, Invalid::Cbus},
    {"Serial15", {kWorkedExample}, serial(std::string(15, 'x'))},
    {"Serial16", {kWorkedExample}, serial(std::string(16, 'x')), {}, Invalid::SerialTooLong},
    {"ManufacturerPlusDescription40", {kWorkedExample}, strings(10, 30, 1)},
    {"ManufacturerPlusDescription41", {kWorkedExample}, strings(10, 31, 1), {}, Invalid::StringsTooLong},
    {"AllStrings46", {kWorkedExample}, strings(16, 15, 15)},
    {"AllStrings47", {kWorkedExample}, strings(17, 15, 15), {}, Invalid::StringsTooLong},
    {"MaxPower510", {kWorkedExample}, [](Fields& f) { f.maxPower = 510; }},
    {"MaxPower511", {kWorkedExample}, [](Fields& f) { f.maxPower = 511; }, {}, Invalid::Value},
    // Values another tool stored beyond the limits (see
    // storedBeyondTheLimits): only what a change touches is checked.
    {"StoredBeyondNothing", {kBeyond}, [](Fields&) {}},
    {"StoredBeyondSerialSameLength", {kBeyond}, serial("ZZ99Z")},
    {"StoredBeyondSerialShorter", {kBeyond}, serial("Z")},
    {"StoredBeyondSerialLongerTo47", {kBeyond}, serial("AB12CD"), {}, Invalid::StringsTooLong},
    {"StoredBeyondManufacturerShorter", {kBeyond}, [](Fields& f) { f.manufacturer = "Acme"; }},
    {"StoredBeyondProductLongerTo42", {kBeyond}, [](Fields& f) { f.description += "s"; }, {}, Invalid::StringsTooLong},
    {"StoredBeyondAnotherPin", {kBeyond}, cbus(1, 0x0A)},
    {"StoredBeyondThatPinValid", {kBeyond}, cbus(0, 0x0D)},
    {"StoredBeyondThatPinInvalid", {kBeyond}, cbus(0, 0x0F), {}, Invalid::Cbus},
    // Descriptors the change does not rewrite stay as they are, the
    // serial's own length byte is put right.  (The manufacturer asked
    // for is the text its header's length gives.)
    {"UnchangedTextKeepsADisagreeingDescriptorWhenAnotherStringMoves", {exampleWith({{0x18, 0x08}})}, [](Fields& f) { f.manufacturer = "FTDI"; f.serial = "A1B2"; }, {{0x18, {0x08}}}},
    {"InPlaceRewriteLeavesUnchangedDescriptorsAlone", {exampleWith({{0x18, 0x08}})}, serial("Z9Y8X7W6"), {{0x18, {0x08}}}},
    {"InPlaceRewriteRepairsTheDescriptorLengthByte", {exampleWith({{0x42, 0x0A}})}, serial("Z9Y8X7W6"), {{0x42, {0x12}}}},
    // Serial 'A' stored as U+0441, its own length byte stale, checksum stale.
    {"RepairingADescriptorKeepsItsWideUnits", {exampleWith({{0x45, 0x04}, {0x42, 0x0A}}, false)}, [](Fields&) {}, {{0x42, {0x12}}, {0x45, {0x04}}}},
    // Bytes after the serial stay where they are: a longer serial goes
    // after the trailer and a zero word, the old bytes kept.
    {"TrailerStaysWhenALongerSerialIsCopiedIntoFreeRoom", {withTrailer()}, serial("A1B2C3D4E5"), {{0x12, {0x80 | 0x5A, 0x16}}}, Invalid::None, Placement::Copy, {0x42, 0x5A}},
    {"TrailerStaysWhenAShorterSerialZeroesTheRestOfItsOldBytes", {withTrailer()}, serial("A1B2"), {{0x13, {0x0A}}, {0x4C, std::vector<std::uint8_t>(8)}}, Invalid::None, {}, {0x54, 0x7E}},
    {"TrailerShiftsWithoutFreeRoomForALongerLastSerial", {trailerWithoutFreeRoom()}, serial("A1B2C3D4E"), {{0x56, {0x02}}}, Invalid::None, Placement::Shift},
    // A D2XX caller's change of another string's length lays the area out again.
    {"TrailerMovesWhenAnEarlierStringChangesLength", {withTrailer()}, [](Fields& f) { f.manufacturer = "FTDI Ltd"; }, {{0x5C, {0x02, 0x03, 0x5A, 0x00}}, {0x10, {0x80 | 0x2A}}, {0x12, {0x80 | 0x4A}}}},
    // Serial stays first, the gap follows the shorter manufacturer.
    {"RelayoutKeepsDescriptorOrderAndGapBytes", {otherOrderWithGap()}, [](Fields& f) { f.manufacturer = "AC"; }, {{0x12, {0x80 | 0x18}}, {0x0E, {0x80 | 0x2A, 0x06, 0x80 | 0x32}}, {0x30, {0xEE, 0xEE}}}},
    {"RelayoutNonZeroBytesPushedPastTheStringAreaMeanNoRoom", {noRoomBehindTheSerial()}, serial("A1B2C3D4E"), {}, Invalid::NoRoom},
    {"RelayoutShrinkingBeforeNonZeroBytesStillFits", {noRoomBehindTheSerial()}, serial("A1B2C3D"), {{0x7D, {0x11}}}},
    // Serial at the odd offset 0x6B ends at 0x7D; growing it by one
    // character would push its last (zero) high byte and the zero at
    // 0x7D out: it goes to the free run after the product.
    {"RelayoutADescriptorRunningIntoTheChecksumGrowsIntoACopy", {serialMovedTo(0x6B)}, serial("A1B2C3D4E"), {{0x12, {0x80 | 0x42}}}, Invalid::None, Placement::Copy},
    // 6 + 25 + 15 = 46 characters, 98 bytes of 102.
    {"RelayoutZeroBytesMayBePushedOut", {kWorkedExample}, [](Fields& f) { f.manufacturer = "FTDI M"; f.description = std::string(25, 'D'); f.serial = std::string(15, 'S'); }},
};
// clang-format on

class Changes : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(Changes, AreRefusedOrMadeWhereExpected) {
    const ChangeCase& c = GetParam();
    for (const Image& base : c.bases) {
        SCOPED_TRACE(&base - c.bases.data());
        Fields f = decoded(base);
        c.edit(f);
        EXPECT_EQ(validate(base, f), c.status);
        const Change change = planChange(decodeImage(base), decoded(base), f);
        ASSERT_EQ(change.status, c.status);
        const Image out = encode(base, f);
        if (c.status != Invalid::None) {
            EXPECT_EQ(out, base);  // refused: nothing changes
            continue;
        }
        EXPECT_EQ(change.serial, c.serial.value_or(change.serial));
        Fields back;
        EXPECT_EQ(decode(out, back), DecodeResult::Ok);
        EXPECT_TRUE(back == f);
        for (const auto& [at, bytes] : c.bytes) {
            EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + at, out.begin() + at + bytes.size()),
                      bytes)
                << "at 0x" << std::hex << at;
        }
        EXPECT_TRUE(std::equal(base.begin() + c.kept.first, base.begin() + c.kept.second,
                               out.begin() + c.kept.first));
        if (c.allowed.empty()) continue;
        EXPECT_NE(out, base);
        for (std::size_t at = 0; at < 0x7E; ++at) {
            const bool allowed = std::any_of(c.allowed.begin(), c.allowed.end(), [at](auto& r) {
                return r.first <= at && at <= r.second;
            });
            EXPECT_TRUE(allowed || out[at] == base[at])
                << "byte 0x" << std::hex << at << " changed";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Changes, ::testing::ValuesIn(kChanges), rowName<ChangeCase>);
INSTANTIATE_TEST_SUITE_P(FieldChanges, Changes, ::testing::ValuesIn(kFieldChanges),
                         rowName<ChangeCase>);

// As a whole, what another tool stored beyond the limits is not storable.
TEST(StoredBeyondTheLimits, FailsTheChecksThatNeedNoImage) {
    EXPECT_EQ(validateFields(decoded(storedBeyondTheLimits())), Invalid::Cbus);
}

TEST(Encode, MaxPowerRoundsDownToTwoMilliampUnits) {
    Fields f = exampleFields();
    f.maxPower = 101;
    EXPECT_EQ(encode(kWorkedExample, f)[0x09], 50);
}

TEST(Encode, RefusesImagesThatDoNotDecode) {
    EXPECT_EQ(validate(kBlankImage, exampleFields()), Invalid::NoRoom);
    EXPECT_EQ(encode(kBlankImage, exampleFields()), kBlankImage);
}

TEST(Trailer, ShrinkThenGrowBackRestoresTheSerial) {
    const Image image = withTrailer();
    Fields f = decoded(image);
    f.serial = "A";
    const Image shrunk = encode(image, f);
    f.serial = "A1B2C3D4";
    EXPECT_EQ(encode(shrunk, f), image);
}

// A string the caller was shown cut short and left so keeps its whole text;
// not when a cut write left its descriptor inexact (there the request stands).
TEST(KeepUnchangedStrings, ACutStringLeftAsShownKeepsItsStoredText) {
    const Fields stored = exampleFields("SN-2019-0417-A55B-X9");  // 20 characters, shown as 15
    const Image image = makeImage(stored);
    Fields shown = stored;
    shown.serial = stored.serial.substr(0, 15);

    Fields requested = shown;
    keepUnchangedStrings(image, shown, requested);
    EXPECT_EQ(requested.serial, stored.serial);
    EXPECT_EQ(encode(image, requested), image);

    requested.serial = "SN-2019-0417-Z5";  // another text of the same length
    keepUnchangedStrings(image, shown, requested);
    EXPECT_EQ(requested.serial, "SN-2019-0417-Z5");

    Image cut = image;
    cut[image[0x12] & 0x7F] = 0x20;  // the descriptor's own length already shrunk, stale checksum
    requested.serial = shown.serial;
    keepUnchangedStrings(cut, shown, requested);
    EXPECT_EQ(requested.serial, shown.serial);

    // An own length no serial of ours has (over 15 characters) is another
    // program's layout, not a cut: the stored text stays.
    Image foreign = image;
    foreign[image[0x12] & 0x7F] = 0x54;
    updateChecksum(foreign);
    keepUnchangedStrings(foreign, shown, requested);
    EXPECT_EQ(requested.serial, stored.serial);
}

// --- Write planning -----------------------------------------------------------

// The words of each plan, where a row gives them.  Every plan reaches its
// target in even/odd pairs; where a row gives no words, the checksum's pair
// is written last.
TEST(PlanWrites, WordsInOrder) {
    struct Case {
        std::string name;
        Image target;
        std::optional<std::vector<unsigned>> words;
        Image current = kWorkedExample;
    };
    // clang-format off
    std::vector<Case> cases = {
        {"equal images need no writes", kWorkedExample, std::vector<unsigned>{}},
        {"a CBUS change writes its pair then the checksum", encodedWith(kWorkedExample, cbus(4, 0x08)), {{0x0A, 0x0B, 0x3E, 0x3F}}},
        {"a same-length serial writes its text pairs in order", encodedWith(kWorkedExample, serial("Z9Y8X7W6")), {{0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x3E, 0x3F}}},
        {"a shrinking serial writes its header last", encodedWith(kWorkedExample, serial("A1B2")), {{0x20, 0x21, 0x26, 0x27, 0x28, 0x29, 0x08, 0x09, 0x3E, 0x3F}}},
        {"a growing serial writes its header last", encodedWith(kWorkedExample, serial("A1B2C3D4E5")), {{0x20, 0x21, 0x2A, 0x2B, 0x08, 0x09, 0x3E, 0x3F}}},
        // A serial reaching 0x7C..0x7D.
        {"a last area word goes with the checksum before the header", exampleWith({{0x13, 0x3C}, {0x7C, 0x41}}), {{0x3E, 0x3F, 0x08, 0x09}}},
        {"a stale checksum alone writes the checksum pair", kWorkedExample, {{0x3E, 0x3F}}, exampleWith({{0x7E, 0x00}}, false)},
    };
    const Edit changes[] = {
        serial("Q"),
        [](Fields& f) { f.manufacturer = "Some Maker"; },
        [](Fields& f) { f.vendorId = 0x1111; f.cbus = {1, 2, 3, 4, 5}; f.serial = "LONGER-SERIAL"; },
    };
    // clang-format on
    for (const Image& base : {kWorkedExample, withTrailer()}) {
        for (const Edit& change : changes) {
            cases.push_back({"change " + std::to_string(cases.size()), encodedWith(base, change),
                             std::nullopt, base});
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<unsigned> plan = planWrites(c.current, c.target);
        if (c.words) {
            EXPECT_EQ(plan, *c.words);
        } else {
            ASSERT_GE(plan.size(), 2u);
            EXPECT_EQ(plan[plan.size() - 2], 0x3Eu);
            EXPECT_EQ(plan.back(), 0x3Fu);
        }
        Image applied = c.current;
        for (const unsigned w : plan) setWord(applied, w, wordAt(c.target, w));
        EXPECT_EQ(applied, c.target);
        ASSERT_EQ(plan.size() % 2, 0u);
        for (std::size_t i = 0; i < plan.size(); i += 2) {
            EXPECT_EQ(plan[i] % 2, 0u);
            EXPECT_EQ(plan[i + 1], plan[i] + 1);
        }
    }
}

// --- makeImage ------------------------------------------------------------------

TEST(MakeImage, CarriesEveryFieldAndTheFactoryConstants) {
    Fields f = exampleFields("", "X", "S");
    f.vendorId = 0x1209;
    f.productId = 0x0001;
    f.maxPower = 200;
    f.selfPowered = f.pullDownEnable = f.usbVersionEnable = f.useExtOsc = f.riIsD2xx = true;
    f.invert[2] = true;
    f.usbVersion = 0x0110;
    f.cbus = {0x0A, 0x0B, 0x0C, 0x0D, 0x09};
    const Image image = makeImage(f);
    Fields back;
    ASSERT_EQ(decode(image, back), DecodeResult::Ok);
    EXPECT_TRUE(back == f);
    EXPECT_EQ(wordAt(image, 0x03), 0x0600);  // release number marking an FT232R
    EXPECT_EQ(image[0x08], 0xE0);            // bit 7 always set
}

TEST(MakeImage, OverlongStringsStillGiveASoundImage) {
    const Fields f =
        exampleFields(std::string(200, 'm'), std::string(200, 'd'), std::string(200, 's'));
    Fields back;
    EXPECT_EQ(decode(makeImage(f), back), DecodeResult::Ok);
}

}  // namespace
}  // namespace ft232r
