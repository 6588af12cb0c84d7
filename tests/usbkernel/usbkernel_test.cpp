// The built varnolt with its default libftd2xx.so (the libftdi1 layer, found
// through its RUNPATH), the real libftdi1 and the real libusb, against FT232R
// chips that ft232r-usb emulates at the kernel's USB interface.  Each run
// gets a fresh emulated bus over the image files, as a replug would.
#include <signal.h>
#include <unistd.h>

#include <optional>

#include "images.hpp"
#include "messages.hpp"
#include "process.hpp"

namespace {

const std::string kPermission =
    "libftd2xx: permission denied on the USB device at bus 1 port 1 "
    "(/dev/bus/usb/001/002): install the udev rule "
    "/usr/lib/udev/rules.d/60-varnolt.rules and use the plugdev group "
    "or the desktop seat, or run as root\n";
// The libftdi1 layer's diagnostics, naming the device.
const std::string kFirstDevice = "libftd2xx: the FT232R at bus 1 port 1 (serial A1B2C3D4): ";
const std::string kNotKept = kFirstDevice +
                             "word 0x22 written 0x0056, read back 0x0041: the chip did not keep "
                             "it (clone chips acknowledge writes they do not store)\n";
const std::string kClaimed = kFirstDevice +
                             "its interface is claimed by another program (a terminal program, "
                             "ModemManager or brltty, for example): close or stop it and try "
                             "again\n";
// A device whose serial the library could not read, and a blank one.
const std::string kUnreadDevice = "libftd2xx: the FT232R at bus 1 port 1 (no serial): ";
const std::string kBlankRead = kUnreadDevice +
                               "the EEPROM is blank (every byte 0xFF)\nError: failed to read the "
                               "EEPROM (FT_EEPROM_NOT_PROGRAMMED)\n";
// The library's line when no FTD2XX_DEVICE chose among several devices
// (on ports 1-1, 1-2, ... with these serials): it uses the first.
std::string severalAttached(const std::vector<std::string>& serials) {
    std::string text = "libftd2xx: " + std::to_string(serials.size()) + " FT232R devices attached";
    for (std::size_t i = 0; i < serials.size(); ++i) {
        text += (i == 0 ? ": " : ", ") + ("bus 1 port " + std::to_string(i + 1)) + " (serial " +
                serials[i] + ")";
    }
    return text + "; using bus 1 port 1 (serial " + serials[0] +
           ") (FTD2XX_DEVICE=PORT chooses one, e.g. 1-1)\n";
}
const std::string kSerialEcho = "Serial Number : A1B2C3D4 -> VN000042\n";
const std::string kCbusEcho = "CBUS0-4       : 03, 02, 00, 01 05 -> 0a, 0a, 03, 02, 01\n";

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A chip as ft232r-image makes it with `serial`, and one such per serial.
ft232r::Image chip(const std::string& serial) { return ft232r::makeImage(exampleFields(serial)); }
std::vector<ft232r::Image> chips(const std::vector<std::string>& serials) {
    std::vector<ft232r::Image> images(serials.size());
    std::transform(serials.begin(), serials.end(), images.begin(), chip);
    return images;
}

const std::vector<std::string> kNewCbus = {"-c", "0a", "0a", "03", "02", "01"};
const std::vector<std::string> kNewSerial = {"-s", "VN000042"};
const ft232r::Image kStart = chip("A1B2C3D4");
// What kNewCbus asks for, and with a new serial too.
const ft232r::Fields kNewCbusFields = exampleFields("A1B2C3D4", {0x0a, 0x0a, 0x03, 0x02, 0x01});
const ft232r::Image kNewSerialAndCbus =
    ft232r::encode(kStart, exampleFields("VN000042", kNewCbusFields.cbus));

// The line ft232r-usb ends with for a device back with the serial driver
// and its power-on latency timer: the strings the host then sees.
std::string givenBack(const std::string& serial, const std::string& device = "1-1") {
    return device + " end driver=ftdi_sio latency=16 product=\"FT232R USB UART\" serial=\"" +
           serial + "\"";
}

// One run: the command's result and ft232r-usb's log.
struct UsbRun {
    ProcessResult result;
    std::vector<std::string> log;

    // Log lines that start with `prefix`.
    int count(const std::string& prefix) const {
        return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& line) {
            return line.rfind(prefix, 0) == 0;
        }));
    }
    // Control transfers of a device whose setup starts with `typeAndRequest`
    // ("c0 90": EEPROM reads, "40 91": writes, "80 06": descriptors), or all.
    int transfers(const std::string& typeAndRequest = "", const std::string& device = "1-1") const {
        return count(device + " ctrl " + typeAndRequest);
    }
    bool has(const std::string& line) const {
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    // The control transfers before the first one that starts with
    // `typeAndRequest`, or before the one after `skip` such.
    int before(const std::string& typeAndRequest, int skip = 0) const {
        int index = 0;
        for (const std::string& line : log) {
            if (line.rfind("1-1 ctrl ", 0) != 0) continue;
            if (line.rfind("1-1 ctrl " + typeAndRequest, 0) == 0 && skip-- == 0) return index;
            ++index;
        }
        return -1;
    }
    // The device's line at the end: its driver, latency timer and strings.
    std::string end(const std::string& device = "1-1") const {
        const auto line = std::find_if(log.begin(), log.end(), [&](const std::string& l) {
            return l.rfind(device + " end ", 0) == 0;
        });
        return line == log.end() ? "" : *line;
    }
    bool driverBack(const std::string& device = "1-1") const {
        return end(device).find(" driver=ftdi_sio ") != std::string::npos;
    }
};

