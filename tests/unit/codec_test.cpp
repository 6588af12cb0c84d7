// Unit tests of the FT232R EEPROM codec.  The first fact checked is the one
// everything else rests on: an image decoded and encoded again is the same
// image, byte for byte.

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ft232r_eeprom.hpp"
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

constexpr std::size_t kSerialEnd = 0x54;  // serial descriptor 0x42..0x53 in the worked example

// The worked example with the 4-byte trailer some programmers leave after the serial.
Image withTrailer() {
    Image image = kWorkedExample;
    image[kSerialEnd + 0] = 0x02;
    image[kSerialEnd + 1] = 0x03;
    image[kSerialEnd + 2] = 0x5A;
    image[kSerialEnd + 3] = 0x00;
    updateChecksum(image);
    return image;
}

std::set<std::size_t> changedBytes(const Image& a, const Image& b) {
    std::set<std::size_t> changed;
    for (std::size_t i = 0; i < kImageBytes; ++i) {
        if (a[i] != b[i]) changed.insert(i);
    }
    return changed;
}

std::set<std::size_t> range(std::size_t first, std::size_t last) {
    std::set<std::size_t> s;
    for (std::size_t i = first; i <= last; ++i) s.insert(i);
    return s;
}

Fields decoded(const Image& image) {
    Fields f;
    const DecodeResult r = decode(image, f);
    EXPECT_TRUE(r == DecodeResult::Ok || r == DecodeResult::StaleChecksum);
    return f;
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
    Image image = kWorkedExample;
    image[0x7E] = 0x00;
    image[0x7F] = 0x00;
    EXPECT_EQ(checksum(image), 0x4ED3);
    EXPECT_FALSE(checksumOk(image));
    updateChecksum(image);
    EXPECT_EQ(image, kWorkedExample);
}

TEST(WorkedExample, DecodesToItsFields) {
    Fields f;
    ASSERT_EQ(decode(kWorkedExample, f), DecodeResult::Ok);
    EXPECT_TRUE(f == exampleFields());
    EXPECT_EQ(f.maxPower, 90);
    EXPECT_EQ(f.cbus, (std::array<std::uint8_t, 5>{3, 2, 0, 1, 5}));
}

// --- Byte-exact round trip ----------------------------------------------------

struct RoundTripCase {
    const char* name;
    Image image;
    DecodeResult expected;
};

Image exampleWith(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes,
                  bool fixChecksum) {
    Image image = kWorkedExample;
    for (const auto& [at, value] : bytes) image[at] = value;
    if (fixChecksum) updateChecksum(image);
    return image;
}

// Serial stored first, product last, and two opaque bytes between them.
Image otherOrderWithGap() {
    Image image = makeImage(exampleFields());
    Image moved = image;
    // serial 0x42..0x53 -> 0x18, manufacturer -> 0x2A, gap EE EE, product -> 0x36.
    std::copy(image.begin() + 0x42, image.begin() + 0x54, moved.begin() + 0x18);
    std::copy(image.begin() + 0x18, image.begin() + 0x22, moved.begin() + 0x2A);
    moved[0x34] = 0xEE;
    moved[0x35] = 0xEE;
    std::copy(image.begin() + 0x22, image.begin() + 0x42, moved.begin() + 0x36);
    std::fill(moved.begin() + 0x56, moved.begin() + 0x7E, 0x00);
    moved[0x0E] = 0x80 | 0x2A;
    moved[0x10] = 0x80 | 0x36;
    moved[0x12] = 0x80 | 0x18;
    updateChecksum(moved);
    return moved;
}

