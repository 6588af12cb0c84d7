// Whole runs of the built varnolt against the emulated FT232R: exact
// output, exit status, the D2XX calls made, and the image bytes afterwards.
// The EndToEnd cases also run the Windows build under Wine (wine_target.hpp);
// LinuxEndToEnd ones only the Linux build.
#include "fixture.hpp"

namespace {

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
    for (const auto& c : cases) expectRun(c.args, "", c.err, c.status);
    EXPECT_FALSE(logExists()) << "the D2XX library was called";
}

// A missing library is named.  One in the current folder is never loaded:
// a Downloads folder or a shared working folder must not decide what gets
// the device.  On Windows the library is looked for in the system folder,
// then beside the program; on Linux the loader never searches the current
// folder.
TEST_F(EndToEnd, MissingLibraryIsNamedAndNotTakenFromTheCurrentFolder) {
    addDevice(ft232r::makeImage(exampleFields()));
    const WineTarget* wine = wineTarget();
    const std::string library = wine != nullptr ? wine->dll : EMULATOR_DIR "/libftd2xx.so";
    hideLibrary();
    for (const bool inCurrentFolder : {false, true}) {
        SCOPED_TRACE(inCurrentFolder ? "in the current folder" : "missing");
        if (inCurrentFolder) {
            workingDir_ = dir_ + "/cwd";
            std::filesystem::create_directory(workingDir_);
            std::filesystem::copy_file(library, workingDir_ + "/" + libraryName());
        }
        expectRun({"-r"}, kBanner, "Error: cannot load " + libraryName() + "\n", 255);
        EXPECT_FALSE(logExists());
    }
}

