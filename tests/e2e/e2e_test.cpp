// Whole runs of the built varnolt against the emulated FT232R: exact
// output, exit status, the D2XX calls made, and the image bytes afterwards.
// The same cases also run the Windows build under Wine (wine_target.hpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>

#include "ft232r_eeprom.hpp"
#include "process.hpp"
#include "wine_target.hpp"

namespace {

const std::string kBanner = "varnolt 1.0.0 - FT232R serial number and CBUS configurator\n";
const std::string kNoDevice = "Error: may be not connected a beacon\n";

// The library's platform file name, as the load error names it.
std::string libraryName() { return wineTarget() != nullptr ? "FTD2XX.dll" : "libftd2xx.so"; }

void copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    ASSERT_TRUE(in && out) << "copying " << from;
}

ft232r::Fields exampleFields(const std::string& serial = "A1B2C3D4") {
    ft232r::Fields fields;
    fields.serial = serial;
    return fields;
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/varnolt-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        logPath_ = dir_ + "/calls.log";
        if (const WineTarget* wine = wineTarget()) {
            // The Windows loader looks for FTD2XX.dll beside the program first.
            exe_ = dir_ + "/varnolt.exe";
            copyFile(wine->exe, exe_);
            copyFile(wine->dll, dir_ + "/FTD2XX.dll");
        }
    }
    void TearDown() override {
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    std::string addDevice(const std::vector<std::uint8_t>& bytes) {
        const std::string path = dir_ + "/device" + std::to_string(devices_.size()) + ".bin";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        devices_.push_back(path);
        return path;
    }
    std::string addDevice(const ft232r::Image& image) {
        return addDevice(std::vector<std::uint8_t>(image.begin(), image.end()));
    }

    std::vector<std::uint8_t> bytesOf(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    ft232r::Image imageOf(const std::string& path) const {
        const auto bytes = bytesOf(path);
        ft232r::Image image{};
        EXPECT_GE(bytes.size(), image.size());
        std::copy_n(bytes.begin(), std::min(bytes.size(), image.size()), image.begin());
        return image;
    }

    // Takes the library out of the program's reach.
    void hideLibrary() {
        libraryPath_ = dir_;  // holds no libftd2xx.so
        if (wineTarget() != nullptr) {
            std::remove((dir_ + "/FTD2XX.dll").c_str());
        }
    }

    // Runs varnolt; `signalToSend` goes to it once `signalWhen` holds.
    ProcessResult run(std::vector<std::string> args, const std::string& faults = "",
                      int signalToSend = 0, const std::function<bool()>& signalWhen = nullptr) {
        const WineTarget* wine = wineTarget();
        // Under Wine the device list is written as on Windows: drive paths,
        // ';' between them.  The log keeps its Unix path, which Wine resolves
        // on drive Z: as well.
        std::string list;
        for (const auto& device : devices_) {
            list += list.empty() ? "" : wine != nullptr ? ";" : ":";
            list += wine != nullptr ? windowsPath(device) : device;
        }
        std::map<std::string, std::string> environment = {{"FT232R_EMULATOR_DEVICES", list},
                                                          {"FT232R_EMULATOR_FAULT", faults},
                                                          {"FT232R_EMULATOR_LOG", logPath_}};
        if (wine != nullptr) {
            args.insert(args.begin(), {wine->loader, exe_});
        } else {
            args.insert(args.begin(), VARNOLT_EXE);
            environment["LD_LIBRARY_PATH"] = libraryPath_;
        }
        ProcessResult result = runProcessSignalWhen(args, environment, signalToSend, signalWhen);
        if (wine != nullptr) {
            // Text mode: the tool writes "\n", the C runtime "\r\n".  The
            // cases compare the text with "\n" line ends.
            EXPECT_TRUE(crlfToLf(result.out)) << "stdout not CRLF: " << result.out;
            EXPECT_TRUE(crlfToLf(result.err)) << "stderr not CRLF: " << result.err;
        }
        return result;
    }

    std::vector<std::string> logLines() const {
        std::ifstream in(logPath_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    // The D2XX calls, without their arguments or the word transfers.
    std::vector<std::string> calls() const {
        std::vector<std::string> names;
        for (const auto& line : logLines()) {
            if (line.rfind("FT_", 0) == 0) {
                names.push_back(line.substr(0, line.find_first_of("( ")));
            }
        }
        return names;
    }
    int transfers(const std::string& direction) const {
        int count = 0;
        for (const auto& line : logLines()) {
            count += line.rfind(direction + " 0x", 0) == 0 ? 1 : 0;
        }
        return count;
    }
    bool logExists() const { return access(logPath_.c_str(), F_OK) == 0; }

    std::string dir_;
    std::string logPath_;
    std::string exe_;  // under Wine: varnolt.exe beside the emulator's FTD2XX.dll
    std::string libraryPath_ = EMULATOR_DIR;
    std::vector<std::string> devices_;
};

const std::vector<std::string> kFullRun = {"FT_ListDevices", "FT_W32_CreateFile", "FT_EE_Read",
                                           "FT_EE_Program", "FT_W32_CloseHandle"};
const std::vector<std::string> kReadRun = {"FT_ListDevices", "FT_W32_CreateFile", "FT_EE_Read",
                                           "FT_W32_CloseHandle"};

// The offsets at which two images differ.
std::set<std::size_t> changedBytes(const ft232r::Image& a, const ft232r::Image& b) {
    std::set<std::size_t> changed;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) changed.insert(i);
    }
    return changed;
}

TEST_F(EndToEnd, CommandLineFaultsNeverLoadTheLibrary) {
    addDevice(ft232r::makeImage(exampleFields()));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{}, 0, "Usage: varnolt <-r> <-s Serial_Number> <-c b1 b2 b3 b4>\n"},
        {{"-r", "foo"}, 1, "Error: invalidate option\n"},
        {{"-s", "0123456789ABCDEF"}, 1, "Error: too long serial number\n"},
        {{"-c", "1", "2", "3", "4"}, 1, "Error: cbus config\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult result = run(c.args);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, c.status);
    }
    EXPECT_FALSE(logExists()) << "the D2XX library was called";
}