class UsbKernel : public testing::Test, protected ImageFolder {
  protected:
    UsbKernel() : ImageFolder("varnolt-usbkernel") {}

    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        // Whether umockdev runs here at all, asked once: ft232r-usb says why
        // not and exits 77.
        static const std::string skip = [this] {
            const ProcessResult probe =
                runProcess({FT232R_USB, addDevice(kStart), "--", "true"}, {});
            devices_.clear();
            return probe.status == 77 ? probe.err : std::string();
        }();
        if (!skip.empty()) GTEST_SKIP() << skip;
    }

    // The devices on the bus for the next runs, on ports 1-1, 1-2, ...
    void attach(const std::vector<ft232r::Image>& images) {
        devices_.clear();
        for (const ft232r::Image& image : images) addDevice(image);
    }

    // Any command on the emulated bus under `faults`, with `environment`
    // set on top (an empty value unsets).  No library path: varnolt's
    // RUNPATH finds the libftdi1 layer.
    UsbRun runCommand(const std::vector<std::string>& command,
                      std::map<std::string, std::string> environment = {},
                      const std::string& faults = "") {
        const std::string log = dir_ + "/usb.log";
        environment.emplace("LD_LIBRARY_PATH", "");
        UsbRun result{
            runProcess(std::vector<std::string>{FT232R_USB, "--log", log, "--fault", faults} +
                           devices_ + std::vector<std::string>{"--"} + command,
                       environment),
            readLines(log)};
        // The refusal is explained only when access was refused.
        if (faults.find("deny") == std::string::npos) {
            EXPECT_EQ(result.result.err.find("permission denied"), std::string::npos)
                << result.result.err;
        }
        return result;
    }
    // varnolt with `args`.
    UsbRun run(const std::vector<std::string>& args, const std::string& faults = "") {
        return runCommand(std::vector<std::string>{VARNOLT_EXE} + args, {}, faults);
    }
    // varnolt `args` on kStart cut off by `faults`: exit 255 with `err`; the
    // same command on the replugged device then makes the change.  The cut run.
    UsbRun cutThenAgain(const std::vector<std::string>& args, const std::string& faults,
                        const std::string& err, const ft232r::Image& target) {
        attach({kStart});
        UsbRun cut = run(args, faults);
        EXPECT_EQ(cut.result.status, 255);
        EXPECT_EQ(cut.result.err, err);
        const UsbRun again = run(args);
        EXPECT_EQ(again.result.status, 0) << again.result.err;
        EXPECT_EQ(imageOf(), target);
        EXPECT_TRUE(again.driverBack());
        return cut;
    }

    // Where the EEPROM tool's backups and new images go.
    const std::string backup_ = dir_ + "/backup.bin", fresh_ = dir_ + "/fresh.bin";
};

