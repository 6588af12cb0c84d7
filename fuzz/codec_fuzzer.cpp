// libFuzzer target: the FT232R EEPROM codec over arbitrary images.
// An input of 128 bytes is the user area; one of 256 bytes is the user area
// and the factory area after it, as a whole-chip read gives (the codec only
// ever sees the first 128).  Other sizes are not images and are rejected.
//
// Checked for every image (ASan catches any read outside it):
//   - decode classifies it, and fills the fields only for Ok / StaleChecksum;
//   - an image that does not decode is never encoded over;
//   - an image's own fields are always accepted over it, whatever limits
//     they break (only changes are checked), and decode then encode is the
//     identity apart from the checksum, except for a serial descriptor whose
//     own length byte disagrees with the header's (a cut write): it is
//     rewritten with the same units in its own bytes, nothing else changes;
//   - for a table of field changes over the decoded fields: fields that
//     validateFields accepts are refused at most for want of room, validate
//     and encode agree, an accepted change decodes back to exactly the
//     requested fields and leaves every bit outside the model alone, and the
//     planned word writes turn the image into the encoded one;
//   - for the changes a command line makes (serial, CBUS): the planned writes
//     cut after any word leave an image that decodes, and the same command
//     planned again from there gives the same target (where the plan had a
//     safe place for the serial) or at least the asked-for serial and CBUS.
// Any violation aborts, which libFuzzer reports as a finding.
#include <algorithm>
#include <cstddef>
#include <set>
#include <vector>

#include "eeprom_oracle.hpp"

