// Programming over a word transport: what goes on the wire, and that a
// write the device does not keep is never taken for success.
#include "eeprom_io.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "d2xx_library.hpp"
#include "images.hpp"

namespace {

class FakeTransport : public d2xx::WordTransport {
  public:
    explicit FakeTransport(const ft232r::Image& image) : image(image) {}
    FT_STATUS readWord(unsigned address, std::uint16_t& value) override {
        wire.push_back("r" + std::to_string(address));
        value = ft232r::wordAt(image, address);
        return FT_OK;
    }
    FT_STATUS writeWord(unsigned address, std::uint16_t value) override {
        wire.push_back("w" + std::to_string(address));
        if (failAfter == 0) return FT_IO_ERROR;
        --failAfter;
        if (!dropWrites) ft232r::setWord(image, address, value);
        return FT_OK;
    }
    FT_STATUS beginWrites() override {
        wire.push_back("begin");
        return FT_OK;
    }
    void endWrites() override { wire.push_back("end"); }

    ft232r::Image image;
    std::vector<std::string> wire;
    int failAfter = -1;
    bool dropWrites = false;
};

ft232r::Image withCbus(std::uint8_t pin0) {
    return ft232r::makeImage(exampleFields("A1B2C3D4", {pin0, 0x02, 0x00, 0x01, 0x05}));
}

TEST(ProgramImage, WritesChangedPairsThenVerifiesThem) {
    FakeTransport device(withCbus(3));
    const ft232r::Image target = withCbus(4);
    EXPECT_EQ(d2xx::programImage(device, device.image, target), FT_OK);
    EXPECT_EQ(device.wire, (std::vector<std::string>{"begin", "w10", "w11", "w62", "w63", "r10",
                                                     "r11", "r62", "r63", "end"}));
    EXPECT_EQ(device.image, target);
}

TEST(ProgramImage, NothingToWriteTouchesNothing) {
    FakeTransport device(withCbus(3));
    EXPECT_EQ(d2xx::programImage(device, device.image, device.image), FT_OK);
    EXPECT_TRUE(device.wire.empty());
}

TEST(ProgramImage, FailuresAreWriteFailures) {
    FakeTransport pulled(withCbus(3));
    pulled.failAfter = 1;
    EXPECT_EQ(d2xx::programImage(pulled, pulled.image, withCbus(4)), FT_EEPROM_WRITE_FAILED);
    EXPECT_EQ(pulled.wire.back(), "end");

    FakeTransport clone(withCbus(3));
    clone.dropWrites = true;
    EXPECT_EQ(d2xx::programImage(clone, clone.image, withCbus(4)), FT_EEPROM_WRITE_FAILED);
}

TEST(InvalidHandle, BothVendorSpellingsMeanNotOpened) {
    EXPECT_TRUE(isInvalidHandle(reinterpret_cast<FT_HANDLE>(static_cast<std::uintptr_t>(-1))));
    EXPECT_TRUE(isInvalidHandle(reinterpret_cast<FT_HANDLE>(std::uintptr_t{0xFFFFFFFFu})));
    int object = 0;
    EXPECT_FALSE(isInvalidHandle(&object));
}

}  // namespace