TEST_F(UsbKernel, Commands) {
    // Readable: neither, but varnolt still reads it (a chip that did not
    // keep a word of the first pair).
    enum class Image { Unchanged, Changed, Readable };
    const std::string reenumerated = "1-1 reset -> gone (enumerated again)";
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* faults;
        ft232r::Fields after;  // what the command asks for
        std::string out;       // after the banner
        std::string err;
        Image image;
        std::string shows;  // a line of the USB log
        int writes = -1;    // word writes; -1: the whole plan
    } cases[] = {
        // clang-format off
        {"report", {"-r"}, "", exampleFields("A1B2C3D4"), factoryReport("A1B2C3D4"), "", Image::Unchanged, "1-1 disconnect-claim -> ok"},
        // A new serial: the host sees a changed device after the reset.
        {"serial and CBUS", kNewSerial + kNewCbus, "", exampleFields("VN000042", kNewCbusFields.cbus), kSerialEcho + kCbusEcho + "Done\n", "", Image::Changed, reenumerated},
        // The same descriptors: the reset is answered, libusb claims again.
        {"CBUS", std::vector<std::string>{"-r"} + kNewCbus, "", kNewCbusFields, "Serial Number : A1B2C3D4\nCBUS0-4       : 03, 02, 00, 01, 05 -> 0a, 0a, 03, 02, 01\nDone\n", "", Image::Changed, "1-1 reset -> ok"},
        {"shrinking serial", {"-s", "Z9"}, "", exampleFields("Z9"), "Serial Number : A1B2C3D4 -> Z9\nDone\n", "", Image::Changed, reenumerated},
        {"same serial writes nothing", {"-s", "A1B2C3D4"}, "", exampleFields("A1B2C3D4"), "Serial Number : A1B2C3D4 -> A1B2C3D4\nDone\n", "", Image::Unchanged, "1-1 connect -> ok"},
        // Each pair is read back before the next is written: the first
        // word the chip did not keep stops the writes.
        {"clone", kNewSerial, "clone", exampleFields("VN000042"), kSerialEcho, kNotKept + kWriteFailed, Image::Unchanged, "1-1 connect -> ok", 2},
        // The serial's descriptor length 0x12 AND 0x08 is 0: the header word,
        // written last, is never reached, and the device still reads.
        {"old AND new", {"-s", "VN0"}, "and-writes", exampleFields("VN0"), "Serial Number : A1B2C3D4 -> VN0\n", kFirstDevice + "word 0x21 written 0x0308, read back 0x0300: the chip did not keep it (clone chips acknowledge writes they do not store)\n" + kWriteFailed, Image::Readable, "1-1 connect -> ok", 2},
        // A chip without the pair buffer, storing each word at once, takes
        // every change.
        {"no pair buffer", kNewSerial, "per-word", exampleFields("VN000042"), kSerialEcho + "Done\n", "", Image::Changed, reenumerated},
        {"busy", {"-r"}, "busy", exampleFields("A1B2C3D4"), "", kClaimed + kNoDevice, Image::Unchanged, "1-1 disconnect-claim -> busy"},
        // libusb falls back to asking for the driver and detaching it.
        {"no DISCONNECT_CLAIM in the kernel", kNewSerial, "no-disconnect-claim", exampleFields("VN000042"), kSerialEcho + "Done\n", "", Image::Changed, "1-1 getdriver -> ftdi_sio"},
        // Unchanged descriptors, yet the device came back as a new one.
        {"reset answered ENODEV", kNewCbus, "reset-gone", kNewCbusFields, kCbusEcho + "Done\n", "", Image::Changed, reenumerated},
        // libftdi1's open fails after it claimed the interface (the chip
        // stalls the baud-rate request): no device, the serial driver back.
        {"open fails", kNewSerial, "stall=03", exampleFields("VN000042"), "", kNoDevice, Image::Unchanged, "1-1 ctrl 40 03 4138 0000 0 -> stall"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        attach({kStart});
        const UsbRun run = this->run(c.args, c.faults);
        const bool failed = !c.err.empty();
        EXPECT_EQ(run.result.status, failed ? 255 : 0);
        EXPECT_EQ(run.result.out, kBanner + c.out);
        EXPECT_EQ(run.result.err, c.err);
        const ft232r::Image target = ft232r::encode(kStart, c.after);
        if (c.image == Image::Readable) {
            EXPECT_TRUE(ft232r::decodeImage(imageOf()).readable());
        } else {
            EXPECT_EQ(imageOf(), c.image == Image::Changed ? target : kStart);
        }
        // On the wire: the planned words, each written once and read back
        // once, then a port reset; nothing written, nothing reset.  A run
        // that failed before its writes read nothing.
        const int planned = static_cast<int>(ft232r::planWrites(kStart, target).size());
        const bool reaches = c.image == Image::Changed || c.writes > 0;
        EXPECT_EQ(run.transfers("40 91"), reaches ? (c.writes > 0 ? c.writes : planned) : 0);
        if (!failed || !reaches) {
            EXPECT_EQ(run.transfers("c0 90"), failed ? 0 : 64 + planned);
        }
        // Writes go with the latency timer at 0x77, put back to 0x10 after them.
        EXPECT_EQ(run.has("1-1 ctrl 40 09 0077 0001 0 -> ok 0"), reaches);
        EXPECT_EQ(run.has("1-1 ctrl 40 09 0010 0001 0 -> ok 0"), reaches);
        EXPECT_EQ(run.has("1-1 reset -> ok") || run.has(reenumerated), c.image == Image::Changed);
        // The host sees the new strings after the reset, the old ones
        // otherwise, and the serial driver has the device back.
        EXPECT_EQ(run.end(), givenBack(c.image == Image::Changed ? c.after.serial : "A1B2C3D4"));
        EXPECT_TRUE(run.has(c.shows)) << c.shows;
        // The strings are asked for once, by the listing; the open goes by it.
        EXPECT_EQ(run.transfers("80 06"), 4);
    }
}