namespace {

using ft232r::DecodeResult;
using ft232r::Fields;
using ft232r::Image;
using ft232r::Invalid;
using oracle::check;

// Bits of the user area that no field covers; encode must carry them
// through.  Byte: mask of the bits the model does not own.
constexpr std::array<std::pair<std::size_t, std::uint8_t>, 7> kForeignBits = {{
    {0x00, 0xF1},  // byte 0x00: FT245R FIFO bit and bits 4-7
    {0x06, 0xFF},  // bytes 0x06..0x07: release number (0x0600 marks an FT232R)
    {0x07, 0xFF},
    {0x08, 0x9F},  // byte 0x08: bit 7 (always 1) and bits 0-4
    {0x0A, 0xE0},  // byte 0x0A: bits 5-7
    {0x16, 0xF0},  // byte 0x16 high nibble: no pin
    {0x17, 0xFF},  // byte 0x17: zero on every part, before the string area
}};

// Changes that a command line or a D2XX record can ask for, applied over the
// decoded fields.  Texts are derived from the old ones so that lengths and
// contents vary with the image.
using Change = void (*)(Fields&);
// clang-format off
const Change kChanges[] = {
    // Serial: same length other text, shrink, grow, empty, longest,
    // too long, and an 8-bit character (stored as one UTF-16 unit).
    [](Fields& f) { for (char& c : f.serial) c = c == 'Z' ? 'Y' : 'Z'; },
    [](Fields& f) { if (!f.serial.empty()) f.serial.pop_back(); },
    [](Fields& f) { f.serial += "7"; },
    [](Fields& f) { f.serial.clear(); },
    [](Fields& f) { f.serial = "VN0000000000042"; },
    [](Fields& f) { f.serial = "0123456789ABCDEF"; },
    [](Fields& f) { f.serial = "\xE9t\xE9"; },
    // CBUS: the highest codes, one step on each pin, a code beyond CBUS4's range.
    [](Fields& f) { f.cbus = ft232r::kCbusMax; },
    [](Fields& f) { for (std::size_t pin = 0; pin < f.cbus.size(); ++pin) f.cbus[pin] = static_cast<std::uint8_t>((f.cbus[pin] + 1) % (ft232r::kCbusMax[pin] + 1)); },
    [](Fields& f) { f.cbus[4] = 0x0A; },
    // Serial and CBUS together, as `-s QQ -c 1 2 3 4 5`.
    [](Fields& f) { f.serial = "QQ"; f.cbus = {1, 2, 3, 4, 5}; },
    // The other strings: gone, longer, at and over their limits.
    [](Fields& f) { f.manufacturer.clear(); },
    [](Fields& f) { f.manufacturer += "Acme"; },
    [](Fields& f) { f.description.assign(40 - std::min<std::size_t>(f.manufacturer.size(), 40), 'D'); },
    [](Fields& f) { f.description = std::string(41, 'D'); },
    // Every scalar at once.
    [](Fields& f) {
        f.vendorId = static_cast<std::uint16_t>(~f.vendorId);
        f.productId = static_cast<std::uint16_t>(f.productId + 1);
        f.maxPower = static_cast<std::uint16_t>(510 - f.maxPower);
        f.usbVersion = static_cast<std::uint16_t>(f.usbVersion ^ 0x0110);
        f.endpointSize = static_cast<std::uint8_t>(~f.endpointSize);
        for (bool* flag : {&f.selfPowered, &f.remoteWakeup, &f.isoIn, &f.isoOut, &f.pullDownEnable, &f.serNumEnable, &f.usbVersionEnable, &f.useExtOsc, &f.highDriveIOs, &f.riIsD2xx}) *flag = !*flag;
        for (auto&& bit : f.invert) bit = !bit;
    },
    // Out of a byte's range.
    [](Fields& f) { f.maxPower = 512; },
};
// clang-format on

// Whether the serial descriptor's own length byte agrees with the header's.
bool serialSound(const Image& image) { return image[image[0x12] & 0x7Fu] == image[0x13]; }

// The planned writes: whole even/odd pairs inside the user area, each word
// once, the checksum pair last, and together they reach the target.
void checkPlan(const Image& current, const Image& target) {
    const std::vector<unsigned> plan = ft232r::planWrites(current, target);
    check(plan.size() % 2 == 0, "plan is not whole pairs", current);
    std::set<unsigned> seen;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        check(plan[i] < ft232r::kImageWords, "plan writes outside the user area", current);
        check(seen.insert(plan[i]).second, "plan writes a word twice", current);
        check(i % 2 == 1 ? plan[i] == plan[i - 1] + 1 : plan[i] % 2 == 0, "plan splits a word pair",
              current);
        // The checksum goes last, or just before the string headers when
        // its pair also holds descriptor bytes (0x7C..0x7D).
        if (plan[i] == ft232r::kChecksumWord) {
            check(i + 1 == plan.size() || (i + 3 == plan.size() && plan[i + 1] == 0x08),
                  "checksum word is not written last", current);
        }
    }
    Image applied = current;
    for (const unsigned word : plan) ft232r::setWord(applied, word, ft232r::wordAt(target, word));
    check(applied == target, "planned writes do not reach the target", current);
    check(ft232r::planWrites(target, target).empty(), "equal images need writes", current);
}

void checkCuts(const Image& image, const Fields& fields, const Fields& requested) {
    Fields rest = requested;
    rest.serial = fields.serial;
    rest.cbus = fields.cbus;
    if (rest != fields) return;  // not a change a command line makes
    const oracle::Command command{requested.serial != fields.serial, requested.serial,
                                  requested.cbus != fields.cbus, requested.cbus};
    const ft232r::Change plan = command.over(image);
    if (plan.status != Invalid::None) return;
    const bool safe = plan.serial != ft232r::Placement::Shift;
    for (std::size_t cut = 0; cut < plan.words.size(); ++cut) {
        Image state = image;
        for (std::size_t i = 0; i < cut; ++i) {
            ft232r::setWord(state, plan.words[i], ft232r::wordAt(plan.target, plan.words[i]));
        }
        check(ft232r::decodeImage(state).readable(), "a cut write left an unreadable image", image);
        const ft232r::Change rerun = command.over(state);
        check(rerun.status == Invalid::None, "the same command is refused after a cut", image);
        if (safe) {
            check(rerun.target == plan.target, "a cut write is not repaired exactly", image);
        } else {
            Fields back;
            ft232r::decode(rerun.target, back);
            check(!command.setCbus || back.cbus == command.cbus, "a cut write left CBUS wrong",
                  image);
            check(!command.setSerial || back.serial == command.serial,
                  "a cut write left the serial wrong", image);
        }
    }
}