// Each change: the output, the calls, the image as the codec makes it, and
// that only the intended bytes and the checksum changed: in the factory
// image the serial's length (0x13), the CBUS bytes (0x14..0x16) and the
// serial text from 0x42 on.  On devices other tools programmed beyond what
// the record's buffers or our limits hold, a change of something else keeps
// every byte of what it does not change (the bytes a row names besides the
// checksum).
TEST_F(EndToEnd, ChangesPrintTheirPairsAndTouchOnlyTheirBytes) {
    const std::vector<std::string> cbusArgs = {"-c", "a", "a", "3", "2", "1"};
    const std::string cbusEcho = "CBUS0-4       : 03, 02, 00, 01 05 -> 0a, 0a, 03, 02, 01\n";
    const struct {
        std::vector<std::string> args;
        std::string echo;  // before "Done"
        std::string serial;
        std::array<std::uint8_t, 5> cbus;
        ft232r::Image image = ft232r::makeImage(exampleFields());
        std::set<std::size_t> allowed = {0x13, 0x14, 0x15, 0x16};  // bytes that may change,
        std::size_t from = 0x42;                                   // and every one from here on
    } cases[] = {
        // clang-format off
        {{"-s", "Z9Y8X7W6"}, "Serial Number : A1B2C3D4 -> Z9Y8X7W6\n", "Z9Y8X7W6", {3, 2, 0, 1, 5}},
        {{"-s", "SHORT"}, "Serial Number : A1B2C3D4 -> SHORT\n", "SHORT", {3, 2, 0, 1, 5}},
        {{"-s", ""}, "Serial Number : A1B2C3D4 -> \n", "", {3, 2, 0, 1, 5}},
        {{"-c", "0x3", "1ff", "-1", "+a", "2zz"}, "CBUS0-4       : 03, 02, 00, 01 05 -> 03, ff, ff, 0a, 02\n", "A1B2C3D4", {3, 0xf, 0xf, 0xa, 2}},
        {{"-c", "a", "b", "c", "d", "9", "-s", "NEW1"}, "Serial Number : A1B2C3D4 -> NEW1\nCBUS0-4       : 03, 02, 00, 01 05 -> 0a, 0b, 0c, 0d, 09\n", "NEW1", {0xa, 0xb, 0xc, 0xd, 9}},
        {{"-r", "-s", "QQ", "-c", "1", "2", "3", "4", "5"}, "Serial Number : A1B2C3D4 -> QQ\nCBUS0-4       : 03, 02, 00, 01, 05 -> 01, 02, 03, 04, 05\n", "QQ", {1, 2, 3, 4, 5}},
        // A manufacturer of 35 characters, a serial of 20.
        {cbusArgs, cbusEcho, "A1B2C3D4", {0xa, 0xa, 3, 2, 1}, ft232r::makeImage(exampleFields("Northwind Laboratory Instruments Co", "Probe", "A1B2C3D4")), {0x14, 0x15, 0x16}, 0x7E},
        {cbusArgs, cbusEcho, "SN-2019-0417-A55B-X9", {0xa, 0xa, 3, 2, 1}, ft232r::makeImage(exampleFields("FTDI", "FT232R USB UART", "SN-2019-0417-A55B-X9")), {0x14, 0x15, 0x16}, 0x7E},
        // CBUS0 at 0e: the serial's length (0x13) and its descriptor (0x6E..0x79) change.
        {{"-s", "VN1"}, "Serial Number : AB12C -> VN1\n", "VN1", {0x0e, 2, 0, 1, 5}, storedBeyondTheLimits(), {0x13, 0x6E, 0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79}, 0x7E},
        // clang-format on
    };
    for (const auto& c : cases) {
        const std::string device = onlyDevice(c.image);
        SCOPED_TRACE(c.serial + ": " + c.echo);
        // ff is no CBUS function code: the emulator refuses it.
        if (c.cbus[1] == 0xf) {
            expectRun(c.args, kBanner + c.echo,
                      "Error: failed to program the EEPROM (FT_INVALID_PARAMETER)\n", 255);
            EXPECT_EQ(imageOf(device), c.image);
            EXPECT_EQ(writes(), 0);
            continue;
        }
        expectRun(c.args, kBanner + c.echo + "Done\n", "", 0);
        EXPECT_EQ(calls(), kWriteRun);

        const ft232r::Image after = imageOf(device);
        ft232r::Fields wanted;
        ft232r::decode(c.image, wanted);
        wanted.serial = c.serial;
        wanted.cbus = c.cbus;
        EXPECT_EQ(after, ft232r::encode(c.image, wanted));
        EXPECT_TRUE(ft232r::checksumOk(after));
        ft232r::Fields decoded;
        EXPECT_EQ(ft232r::decode(after, decoded), ft232r::DecodeResult::Ok);
        EXPECT_EQ(decoded.serial, c.serial);
        EXPECT_EQ(decoded.cbus, c.cbus);
        for (const std::size_t offset : changedBytes(c.image, after)) {
            EXPECT_TRUE(c.allowed.count(offset) != 0 || offset >= c.from)
                << "byte " << offset << " changed";
        }
    }
}

// The second device has an empty product string: an open by the empty
// buffer of a failed listing would take it.
TEST_F(EndToEnd, OnlyTheFirstOfTwoDevicesIsTouched) {
    const std::string first = addDevice(ft232r::makeImage(exampleFields("FIRST")));
    std::vector<std::uint8_t> second(256, 0x5A);
    const ft232r::Image secondImage = ft232r::makeImage(exampleFields("FTDI", "", "SECOND"));
    std::copy(secondImage.begin(), secondImage.end(), second.begin());
    const std::string secondPath = addDevice(second);
    for (const std::string faults :
         {"list", "", "open", "read", "program", "close", "writes=3", "clone", "and-writes"}) {
        run({"-s", "NEXT", "-c", "1", "1", "1", "1", "1"}, faults);
        EXPECT_EQ(readFile(secondPath), second) << faults;
    }
    ft232r::Fields decoded;
    ft232r::decode(imageOf(first), decoded);
    EXPECT_EQ(decoded.serial, "NEXT");
}