// SIGINT, SIGTERM, SIGHUP or SIGQUIT at each stage of a change, of `-r`,
// and of the EEPROM tool's write and read: held in every thread (libusb's
// own included) until the device is closed.  One that came before the first
// write leaves the device untouched; a later one lets the writes, their
// verification and the port reset finish.  Either way the serial driver is
// back, the latency timer as it was, and the process ends as the signal asks
// (128 + its number); a backup being read is not written.
TEST_F(UsbKernel, SignalsWaitUntilTheDeviceIsGivenBack) {
    writeFile(fresh_, kNewSerialAndCbus);
    const std::string wrote = "wrote " +
                              std::to_string(ft232r::planWrites(kStart, kNewSerialAndCbus).size()) +
                              " words to the device at 1-1 (serial A1B2C3D4), each read back\n";
    const struct {
        const char* name;
        std::vector<std::string> command;
        std::string out;     // when the first write came before the signal
        std::string before;  // when the signal came first
        bool writes;
    } programs[] = {
        // clang-format off
        {"a change", std::vector<std::string>{VARNOLT_EXE} + kNewSerial + kNewCbus, kBanner + kSerialEcho + kCbusEcho + "Done\n", kBanner, true},
        {"-r", {VARNOLT_EXE, "-r"}, "", kBanner + factoryReport("A1B2C3D4"), false},
        {"varnolt-eeprom write", {VARNOLT_EEPROM, "write", fresh_}, wrote, "", true},
        {"varnolt-eeprom read", {VARNOLT_EEPROM, "read", backup_}, "", "", false},
        // clang-format on
    };
    for (const auto& program : programs) {
        attach({kStart});
        const UsbRun clean = runCommand(program.command);
        ASSERT_EQ(clean.result.status, 0) << program.name << ": " << clean.result.err;
        // Where each stage starts, in control transfers of an uninterrupted
        // run (1-based); the port reset is no control transfer.  The last
        // three, after the first write, only in a program that writes.
        const std::pair<std::string, std::string> stages[] = {
            {"listing", "1"},
            {"open", std::to_string(clean.before("40 00") + 1)},
            {"read", std::to_string(clean.before("c0 90") + 10)},
            {"writes", std::to_string(clean.before("40 91") + 1)},
            {"verification", std::to_string(clean.before("c0 90", 64) + 1)},
            {"port reset", "reset"},
        };
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            for (std::size_t s = 0; s < (program.writes ? 6u : 3u); ++s) {
                const auto& [stage, at] = stages[s];
                SCOPED_TRACE(std::string(program.name) + ": signal " + std::to_string(signal) +
                             " at " + stage);
                const bool writes = s >= 3;
                attach({kStart});
                std::filesystem::remove(backup_);
                const UsbRun run =
                    runCommand(program.command, {}, "signal=" + std::to_string(signal) + "@" + at);
                EXPECT_TRUE(run.has("1-1 signal " + std::to_string(signal)));
                EXPECT_EQ(run.result.status, 128 + signal);
                EXPECT_EQ(run.result.err, "");
                EXPECT_EQ(run.result.out, writes ? program.out : program.before);
                EXPECT_EQ(imageOf(), writes ? kNewSerialAndCbus : kStart);
                EXPECT_EQ(run.transfers("40 91") > 0, writes);
                EXPECT_EQ(run.end(), givenBack(writes ? "VN000042" : "A1B2C3D4"));
                EXPECT_FALSE(std::filesystem::exists(backup_));
            }
        }
    }
}

