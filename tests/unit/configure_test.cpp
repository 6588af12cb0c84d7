// The device flow in process, through a D2xxLibrary whose five operations
// are fakes: what varnolt prints, returns and calls when the library fails
// or misbehaves (texts without their NUL, moved text pointers, the invalid
// handle of the vendor's Linux library), and that an opened device is
// closed on every path.
#include "configure.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "d2xx_library.hpp"
#include "d2xx_record.hpp"

namespace {

enum class Open { Device, AllOnes, ZeroExtended };

// How the fake library behaves.
struct Behaviour {
    FT_STATUS list = FT_OK;
    bool listUnterminated = false;  // the listing fills its buffer, no NUL
    Open open = Open::Device;
    FT_STATUS read = FT_OK;
    bool readUnterminated = false;  // the read fills every text buffer, no NUL
    bool readMovesTexts = false;    // the read points the texts at its own strings
    FT_STATUS program = FT_OK;
};

// The fake library's state for one row.  `calls` logs each operation by
// its letter (List, Open, Read, Program, Close); a '!' after one marks a
// caller's fault it saw: an open by a name with no NUL in the listing
// buffer, a read or program on a handle open never gave, a program whose
// texts are not in the caller's buffers or not terminated there.
struct Fake {
    Behaviour behaviour;
    std::string calls;
    std::string programmed;  // the serial and CBUS bytes programming got
    char* texts[4] = {};     // the record's texts as the read got them
} fake;

char foreign[4][kDescriptionBytes] = {"Moved", "MV", "Moved", "MOVED"};

const FT_HANDLE kDevice = &fake;

constexpr std::size_t kTextBytes[4] = {kManufacturerBytes, kManufacturerIdBytes, kDescriptionBytes,
                                       kSerialNumberBytes};

FT_STATUS WINAPI fakeList(PVOID, PVOID buffer, DWORD) {
    fake.calls += 'L';
    char* const name = static_cast<char*>(buffer);
    std::strcpy(name, "FT232R USB UART");
    if (fake.behaviour.listUnterminated) std::memset(name, 'L', kListingBytes);
    return fake.behaviour.list;
}

FT_HANDLE WINAPI fakeOpen(const char* name, DWORD, DWORD, LPVOID, DWORD, DWORD, HANDLE) {
    fake.calls += 'O';
    if (std::memchr(name, '\0', kListingBytes) == nullptr) fake.calls += '!';
    switch (fake.behaviour.open) {
        case Open::AllOnes:
            return INVALID_HANDLE_VALUE;
        case Open::ZeroExtended:
            return reinterpret_cast<FT_HANDLE>(std::uintptr_t{0xFFFFFFFFu});
        case Open::Device:
            break;
    }
    return kDevice;
}

FT_STATUS WINAPI fakeRead(FT_HANDLE handle, PFT_PROGRAM_DATA data) {
    fake.calls += handle == kDevice ? "R" : "R!";
    const char* const stored[4] = {"FTDI", "A1", "FT232R USB UART", "A1B2C3D4"};
    const UCHAR cbus[5] = {0x03, 0x02, 0x00, 0x01, 0x05};
    char* const texts[4] = {data->Manufacturer, data->ManufacturerId, data->Description,
                            data->SerialNumber};
    for (std::size_t text = 0; text < 4; ++text) {
        fake.texts[text] = texts[text];
        std::strcpy(texts[text], stored[text]);
        if (fake.behaviour.readUnterminated) std::memset(texts[text], 'X', kTextBytes[text]);
    }
    const auto pins = cbusBytes(*data);
    for (std::size_t pin = 0; pin < pins.size(); ++pin) *pins[pin] = cbus[pin];
    if (fake.behaviour.readMovesTexts) {
        data->Manufacturer = foreign[0];
        data->ManufacturerId = foreign[1];
        data->Description = foreign[2];
        data->SerialNumber = foreign[3];
    }
    return fake.behaviour.read;
}

FT_STATUS WINAPI fakeProgram(FT_HANDLE handle, PFT_PROGRAM_DATA data) {
    fake.calls += handle == kDevice ? "P" : "P!";
    const char* const texts[4] = {data->Manufacturer, data->ManufacturerId, data->Description,
                                  data->SerialNumber};
    for (std::size_t text = 0; text < 4; ++text) {
        if (texts[text] != fake.texts[text] ||
            std::memchr(texts[text], '\0', kTextBytes[text]) == nullptr) {
            fake.calls += '!';
            return fake.behaviour.program;
        }
    }
    char cbus[16];
    std::snprintf(cbus, sizeof cbus, " %02x%02x%02x%02x%02x", data->Cbus0, data->Cbus1, data->Cbus2,
                  data->Cbus3, data->Cbus4);
    fake.programmed = std::string(data->SerialNumber) + cbus;
    return fake.behaviour.program;
}

BOOL WINAPI fakeClose(FT_HANDLE handle) {
    fake.calls += handle == kDevice ? "C" : "C!";
    return 1;
}

struct Row {
    const char* name;
    std::vector<const char*> args;
    Behaviour behaviour;
    int status;
    const char* calls;
    const char* programmed;
    const char* out;
    const char* err;
};

constexpr const char* kNoDevice = "Error: may be not connected a beacon\n";
const char* const kReport = "Serial Number : A1B2C3D4\nCBUS0-4       : 03, 02, 00, 01, 05\n";

const Row kRows[] = {
    {"Report", {"-r"}, {}, 0, "LORC", "", kReport, ""},
    // The echo line has no comma between the fourth and fifth old bytes.
    {"EchoAndProgram",
     {"-s", "VN42", "-c", "a", "a", "a", "a", "9"},
     {},
     0,
     "LORPC",
     "VN42 0a0a0a0a09",
     "Serial Number : A1B2C3D4 -> VN42\n"
     "CBUS0-4       : 03, 02, 00, 01 05 -> 0a, 0a, 0a, 0a, 09\nDone\n",
     ""},
    {"ReportShowsThePairs",
     {"-r", "-s", "VN42", "-c", "a", "a", "a", "a", "9"},
     {},
     0,
     "LORPC",
     "VN42 0a0a0a0a09",
     "Serial Number : A1B2C3D4 -> VN42\n"
     "CBUS0-4       : 03, 02, 00, 01, 05 -> 0a, 0a, 0a, 0a, 09\nDone\n",
     ""},
    {"ListingFails", {"-r"}, {FT_DEVICE_NOT_FOUND}, -1, "L", "", "", kNoDevice},
    {"ListingNotTerminated", {"-r"}, {FT_OK, true}, 0, "LORC", "", kReport, ""},
    {"OpenGivesAllOnes", {"-r"}, {FT_OK, false, Open::AllOnes}, -1, "LO", "", "", kNoDevice},
    {"OpenGivesAllOnesZeroExtended",
     {"-r"},
     {FT_OK, false, Open::ZeroExtended},
     -1,
     "LO",
     "",
     "",
     kNoDevice},
    {"ReadFails",
     {"-r", "-s", "VN42"},
     {FT_OK, false, Open::Device, FT_EEPROM_READ_FAILED},
     -1,
     "LORC",
     "",
     "",
     "Error: failed to read the EEPROM (FT_EEPROM_READ_FAILED)\n"},
    {"ReadFailsWithAStatusOutsideTheTable",
     {"-r"},
     {FT_OK, false, Open::Device, 42},
     -1,
     "LORC",
     "",
     "",
     "Error: failed to read the EEPROM (status 42)\n"},
    {"ReadLeavesTextsUnterminated",
     {"-r", "-s", "VN42"},
     {FT_OK, false, Open::Device, FT_OK, true},
     0,
     "LORPC",
     "VN42 0302000105",
     "Serial Number : XXXXXXXXXXXXXXX -> VN42\nCBUS0-4       : 03, 02, 00, 01, 05\nDone\n",
     ""},
    {"ReadMovesTheTexts",
     {"-r", "-s", "VN42"},
     {FT_OK, false, Open::Device, FT_OK, false, true},
     0,
     "LORPC",
     "VN42 0302000105",
     "Serial Number : A1B2C3D4 -> VN42\nCBUS0-4       : 03, 02, 00, 01, 05\nDone\n",
     ""},
    {"ProgramFails",
     {"-c", "a", "a", "a", "a", "9"},
     {FT_OK, false, Open::Device, FT_OK, false, false, FT_EEPROM_WRITE_FAILED},
     -1,
     "LORPC",
     "A1B2C3D4 0a0a0a0a09",
     "CBUS0-4       : 03, 02, 00, 01 05 -> 0a, 0a, 0a, 0a, 09\n",
     "Error: failed to program the EEPROM (FT_EEPROM_WRITE_FAILED)\n"},
};

class ConfigureDevice : public testing::TestWithParam<Row> {};

TEST_P(ConfigureDevice, PrintsReturnsAndCallsAsExpected) {
    const Row& row = GetParam();
    std::vector<const char*> argv = {"varnolt"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    UpdateRequest request;
    ASSERT_FALSE(parseArguments(static_cast<int>(argv.size()), argv.data(), request));

    fake = Fake{};
    fake.behaviour = row.behaviour;
    D2xxLibrary d2xx;
    d2xx.listDevices = fakeList;
    d2xx.createFile = fakeOpen;
    d2xx.eeRead = fakeRead;
    d2xx.eeProgram = fakeProgram;
    d2xx.closeHandle = fakeClose;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = configureDevice(request, d2xx);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, row.status);
    EXPECT_EQ(fake.calls, row.calls);
    EXPECT_EQ(fake.programmed, row.programmed);
    EXPECT_EQ(out, row.out);
    EXPECT_EQ(err, row.err);
}

INSTANTIATE_TEST_SUITE_P(Library, ConfigureDevice, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