// Failed calls are errors with their status name; the device is closed on
// every path after the open, and nothing is written after a failed read.  A
// run whose calls hold no write leaves the image file byte for byte.  The
// failed listing is the answer when no device is attached: nothing is
// opened.  A blank or broken image is a read error, never garbage.
TEST_F(EndToEnd, FailedCallsAreReportedAndTheDeviceIsClosed) {
    const std::string serialX = "Serial Number : A1B2C3D4 -> X\n";
    ft232r::Image broken = ft232r::makeImage(exampleFields());
    broken[0x13] = 0x7E;  // serial descriptor would run over the checksum
    ft232r::updateChecksum(broken);
    const ft232r::Image made = ft232r::makeImage(exampleFields());
    const std::vector<std::uint8_t> factory(made.begin(), made.end());
    const struct {
        std::string faults;
        const char* what;                 // of a run without faults
        std::vector<std::uint8_t> image;  // empty: no device
        std::vector<std::string> args;
        std::string out;  // after the banner
        std::string err;
        int status;
        std::vector<std::string> calls;  // empty: not looked at
    } cases[] = {
        // clang-format off
        {"list", "", factory, {"-s", "X"}, "", kNoDevice, 255, {"list failed"}},
        // A fault the emulator does not know, or one it cannot read, fails
        // every listing: a typo never lets a test pass without its fault.
        {"clon", "", factory, {"-s", "X"}, "", "ft232r emulator: unknown fault 'clon'\n" + kNoDevice, 255, {"list failed"}},
        {"writes=x", "", factory, {"-s", "X"}, "", "ft232r emulator: bad fault 'writes=x'\n" + kNoDevice, 255, {"list failed"}},
        {"open", "", factory, {"-r"}, "", kNoDevice, 255, {"list", "open failed"}},
        {"read", "", factory, {"-r", "-s", "X"}, "", kReadFailed, 255, {"list", "open", "read failed", "close"}},
        {"program", "", factory, {"-s", "X"}, serialX, kWriteFailed, 255, {"list", "open", "read", "write failed", "close"}},
        {"clone", "", factory, {"-s", "X"}, serialX, kWriteFailed, 255, kWriteRun},
        {"and-writes", "", factory, {"-c", "4", "4", "4", "4", "4"}, "CBUS0-4       : 03, 02, 00, 01 05 -> 04, 04, 04, 04, 04\n", kWriteFailed, 255, kWriteRun},
        // The first pair is read back before the second is written.
        {"writes=2", "", factory, {"-s", "X"}, serialX, kWriteFailed, 255, {"list", "open", "read", "write", "read", "write", "write failed", "close"}},
        // A chip without the pair buffer, storing each word at once, takes
        // every change; one whose buffer misses the even word stops at the
        // first pair.
        {"per-word", "", factory, {"-s", "X"}, serialX + "Done\n", "", 0, kWriteRun},
        {"stale-buffer", "", factory, {"-s", "X"}, serialX, kWriteFailed, 255, kWriteRun},
        // A failed close after a verified write is not an error of the run.
        {"close", "", factory, {"-s", "X"}, serialX + "Done\n", "", 0, {"list", "open", "read", "write", "read", "close failed"}},
        {"", "no device", {}, {"-r"}, "", kNoDevice, 255, {"list"}},
        {"", "report", factory, {"-r"}, factoryReport("A1B2C3D4"), "", 0, kReadRun},
        {"", "ignored options", factory, {"--", "-x"}, "", "", 0, kReadRun},
        {"", "same serial", factory, {"-s", "A1B2C3D4"}, "Serial Number : A1B2C3D4 -> A1B2C3D4\nDone\n", "", 0, kReadRun},
        {"", "blank", std::vector<std::uint8_t>(128, 0xFF), {"-r", "-s", "X"}, "", "Error: failed to read the EEPROM (FT_EEPROM_NOT_PROGRAMMED)\n", 255, {}},
        {"", "broken", {broken.begin(), broken.end()}, {"-r", "-s", "X"}, "", kReadFailed, 255, {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults + c.what);
        reset();
        const std::string device = c.image.empty() ? "" : addDevice(c.image);
        expectRun(c.args, kBanner + c.out, c.err, c.status, c.faults);
        if (!c.calls.empty()) {
            EXPECT_EQ(calls(), c.calls);
        }
        if (std::find(c.calls.begin(), c.calls.end(), "write") != c.calls.end()) continue;
        EXPECT_EQ(writes(), 0);
        if (!device.empty()) {
            EXPECT_EQ(readFile(device), c.image);
        }
    }
}

// Word transfers per run: the image is read once, only changed pairs are
// written, and only they are read back.  (scripts/bench.sh turns these into
// bus time, next to a whole-image rewrite.)
TEST_F(LinuxEndToEnd, TransfersPerChange) {
    const struct {
        std::vector<std::string> args;
        int writes;  // and as many verify reads
    } cases[] = {
        {{"-r"}, 0},
        {{"-s", "VN000042"}, 10},              // serial text 0x22..0x29, checksum pair
        {{"-s", "VN00000042"}, 16},            // also length 0x08/0x09, descriptor 0x20/0x21
        {{"-c", "a", "a", "3", "2", "1"}, 4},  // CBUS pair 0x0A/0x0B, checksum pair
        {{"-s", "VN000042", "-c", "a", "a", "3", "2", "1"}, 12},
    };
    for (const auto& c : cases) {
        onlyDevice(ft232r::makeImage(exampleFields()));
        SCOPED_TRACE(c.args[0] + " " + c.args[1 % c.args.size()]);
        ASSERT_EQ(run(c.args).status, 0);
        const WordTransfers counted = countTransfers(logPath_);
        EXPECT_EQ(counted.reads, 64);
        EXPECT_EQ(counted.writes, c.writes);
        EXPECT_EQ(counted.verifies, c.writes);
    }
}

// The image tool over the emulated device: its files are written through a
// new file of its own beside the target and renamed only over a regular
// file or nothing (a link, an existing temporary file, a device node or a
// folder are never written through, and nothing is left behind), an image
// that does not decode is an error of `show`, and a backup with a stale
// checksum is said when read and can be written back once its checksum is
// set.  Each row runs in a folder of its own, `$D`, where the device is
// device0.bin; `$T` is the tool, `setup` and `after` run in `$D` with the
// device attached.
TEST_F(LinuxEndToEnd, ImageToolCommands) {
    const ft232r::Image factory = ft232r::makeImage(exampleFields());
    ft232r::Image stale = ft232r::encode(factory, exampleFields("VN1"));
    stale[0x7E] ^= 0x01;  // a write cut before the checksum's pair
    ft232r::Image broken = factory;
    broken[0x13] = 0x7E;
    const std::string readOk = "read 256 bytes from the device at 1-1 (serial A1B2C3D4) into ";
    const struct {
        const char* what;
        ft232r::Image device;
        const char* setup;
        std::vector<std::string> args;
        const char* faults;
        int status;
        std::string out;  // how standard output starts
        std::string err;  // how standard error starts ("": empty)
        const char* after;
    } cases[] = {
        // clang-format off
        {"new and show", factory, "$T new m.bin --serial A1B2C3D4", {"show", "$D/m.bin"}, "", 0, "manufacturer: FTDI\n", "", "$T show m.bin | grep -qx '70: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 D3 4E'"},
        {"show blank", kBlankImage, "", {"show", "$D/device0.bin"}, "", 1, "blank\n", "", ""},
        {"show broken", broken, "", {"show", "$D/device0.bin"}, "", 1, "broken: serial string at 0x42, 126 bytes, runs into the checksum at 0x7e\n", "", ""},
        {"read past a link at FILE.tmp", factory, "echo notes > notes.txt && ln -s notes.txt b.bin.tmp", {"read", "$D/b.bin"}, "", 0, readOk + "$D/b.bin\n", "", "test \"$(cat notes.txt)\" = notes && test -L b.bin.tmp && test $(wc -c < b.bin) = 256 && test $(ls -A | wc -l) = 5"},
        {"read keeps another file at FILE.tmp", factory, "echo mine > b.bin.tmp", {"read", "$D/b.bin"}, "", 0, readOk + "$D/b.bin\n", "", "test \"$(cat b.bin.tmp)\" = mine && test $(ls -A | wc -l) = 4"},
        {"read over a link", factory, "echo notes > notes.txt && ln -s notes.txt b.bin", {"read", "$D/b.bin"}, "", 1, "", "ft232r-image: $D/b.bin is a symbolic link: not written; the device was not read\n", "test \"$(cat notes.txt)\" = notes && test ! -e calls.log"},
        {"read into a folder", factory, "mkdir b.bin", {"read", "$D/b.bin"}, "", 1, "", "ft232r-image: $D/b.bin is a folder: not written; the device was not read\n", "test $(ls -A | wc -l) = 2 && test ! -e calls.log"},
        {"read into a device node", factory, "", {"read", "/dev/null"}, "", 1, "", "ft232r-image: /dev/null is a device node: not written; the device was not read\n", "test -c /dev/null && test ! -e calls.log"},
        {"read a stale checksum", stale, "", {"read", "$D/b.bin"}, "", 0, "read 256 bytes from the device at 1-1 (serial VN1) into $D/b.bin\nthe user area's checksum bad (stored 0x", "", ""},
        {"write a stale backup", stale, "cp device0.bin b.bin", {"write", "$D/b.bin"}, "", 1, "", "ft232r-image: $D/b.bin: checksum bad (stored 0x", ""},
        {"set its checksum, write it", stale, "cp device0.bin b.bin", {"fix-checksum", "$D/b.bin"}, "", 0, "$D/b.bin: checksum set to 0x", "", "$T write b.bin | grep -q '^wrote 2 words'"},
        {"a device that takes no write request", factory, "$T new m.bin --serial VN1", {"write", "$D/m.bin"}, "program", 1, "", "ft232r-image: writing the device at 1-1 (serial A1B2C3D4) failed (FT_EEPROM_WRITE_FAILED): it refused the requests that prepare a write (reset, modem status, latency timer); nothing was written\n", ""},
        // clang-format on
    };
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        const auto& c = cases[row];
        SCOPED_TRACE(c.what);
        const std::string folder = dir_ + "/" + std::to_string(row);
        std::filesystem::create_directory(folder);
        writeFile(folder + "/device0.bin", c.device);
        auto here = [&](std::string text) {
            for (const auto& [mark, value] : {std::pair<std::string, std::string>{"$D", folder},
                                              {"$T", shellProgram(IMAGE_TOOL)}}) {
                for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
                    text.replace(at, 2, value);
            }
            return text;
        };
        const std::map<std::string, std::string> attached = {
            {"FT232R_EMULATOR_DEVICES", folder + "/device0.bin"},
            {"FT232R_EMULATOR_FAULT", c.faults},
            {"FT232R_EMULATOR_LOG", folder + "/calls.log"}};
        auto shell = [&](const char* command) {
            return runProcess({"sh", "-c", here(command)}, attached, 0, nullptr, folder).status;
        };
        if (*c.setup != '\0') {
            ASSERT_EQ(shell(c.setup), 0) << c.setup;
        }
        std::vector<std::string> args = {IMAGE_TOOL};
        for (const std::string& arg : c.args) args.push_back(here(arg));
        const ProcessResult result = runProcess(args, attached, 0, nullptr, folder);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(result.out.substr(0, here(c.out).size()), here(c.out));
        EXPECT_EQ(c.err.empty() ? result.err : result.err.substr(0, here(c.err).size()),
                  here(c.err));
        if (*c.after != '\0') {
            EXPECT_EQ(shell(c.after), 0) << c.after;
        }
    }
}

// The emulated devices sit at ports 1-1, 1-2, ... in list order, and
// FTD2XX_DEVICE narrows the listing as on the USB bus.
TEST_F(LinuxEndToEnd, EmulatedDevicesAreChosenByPortOrSerial) {
    const std::string list = addDevice(ft232r::makeImage(exampleFields("FIRST"))) + ":" +
                             addDevice(ft232r::makeImage(exampleFields("SECOND")));
    const std::string first = "1-1\tFIRST\tFT232R USB UART\n";
    const std::string second = "1-2\tSECOND\tFT232R USB UART\n";
    const struct {
        const char* choice;
        std::string listed;
    } cases[] = {{"", first + second}, {"1-2", second}, {"SECOND", second}, {"1-3", ""}};
    for (const auto& c : cases) {
        const ProcessResult listed = runProcess(
            {IMAGE_TOOL, "list"}, {{"FT232R_EMULATOR_DEVICES", list}, {"FTD2XX_DEVICE", c.choice}});
        EXPECT_EQ(listed.status, 0) << c.choice;
        EXPECT_EQ(listed.out, c.listed) << c.choice;
    }
}

}  // namespace
