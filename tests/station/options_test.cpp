// The station's command line and chip identities: what a run may hand out
// is checked in full before a number is taken.
#include "options.hpp"

#include <gtest/gtest.h>

#include "identity.hpp"

namespace station {
namespace {

TEST(StationOptions, RunsAreCheckedBeforeANumberIsTaken) {
    const struct {
        std::vector<std::string> args;
        std::string error;  // how it starts; "" when accepted
        std::uint64_t first, last;
    } cases[] = {
        // clang-format off
        // Leading zeros are digits: 010 is ten (never octal), 08 is eight.
        {{"--prefix", "VN", "--width", "6", "--first", "010"}, "", 10, 999999},
        {{"--prefix", "VN", "--width", "3", "--first", "08", "--last", "12"}, "", 8, 12},
        {{"--prefix", "VN-2026-12-", "--width", "6", "--first", "1"}, "the prefix VN-2026-12- and 6 digits make serial numbers of 17 characters", 0, 0},
        {{"--prefix", "VN", "--width", "2", "--first", "1", "--last", "100"}, "the numbers run from 1 to 100, which 2 digits", 0, 0},
        {{"--prefix", "V N", "--width", "6", "--first", "1"}, "the prefix V N may hold", 0, 0},
        {{"--prefix", "VN", "--width", "6", "--first", "0x10"}, "--first takes a number in decimal", 0, 0},
        {{"--prefix", "VN", "--width", "6", "--first", "1", "--cbus", "0a, 0a, 03, 02, 01"}, "", 1, 999999},
        {{"--prefix", "VN", "--width", "6", "--first", "1", "--cbus", "0a", "0a", "03", "02", "0a"}, "CBUS4 code 0a is not one that pin takes (00 to 09", 0, 0},
        {{"--prefix", "VN", "--width", "6", "--first", "1", "--cbus", "0e,0,0,0,0"}, "CBUS0 code 0e is not one that pin takes (00 to 0d", 0, 0},
        {{"--prefix", "VN", "--width", "6", "--first", "1", "--cbus", "1", "2", "3", "4"}, "--cbus takes five codes", 0, 0},
        {{"--serials", "/nonexistent/list"}, "cannot read /nonexistent/list", 0, 0},
        {{}, "a run hands out a counter", 0, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = {"varnolt-station", "program", "R"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(words.back());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        Options options;
        std::string error;
        const bool ok = parseOptions(static_cast<int>(argv.size()), argv.data(), "ledger.sqlite",
                                     "bench", options, error);
        EXPECT_EQ(ok, c.error.empty()) << error;
        EXPECT_EQ(error.substr(0, c.error.size()), c.error);
        if (ok) {
            EXPECT_EQ(options.run.first, c.first);
            EXPECT_EQ(options.run.last, c.last);
        }
    }
}

// A list file as spreadsheets and editors save it: CRLF, no last line end,
// blank lines; anything that is no serial number is refused by its line.
TEST(StationOptions, SerialListFiles) {
    std::vector<std::string> serials;
    std::string error;
    EXPECT_TRUE(parseSerialList("SN-1\r\nSN-2\r\n\r\nSN-3", serials, error)) << error;
    EXPECT_EQ(serials, (std::vector<std::string>{"SN-1", "SN-2", "SN-3"}));
    EXPECT_FALSE(parseSerialList("SN-1\nSN 2\n", serials, error));
    EXPECT_EQ(error, "line 2: SN 2 is no serial number (1 to 15 printable characters, no spaces)");
    EXPECT_FALSE(parseSerialList("SN-0123456789ABC\n", serials, error));
    EXPECT_FALSE(parseSerialList("\r\n\n", serials, error));
}

TEST(StationIdentity, TheFactoryAreaNamesTheChip) {
    std::vector<std::uint8_t> factory(128), other(128);
    for (std::size_t i = 0; i < factory.size(); ++i) {
        factory[i] = static_cast<std::uint8_t>(i);
        other[i] = static_cast<std::uint8_t>(i * 3);
    }
    const Identity chip = identify(true, 0x1a2b3c4d, factory);
    EXPECT_EQ(chip.key.substr(0, 9), "1a2b3c4d-");
    EXPECT_EQ(chip.key.size(), 9u + 16u);
    EXPECT_NE(identify(true, 0x1a2b3c4d, other).key, chip.key);  // same ID, other bytes
    EXPECT_NE(identify(true, 0x1a2b3c4e, factory).key, chip.key);
    for (const std::uint8_t fill : {0x00, 0xFF}) {
        const Identity none = identify(true, 1, std::vector<std::uint8_t>(128, fill));
        EXPECT_EQ(none.key, "");
        EXPECT_NE(none.why.find("a chip without an identity"), std::string::npos);
    }
    EXPECT_EQ(identify(false, 0, factory).why, "its chip ID could not be read");
}

}  // namespace
}  // namespace station
