// The D2XX calls of the emulated FT232R made directly, in orders varnolt
// itself never uses: FT_EE_Program plans its writes against the image that
// FT_EE_Read read on the same handle, and against a fresh read otherwise.

#include <cstdio>
#include <cstring>

#include "d2xx.h"
#include "d2xx_library.hpp"
#include "d2xx_record.hpp"
#include "images.hpp"

namespace {

using Transfers = std::array<int, 3>;  // word reads, writes, verifying reads

// One emulated device for the whole process: the emulator reads its
// variables once, at its first call.  Each test rewrites the image file.
// Loaded as varnolt loads a D2XX library, from the emulator's folder.
class EmulatorEnvironment : public testing::Environment, public D2xxLibrary {
  public:
    void SetUp() override {
        dir = makeTempDir("varnolt-api");
        ASSERT_FALSE(dir.empty());
        device = dir + "/device.bin";
        log = dir + "/calls.log";
        setenv("FT232R_EMULATOR_DEVICES", device.c_str(), 1);
        setenv("FT232R_EMULATOR_LOG", log.c_str(), 1);
        unsetenv("FT232R_EMULATOR_FAULT");
        ASSERT_TRUE(load(EMULATOR_DIR "/libftd2xx.so"));
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string dir, device, log;
};

EmulatorEnvironment* const emulator =
    static_cast<EmulatorEnvironment*>(testing::AddGlobalTestEnvironment(new EmulatorEnvironment));

class EmulatorApi : public testing::Test {
  protected:
    // Each test starts with original_ read on an open handle, as varnolt reads.
    void SetUp() override {
        write(original_);
        std::remove(emulator->log.c_str());
        ASSERT_EQ(read(open()), FT_OK);
    }
    void TearDown() override {
        if (handle_ != nullptr) emulator->closeHandle(handle_);
    }

