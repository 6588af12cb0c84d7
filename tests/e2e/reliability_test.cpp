// No fault, interruption or signal leaves a device that the tool cannot put
// right: an interrupted write is finished by running the same command again,
// and a signal never cuts a write short.
#include <signal.h>

#include "fixture.hpp"

namespace {

struct Change {
    const char* name;
    ft232r::Image original;
    std::vector<std::string> args;
    ft232r::Fields wanted;
};

// `-s serial` over an image: its own fields with that serial.
Change serialOver(const char* name, const ft232r::Image& image, const std::string& serial) {
    ft232r::Fields wanted;
    ft232r::decode(image, wanted);
    wanted.serial = serial;
    return {name, image, {"-s", serial}, wanted};
}

const ft232r::Image kFactory = ft232r::makeImage(exampleFields());
const Change kChanges[] = {
    serialOver("serial, same length", kFactory, "Z9Y8X7W6"),
    serialOver("serial, shorter", kFactory, "Q1"),
    serialOver("serial, longer", kFactory, "LONGER-SERIAL15"),
    // clang-format off
    {"cbus", kFactory, {"-c", "a", "b", "c", "d", "9"}, exampleFields("A1B2C3D4", {10, 11, 12, 13, 9})},
    {"serial and cbus", kFactory, {"-s", "VN0042", "-c", "0", "0", "0", "0", "0"}, exampleFields("VN0042", {0, 0, 0, 0, 0})},
    // A serial of 20 characters (another tool's), which the record
    // shows as its first 15, made 15 long and different only in the
    // last one: a cut reading can show exactly the new 15 characters
    // over old text that the rerun must still replace.
    serialOver("serial of 20, to 15", ft232r::makeImage(exampleFields("SN-2019-0417-A55B-X9")), "SN-2019-0417-AX"),
    // clang-format on
    // The bytes after the serial stay where they are: a shorter serial
    // stays in place, a longer one is copied into free room.
    serialOver("serial, same length, trailer", withTrailer(), "Z9Y8X7W6"),
    serialOver("serial, shorter, trailer", withTrailer(), "Q1"),
    serialOver("serial, longer, trailer", withTrailer(), "LONGER-SERIAL"),
    // As reported: a cut whose checksum was valid by coincidence read as
    // finished; a cut that moved the manufacturer's pointer first left a
    // device no reader accepts.
    serialOver("reported, factory, serial emptied", reportedFactoryImage(), ""),
    serialOver("reported, product first, shorter", reportedProductFirstImage(), "SMU0"),
    serialOver("reported, product first, longer", reportedProductFirstImage(), "AKM3QNCU3CYDZ"),
};

// For every point at which the cable can be pulled, the interrupted run
// fails loudly and the same command run again gives the uninterrupted result
// byte for byte.  The unit tier checks the same over generated layouts;
// these rows run it through the built tool and the emulator.
TEST_F(LinuxEndToEnd, InterruptedWritesAreFinishedByRunningAgain) {
    int runs = 0;
    for (const Change& change : kChanges) {
        const ft232r::Image expected = ft232r::encode(change.original, change.wanted);
        ASSERT_NE(expected, change.original) << change.name;
        const auto words = ft232r::planWrites(change.original, expected).size();
        RecordProperty(change.name, static_cast<int>(words));
        // The word counts after which a write is cut: every one, or in a
        // sampled run (under qemu-user or the sanitizers, where each varnolt run
        // costs ten times as much) the first, a middle and the last; the unit
        // tier, which runs there too, cuts every layout at every word.
        for (std::size_t allowed = 0; allowed < words; ++allowed) {
#ifdef VARNOLT_E2E_SAMPLED
            if (allowed != 0 && allowed != words / 2 && allowed != words - 1) continue;
#endif
            SCOPED_TRACE(std::string(change.name) + ", writes=" + std::to_string(allowed));
            const std::string device = onlyDevice(change.original);
            const ProcessResult cut = run(change.args, "writes=" + std::to_string(allowed));
            EXPECT_EQ(cut.status, 255);
            EXPECT_EQ(cut.err, "Error: failed to program the EEPROM (FT_EEPROM_WRITE_FAILED)\n");
            EXPECT_EQ(cut.out.find("Done"), std::string::npos);

            const ProcessResult again = run(change.args);
            EXPECT_EQ(again.status, 0) << again.err;
            EXPECT_EQ(imageOf(device), expected);
            runs += 2;
        }
    }
    RecordProperty("runs", runs);
}

// An interrupt while the EEPROM is written waits for the write, its
// verification and the close; then the process ends as the signal asks.
// Under Wine, SIGINT reaches the program as Ctrl-C (its console handler).
TEST_F(EndToEnd, InterruptWhileProgrammingIsHeld) {
    const bool wine = wineTarget() != nullptr;
    for (const int signal : wine ? std::vector<int>{SIGINT} : std::vector<int>{SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        const ft232r::Image original = ft232r::makeImage(exampleFields());
        const std::string device = onlyDevice(original);
        const ft232r::Fields wanted = exampleFields("HELD0001", {0xa, 0xa, 3, 2, 1});
        // Slow word writes keep the programming going after the first one,
        // when the signal is sent.
        const ProcessResult result = run({"-s", "HELD0001", "-c", "a", "a", "3", "2", "1"},
                                         "slow=100", signal, [this] { return writes() > 0; });
        EXPECT_EQ(result.out, kBanner +
                                  "Serial Number : A1B2C3D4 -> HELD0001\n"
                                  "CBUS0-4       : 03, 02, 00, 01 05 -> 0a, 0a, 03, 02, 01\n"
                                  "Done\n");
        EXPECT_EQ(result.err, "");
        if (wine) {
            // ExitProcess(STATUS_CONTROL_C_EXIT, 0xC000013A), as the default
            // Ctrl-C handling ends a process; Wine passes on the low byte.
            EXPECT_EQ(result.status, 0x3A);
        } else {
            EXPECT_EQ(result.signal, signal);
        }
        EXPECT_EQ(calls(), kWriteRun);
        EXPECT_EQ(imageOf(device), ft232r::encode(original, wanted));
        EXPECT_TRUE(ft232r::checksumOk(imageOf(device)));
    }
}

}  // namespace