TEST_F(EndToEnd, NoDeviceAttached) {
    const ProcessResult result = run({"-r"});
    EXPECT_EQ(result.out, kBanner);
    EXPECT_EQ(result.err, kNoDevice);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(calls(), (std::vector<std::string>{"FT_ListDevices", "FT_W32_CreateFile"}));
}

TEST_F(EndToEnd, MissingLibraryIsNamed) {
    addDevice(ft232r::makeImage(exampleFields()));
    hideLibrary();
    const ProcessResult result = run({"-r"});
    EXPECT_EQ(result.out, kBanner);
    EXPECT_EQ(result.err, "Error: cannot load " + libraryName() + "\n");
    EXPECT_EQ(result.status, 255);
}

TEST_F(EndToEnd, ReportShowsSerialAndCbus) {
    const std::string device = addDevice(ft232r::makeImage(exampleFields()));
    const auto before = bytesOf(device);
    const ProcessResult result = run({"-r"});
    EXPECT_EQ(result.out, kBanner +
                              "Serial Number : A1B2C3D4\n"
                              "CBUS0-4       : 03, 02, 00, 01, 05\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(calls(), kReadRun);
    EXPECT_EQ(transfers("write"), 0);
    EXPECT_EQ(bytesOf(device), before);
}

TEST_F(EndToEnd, IgnoredOptionsOnlyReadAndClose) {
    addDevice(ft232r::makeImage(exampleFields()));
    const ProcessResult result = run({"--", "-x"});
    EXPECT_EQ(result.out, kBanner);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(calls(), kReadRun);
}

// Each change: the output, and that only the intended bytes and the
// checksum changed in the image.
TEST_F(EndToEnd, ChangesPrintTheirPairsAndTouchOnlyTheirBytes) {
    const struct {
        std::vector<std::string> args;
        std::string out;
        std::string serial;
        std::array<std::uint8_t, 5> cbus;
    } cases[] = {
        {{"-s", "Z9Y8X7W6"},
         "Serial Number : A1B2C3D4 -> Z9Y8X7W6\nDone\n", "Z9Y8X7W6", {3, 2, 0, 1, 5}},
        {{"-s", "SHORT"}, "Serial Number : A1B2C3D4 -> SHORT\nDone\n", "SHORT", {3, 2, 0, 1, 5}},
        {{"-s", ""}, "Serial Number : A1B2C3D4 -> \nDone\n", "", {3, 2, 0, 1, 5}},
        {{"-c", "0x3", "1ff", "-1", "+a", "2zz"},
         "CBUS0-4       : 03, 02, 00, 01 05 -> 03, ff, ff, 0a, 02\nDone\n",
         "A1B2C3D4",
         {3, 0xf, 0xf, 0xa, 2}},
        {{"-c", "a", "b", "c", "d", "9", "-s", "NEW1"},
         "Serial Number : A1B2C3D4 -> NEW1\n"
         "CBUS0-4       : 03, 02, 00, 01 05 -> 0a, 0b, 0c, 0d, 09\nDone\n",
         "NEW1",
         {0xa, 0xb, 0xc, 0xd, 9}},
        {{"-r", "-s", "QQ", "-c", "1", "2", "3", "4", "5"},
         "Serial Number : A1B2C3D4 -> QQ\n"
         "CBUS0-4       : 03, 02, 00, 01, 05 -> 01, 02, 03, 04, 05\nDone\n",
         "QQ",
         {1, 2, 3, 4, 5}},
    };
    for (const auto& c : cases) {
        devices_.clear();
        const ft232r::Image original = ft232r::makeImage(exampleFields());
        const std::string device = addDevice(original);
        SCOPED_TRACE(c.out);
        // ff is no CBUS function code: the emulator refuses it (below).
        const bool valid = c.cbus[1] != 0xf;
        const ProcessResult result = run(c.args);
        if (!valid) {
            EXPECT_EQ(result.out, kBanner + "CBUS0-4       : 03, 02, 00, 01 05 -> 03, ff, ff, 0a, 02\n");
            EXPECT_EQ(result.err, "Error: failed to program the EEPROM (FT_INVALID_PARAMETER)\n");
            EXPECT_EQ(result.status, 255);
            EXPECT_EQ(imageOf(device), original);
            EXPECT_EQ(transfers("write"), 0);
            std::remove(logPath_.c_str());
            continue;
        }
        EXPECT_EQ(result.out, kBanner + c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(calls(), kFullRun);
        std::remove(logPath_.c_str());

        ft232r::Fields expected = exampleFields(c.serial);
        expected.cbus = c.cbus;
        const ft232r::Image after = imageOf(device);
        EXPECT_EQ(after, ft232r::encode(original, expected));
        ft232r::Fields decoded;
        EXPECT_EQ(ft232r::decode(after, decoded), ft232r::DecodeResult::Ok);
        EXPECT_EQ(decoded.serial, c.serial);
        EXPECT_EQ(decoded.cbus, c.cbus);
        // Serial text lives in 0x44.., its length at 0x13, CBUS at 0x14..0x16.
        for (const std::size_t offset : changedBytes(original, after)) {
            const bool serialByte = offset >= 0x42 && offset < 0x7E;
            const bool allowed = serialByte || offset == 0x13 || (offset >= 0x14 && offset <= 0x16) ||
                                 offset >= 0x7E;
            EXPECT_TRUE(allowed) << "byte " << offset << " changed";
        }
    }
}

TEST_F(EndToEnd, SameSerialIsProgrammedWithoutWrites) {
    const std::string device = addDevice(ft232r::makeImage(exampleFields()));
    const auto before = bytesOf(device);
    const ProcessResult result = run({"-s", "A1B2C3D4"});
    EXPECT_EQ(result.out, kBanner + "Serial Number : A1B2C3D4 -> A1B2C3D4\nDone\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(calls(), kFullRun);
    EXPECT_EQ(transfers("write"), 0);
    EXPECT_EQ(bytesOf(device), before);
}

TEST_F(EndToEnd, OnlyTheFirstOfTwoDevicesIsTouched) {
    const std::string first = addDevice(ft232r::makeImage(exampleFields("FIRST")));
    std::vector<std::uint8_t> second(256, 0x5A);
    const ft232r::Image secondImage = ft232r::makeImage(exampleFields("SECOND"));
    std::copy(secondImage.begin(), secondImage.end(), second.begin());
    const std::string secondPath = addDevice(second);
    for (const std::string faults : {"", "program", "writes=3", "clone"}) {
        const ProcessResult result = run({"-s", "NEXT", "-c", "1", "1", "1", "1", "1"}, faults);
        EXPECT_EQ(bytesOf(secondPath), second) << faults;
    }
    ft232r::Fields decoded;
    ft232r::decode(imageOf(first), decoded);
    EXPECT_EQ(decoded.serial, "NEXT");
}

// Failed calls are errors with their status name; the device is closed on
// every path after the open, and nothing is written after a failed read.
TEST_F(EndToEnd, FailedCallsAreReportedAndTheDeviceIsClosed) {
    const struct {
        std::string faults;
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
        std::vector<std::string> calls;
    } cases[] = {
        {"open", {"-r"}, "", kNoDevice, 255, {"FT_ListDevices", "FT_W32_CreateFile"}},
        {"read", {"-r", "-s", "X"}, "",
         "Error: failed to read the EEPROM (FT_EEPROM_READ_FAILED)\n", 255, kReadRun},
        {"program", {"-s", "X"}, "Serial Number : A1B2C3D4 -> X\n",
         "Error: failed to program the EEPROM (FT_EEPROM_WRITE_FAILED)\n", 255, kFullRun},
        {"clone", {"-s", "X"}, "Serial Number : A1B2C3D4 -> X\n",
         "Error: failed to program the EEPROM (FT_EEPROM_WRITE_FAILED)\n", 255, kFullRun},
        {"and-writes", {"-c", "4", "4", "4", "4", "4"},
         "CBUS0-4       : 03, 02, 00, 01 05 -> 04, 04, 04, 04, 04\n",
         "Error: failed to program the EEPROM (FT_EEPROM_WRITE_FAILED)\n", 255, kFullRun},
        {"writes=2", {"-s", "X"}, "Serial Number : A1B2C3D4 -> X\n",
         "Error: failed to program the EEPROM (FT_EEPROM_WRITE_FAILED)\n", 255, kFullRun},
        // A failed close after a verified write is not an error of the run.
        {"close", {"-s", "X"}, "Serial Number : A1B2C3D4 -> X\nDone\n", "", 0, kFullRun},
    };
    for (const auto& c : cases) {
        devices_.clear();
        std::remove(logPath_.c_str());
        const std::string device = addDevice(ft232r::makeImage(exampleFields()));
        SCOPED_TRACE(c.faults);
        const ProcessResult result = run(c.args, c.faults);
        EXPECT_EQ(result.out, kBanner + c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(calls(), c.calls);
    }
}

// An interrupt while the EEPROM is written waits for the write, its
// verification and the close; then the process ends as the signal asks.
// Under Wine, SIGINT reaches the program as Ctrl-C (its console handler).
TEST_F(EndToEnd, InterruptWhileProgrammingIsHeld) {
    std::vector<int> signals = {SIGINT, SIGTERM};
    if (wineTarget() != nullptr) {
        signals = {SIGINT};
    }
    for (const int signal : signals) {
        SCOPED_TRACE(signal);
        devices_.clear();
        std::remove(logPath_.c_str());
        const std::string device = addDevice(ft232r::makeImage(exampleFields()));
        // Slow word writes keep the programming going after the first one,
        // when the signal is sent.
        const ProcessResult result =
            run({"-s", "HELD0001", "-c", "a", "a", "3", "2", "1"}, "slow=100", signal,
                [this] { return transfers("write") > 0; });
        EXPECT_EQ(result.out, kBanner +
                                  "Serial Number : A1B2C3D4 -> HELD0001\n"
                                  "CBUS0-4       : 03, 02, 00, 01 05 -> 0a, 0a, 03, 02, 01\n"
                                  "Done\n");
        EXPECT_EQ(result.err, "");
        if (wineTarget() != nullptr) {
            // ExitProcess(STATUS_CONTROL_C_EXIT, 0xC000013A), as the default
            // Ctrl-C handling ends a process; Wine passes on the low byte.
            EXPECT_EQ(result.status, 0x3A);
        } else {
            EXPECT_EQ(result.signal, signal);
        }
        EXPECT_EQ(calls(), kFullRun);
        ft232r::Fields decoded;
        EXPECT_EQ(ft232r::decode(imageOf(device), decoded), ft232r::DecodeResult::Ok);
        EXPECT_EQ(decoded.serial, "HELD0001");
        EXPECT_EQ(decoded.cbus, (std::array<std::uint8_t, 5>{0xa, 0xa, 3, 2, 1}));
    }
}

TEST_F(EndToEnd, BlankOrBrokenImagesAreReadErrors) {
    const std::string blank = addDevice(std::vector<std::uint8_t>(128, 0xFF));
    ProcessResult result = run({"-r", "-s", "X"});
    EXPECT_EQ(result.out, kBanner);
    EXPECT_EQ(result.err, "Error: failed to read the EEPROM (FT_EEPROM_NOT_PROGRAMMED)\n");
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(bytesOf(blank), std::vector<std::uint8_t>(128, 0xFF));

    devices_.clear();
    ft232r::Image broken = ft232r::makeImage(exampleFields());
    broken[0x13] = 0x7E;  // serial descriptor would run over the checksum
    ft232r::updateChecksum(broken);
    const std::string path = addDevice(broken);
    result = run({"-r", "-s", "X"});
    EXPECT_EQ(result.out, kBanner);
    EXPECT_EQ(result.err, "Error: failed to read the EEPROM (FT_EEPROM_READ_FAILED)\n");
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(imageOf(path), broken);
}

TEST_F(EndToEnd, ImageToolMakesAndShowsImages) {
    const std::string path = dir_ + "/made.bin";
    ProcessResult made = runProcess({IMAGE_TOOL, "new", path, "--serial", "A1B2C3D4"}, {});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(imageOf(path), ft232r::makeImage(exampleFields()));
    ProcessResult shown = runProcess({IMAGE_TOOL, "show", path}, {});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("A1B2C3D4"), std::string::npos);
    EXPECT_NE(shown.out.find("70: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 D3 4E"),
              std::string::npos);
}

}  // namespace