void checkChange(const Image& image, const Fields& requested) {
    const Invalid plain = ft232r::validateFields(requested);
    const Invalid why = ft232r::validate(image, requested);
    check(plain != Invalid::None || why == Invalid::None || why == Invalid::NoRoom,
          "validate refuses what validateFields accepts", image);
    const Image encoded = ft232r::encode(image, requested);
    if (why != Invalid::None) {
        check(encoded == image, "a refused change altered the image", image);
        return;
    }
    Fields back;
    check(ft232r::decode(encoded, back) == DecodeResult::Ok, "encoded image does not decode Ok",
          image);
    Fields expected = requested;
    expected.maxPower = static_cast<std::uint16_t>(expected.maxPower / 2 * 2);  // 2 mA units
    check(back == expected, "encoded image decodes to other fields", image);
    for (const auto& [byte, mask] : kForeignBits) {
        check((encoded[byte] & mask) == (image[byte] & mask), "a bit outside the model changed",
              image);
    }
    checkPlan(image, encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size != ft232r::kImageBytes && size != 2 * ft232r::kImageBytes) {
        return -1;  // not an EEPROM read: keep it out of the corpus
    }
    Image image{};
    std::copy_n(data, ft232r::kImageBytes, image.begin());

    const Fields untouched;
    Fields fields;
    const DecodeResult result = ft232r::decode(image, fields);
    if (result == DecodeResult::Blank || result == DecodeResult::Broken) {
        const bool blank =
            std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0xFF; });
        check(blank == (result == DecodeResult::Blank), "blank misclassified", image);
        check(fields == untouched, "fields filled for an image that does not decode", image);
        check(ft232r::encode(image, untouched) == image,
              "encoded over an image that does not decode", image);
        checkPlan(image, image);
        return 0;
    }
    check(result == DecodeResult::Ok || result == DecodeResult::StaleChecksum, "unknown result",
          image);
    check((result == DecodeResult::Ok) == ft232r::checksumOk(image), "checksum misjudged", image);

    // Decode then encode: the identity, apart from a stale checksum.  Fields
    // that validateFields refuses (say a CBUS nibble above its pin's range)
    // are still accepted while they stay as stored.
    check(ft232r::validate(image, fields) == Invalid::None, "an image's own fields are refused",
          image);
    Image expected = image;
    ft232r::updateChecksum(expected);
    const Image encoded = ft232r::encode(image, fields);
    if (!serialSound(image)) {
        // The repair of a cut write: the same fields, a sound image, and
        // nothing changed but the serial's length and its own old bytes.
        Fields again;
        check(ft232r::decode(encoded, again) == DecodeResult::Ok && again == fields,
              "repairing a cut serial changed the fields", image);
        const std::size_t from = image[0x12] & 0x7Fu, to = from + image[0x13];
        for (std::size_t i = 0; i < 0x7E; ++i) {
            check(i == 0x13 || (i >= from && i < to) || encoded[i] == image[i],
                  "repairing a cut serial touched other bytes", image);
        }
        check(encoded[0x12] == image[0x12] &&
                  std::equal(encoded.begin() + from + 2, encoded.begin() + from + encoded[0x13],
                             image.begin() + from + 2),
              "repairing a cut serial changed its units", image);
        expected = encoded;
    }
    check(encoded == expected, "decode then encode is not the identity", image);
    checkPlan(image, expected);

    // A reader shown the strings cut to the D2XX record's buffers who
    // changes nothing asks for no change: the whole stored strings come
    // back, unless a cut write left the serial unsound.
    const Fields shown = oracle::shownOf(image);
    Fields kept = shown;
    ft232r::keepUnchangedStrings(image, shown, kept);
    if (serialSound(image)) {
        check(kept == fields, "strings left as shown did not keep their stored text", image);
    }

    for (const Change change : kChanges) {
        Fields requested = fields;
        change(requested);
        checkChange(image, requested);
        checkCuts(image, fields, requested);
    }
    return 0;
}
