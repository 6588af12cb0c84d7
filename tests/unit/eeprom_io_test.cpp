// Programming over a word transport: what goes on the wire, and that a
// write the chip does not keep is never taken for success and stops the
// plan at once.
#include "eeprom_io.hpp"

#include "chip_transport.hpp"
#include "d2xx_library.hpp"
#include "images.hpp"

namespace {

using Stop = d2xx::Programmed::Stop;

ft232r::Image withCbus(std::uint8_t pin0) {
    return ft232r::makeImage(exampleFields("A1B2C3D4", {pin0, 0x02, 0x00, 0x01, 0x05}));
}

// CBUS0 3 -> 4: the CBUS pair (words 0x0a/0x0b) and the checksum's pair.
const ft232r::Change kCbusChange = ft232r::planImage(withCbus(3), withCbus(4));

TEST(ProgramImage, NothingToWriteTouchesNothing) {
    ChipTransport device(withCbus(3));
    EXPECT_EQ(d2xx::programImage(device, ft232r::planImage(withCbus(3), withCbus(3))).status,
              FT_OK);
    EXPECT_TRUE(device.wire.empty());
}

// Each pair is read back before the next is written, and the first word the
// chip does not take stops the plan: nothing is written after it, and the
// transport's preamble is always closed.
TEST(ProgramImage, EachPairIsReadBackAndTheFirstWordNotKeptStopsThePlan) {
    const struct {
        const char* what;
        ft232r::ChipFaults faults;
        Stop stop;
        unsigned word;
        std::vector<std::string> wire;  // after "begin"
    } cases[] = {
        // clang-format off
        {"a chip that keeps its words", {}, Stop::None, 0, {"w10", "w11", "r10", "r11", "w62", "w63", "r62", "r63", "end"}},
        {"cable pulled at the second write", {1, false, false, false, false}, Stop::Write, 11, {"w10", "w11", "end"}},
        {"clone", {-1, true, false, false, false}, Stop::NotKept, 10, {"w10", "w11", "r10", "end"}},
        {"even write lost in the pair buffer", {-1, false, false, true, false}, Stop::NotKept, 10, {"w10", "w11", "r10", "end"}},
        // CBUS0 3 AND 4 is 0: the chip keeps neither.
        {"old AND new", {-1, false, false, false, true}, Stop::NotKept, 10, {"w10", "w11", "r10", "end"}},
        {"no pair buffer", {-1, false, true, false, false}, Stop::None, 0, {"w10", "w11", "r10", "r11", "w62", "w63", "r62", "r63", "end"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ChipTransport device(withCbus(3), c.faults);
        const d2xx::Programmed done = d2xx::programImage(device, kCbusChange);
        EXPECT_EQ(done.stop, c.stop);
        EXPECT_EQ(done.status, c.stop == Stop::None ? FT_OK : FT_EEPROM_WRITE_FAILED);
        if (c.stop == Stop::None) {
            EXPECT_EQ(done.kept, 4u);
            EXPECT_EQ(device.chip.userArea(), withCbus(4));
        } else {
            EXPECT_EQ(done.word, c.word);
        }
        std::vector<std::string> wire = {"begin"};
        wire.insert(wire.end(), c.wire.begin(), c.wire.end());
        EXPECT_EQ(device.wire, wire);
    }
}

// A serial descriptor a cut left longer than its header says: putting it
// right writes a header length (0x0c to 0x02) that sets a bit no pair
// before it set (0x12 to 0x02 only clears bits).  A part that keeps old AND
// new would store 0x00 there and read as broken; the checksum's pair shows
// first whether the chip sets bits, and stops the plan while the device
// still reads.
TEST(ProgramImage, AHeaderThatSetsBitsWaitsForAChipThatShowedItSetsThem) {
    const ft232r::Image cut = imageFromHex(
        "0040030401602c06a02d080000009802a220c20c000000000a03baffabfa44004900200346005400320033"
        "0032005200200055000000000001050000290000005400120300000000000000000000332b025c00ffffff"
        "ffffffffffffffffffffffffffffffffffff010203e45a00000000000000000000000000000000fe0000");
    const ft232r::Decoded device = ft232r::decodeImage(cut);
    const ft232r::Change repair = d2xx::planProgram(device, d2xx::shownFields(device.fields));
    ASSERT_EQ(repair.target[0x13], 0x02);
    for (const bool oldAndNew : {false, true}) {
        SCOPED_TRACE(oldAndNew ? "old AND new" : "a chip that keeps its words");
        ChipTransport device(cut, {-1, false, false, false, oldAndNew});
        const d2xx::Programmed done = d2xx::programImage(device, repair);
        EXPECT_EQ(done.stop, oldAndNew ? Stop::NotKept : Stop::None);
        EXPECT_EQ(done.word, oldAndNew ? ft232r::kChecksumWord : done.word);
        EXPECT_TRUE(ft232r::decodeImage(device.chip.userArea()).readable());
        if (!oldAndNew) {
            EXPECT_EQ(device.chip.userArea(), repair.target);
        }
    }
}

TEST(InvalidHandle, BothVendorSpellingsMeanNotOpened) {
    EXPECT_TRUE(isInvalidHandle(reinterpret_cast<FT_HANDLE>(static_cast<std::uintptr_t>(-1))));
    EXPECT_TRUE(isInvalidHandle(reinterpret_cast<FT_HANDLE>(std::uintptr_t{0xFFFFFFFFu})));
    int object = 0;
    EXPECT_FALSE(isInvalidHandle(&object));
}

}  // namespace
