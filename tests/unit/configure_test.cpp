// The device flow in process, through a D2xxLibrary whose five operations
// are fakes: what varnolt prints, returns and calls when the library fails
// or misbehaves (texts without their NUL, moved text pointers, the invalid
// handle of the vendor's Linux library), and that an opened device is
// closed on every path.
#include "configure.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <sstream>
#include <vector>

#include "arguments.hpp"
#include "d2xx_library.hpp"
#include "d2xx_record.hpp"
#include "messages.hpp"

namespace {

// The one way the fake library misbehaves in a row.
enum class Fault {
    None,
    ListFails,         // FT_DEVICE_NOT_FOUND
    ListUnterminated,  // the listing fills its buffer, no NUL
    OpenAllOnes,       // INVALID_HANDLE_VALUE
    OpenZeroExtended,  // the 32-bit all-ones value zero-extended
    ReadFails,         // FT_EEPROM_READ_FAILED
    ReadFailsUnnamed,  // a status beyond the table of names
    ReadUnterminated,  // the read fills every text buffer, no NUL
    ReadMovesTexts,    // the read points the texts at its own strings
    ProgramFails,      // FT_EEPROM_WRITE_FAILED
};

// The fake library's state for one row.  `calls` logs each operation by
// its letter (List, Open, Read, Program, Close); a '!' after one marks a
// caller's fault it saw: an open by a name with no NUL in the listing
// buffer, a call on a handle open never gave, a program whose texts are not
// in the caller's buffers or not terminated there.
struct Fake {
    Fault fault = Fault::None;
    std::string calls;
    std::string programmed;  // the serial and CBUS bytes programming got
    char* texts[4] = {};     // the record's texts as the read got them
} fake;

const FT_HANDLE kDevice = &fake;
constexpr std::size_t kTextBytes[4] = {kManufacturerBytes, kManufacturerIdBytes, kDescriptionBytes,
                                       kSerialNumberBytes};
char foreign[4][kDescriptionBytes] = {"Moved", "MV", "Moved", "MOVED"};

// The record's four text pointers, in the order of kTextBytes.
std::array<char**, 4> textsOf(FT_PROGRAM_DATA& data) {
    return {&data.Manufacturer, &data.ManufacturerId, &data.Description, &data.SerialNumber};
}

void logCall(char call, FT_HANDLE handle) {
    fake.calls += call;
    if (handle != kDevice) fake.calls += '!';
}

FT_STATUS WINAPI fakeList(PVOID, PVOID buffer, DWORD) {
    fake.calls += 'L';
    char* const name = static_cast<char*>(buffer);
    std::strcpy(name, "FT232R USB UART");
    if (fake.fault == Fault::ListUnterminated) std::memset(name, 'L', kListingBytes);
    return fake.fault == Fault::ListFails ? FT_DEVICE_NOT_FOUND : FT_OK;
}

FT_HANDLE WINAPI fakeOpen(const char* name, DWORD, DWORD, LPVOID, DWORD, DWORD, HANDLE) {
    fake.calls += 'O';
    if (std::memchr(name, '\0', kListingBytes) == nullptr) fake.calls += '!';
    if (fake.fault == Fault::OpenAllOnes) return INVALID_HANDLE_VALUE;
    if (fake.fault == Fault::OpenZeroExtended) {
        return reinterpret_cast<FT_HANDLE>(std::uintptr_t{0xFFFFFFFFu});
    }
    return kDevice;
}

FT_STATUS WINAPI fakeRead(FT_HANDLE handle, PFT_PROGRAM_DATA data) {
    logCall('R', handle);
    const char* const stored[4] = {"FTDI", "A1", "FT232R USB UART", "A1B2C3D4"};
    const auto texts = textsOf(*data);
    for (std::size_t text = 0; text < texts.size(); ++text) {
        fake.texts[text] = *texts[text];
        std::strcpy(*texts[text], stored[text]);
        if (fake.fault == Fault::ReadUnterminated) std::memset(*texts[text], 'X', kTextBytes[text]);
        if (fake.fault == Fault::ReadMovesTexts) *texts[text] = foreign[text];
    }
    const UCHAR cbus[5] = {0x03, 0x02, 0x00, 0x01, 0x05};
    const auto pins = cbusBytes(*data);
    for (std::size_t pin = 0; pin < pins.size(); ++pin) *pins[pin] = cbus[pin];
    if (fake.fault == Fault::ReadFails) return FT_EEPROM_READ_FAILED;
    return fake.fault == Fault::ReadFailsUnnamed ? 42 : FT_OK;
}

FT_STATUS WINAPI fakeProgram(FT_HANDLE handle, PFT_PROGRAM_DATA data) {
    logCall('P', handle);
    const FT_STATUS status = fake.fault == Fault::ProgramFails ? FT_EEPROM_WRITE_FAILED : FT_OK;
    const auto texts = textsOf(*data);
    for (std::size_t text = 0; text < texts.size(); ++text) {
        if (*texts[text] != fake.texts[text] ||
            std::memchr(*texts[text], '\0', kTextBytes[text]) == nullptr) {
            fake.calls += '!';
            return status;
        }
    }
    char cbus[16];
    std::snprintf(cbus, sizeof cbus, " %02x%02x%02x%02x%02x", data->Cbus0, data->Cbus1, data->Cbus2,
                  data->Cbus3, data->Cbus4);
    fake.programmed = std::string(data->SerialNumber) + cbus;
    return status;
}

BOOL WINAPI fakeClose(FT_HANDLE handle) {
    logCall('C', handle);
    return 1;
}

struct Row {
    const char* name;
    const char* args;
    Fault fault;
    int status;
    const char* calls;
    const char* programmed;
    std::string out;
    std::string err;
};

#define SET_BOTH "-s VN42 -c a a a a 9"
#define NEW_SERIAL "Serial Number : A1B2C3D4 -> VN42\n"
#define NEW_CBUS " -> 0a, 0a, 0a, 0a, 09\n"

// clang-format off
// A row as the test run shows it: by its name, not its bytes.
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

const Row kRows[] = {
    {"Report", "-r", Fault::None, 0, "LORC", "", factoryReport("A1B2C3D4"), ""},
    // The echo line has no comma between the fourth and fifth old bytes.
    {"Echo", SET_BOTH, Fault::None, 0, "LORPC", "VN42 0a0a0a0a09", NEW_SERIAL "CBUS0-4       : 03, 02, 00, 01 05" NEW_CBUS "Done\n", ""},
    {"ReportShowsThePairs", "-r " SET_BOTH, Fault::None, 0, "LORPC", "VN42 0a0a0a0a09", NEW_SERIAL "CBUS0-4       : 03, 02, 00, 01, 05" NEW_CBUS "Done\n", ""},
    {"ListingFails", "-r", Fault::ListFails, -1, "L", "", "", kNoDevice},
    {"ListingNotTerminated", "-r", Fault::ListUnterminated, 0, "LORC", "", factoryReport("A1B2C3D4"), ""},
    {"OpenGivesAllOnes", "-r", Fault::OpenAllOnes, -1, "LO", "", "", kNoDevice},
    {"OpenGivesAllOnesZeroExtended", "-r", Fault::OpenZeroExtended, -1, "LO", "", "", kNoDevice},
    {"ReadFails", "-r -s VN42", Fault::ReadFails, -1, "LORC", "", "", kReadFailed},
    {"ReadFailsUnnamed", "-r", Fault::ReadFailsUnnamed, -1, "LORC", "", "", "Error: failed to read the EEPROM (status 42)\n"},
    {"ReadLeavesTextsUnterminated", "-r -s VN42", Fault::ReadUnterminated, 0, "LORPC", "VN42 0302000105", "Serial Number : XXXXXXXXXXXXXXX -> VN42\nCBUS0-4       : 03, 02, 00, 01, 05\nDone\n", ""},
    {"ReadMovesTheTexts", "-r -s VN42", Fault::ReadMovesTexts, 0, "LORPC", "VN42 0302000105", NEW_SERIAL "CBUS0-4       : 03, 02, 00, 01, 05\nDone\n", ""},
    {"ProgramFails", "-c a a a a 9", Fault::ProgramFails, -1, "LORPC", "A1B2C3D4 0a0a0a0a09", "CBUS0-4       : 03, 02, 00, 01 05" NEW_CBUS, kWriteFailed},
};
// clang-format on

class ConfigureDevice : public testing::TestWithParam<Row> {};

TEST_P(ConfigureDevice, PrintsReturnsAndCallsAsExpected) {
    const Row& row = GetParam();
    std::istringstream args(std::string("varnolt ") + row.args);
    const std::vector<std::string> words{std::istream_iterator<std::string>(args), {}};
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    UpdateRequest request;
    ASSERT_FALSE(parseArguments(static_cast<int>(argv.size()), argv.data(), request));

    fake = Fake{};
    fake.fault = row.fault;
    D2xxLibrary d2xx;
    d2xx.listDevices = fakeList;
    d2xx.createFile = fakeOpen;
    d2xx.eeRead = fakeRead;
    d2xx.eeProgram = fakeProgram;
    d2xx.closeHandle = fakeClose;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = configureDevice(request, d2xx);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), row.out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), row.err);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(fake.calls, row.calls);
    EXPECT_EQ(fake.programmed, row.programmed);
}

INSTANTIATE_TEST_SUITE_P(Library, ConfigureDevice, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
