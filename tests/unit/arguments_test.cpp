// The command-line grammar: what each argument vector yields, and that a
// rejected one writes exactly its line to standard error and nothing else.
#include "arguments.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Outcome {
    std::optional<int> status;
    UpdateRequest request;
    std::string err;
    std::string out;
};

Outcome parse(std::vector<const char*> args) {
    args.insert(args.begin(), "varnolt");
    Outcome outcome;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    outcome.status = parseArguments(static_cast<int>(args.size()), args.data(), outcome.request);
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.err = testing::internal::GetCapturedStderr();
    return outcome;
}

// Each command line: the status of one that stops the run and its one line
// on standard error, or what one that goes on asks for; nothing on standard
// output.
TEST(Arguments, CommandLinesStopWithTheirLineOrGoOnWithTheirOptions) {
    const char* const invalid = "Error: invalidate option\n";
    const char* const cbus = "Error: cbus config\n";
    const struct {
        std::vector<const char*> args;
        std::optional<int> status;  // none: the run goes on
        const char* message;
        std::uint32_t options = 0;  // where it goes on
        const char* serial = "";
    } cases[] = {
        // clang-format off
        {{}, 0, "Usage: varnolt <-r> <-s Serial_Number> <-c b1 b2 b3 b4>\n"},
        {{"-rs"}, 1, invalid},
        {{"-r1"}, 1, invalid},
        {{"-"}, 1, invalid},
        {{""}, 1, invalid},
        {{"-r", "foo"}, 1, invalid},
        {{"r"}, 1, invalid},
        {{"-s"}, 1, "Error: serial number\n"},
        {{"-r", "-S"}, 1, "Error: serial number\n"},
        {{"-s", "0123456789ABCDEF"}, 1, "Error: too long serial number\n"},
        {{"-c", "1", "2", "3", "4"}, 1, cbus},
        {{"-c", "1", "2"}, 1, cbus},
        {{"-c", "1", "2", "3", "4", "zz"}, 1, cbus},
        {{"-c", "1", "2", "3", "4", ""}, 1, cbus},
        {{"-c", "-r", "2", "3", "4", "5"}, 1, cbus},
        // The first error ends the walk: the later fault is never reached.
        {{"-s", "0123456789ABCDEF", "-c"}, 1, "Error: too long serial number\n"},
        {{"-r"}, std::nullopt, "", OPT_REPORT, ""},
        {{"-R"}, std::nullopt, "", OPT_REPORT, ""},
        {{"--", "-x"}, std::nullopt, "", 0, ""},
        {{"-s", "-r"}, std::nullopt, "", OPT_SERIAL, "-r"},  // a value is never an option
        {{"-S", "X", "-R"}, std::nullopt, "", OPT_SERIAL | OPT_REPORT, "X"},
        {{"-s", ""}, std::nullopt, "", OPT_SERIAL, ""},
        {{"-s", "0123456789ABCDE"}, std::nullopt, "", OPT_SERIAL, "0123456789ABCDE"},
        {{"-s", "A", "-s", "B"}, std::nullopt, "", OPT_SERIAL, "B"},
        {{"-c", "1", "2", "3", "4", "5", "-r", "-r"}, std::nullopt, "", OPT_CBUS | OPT_REPORT, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        const Outcome outcome = parse(c.args);
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.err, c.message);
        EXPECT_EQ(outcome.out, "");
        if (c.status) continue;
        EXPECT_EQ(outcome.request.options, c.options);
        EXPECT_STREQ(outcome.request.newSerialNumber, c.serial);
    }
}

TEST(Arguments, CbusValuesConvertAsHexAndKeepTheirLowByte) {
    const Outcome outcome = parse({"-c", "0x3", "1ff", "-1", "+a", "12zz"});
    ASSERT_FALSE(outcome.status.has_value());
    const unsigned expected[5] = {0x03, 0xff, 0xff, 0x0a, 0x12};
    for (int pin = 0; pin < 5; ++pin) {
        EXPECT_EQ(cbusByte(outcome.request.newCbus[pin]), expected[pin]) << "pin " << pin;
    }
    // A repeated -c replaces the earlier values.
    const Outcome again = parse({"-c", "1", "1", "1", "1", "1", "-C", "5", "4", "3", "2", "0X1"});
    EXPECT_EQ(again.request.newCbus[0], 5);
    EXPECT_EQ(again.request.newCbus[4], 1);
}

TEST(Arguments, CbusConversionFollowsStrtoulBase16) {
    const struct {
        const char* text;
        bool ok;
        std::uint32_t value;
    } cases[] = {
        {" \t7", true, 0x7},
        {"-0x10", true, 0xFFFFFFF0},
        {"0xz", true, 0x0},
        {"0X1F", true, 0x1F},
        {"FfFfFfFf", true, 0xFFFFFFFF},
        {"0x", true, 0x0},                // the lone 0 converts
        {"123456789", true, 0x23456789},  // beyond 32 bits keeps the low 32
        {"-123456789", true, 0xDCBA9877},
        {"x1", false, 0},
        {"+", false, 0},
        {"- 1", false, 0},
        {" ", false, 0},
        // Bytes from 0x80 up are neither blanks nor digits, whether plain
        // char is signed (x86) or unsigned (ARM).
        {"\xa0+7", false, 0},
        {"7\xe9", true, 0x7},
    };
    for (const auto& c : cases) {
        std::int32_t value = 0;
        EXPECT_EQ(convertCbusValue(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(static_cast<std::uint32_t>(value), c.value) << c.text;
        }
    }
}

}  // namespace