const std::vector<RoundTripCase>& roundTripCases() {
    static const std::vector<RoundTripCase> cases = {
        {"WorkedExample", kWorkedExample, DecodeResult::Ok},
        {"TrailerAfterSerial", withTrailer(), DecodeResult::Ok},
        // An interrupted write: serial descriptor's own length byte disagrees with 0x13.
        {"DescriptorLengthDisagreesStale", exampleWith({{0x42, 0x0A}}, false),
         DecodeResult::StaleChecksum},
        {"DescriptorLengthDisagrees", exampleWith({{0x42, 0x0A}}, true), DecodeResult::Ok},
        {"UnknownBitsSet",
         exampleWith({{0x00, 0xF1},  // byte 0x00 bit 0 and bits 4-7
                      {0x06, 0x34},  // release number
                      {0x07, 0x12},
                      {0x08, 0x1F},  // bit 7 clear, bits 0-4 set
                      {0x0A, 0xE8},  // bits 5-7
                      {0x16, 0xA5},  // high nibble beside CBUS4
                      {0x17, 0x5C}},
                     true),
         DecodeResult::Ok},
        {"WrongChecksum", exampleWith({{0x7E, 0x00}}, false), DecodeResult::StaleChecksum},
        // A UTF-16 unit beyond 8 bits decodes to '?' but must be kept as it was.
        {"WideCharacterInSerial", exampleWith({{0x45, 0x04}}, true), DecodeResult::Ok},
        {"OtherOrderWithGap", otherOrderWithGap(), DecodeResult::Ok},
    };
    return cases;
}

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, DecodeThenEncodeReproducesEveryByte) {
    const RoundTripCase& c = GetParam();
    const Image& image = c.image;
    Fields f;
    ASSERT_EQ(decode(image, f), c.expected);
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

INSTANTIATE_TEST_SUITE_P(Images, RoundTrip, ::testing::ValuesIn(roundTripCases()),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) {
                             return std::string(info.param.name);
                         });

// --- Each field change touches only its bytes -------------------------------

struct FieldChange {
    const char* name;
    std::function<void(Fields&)> mutate;
    std::set<std::size_t> allowed;  // besides the checksum 0x7E/0x7F
};