// What the libftdi1 layer says on standard error before the tool's own
// message, naming the device: one line per finding, nothing on a run that
// went well with one device; standard output and exit status as ever.  A
// clone and an interface claimed by another program: Commands.  A serial
// number stored with terminal control bytes (retitle the window, clear the
// screen) reaches the terminal as \xNN: in the report, in the echo line,
// and in the library's line naming the devices.  Of two devices, libusb
// lists the second port first; the first by bus and port is the one read
// and written, the other keeps every byte.  Every device has the serial
// driver back.
TEST_F(UsbKernel, DiagnosticsNameTheDeviceAndWhatWasFound) {
    ft232r::Image broken = kStart;
    broken[0x13] = 0x7E;  // the serial descriptor's length: over the checksum
    ft232r::updateChecksum(broken);
    // Bytes another tool left after the serial string fill the string area
    // but for two zero bytes: the serial may grow by one character.
    ft232r::Image full = kStart;
    std::fill(full.begin() + (full[0x12] & 0x7F) + full[0x13], full.begin() + 0x7C, 0x5A);
    ft232r::updateChecksum(full);
    const ft232r::Image hostile = chip("\x1b]0;x\x07\x1b[2J");
    const std::string shown = "\\x1b]0;x\\x07\\x1b[2J";
    const std::string several = severalAttached({shown, "B2B2B2B2"});
    const struct {
        const char* what;
        std::vector<ft232r::Image> images;
        std::vector<std::string> args;
        const char* faults;
        std::string out;  // after the banner
        std::string err;
        int status;
        std::optional<ft232r::Image> after{};  // the first device's image, where a row gives it
    } cases[] = {
        // clang-format off
        {"one device, a good run", {kStart}, kNewSerial, "", kSerialEcho + "Done\n", "", 0},
        // 'A' (0x41) AND 'V' (0x56): the part keeps 0x40.
        {"old AND new", {kStart}, kNewSerial, "and-writes", kSerialEcho, kFirstDevice + "word 0x22 written 0x0056, read back 0x0040: the chip did not keep it (clone chips acknowledge writes they do not store)\n" + kWriteFailed, 255},
        {"blank EEPROM", {kBlankImage}, {"-r"}, "", "", kBlankRead, 255},
        {"CBUS code out of range", {kStart}, {"-c", "0e", "2", "0", "1", "0a"}, "", "CBUS0-4       : 03, 02, 00, 01 05 -> 0e, 02, 00, 01, 0a\n", kFirstDevice + "CBUS0 code 0x0e is out of that pin's range, 0x00 to 0x0d\n" + kFirstDevice + "CBUS4 code 0x0a is out of that pin's range, 0x00 to 0x09\n" + "Error: failed to program the EEPROM (FT_INVALID_PARAMETER)\n", 255},
        {"broken image", {broken}, {"-r"}, "", "", kUnreadDevice + "the EEPROM image is broken: serial string at 0x42, 126 bytes, runs into the checksum at 0x7e\n" + kReadFailed, 255},
        {"serial without room", {full}, {"-s", "VN00000042"}, "", "Serial Number : A1B2C3D4 -> VN00000042\n", kFirstDevice + "the serial number VN00000042 (10 characters) does not fit the string area: room for 9\nError: failed to program the EEPROM (FT_INVALID_PARAMETER)\n", 255},
        {"two devices", {kStart, chip("B2B2B2B2")}, {"-r"}, "", factoryReport("A1B2C3D4"), severalAttached({"A1B2C3D4", "B2B2B2B2"}), 0},
        {"two devices, a change", {kStart, chip("B2B2B2B2")}, kNewSerial + kNewCbus, "", kSerialEcho + kCbusEcho + "Done\n", severalAttached({"A1B2C3D4", "B2B2B2B2"}), 0, kNewSerialAndCbus},
        {"control bytes, -r", {hostile, chip("B2B2B2B2")}, {"-r"}, "", factoryReport(shown), several, 0},
        {"control bytes, a change", {hostile, chip("B2B2B2B2")}, kNewSerial, "", "Serial Number : " + shown + " -> VN000042\nDone\n", several, 0, ft232r::encode(hostile, exampleFields("VN000042"))},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        attach(c.images);
        const UsbRun run = this->run(c.args, c.faults);
        EXPECT_EQ(run.result.out, kBanner + c.out);
        EXPECT_EQ(run.result.err, c.err);
        EXPECT_EQ(run.result.status, c.status);
        if (c.after) {
            EXPECT_EQ(imageOf(), *c.after);
        }
        EXPECT_TRUE(run.driverBack());
        for (std::size_t other = 1; other < c.images.size(); ++other) {
            const std::string port = "1-" + std::to_string(other + 1);
            EXPECT_EQ(imageOf(other), c.images[other]);
            EXPECT_EQ(run.transfers("c0 90", port) + run.transfers("40", port), 0);
            EXPECT_TRUE(run.driverBack(port));
        }
    }
}

// A write cut off (writes=N-1: the Nth word write stalls), then the same command again:
// the device ends up as an uninterrupted run leaves it.
TEST_F(UsbKernel, InterruptedWritesAreFinishedByRunningAgain) {
    const struct {
        std::vector<std::string> args;
        ft232r::Fields after;
        const char* faults;
    } cases[] = {
        {kNewSerial, exampleFields("VN000042"), ""},
        {{"-s", "Z9"}, exampleFields("Z9"), ""},
        {{"-s", "VN0000000000042"}, exampleFields("VN0000000000042"), ""},
        {kNewCbus, kNewCbusFields, ""},
        // A chip without the pair buffer keeps the even word of a pair
        // whose odd word was lost.
        {kNewSerial, exampleFields("VN000042"), "per-word,"},
    };
    for (const auto& c : cases) {
        const ft232r::Image target = ft232r::encode(kStart, c.after);
        const int words = static_cast<int>(ft232r::planWrites(kStart, target).size());
        for (const int cut : {1, 2, words / 2 + 1, words}) {
            SCOPED_TRACE(c.args[1] + " " + c.faults + " write " + std::to_string(cut) + " of " +
                         std::to_string(words));
            const UsbRun cutOff = cutThenAgain(
                c.args, c.faults + ("writes=" + std::to_string(cut - 1)), kWriteFailed, target);
            EXPECT_FALSE(cutOff.has("1-1 reset -> ok"));
            EXPECT_TRUE(cutOff.has("1-1 ctrl 40 09 0010 0001 0 -> ok 0"));
            EXPECT_TRUE(cutOff.driverBack());
        }
    }
}