    static void write(const ft232r::Image& image) { writeFile(emulator->device, image); }
    static ft232r::Image stored() {
        const std::vector<std::uint8_t> bytes = readFile(emulator->device);
        ft232r::Image image{};
        EXPECT_EQ(bytes.size(), image.size());
        std::memcpy(image.data(), bytes.data(), std::min(bytes.size(), image.size()));
        return image;
    }
    // The device's image through the handle, into record_.
    FT_STATUS read(FT_HANDLE handle) { return emulator->eeRead(handle, &record_.data); }
    FT_STATUS program(FT_HANDLE handle) { return emulator->eeProgram(handle, &record_.data); }
    FT_HANDLE open() {
        char name[64] = {};
        EXPECT_EQ(emulator->listDevices(nullptr, name, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
                  FT_OK);
        handle_ = emulator->createFile(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FT_OPEN_BY_DESCRIPTION, nullptr);
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
        return handle_;
    }
    void close() {
        EXPECT_NE(emulator->closeHandle(handle_), 0);
        handle_ = nullptr;
    }
    // Word transfers logged since the last call: reads, writes, verifies.
    static Transfers transfers() {
        const WordTransfers counted = countTransfers(emulator->log);
        std::remove(emulator->log.c_str());
        return {counted.reads, counted.writes, counted.verifies};
    }

    const ft232r::Image original_ = ft232r::makeImage(exampleFields("A1B2C3D4"));
    D2xxRecord record_;
    FT_HANDLE handle_ = nullptr;
};

TEST_F(EmulatorApi, ProgramAfterReadOnTheSameHandleReadsNothingMore) {
    EXPECT_EQ(transfers(), (Transfers{64, 0, 0}));
    std::strcpy(record_.serialNumber, "VN000042");
    ASSERT_EQ(program(handle_), FT_OK);
    // Writes: serial text 0x22..0x29, checksum pair 0x3E/0x3F.
    EXPECT_EQ(transfers(), (Transfers{0, 10, 10}));
    EXPECT_EQ(stored(), ft232r::encode(original_, exampleFields("VN000042")));
}

// A handle that has not read the device plans against what the device
// holds, not against a record that may be older.
TEST_F(EmulatorApi, ProgramWithoutAReadOnItsHandleReadsTheDeviceFirst) {
    close();
    // Changed behind the record's back: the CBUS bytes now differ.
    write(ft232r::makeImage(exampleFields("A1B2C3D4", {0xA, 0xA, 0xA, 0xA, 0x9})));
    transfers();

    std::strcpy(record_.serialNumber, "VN000042");
    ASSERT_EQ(program(open()), FT_OK);
    // A whole read first; writes: serial text, CBUS pair, checksum pair.
    EXPECT_EQ(transfers(), (Transfers{64, 12, 12}));
    // The record's CBUS values (the factory ones) go back on the device.
    EXPECT_EQ(stored(), ft232r::encode(original_, exampleFields("VN000042")));
}

// After a programming the device holds what was written: a second
// programming on the same handle plans against that, not the first read.
TEST_F(EmulatorApi, SecondProgramOnAHandleReadsTheDeviceAgain) {
    record_.data.Cbus0 = 0x0A;
    ASSERT_EQ(program(handle_), FT_OK);
    transfers();
    // Back to the values first read: against a stale copy of the first
    // read there would be nothing to write.
    record_.data.Cbus0 = 0x03;
    ASSERT_EQ(program(handle_), FT_OK);
    EXPECT_EQ(transfers(), (Transfers{64, 4, 4}));  // writes: CBUS pair 0x0A/0x0B, checksum pair
    EXPECT_EQ(stored(), original_);
}

// A refused record writes nothing and leaves the handle's read usable.
TEST_F(EmulatorApi, RefusedRecordKeepsTheReadImage) {
    record_.data.Cbus4 = 0x0A;  // CBUS4 accepts only 0x00..0x09
    EXPECT_EQ(program(handle_), FT_INVALID_PARAMETER);
    record_.data.Cbus4 = 0x09;
    transfers();
    ASSERT_EQ(program(handle_), FT_OK);
    EXPECT_EQ(transfers(), (Transfers{0, 4, 4}));
    EXPECT_EQ(stored(), ft232r::encode(original_, exampleFields("A1B2C3D4", {3, 2, 0, 1, 0x09})));
}

// Strings longer than their record buffers are handed out cut; left so, they
// keep the stored text, on the handle that read them and on another one
// (compared with a fresh read); a string the caller changes is written.
TEST_F(EmulatorApi, CutStringsLeftAsReadKeepTheirStoredText) {
    // 32 + 0 + 16 characters: the whole string area.
    // The serial is shown as 15 characters, the manufacturer as 31.
    const ft232r::Fields longer =
        exampleFields("Northwind Laboratory Instruments", "", "SN-2019-0417-A55");
    const ft232r::Image image = ft232r::makeImage(longer);
    write(image);
    close();
    ASSERT_EQ(read(open()), FT_OK);
    EXPECT_STREQ(record_.serialNumber, "SN-2019-0417-A5");
    EXPECT_STREQ(record_.manufacturer, "Northwind Laboratory Instrument");
    ASSERT_EQ(program(handle_), FT_OK);
    EXPECT_EQ(stored(), image);
    close();
    transfers();

    record_.data.Cbus1 = 0x0A;
    ASSERT_EQ(program(open()), FT_OK);
    EXPECT_EQ(transfers(), (Transfers{64, 4, 4}));  // writes: CBUS pair, checksum pair
    std::strcpy(record_.manufacturer, "Acme");
    ASSERT_EQ(program(handle_), FT_OK);
    ft232r::Fields expected = longer;
    expected.cbus[1] = 0x0A;
    expected.manufacturer = "Acme";
    ft232r::Fields now;
    ASSERT_EQ(ft232r::decode(stored(), now), ft232r::DecodeResult::Ok);
    EXPECT_TRUE(now == expected);
}

// A failed read leaves nothing to plan against: programming reads again
// and refuses the blank device the same way.
TEST_F(EmulatorApi, FailedReadIsNotKept) {
    close();
    write(kBlankImage);
    EXPECT_EQ(read(open()), FT_EEPROM_NOT_PROGRAMMED);
    transfers();
    EXPECT_EQ(program(handle_), FT_EEPROM_NOT_PROGRAMMED);
    EXPECT_EQ(transfers(), (Transfers{64, 0, 0}));
    EXPECT_EQ(stored(), kBlankImage);
}

}  // namespace
