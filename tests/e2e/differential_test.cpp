// The built varnolt against images that libftdi1 made, with libftdi1's
// decoder as the oracle: for every image and change, libftdi1 must accept
// the checksum and read the serial number and CBUS pins that were asked for
// and that `varnolt -r` reports, and no byte may change outside the changed
// field, the string area moved behind a serial of another length, and the
// checksum.
//
// Where libftdi1 reads differently, and why that is no mismatch: it reads a
// string whole, where the D2XX record (and so `-r`) holds 15 characters of a
// serial number; it keeps only the low byte of each UTF-16 unit (the images
// here hold 8-bit text only); and ftdi_eeprom_build rebuilds a whole image
// from its model, so the CBUS codes it does not know and the spare bits are
// put in after building (libftdi_reference.hpp).
#include <optional>

#include "fixture.hpp"
#include "libftdi_reference.hpp"

namespace {

constexpr std::size_t kShownSerial = 15;  // what the D2XX record's serial buffer holds

struct Strings {
    const char* name;
    const char* manufacturer;
    const char* product;
    const char* serial;
};

// String sets found on devices in the field; the last four are beyond what
// the record's buffers or the documented limits admit.
const Strings kStrings[] = {
    {"factory", "FTDI", "FT232R USB UART", "A1B2C3D4"},
    {"empty", "", "", ""},
    {"manufacturer of 35", "Northwind Laboratory Instruments Co", "Probe", "P0123"},
    {"serial of 20", "FTDI", "FT232R USB UART", "SN-2019-0417-A55B-X9"},
    {"manufacturer and product 41", "Acme Instruments", "Precision Probe Interface", "AB12C"},
    // 48 characters fill the string area: libftdi1's trailer has no room.
    {"area full", "Northwind Laboratory Instruments Co", "Probe", "A1B2C3D4"},
};

// Sixteen images: the string sets in turn, and on each pin every nibble
// 0x0..0xF once (libftdi1 knows 0x0..0x0C; 0x0D and beyond, as well as
// CBUS4's 0x0A and beyond, are put in after building).  Every other image
// has its spare bits set.  A sampled run (under qemu-user or the
// sanitizers, where each varnolt run costs ten times as much) takes each
// string set once: the other images vary bytes the codec handles the same
// way on every architecture, which the plain run, the codec's unit tests and
// the fuzzers cover.
#ifdef VARNOLT_E2E_SAMPLED
constexpr std::size_t kImages = std::size(kStrings);
#else
constexpr std::size_t kImages = 16;
#endif
ReferenceSettings imageSettings(std::size_t k) {
    const Strings& s = kStrings[k % std::size(kStrings)];
    ReferenceSettings settings{s.manufacturer,           s.product, s.serial, {},
                               static_cast<unsigned>(k), k % 2 == 1};
    for (std::size_t pin = 0; pin < 5; ++pin) {
        settings.cbus[pin] = static_cast<std::uint8_t>((k + 3 * pin) % 16);
    }
    return settings;
}

// A change as a command line, derived from what `-r` shows and libftdi1 reads.
struct Change {
    const char* name;
    // The new serial from the one shown; none: no -s.
    std::function<std::string(std::string)> serial;
    std::vector<std::size_t> pins{};  // pins given another valid code
    bool cbus = false;                // whether -c is given (the others as read)
};

// clang-format off
const Change kChanges[] = {
    {"serial as shown", [](std::string s) { return s; }},
    {"serial, same length", [](std::string s) { for (char& c : s) c = c == 'Z' ? 'Y' : 'Z'; return s; }},
    {"serial, shorter", [](std::string s) { return s.substr(0, s.size() / 2); }},
    {"serial, longer", [](std::string s) { return (s + "L7").substr(0, kShownSerial); }},
    {"serial, empty", [](std::string) { return std::string(); }},
    {"serial, 15 characters", [](std::string) { return std::string("VN0000000000042"); }},
    {"CBUS as read", nullptr, {}, true},
    {"CBUS0", nullptr, {0}, true},
    {"CBUS1", nullptr, {1}, true},
    {"CBUS2", nullptr, {2}, true},
    {"CBUS3", nullptr, {3}, true},
    {"CBUS4", nullptr, {4}, true},
    {"serial and every pin", [](std::string) { return std::string("VN42"); }, {0, 1, 2, 3, 4}, true},
};
// clang-format on

std::string hexList(const std::array<int, 5>& cbus, const char* lastSeparator) {
    char text[64];
    std::snprintf(text, sizeof text, "%02x, %02x, %02x, %02x%s%02x", cbus[0], cbus[1], cbus[2],
                  cbus[3], lastSeparator, cbus[4]);
    return text;
}

// What `-r` prints after the banner.
std::string report(const std::string& serial, const std::array<int, 5>& cbus) {
    return "Serial Number : " + serial.substr(0, kShownSerial) +
           "\nCBUS0-4       : " + hexList(cbus, ", ") + "\n";
}

// A change's command line over what `-r` showed, what varnolt echoes of it,
// and the serial number and CBUS codes it asks for.
struct Request {
    std::vector<std::string> args;
    std::string echo;
    std::optional<std::string> serial;  // none: no -s
    std::array<int, 5> cbus;            // the codes read, where no -c
};

Request requestFor(const Change& change, const std::string& shown, const std::array<int, 5>& read) {
    Request request{{}, "", std::nullopt, read};
    if (change.serial) {
        request.serial = change.serial(shown);
        request.args = {"-s", *request.serial};
        request.echo = "Serial Number : " + shown + " -> " + *request.serial + "\n";
    }
    if (change.cbus) {
        for (const std::size_t pin : change.pins)
            request.cbus[pin] = (request.cbus[pin] + 1) % (ft232r::kCbusMax[pin] + 1);
        request.args.push_back("-c");
        for (const int code : request.cbus) request.args.push_back({"0123456789abcdef"[code]});
        request.echo +=
            "CBUS0-4       : " + hexList(read, " ") + " -> " + hexList(request.cbus, ", ") + "\n";
    }
    return request;
}

// The failures the running test has recorded so far.
int failedParts() {
    return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

// Whether the bytes behind two string areas are the same bytes moved: equal
// as far as both go, and only zeros beyond in the longer one.
bool sameTailMoved(const ft232r::Image& before, std::size_t from, const ft232r::Image& after,
                   std::size_t to) {
    const std::size_t end = ft232r::kStringAreaEnd;
    for (std::size_t i = 0; from + i < end || to + i < end; ++i) {
        const int a = from + i < end ? before[from + i] : 0;
        const int b = to + i < end ? after[to + i] : 0;
        if (a != b) return false;
    }
    return true;
}

TEST_F(EndToEnd, LibftdiImagesChangeAsLibftdiReadsThem) {
    ReferenceDecoded probe;
    if (!referenceDecode(ft232r::makeImage(exampleFields()), probe)) {
        GTEST_SKIP() << "libftdi1 cannot be set up here (ftdi_new: no libusb context)";
    }
    int cases = 0, refused = 0, mismatches = 0;
    for (std::size_t k = 0; k < kImages; ++k) {
        const ReferenceSettings settings = imageSettings(k);
        ft232r::Image original{};
        std::string error;
        ASSERT_TRUE(referenceImage(settings, original, error)) << k << ": " << error;
        ReferenceDecoded before;
        ASSERT_TRUE(referenceDecode(original, before));
        ASSERT_TRUE(before.checksumOk);
        const std::string shown = before.serial.substr(0, kShownSerial);
        onlyDevice(original);
        EXPECT_EQ(run({"-r"}).out, kBanner + report(before.serial, before.cbus))
            << settings.manufacturer << "/" << settings.serial;

        for (const Change& change : kChanges) {
            const Request request = requestFor(change, shown, before.cbus);
            ++cases;
            SCOPED_TRACE("image " + std::to_string(k) + " (" +
                         kStrings[k % std::size(kStrings)].name + "), " + change.name);
            const int failedBefore = failedParts();

            // A serial left as shown keeps what is stored; otherwise the new one.
            const bool serialChanges = request.serial && *request.serial != shown;
            const std::string serial = serialChanges ? *request.serial : before.serial;
            const std::array<int, 5>& cbus = request.cbus;
            // The 46-character limit bounds what a change adds.
            const std::size_t pair = before.manufacturer.size() + before.product.size();
            const bool accepted = pair + serial.size() <= ft232r::kMaxAllStrings ||
                                  serial.size() <= before.serial.size();
            const std::string device = onlyDevice(original);
            const ProcessResult result = run(request.args);
            const ft232r::Image after = imageOf(device);
            if (!accepted) {
                ++refused;
                EXPECT_TRUE(result.status == 255 && result.out == kBanner + request.echo &&
                            result.err ==
                                "Error: failed to program the EEPROM (FT_INVALID_PARAMETER)\n")
                    << "not refused: " + result.out + result.err;
                EXPECT_EQ(after, original) << "refused, but the image changed";
            } else {
                EXPECT_TRUE(result.status == 0 && result.out == kBanner + request.echo + "Done\n" &&
                            result.err.empty())
                    << "run: " + result.out + result.err;
                ReferenceDecoded now;
                EXPECT_TRUE(referenceDecode(after, now) && now.checksumOk) << "libftdi1: checksum";
                EXPECT_EQ(now.serial, serial) << "libftdi1 serial";
                EXPECT_EQ(now.cbus, cbus) << "libftdi1 CBUS";
                EXPECT_TRUE(now.manufacturer == before.manufacturer &&
                            now.product == before.product)
                    << "libftdi1: other strings";
                const ProcessResult reread = run({"-r"});
                EXPECT_EQ(reread.out, kBanner + report(now.serial, now.cbus)) << "-r";

                // Bytes: the CBUS bytes of changed pins, the serial's header
                // and its old and new descriptor when it changed, the
                // checksum.  What follows the serial stays where it is, or,
                // where no free room took a longer serial, moved intact.
                std::set<std::size_t> allowed = {0x7E, 0x7F};
                for (std::size_t pin = 0; pin < 5; ++pin) {
                    if (cbus[pin] != before.cbus[pin]) allowed.insert(0x14 + pin / 2);
                }
                EXPECT_TRUE((after[0x16] & 0xF0) == (original[0x16] & 0xF0))
                    << "byte 0x16 high nibble";
                const std::size_t at = original[0x12] & 0x7Fu;
                if (serial != before.serial) {
                    const std::size_t to = after[0x12] & 0x7Fu;
                    allowed.insert({0x12, 0x13});
                    for (std::size_t i = at; i < at + original[0x13]; ++i) allowed.insert(i);
                    for (std::size_t i = to; i < to + after[0x13]; ++i) allowed.insert(i);
                    // (Where the tail stayed, allowing it too changes nothing.)
                    if (to == at &&
                        sameTailMoved(original, at + original[0x13], after, at + after[0x13])) {
                        for (std::size_t i = at; i < ft232r::kStringAreaEnd; ++i) allowed.insert(i);
                    }
                }
                for (const std::size_t offset : changedBytes(original, after)) {
                    EXPECT_TRUE(allowed.count(offset) != 0) << "byte " + std::to_string(offset);
                }
            }
            mismatches += failedParts() > failedBefore ? 1 : 0;
        }
    }
    std::printf(
        "libftdi1 differential: %zu images x %zu changes = %d cases (%d refused), %d mismatches\n",
        kImages, std::size(kChanges), cases, refused, mismatches);
    RecordProperty("images", static_cast<int>(kImages));
    RecordProperty("changes", static_cast<int>(std::size(kChanges)));
    RecordProperty("refused", refused);
    RecordProperty("mismatches", mismatches);
}

}  // namespace