// The cable pulled at each stage of a change: every request fails with
// ENODEV from then on.  An error, exit 255, no "Done"; the same command on
// the replugged device then makes the change.
TEST_F(UsbKernel, CablePulledThenRunAgain) {
    attach({kStart});
    const UsbRun clean = run(kNewSerial);
    ASSERT_EQ(clean.result.status, 0);
    const struct {
        const char* stage;
        int after;  // control transfers before the cable goes
        std::string err;
    } cases[] = {
        // clang-format off
        {"listing", 1, kNoDevice},  // after the language list of the first string
        {"open", clean.before("40 00"), kNoDevice},
        {"read", clean.before("c0 90") + 10, "Error: failed to read the EEPROM (FT_IO_ERROR)\n"},
        {"write preamble", clean.before("40 00", 1), "Error: failed to program the EEPROM (FT_IO_ERROR)\n"},
        {"writes", clean.before("40 91") + 3, kWriteFailed},
        {"verification", clean.before("c0 90", 64) + 2, kWriteFailed},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stage);
        ASSERT_GE(c.after, 0);
        const UsbRun pulled = cutThenAgain(kNewSerial, "unplug=" + std::to_string(c.after), c.err,
                                           ft232r::encode(kStart, exampleFields("VN000042")));
        EXPECT_EQ(pulled.result.out.find("Done"), std::string::npos);
        EXPECT_TRUE(pulled.has("1-1 unplugged"));
    }
}

// Only FT232R-family chips are listed, by port, with the strings their
// EEPROM gives (its own IDs and product too); an FT232BM and a device of
// release 6.00 with a HID interface are never sent a request nor have
// their node used: their one line is the one at the end.
TEST_F(UsbKernel, OnlyFt232rChipsAreListedAndAsked) {
    ft232r::Fields own = exampleFields("FTDI", "Beacon v2", "OWN00001");
    own.vendorId = 0x1209;
    own.productId = 0x7001;
    attach({chip("OLDER"), chip("KBD"), ft232r::makeImage(own), chip("FTB2")});
    devices_[0].insert(0, "ft232bm:");
    devices_[1].insert(0, "hid:");
    const UsbRun listed = runCommand({VARNOLT_EEPROM, "list"});
    EXPECT_EQ(listed.result.out, "1-3\tOWN00001\tBeacon v2\n1-4\tFTB2\tFT232R USB UART\n");
    EXPECT_EQ(listed.count("1-1 "), 1);
    EXPECT_EQ(listed.count("1-2 "), 1);
    EXPECT_GT(listed.count("1-3 "), 1);
}

// The factory area (words 0x40..0x7F) is read through the real stack into
// a backup; restoring a backup never writes it, whatever the file holds.
TEST_F(UsbKernel, FactoryAreaIsReadNeverWritten) {
    std::vector<std::uint8_t> chip(kStart.begin(), kStart.end());
    for (unsigned word = 0x40; word < 0x80; ++word)
        chip.insert(chip.end(), {std::uint8_t(word), 0xF0});
    addDevice(chip);
    ASSERT_EQ(runCommand({VARNOLT_EEPROM, "read", backup_}).result.status, 0);
    EXPECT_EQ(readFile(backup_), chip);
    // Another device's backup: a new serial, another factory area.
    const ft232r::Image changed = ft232r::encode(kStart, exampleFields("VN000042"));
    std::vector<std::uint8_t> other(changed.begin(), changed.end());
    other.resize(chip.size(), 0x5A);
    writeFile(backup_, other);
    const UsbRun wrote = runCommand({VARNOLT_EEPROM, "write", backup_});
    EXPECT_EQ(wrote.result.status, 0) << wrote.result.err;
    EXPECT_EQ(wrote.transfers("40 91"),
              static_cast<int>(ft232r::planWrites(kStart, changed).size()));
    std::copy(changed.begin(), changed.end(), chip.begin());
    EXPECT_EQ(readFile(devices_[0]), chip);
}

// A device node the user may not open (no udev rule): one line says so,
// before the tool's own message, whatever the command.
TEST_F(UsbKernel, RefusedPermissionIsExplainedOnce) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run varnolt as another user";
    }
    const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};
    // Without arguments varnolt prints its usage and touches no device.
    if (runProcess(nobody + std::vector<std::string>{VARNOLT_EXE}, {}).status != 0) {
        GTEST_SKIP() << "varnolt cannot be run as uid 65534 from this build tree";
    }
    attach({kStart});
    for (const auto& args : {std::vector<std::string>{"-r"}, kNewSerial}) {
        const UsbRun run =
            runCommand(nobody + std::vector<std::string>{VARNOLT_EXE} + args, {}, "deny");
        EXPECT_EQ(run.result.status, 255);
        EXPECT_EQ(run.result.out, kBanner);
        EXPECT_EQ(run.result.err, kPermission + kNoDevice);
        EXPECT_EQ(run.transfers(), 0);
        EXPECT_EQ(imageOf(), kStart);
        EXPECT_TRUE(run.driverBack());
    }
    // A device whose strings cannot be read keeps its place in the listing,
    // with none; a device without a serial string is not asked for one.
    ft232r::Fields noSerial = exampleFields("");
    noSerial.serNumEnable = false;
    addDevice(ft232r::makeImage(noSerial));
    addDevice(chip("C3"));
    const UsbRun listed =
        runCommand(nobody + std::vector<std::string>{VARNOLT_EEPROM, "list"}, {}, "deny");
    EXPECT_EQ(listed.result.out, "1-1\t\t\n1-2\t\tFT232R USB UART\n1-3\tC3\tFT232R USB UART\n");
    EXPECT_EQ(listed.transfers("80 06 03", "1-2"), 2);  // language list and product only
    EXPECT_EQ(listed.transfers("80 06 03", "1-3"), 4);
    // Two devices with one serial number, the first not to be opened: a
    // choice by that serial number is a guess, and takes neither.
    attach({kStart, kStart});
    const std::string guess =
        "FTD2XX_DEVICE=A1B2C3D4 chooses no device: the serial number of the FT232R at 1-1 could "
        "not be read, and it may be the one meant; choose by port path, e.g. FTD2XX_DEVICE=1-1\n";
    for (const std::string& program : {std::string(VARNOLT_EXE), std::string(VARNOLT_EEPROM)}) {
        const bool tool = program == VARNOLT_EEPROM;
        std::vector<std::string> command = {"env", "FTD2XX_DEVICE=A1B2C3D4", program, "list"};
        if (!tool) command.back() = "-s", command.push_back("VN1");
        const UsbRun run = runCommand(nobody + command, {}, "deny");
        EXPECT_EQ(run.result.status, tool ? 1 : 255);
        EXPECT_EQ(run.result.err,
                  tool ? "varnolt-eeprom: " + guess : "libftd2xx: " + guess + kNoDevice);
        EXPECT_EQ(imageOf(1), kStart);
    }
}