std::set<std::size_t> join(std::set<std::size_t> a, const std::set<std::size_t>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

const std::vector<FieldChange>& fieldChanges() {
    static const std::vector<FieldChange> cases = {
        {"SerialSameLength", [](Fields& f) { f.serial = "Z9Y8X7W6"; }, range(0x44, 0x53)},
        // In place, or (behind a trailer) a copy in free room and a new pointer.
        {"SerialLonger", [](Fields& f) { f.serial = "A1B2C3D4E5F6"; },
         join({0x12, 0x13}, range(0x42, 0x7D))},
        {"SerialShorter", [](Fields& f) { f.serial = "A1"; }, join({0x13}, range(0x42, 0x7D))},
        {"SerialEmpty", [](Fields& f) { f.serial.clear(); }, join({0x13}, range(0x42, 0x7D))},
        // Bytes from 0x80 up are UTF-16 code units 0x0080..0x00FF, whatever
        // the signedness of plain char.
        {"SerialHighBytes", [](Fields& f) { f.serial = "12345\xe9\xff\x80"; }, range(0x44, 0x53)},
        {"ManufacturerSameLength", [](Fields& f) { f.manufacturer = "ACME"; }, range(0x1A, 0x21)},
        {"ManufacturerLonger", [](Fields& f) { f.manufacturer = "ACME Ltd"; },
         join({0x0F, 0x10, 0x12}, range(0x18, 0x7D))},
        {"DescriptionShorter", [](Fields& f) { f.description = "Widget"; },
         join({0x11, 0x12}, range(0x22, 0x7D))},
        {"Cbus0", [](Fields& f) { f.cbus[0] = 0x0A; }, {0x14}},
        {"Cbus1", [](Fields& f) { f.cbus[1] = 0x0D; }, {0x14}},
        {"Cbus2", [](Fields& f) { f.cbus[2] = 0x06; }, {0x15}},
        {"Cbus3", [](Fields& f) { f.cbus[3] = 0x0B; }, {0x15}},
        {"Cbus4", [](Fields& f) { f.cbus[4] = 0x09; }, {0x16}},
        {"VendorId", [](Fields& f) { f.vendorId = 0x1234; }, {0x02, 0x03}},
        {"ProductId", [](Fields& f) { f.productId = 0x6015; }, {0x04, 0x05}},
        {"Invert", [](Fields& f) { f.invert[0] = f.invert[7] = true; }, {0x0B}},
        {"MaxPower", [](Fields& f) { f.maxPower = 500; }, {0x09}},
        {"SelfPowered", [](Fields& f) { f.selfPowered = true; }, {0x08}},
        {"RemoteWakeupOff", [](Fields& f) { f.remoteWakeup = false; }, {0x08}},
        {"PullDowns", [](Fields& f) { f.pullDownEnable = true; }, {0x0A}},
        {"SerialNumberOff", [](Fields& f) { f.serNumEnable = false; }, {0x0A}},
        {"UsbVersion",
         [](Fields& f) {
             f.usbVersionEnable = true;
             f.usbVersion = 0x0200;
         },
         {0x0A, 0x0C, 0x0D}},
        {"ExternalOscillator", [](Fields& f) { f.useExtOsc = true; }, {0x00}},
        {"HighDrive", [](Fields& f) { f.highDriveIOs = true; }, {0x00}},
        {"D2xxDriver", [](Fields& f) { f.riIsD2xx = true; }, {0x00}},
        {"EndpointSize", [](Fields& f) { f.endpointSize = 0x10; }, {0x01}},
    };
    return cases;
}

class FieldChangeTest : public ::testing::TestWithParam<FieldChange> {};

TEST_P(FieldChangeTest, TouchesOnlyItsBytesAndDecodesBack) {
    const FieldChange& c = GetParam();
    for (const Image& base : {kWorkedExample, withTrailer()}) {
        Fields f = decoded(base);
        c.mutate(f);
        ASSERT_EQ(validate(base, f), Invalid::None);
        const Image out = encode(base, f);
        const std::set<std::size_t> changed = changedBytes(base, out);
        EXPECT_FALSE(changed.empty());
        for (const std::size_t at : changed) {
            EXPECT_TRUE(c.allowed.count(at) != 0 || at == 0x7E || at == 0x7F)
                << "byte 0x" << std::hex << at << " changed";
        }
        Fields back;
        EXPECT_EQ(decode(out, back), DecodeResult::Ok);
        EXPECT_TRUE(back == f);
    }
}

INSTANTIATE_TEST_SUITE_P(Changes, FieldChangeTest, ::testing::ValuesIn(fieldChanges()),
                         [](const ::testing::TestParamInfo<FieldChange>& info) {
                             return std::string(info.param.name);
                         });

TEST(Encode, MaxPowerRoundsDownToTwoMilliampUnits) {
    Fields f = exampleFields();
    f.maxPower = 101;
    EXPECT_EQ(encode(kWorkedExample, f)[0x09], 50);
}

TEST(Encode, UnchangedTextKeepsADisagreeingDescriptorWhenAnotherStringMoves) {
    Image image = kWorkedExample;
    image[0x18] = 0x08;  // manufacturer descriptor's own length byte left stale
    updateChecksum(image);
    Fields f = decoded(image);
    f.serial = "A1B2";
    const Image out = encode(image, f);
    EXPECT_EQ(out[0x18], 0x08);
    EXPECT_EQ(decoded(out).manufacturer, "FTDI");
    EXPECT_EQ(decoded(out).serial, "A1B2");
}

TEST(Encode, InPlaceRewriteLeavesUnchangedDescriptorsAlone) {
    const Image image = exampleWith({{0x18, 0x08}}, true);
    Fields f = decoded(image);
    f.serial = "Z9Y8X7W6";
    EXPECT_EQ(encode(image, f)[0x18], 0x08);
}

TEST(Encode, InPlaceRewriteRepairsTheDescriptorLengthByte) {
    const Image image = exampleWith({{0x42, 0x0A}}, true);
    Fields f = decoded(image);
    f.serial = "Z9Y8X7W6";
    EXPECT_EQ(encode(image, f)[0x42], 0x12);
}

TEST(Encode, RefusesImagesThatDoNotDecode) {
    Image blank;
    blank.fill(0xFF);
    EXPECT_EQ(validate(blank, exampleFields()), Invalid::NoRoom);
    EXPECT_EQ(encode(blank, exampleFields()), blank);
}

// --- Bytes after the serial stay where they are --------------------------------

TEST(Trailer, ALongerSerialIsCopiedIntoFreeRoomAndTheTrailerStays) {
    const Image image = withTrailer();
    Fields f = decoded(image);
    f.serial = "A1B2C3D4E5";
    const Change change = planChange(image, decoded(image), f);
    ASSERT_EQ(change.status, Invalid::None);
    EXPECT_EQ(change.serial, Placement::Copy);
    const Image& out = change.target;
    EXPECT_EQ(out[0x12], 0x80 | 0x5A);  // after the trailer and a zero word
    EXPECT_EQ(out[0x13], 0x16);
    EXPECT_TRUE(std::equal(image.begin() + 0x42, image.begin() + 0x5A, out.begin() + 0x42));
    EXPECT_EQ(decoded(out).serial, "A1B2C3D4E5");
}

TEST(Trailer, AShorterSerialStaysInPlaceAndZeroesTheRestOfItsOldBytes) {
    const Image image = withTrailer();
    Fields f = decoded(image);
    f.serial = "A1B2";
    const Image out = encode(image, f);
    EXPECT_EQ(out[0x13], 0x0A);
    for (std::size_t i = 0x4C; i < kSerialEnd; ++i) EXPECT_EQ(out[i], 0x00) << i;
    EXPECT_TRUE(
        std::equal(image.begin() + kSerialEnd, image.begin() + 0x7E, out.begin() + kSerialEnd));
}

TEST(Trailer, ShrinkThenGrowBackRestoresTheSerial) {
    const Image image = withTrailer();
    Fields f = decoded(image);
    f.serial = "A";
    const Image shrunk = encode(image, f);
    f.serial = "A1B2C3D4";
    EXPECT_EQ(encode(shrunk, f), image);
}

TEST(Trailer, WithoutFreeRoomALongerLastSerialShiftsIt) {
    Image image = withTrailer();
    std::fill(image.begin() + 0x5C, image.begin() + 0x78, 0x11);  // no free run of 20 bytes
    updateChecksum(image);
    Fields f = decoded(image);
    f.serial = "A1B2C3D4E";
    const Change change = planChange(image, decoded(image), f);
    ASSERT_EQ(change.status, Invalid::None);
    EXPECT_EQ(change.serial, Placement::Shift);
    EXPECT_EQ(change.target[0x56], 0x02);  // the trailer, two bytes on
}

// A D2XX caller's change of another string's length lays the area out again.
TEST(Trailer, MovesWhenAnEarlierStringChangesLength) {
    const Image image = withTrailer();
    Fields f = decoded(image);
    f.manufacturer = "FTDI Ltd";  // 8 bytes longer
    const Image out = encode(image, f);
    const std::vector<std::uint8_t> trailer(out.begin() + 0x5C, out.begin() + 0x60);
    EXPECT_EQ(trailer, (std::vector<std::uint8_t>{0x02, 0x03, 0x5A, 0x00}));
    EXPECT_EQ(out[0x10], 0x80 | 0x2A);
    EXPECT_EQ(out[0x12], 0x80 | 0x4A);
}

TEST(Relayout, KeepsDescriptorOrderAndGapBytes) {
    const Image image = roundTripCases()[7].image;  // serial, manufacturer, gap, product
    Fields f = decoded(image);
    f.manufacturer = "AC";
    const Image out = encode(image, f);
    EXPECT_EQ(out[0x12], 0x80 | 0x18);  // serial stays first
    EXPECT_EQ(out[0x0E], 0x80 | 0x2A);
    EXPECT_EQ(out[0x0F], 0x06);
    EXPECT_EQ(out[0x30], 0xEE);  // the gap follows the shorter manufacturer
    EXPECT_EQ(out[0x31], 0xEE);
    EXPECT_EQ(out[0x10], 0x80 | 0x32);
    const Fields back = decoded(out);
    EXPECT_TRUE(back == f);
}

TEST(Relayout, NonZeroBytesPushedPastTheStringAreaMeanNoRoom) {
    Image image = kWorkedExample;
    image[0x55] = 0x11;  // right behind the serial: no room in place, a shift loses it
    image[0x7D] = 0x11;  // and no free run long enough for a copy
    std::fill(image.begin() + 0x56, image.begin() + 0x7D, 0x22);
    updateChecksum(image);
    Fields f = decoded(image);
    f.serial = "A1B2C3D4E";
    EXPECT_EQ(validate(image, f), Invalid::NoRoom);
    EXPECT_EQ(encode(image, f), image);
    f.serial = "A1B2C3D";  // shrinking still fits
    EXPECT_EQ(validate(image, f), Invalid::None);
    EXPECT_EQ(encode(image, f)[0x7D], 0x11);
}

TEST(Relayout, ADescriptorRunningIntoTheChecksumGrowsIntoACopy) {
    // Serial at the odd offset 0x6B ends at 0x7D; growing it by one character
    // would push its last (zero) high byte and the zero at 0x7D out.
    Image image = kWorkedExample;
    std::copy(kWorkedExample.begin() + 0x42, kWorkedExample.begin() + 0x54, image.begin() + 0x6B);
    std::fill(image.begin() + 0x42, image.begin() + 0x6B, 0x00);
    image[0x7D] = 0x00;
    image[0x12] = 0x80 | 0x6B;
    updateChecksum(image);
    Fields f = decoded(image);
    f.serial = "A1B2C3D4E";
    const Change change = planChange(image, decoded(image), f);
    EXPECT_EQ(change.status, Invalid::None);
    EXPECT_EQ(change.serial, Placement::Copy);
    EXPECT_EQ(change.target[0x12], 0x80 | 0x42);  // the free run after the product
}

TEST(Relayout, ZeroBytesMayBePushedOut) {
    Fields f = exampleFields();
    f.manufacturer = "FTDI M";
    f.description = std::string(25, 'D');
    f.serial = std::string(15, 'S');  // 6 + 25 + 15 = 46 characters, 98 bytes of 102
    EXPECT_EQ(validate(kWorkedExample, f), Invalid::None);
    EXPECT_TRUE(decoded(encode(kWorkedExample, f)) == f);
}

// --- Validation limits ------------------------------------------------------

struct LimitCase {
    const char* name;
    std::function<void(Fields&)> mutate;
    Invalid expected;
};

const std::vector<LimitCase>& limitCases() {
    static const std::vector<LimitCase> cases = {
        {"Cbus0At0D", [](Fields& f) { f.cbus[0] = 0x0D; }, Invalid::None},
        {"Cbus0At0E", [](Fields& f) { f.cbus[0] = 0x0E; }, Invalid::Cbus},
        {"Cbus1At0D", [](Fields& f) { f.cbus[1] = 0x0D; }, Invalid::None},
        {"Cbus1At0E", [](Fields& f) { f.cbus[1] = 0x0E; }, Invalid::Cbus},
        {"Cbus2At0D", [](Fields& f) { f.cbus[2] = 0x0D; }, Invalid::None},
        {"Cbus2At0E", [](Fields& f) { f.cbus[2] = 0x0E; }, Invalid::Cbus},
        {"Cbus3At0D", [](Fields& f) { f.cbus[3] = 0x0D; }, Invalid::None},
        {"Cbus3At0E", [](Fields& f) { f.cbus[3] = 0x0E; }, Invalid::Cbus},
        {"Cbus4At09", [](Fields& f) { f.cbus[4] = 0x09; }, Invalid::None},
        {"Cbus4At0A", [](Fields& f) { f.cbus[4] = 0x0A; }, Invalid::Cbus},
        {"Cbus4At0F", [](Fields& f) { f.cbus[4] = 0x0F; }, Invalid::Cbus},
        {"CbusOverANibble", [](Fields& f) { f.cbus[0] = 0x13; }, Invalid::Cbus},
        {"Serial15", [](Fields& f) { f.serial = std::string(15, 'x'); }, Invalid::None},
        {"Serial16", [](Fields& f) { f.serial = std::string(16, 'x'); }, Invalid::SerialTooLong},
        {"ManufacturerPlusDescription40",
         [](Fields& f) {
             f.manufacturer = std::string(10, 'm');
             f.description = std::string(30, 'd');
             f.serial = "1";
         },
         Invalid::None},
        {"ManufacturerPlusDescription41",
         [](Fields& f) {
             f.manufacturer = std::string(10, 'm');
             f.description = std::string(31, 'd');
             f.serial = "1";
         },
         Invalid::StringsTooLong},
        {"AllStrings46",
         [](Fields& f) {
             f.manufacturer = std::string(16, 'm');
             f.description = std::string(15, 'd');
             f.serial = std::string(15, 's');
         },
         Invalid::None},
        {"AllStrings47",
         [](Fields& f) {
             f.manufacturer = std::string(17, 'm');
             f.description = std::string(15, 'd');
             f.serial = std::string(15, 's');
         },
         Invalid::StringsTooLong},
        {"MaxPower510", [](Fields& f) { f.maxPower = 510; }, Invalid::None},
        {"MaxPower511", [](Fields& f) { f.maxPower = 511; }, Invalid::Value},
    };
    return cases;
}

class Limits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(Limits, ValidateAndEncodeAgree) {
    const LimitCase& c = GetParam();
    Fields f = exampleFields();
    c.mutate(f);
    EXPECT_EQ(validate(kWorkedExample, f), c.expected);
    const Image out = encode(kWorkedExample, f);
    if (c.expected == Invalid::None) {
        EXPECT_TRUE(decoded(out) == f);
    } else {
        EXPECT_EQ(out, kWorkedExample);  // refused: nothing changes
    }
}

INSTANTIATE_TEST_SUITE_P(Values, Limits, ::testing::ValuesIn(limitCases()),
                         [](const ::testing::TestParamInfo<LimitCase>& info) {
                             return std::string(info.param.name);
                         });

// --- Values another tool stored beyond the limits ---------------------------

// Only what a change touches is checked.
TEST(StoredBeyondTheLimits, OnlyWhatAChangeTouchesIsChecked) {
    const Image image = storedBeyondTheLimits();
    EXPECT_EQ(validateFields(decoded(image)), Invalid::Cbus);  // as a whole, not storable
    const struct {
        const char* name;
        std::function<void(Fields&)> change;
        Invalid expected;
    } cases[] = {
        {"nothing", [](Fields&) {}, Invalid::None},
        {"serial, same length", [](Fields& f) { f.serial = "ZZ99Z"; }, Invalid::None},
        {"serial, shorter", [](Fields& f) { f.serial = "Z"; }, Invalid::None},
        {"serial, longer: 47 characters", [](Fields& f) { f.serial = "AB12CD"; },
         Invalid::StringsTooLong},
        {"manufacturer, shorter", [](Fields& f) { f.manufacturer = "Acme"; }, Invalid::None},
        {"product, longer: 42", [](Fields& f) { f.description += "s"; }, Invalid::StringsTooLong},
        {"another pin", [](Fields& f) { f.cbus[1] = 0x0A; }, Invalid::None},
        {"that pin, valid", [](Fields& f) { f.cbus[0] = 0x0D; }, Invalid::None},
        {"that pin, invalid", [](Fields& f) { f.cbus[0] = 0x0F; }, Invalid::Cbus},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fields f = decoded(image);
        c.change(f);
        EXPECT_EQ(validate(image, f), c.expected);
        const Image out = encode(image, f);
        if (c.expected != Invalid::None) {
            EXPECT_EQ(out, image);
            continue;
        }
        EXPECT_TRUE(decoded(out) == f);
        if (f.cbus[0] == 0x0E) {
            EXPECT_EQ(out[0x14] & 0x0F, 0x0E);
        }
    }
}

// A string the caller was shown cut short and left so keeps its whole text;
// not when a cut write left its descriptor inexact (there the request stands).
TEST(KeepUnchangedStrings, ACutStringLeftAsShownKeepsItsStoredText) {
    Fields stored = exampleFields();
    stored.serial = "SN-2019-0417-A55B-X9";  // 20 characters, shown as 15
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

TEST(Encode, RepairingADescriptorKeepsItsWideUnits) {
    // Serial 'A' stored as U+0441, its own length byte stale, checksum stale.
    const Image image = exampleWith({{0x45, 0x04}, {0x42, 0x0A}}, false);
    const Image out = encode(image, decoded(image));
    EXPECT_EQ(out[0x42], 0x12);
    EXPECT_EQ(out[0x45], 0x04);
}

// --- Decode -------------------------------------------------------------------

TEST(Decode, AllOnesIsBlank) {
    Image image;
    image.fill(0xFF);
    Fields f;
    f.serial = "untouched";
    EXPECT_EQ(decode(image, f), DecodeResult::Blank);
    EXPECT_EQ(f.serial, "untouched");
    EXPECT_EQ(structureFault(image), "blank (every byte 0xff)");
    EXPECT_EQ(structureFault(kWorkedExample), "");
}

struct BrokenCase {
    const char* name;
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;
    const char* fault;  // part of what structureFault says
};

const std::vector<BrokenCase>& brokenCases() {
    static const std::vector<BrokenCase> cases = {
        // Type byte valid at 0x17, so only the offset below 0x18 is wrong.
        {"PointerBelowStringArea",
         {{0x0E, 0x80 | 0x16}, {0x17, 0x03}},
         "manufacturer string pointer 0x96 (byte 0x0e) does not point into the string area"},
        {"PointerBit7Clear", {{0x0E, 0x18}}, "manufacturer string pointer 0x18 (byte 0x0e)"},
        {"OddLength", {{0x0F, 0x09}}, "manufacturer string length 0x09 (byte 0x0f) is not an even"},
        {"ZeroLength", {{0x11, 0x00}}, "product string length 0x00 (byte 0x11)"},
        {"PastTheChecksum", {{0x12, 0x80 | 0x6E}, {0x6F, 0x03}}, "serial string at 0x6e"},
        {"WrongType", {{0x19, 0x04}}, "manufacturer string at 0x18 has descriptor type 0x04"},
        {"Overlapping", {{0x10, 0x98}}, "manufacturer and product strings overlap"},
        {"OverlappingTail", {{0x12, 0x80 | 0x40}, {0x41, 0x03}}, "strings overlap"},
        {"OneByteFromBlank", {}, "manufacturer string length 0xff"},
    };
    return cases;
}

class BrokenImages : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenImages, DecodeAsBrokenAndLeaveTheFieldsAlone) {
    const BrokenCase& c = GetParam();
    Image image = kWorkedExample;
    if (c.bytes.empty()) {
        image.fill(0xFF);
        image[0x20] = 0x00;
    }
    for (const auto& [at, value] : c.bytes) image[at] = value;
    updateChecksum(image);
    Fields f;
    f.serial = "untouched";
    EXPECT_EQ(decode(image, f), DecodeResult::Broken);
    EXPECT_EQ(f.serial, "untouched");
    EXPECT_NE(structureFault(image).find(c.fault), std::string::npos) << structureFault(image);
}

INSTANTIATE_TEST_SUITE_P(Images, BrokenImages, ::testing::ValuesIn(brokenCases()),
                         [](const ::testing::TestParamInfo<BrokenCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Decode, DescriptorEndingExactlyAtTheChecksumIsSound) {
    Image image = kWorkedExample;
    std::copy(kWorkedExample.begin() + 0x42, kWorkedExample.begin() + 0x54, image.begin() + 0x6C);
    std::fill(image.begin() + 0x42, image.begin() + 0x54, 0x00);
    image[0x12] = 0x80 | 0x6C;
    updateChecksum(image);
    EXPECT_EQ(decoded(image).serial, "A1B2C3D4");
}

TEST(Decode, WrongChecksumIsStaleWithFieldsFilled) {
    Image image = kWorkedExample;
    image[0x7F] ^= 0x01;
    Fields f;
    EXPECT_EQ(decode(image, f), DecodeResult::StaleChecksum);
    EXPECT_TRUE(f == exampleFields());
}

TEST(Decode, TextStopsAtANulUnitAndWideUnitsReadAsQuestionMarks) {
    Image image = kWorkedExample;
    image[0x45] = 0x20;             // 'A' becomes U+2041
    image[0x4C] = image[0x4D] = 0;  // 'C' becomes NUL
    updateChecksum(image);
    EXPECT_EQ(decoded(image).serial, "?1B2");
}

TEST(Decode, HeaderLengthWinsOverTheDescriptorsOwnLength) {
    const Image image = exampleWith({{0x42, 0x0A}}, true);
    EXPECT_EQ(decoded(image).serial, "A1B2C3D4");
}

// --- Write planning -----------------------------------------------------------

std::vector<unsigned> words(std::initializer_list<unsigned> list) { return list; }

std::vector<unsigned> wordRange(unsigned first, unsigned last) {
    std::vector<unsigned> v;
    for (unsigned w = first; w <= last; ++w) v.push_back(w);
    return v;
}

std::vector<unsigned> concat(std::vector<unsigned> a, const std::vector<unsigned>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Image applyPlan(Image current, const Image& target, const std::vector<unsigned>& plan) {
    for (const unsigned w : plan) setWord(current, w, wordAt(target, w));
    return current;
}

Image encodedWith(const Image& base, const std::function<void(Fields&)>& mutate) {
    Fields f = decoded(base);
    mutate(f);
    return encode(base, f);
}

TEST(PlanWrites, EqualImagesNeedNoWrites) {
    EXPECT_TRUE(planWrites(kWorkedExample, kWorkedExample).empty());
}

TEST(PlanWrites, CbusChangeWritesItsPairThenTheChecksum) {
    const Image target = encodedWith(kWorkedExample, [](Fields& f) { f.cbus[4] = 0x08; });
    EXPECT_EQ(planWrites(kWorkedExample, target), words({0x0A, 0x0B, 0x3E, 0x3F}));
}

TEST(PlanWrites, SameLengthSerialWritesItsTextPairsInOrder) {
    const Image target = encodedWith(kWorkedExample, [](Fields& f) { f.serial = "Z9Y8X7W6"; });
    EXPECT_EQ(planWrites(kWorkedExample, target),
              concat(wordRange(0x22, 0x29), words({0x3E, 0x3F})));
}

TEST(PlanWrites, ShrinkingSerialWritesItsHeaderLast) {
    const Image target = encodedWith(kWorkedExample, [](Fields& f) { f.serial = "A1B2"; });
    EXPECT_EQ(planWrites(kWorkedExample, target),
              words({0x20, 0x21, 0x26, 0x27, 0x28, 0x29, 0x08, 0x09, 0x3E, 0x3F}));
}

TEST(PlanWrites, GrowingSerialWritesItsHeaderLast) {
    const Image target = encodedWith(kWorkedExample, [](Fields& f) { f.serial = "A1B2C3D4E5"; });
    EXPECT_EQ(planWrites(kWorkedExample, target),
              words({0x20, 0x21, 0x2A, 0x2B, 0x08, 0x09, 0x3E, 0x3F}));
}

TEST(PlanWrites, ALastAreaWordGoesWithTheChecksumBeforeTheHeader) {
    Image target = kWorkedExample;
    target[0x13] = 0x3C;  // a serial reaching 0x7C..0x7D
    target[0x7C] = 0x41;
    updateChecksum(target);
    EXPECT_EQ(planWrites(kWorkedExample, target), words({0x3E, 0x3F, 0x08, 0x09}));
}

TEST(PlanWrites, StaleChecksumAloneWritesTheChecksumPair) {
    Image stale = kWorkedExample;
    stale[0x7E] = 0x00;
    EXPECT_EQ(planWrites(stale, kWorkedExample), words({0x3E, 0x3F}));
}

TEST(PlanWrites, ApplyingThePlanReachesTheTarget) {
    const std::vector<std::function<void(Fields&)>> changes = {
        [](Fields& f) { f.serial = "Q"; },
        [](Fields& f) { f.manufacturer = "Some Maker"; },
        [](Fields& f) {
            f.vendorId = 0x1111;
            f.cbus = {1, 2, 3, 4, 5};
            f.serial = "LONGER-SERIAL";
        },
    };
    for (const Image& base : {kWorkedExample, withTrailer()}) {
        for (const auto& change : changes) {
            const Image target = encodedWith(base, change);
            const std::vector<unsigned> plan = planWrites(base, target);
            EXPECT_EQ(applyPlan(base, target, plan), target);
            ASSERT_GE(plan.size(), 2u);
            EXPECT_EQ(plan[plan.size() - 2], 0x3Eu);
            EXPECT_EQ(plan.back(), 0x3Fu);
            for (std::size_t i = 0; i < plan.size(); i += 2) {
                EXPECT_EQ(plan[i] % 2, 0u);
                EXPECT_EQ(plan[i + 1], plan[i] + 1);
            }
        }
    }
}

// --- makeImage ------------------------------------------------------------------

TEST(MakeImage, CarriesEveryFieldAndTheFactoryConstants) {
    Fields f;
    f.vendorId = 0x1209;
    f.productId = 0x0001;
    f.maxPower = 200;
    f.selfPowered = true;
    f.pullDownEnable = true;
    f.usbVersionEnable = true;
    f.usbVersion = 0x0110;
    f.useExtOsc = true;
    f.riIsD2xx = true;
    f.invert[2] = true;
    f.cbus = {0x0A, 0x0B, 0x0C, 0x0D, 0x09};
    f.manufacturer = "";
    f.description = "X";
    f.serial = "S";
    const Image image = makeImage(f);
    Fields back;
    ASSERT_EQ(decode(image, back), DecodeResult::Ok);
    EXPECT_TRUE(back == f);
    EXPECT_EQ(wordAt(image, 0x03), 0x0600);  // release number marking an FT232R
    EXPECT_EQ(image[0x08], 0xE0);            // bit 7 always set
}

TEST(MakeImage, OverlongStringsStillGiveASoundImage) {
    Fields f;
    f.manufacturer = std::string(200, 'm');
    f.description = std::string(200, 'd');
    f.serial = std::string(200, 's');
    Fields back;
    EXPECT_EQ(decode(makeImage(f), back), DecodeResult::Ok);
}

}  // namespace
}  // namespace ft232r