// FTD2XX_DEVICE narrows the library's listing to the device at a port path
// or with a serial number; no such device is no device, and neither is an
// empty choice (a script's $PORT that came out empty).  The EEPROM tool
// lists through the same choice.
TEST_F(UsbKernel, FtD2xxDeviceChoosesTheDevice) {
    const std::vector<std::string> serials = {"A1B2C3D4", "B2B2B2B2", "C3C3C3C3"};
    const std::vector<ft232r::Image> images = chips(serials);
    const std::string empty =
        "libftd2xx: FTD2XX_DEVICE is set but empty: it chooses no device (unset it to use the "
        "first device, or give a port path such as 1-1.4, or a serial number)\n";
    const struct {
        const char* choice;  // nullptr: unset
        int written;         // the device changed, or -1: none
        std::string err;
    } cases[] = {
        // Without a choice the library says which of the three it used.
        {nullptr, 0, severalAttached(serials)},
        {"1-2", 1, ""},
        {"C3C3C3C3", 2, ""},
        {"1-4", -1, kNoDevice},
        {"Z9Z9Z9Z9", -1, kNoDevice},
        {"", -1, empty + kNoDevice},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.choice != nullptr ? c.choice : "(unset)");
        attach(images);
        std::vector<std::string> command = {VARNOLT_EXE, "-s", "VN000042"};
        if (c.choice != nullptr) {
            command.insert(command.begin(), {"env", std::string("FTD2XX_DEVICE=") + c.choice});
        }
        const UsbRun run = runCommand(command);
        EXPECT_EQ(run.result.status, c.written >= 0 ? 0 : 255);
        EXPECT_EQ(run.result.err, c.err);
        for (std::size_t i = 0; i < images.size(); ++i) {
            EXPECT_EQ(imageOf(i), static_cast<int>(i) == c.written
                                      ? ft232r::encode(images[i], exampleFields("VN000042"))
                                      : images[i])
                << i;
        }
    }
    const UsbRun listed = runCommand({VARNOLT_EEPROM, "list"}, {{"FTD2XX_DEVICE", "1-3"}});
    EXPECT_EQ(listed.result.out, "1-3\tC3C3C3C3\tFT232R USB UART\n");
    const UsbRun refused = runCommand({VARNOLT_EEPROM, "read", backup_});
    EXPECT_EQ(refused.result.status, 1);
    EXPECT_EQ(refused.result.err,
              "varnolt-eeprom: 3 FT232R devices attached (at 1-1 1-2 1-3): choose one, e.g. "
              "FTD2XX_DEVICE=1-1 varnolt-eeprom ...\n");
    // The variable's text reaches the terminal as serial numbers do.
    const UsbRun escaped =
        runCommand({"env", "FTD2XX_DEVICE=\x1b]0;x\x07", VARNOLT_EEPROM, "read", dir_ + "/b.bin"});
    EXPECT_EQ(escaped.result.err,
              "varnolt-eeprom: no FT232R device matches FTD2XX_DEVICE=\\x1b]0;x\\x07 (a port "
              "path such as 1-1.4, or a serial number that one device alone has)\n");
    const UsbRun none =
        runCommand({"env", "FTD2XX_DEVICE=", VARNOLT_EEPROM, "read", dir_ + "/b.bin"});
    EXPECT_EQ(none.result.status, 1);
    EXPECT_EQ(none.result.err, "varnolt-eeprom: " + empty.substr(11));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/b.bin"));
}

// Devices varnolt refuses or another tool damaged, brought back with the
// EEPROM tool: from a backup it made before, or from a factory-default
// image with a serial number.  Only the user area's changed pairs are
// written; varnolt -r then reads the device.
TEST_F(UsbKernel, EepromToolBringsBackWhatVarnoltCannotRead) {
    ft232r::Image broken = kStart;
    broken[0x12] = 0x05;  // the serial's pointer, out of the string area
    ft232r::updateChecksum(broken);
    ft232r::Fields zeroed = exampleFields("A1B2C3D4");
    zeroed.productId = 0x0000;
    ASSERT_EQ(runProcess({VARNOLT_EEPROM, "new", fresh_, "--serial", "VN000123"}, {}).status, 0);
    const ft232r::Image factory = chip("VN000123");
    const std::string brokenPointer =
        kUnreadDevice +
        "the EEPROM image is broken: serial string pointer 0x05 (byte 0x12) does not point into "
        "the string area 0x18..0x7d\n" +
        kReadFailed;
    const struct {
        const char* what;
        ft232r::Image damaged;
        std::string readErr;  // varnolt -r on the damaged device
        bool fromBackup;
    } cases[] = {
        {"blank", kBlankImage, kBlankRead, false},
        {"broken, factory image", broken, brokenPointer, false},
        {"broken, backup", broken, brokenPointer, true},
        {"product ID zeroed", ft232r::makeImage(zeroed), "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        attach({kStart});
        if (c.fromBackup) {
            const UsbRun saved = runCommand({VARNOLT_EEPROM, "read", backup_});
            EXPECT_EQ(saved.result.status, 0) << saved.result.err;
            const std::vector<std::uint8_t> bytes = readFile(backup_);
            ASSERT_EQ(bytes.size(), 256u);
            EXPECT_TRUE(std::equal(kStart.begin(), kStart.end(), bytes.begin()));
        }
        writeFile(devices_[0], c.damaged);  // another tool, then a replug
        const UsbRun before = run({"-r"});
        EXPECT_EQ(before.result.err, c.readErr);
        const ft232r::Image target = c.fromBackup ? kStart : factory;
        const UsbRun wrote = runCommand({VARNOLT_EEPROM, "write", c.fromBackup ? backup_ : fresh_});
        EXPECT_EQ(wrote.result.status, 0) << wrote.result.err;
        EXPECT_EQ(imageOf(), target);
        EXPECT_EQ(wrote.transfers("40 91"),
                  static_cast<int>(ft232r::planWrites(c.damaged, target).size()));
        EXPECT_TRUE(wrote.driverBack());
        const UsbRun after = run({"-r"});
        EXPECT_EQ(after.result.status, 0) << after.result.err;
        EXPECT_EQ(after.result.out,
                  kBanner + factoryReport(c.fromBackup ? "A1B2C3D4" : "VN000123"));
    }
}

// The 2014 driver's writes: word 0x02 (the product ID) as 0 and word 0x3e
// so that the checksum stays good, both even, single words.  An FT232R
// buffers even words until their odd partner is written, so it keeps
// neither; a clone that stores every word at once comes back as 0403:0000.
// The EEPROM tool still finds that device, and a factory image or its
// backup brings it back.
TEST_F(UsbKernel, DriverWritesOfEvenWordsLeaveClonesWithProductZero) {
    ft232r::Image zeroed = kStart;
    ft232r::setWord(zeroed, 0x02, 0x0000);
    for (unsigned v = 0; v <= 0xFFFF; ++v) {
        ft232r::setWord(zeroed, 0x3E, static_cast<std::uint16_t>(v));
        if (ft232r::checksum(zeroed) == ft232r::wordAt(kStart, 0x3F)) break;
    }
    ASSERT_TRUE(ft232r::checksumOk(zeroed));
    char word3e[16];
    std::snprintf(word3e, sizeof word3e, "3e=%04x", ft232r::wordAt(zeroed, 0x3E));
    writeFile(fresh_, kStart);
    for (const char* chip : {"", "per-word"}) {
        for (const std::string& image : {backup_, fresh_}) {
            SCOPED_TRACE(std::string(*chip ? chip : "FT232R") + ", restored from " + image);
            attach({kStart});
            ASSERT_EQ(runCommand({VARNOLT_EEPROM, "read", backup_}).result.status, 0);
            const UsbRun driver = runCommand({WORD_WRITE, "02=0000", word3e}, {}, chip);
            EXPECT_EQ(driver.result.status, 0) << driver.result.err;
            const bool clone = *chip != '\0';
            EXPECT_EQ(imageOf(), clone ? zeroed : kStart);
            // Plugged in again: the host sees the product ID it now has.
            EXPECT_EQ(runCommand({VARNOLT_EEPROM, "list"}).result.out,
                      "1-1\tA1B2C3D4\tFT232R USB UART\n");
            const UsbRun restored = runCommand({VARNOLT_EEPROM, "write", image}, {}, chip);
            EXPECT_EQ(restored.result.status, 0) << restored.result.err;
            EXPECT_EQ(imageOf(), kStart);
            EXPECT_TRUE(restored.driverBack());
        }
    }
}

}  // namespace
