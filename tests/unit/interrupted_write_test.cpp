// A write cut at any word, on any layout, is put right by the same request
// run again.  Images are generated over layout families that devices carry;
// each change is planned as FT_EE_Program plans it (the record shows the
// strings cut to its buffers, the request goes over that, planChange), its
// writes are cut after every word, and the same request is planned again
// from the cut state, and once more after a second cut during that rerun.
// Checked at every cut:
//   - every state passed through decodes (the reader never refuses it);
//   - the rerun leaves exactly the asked-for serial bytes and CBUS codes;
//   - the rerun gives the uninterrupted result byte for byte, except where
//     the plan had no safe place (Placement::Shift), which is counted;
//   - a second cut during the rerun, and a third run, give the same result.

#include <cstdio>
#include <functional>
#include <optional>

#include "chip_transport.hpp"
#include "eeprom_io.hpp"
#include "images.hpp"

namespace ft232r {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes descriptor(const std::vector<std::uint16_t>& units) {
    Bytes out = {static_cast<std::uint8_t>(2 + 2 * units.size()), 0x03};
    for (const std::uint16_t u : units) {
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return out;
}

Bytes descriptor(const std::string& text) {
    return descriptor(std::vector<std::uint16_t>(text.begin(), text.end()));
}

// One piece of a string area: a descriptor for slot 0..2 (manufacturer,
// product, serial), or bytes that are no string's (slot -1).
struct Piece {
    int slot;
    Bytes bytes;
};

// An image whose string area holds `pieces` back to back from `start`,
// `fill` up to the checksum.  `variant` sets CBUS nibbles across 0x0-0xF
// and, when odd, the bits no field owns.
Image build(const std::vector<Piece>& pieces, std::size_t start, std::uint8_t fill,
            unsigned variant) {
    Image image = makeImage(Fields{});
    std::fill(image.begin() + kStringAreaStart, image.begin() + kStringAreaEnd, fill);
    std::fill(image.begin() + kStringAreaStart, image.begin() + start, 0x00);
    std::size_t at = start;
    for (const Piece& piece : pieces) {
        if (piece.slot >= 0) {
            image[0x0E + 2 * piece.slot] = static_cast<std::uint8_t>(0x80 | at);
            image[0x0F + 2 * piece.slot] = piece.bytes[0];
        }
        std::copy(piece.bytes.begin(), piece.bytes.end(), image.begin() + at);
        at += piece.bytes.size();
    }
    image[0x14] = static_cast<std::uint8_t>((variant * 5 % 16) | (variant * 7 % 16) << 4);
    image[0x15] = static_cast<std::uint8_t>((variant * 3 % 16) | (variant * 11 % 16) << 4);
    image[0x16] = static_cast<std::uint8_t>(variant * 13 % 16);
    if (variant % 2 == 1) {
        image[0x00] |= 0xF1;  // FT245R FIFO bit, bits 4-7
        image[0x0A] |= 0xE0;
        image[0x16] |= 0xA0;
        image[0x17] = 0x5C;
    }
    updateChecksum(image);
    return image;
}

struct Family {
    std::string name;
    std::vector<Image> images;
};

std::vector<Family> families() {
    const Bytes m = descriptor("FTDI"), p = descriptor("FT232R USB UART");
    const Bytes oldText = descriptor("OLD-0042"), trailer = {0x02, 0x03, 0x01, 0x00};
    const std::vector<std::string> serials = {"", "7", "A1B2C3D4", "40Z2GUAZNLP",
                                              "VN0000000000042"};
    std::vector<Family> out;
    unsigned variant = 0;
    // One image per serial, the serial's pieces given by `make`.
    auto add = [&](const std::string& name, std::size_t start, std::uint8_t fill,
                   const std::function<std::vector<Piece>(const Bytes&)>& make) {
        Family family{name, {}};
        for (const std::string& serial : serials) {
            const std::vector<Piece> pieces = make(descriptor(serial));
            std::size_t size = start;
            for (const Piece& piece : pieces) size += piece.bytes.size();
            if (size > kStringAreaEnd) continue;  // a serial this layout has no room for
            family.images.push_back(build(pieces, start, fill, variant++));
        }
        out.push_back(family);
    };
    // A layout of fixed pieces, each serial where `sn` stands.
    const Bytes sn;
    auto layout = [&](const std::string& name, const std::vector<Piece>& pieces,
                      std::size_t start = 0x18, std::uint8_t fill = 0x00) {
        add(name, start, fill, [pieces](const Bytes& serial) {
            std::vector<Piece> out = pieces;
            for (Piece& piece : out) {
                if (piece.slot == 2) piece.bytes = serial;
            }
            return out;
        });
    };
    layout("factory", {{0, m}, {1, p}, {2, sn}});
    add("libftdi1 trailer", 0x18, 0x00, [&](const Bytes& s) {
        Bytes t = trailer;
        t[2] = static_cast<std::uint8_t>(variant % 2);  // is_not_pnp
        return std::vector<Piece>{{0, m}, {1, p}, {2, s}, {-1, t}};
    });
    // clang-format off
    layout("order product-manufacturer-serial", {{1, p}, {0, m}, {2, sn}});
    layout("order serial-manufacturer-product", {{2, sn}, {0, m}, {1, p}});
    layout("order serial-product-manufacturer", {{2, sn}, {1, p}, {0, m}});
    layout("order product-serial-manufacturer", {{1, p}, {2, sn}, {0, m}});
    layout("order manufacturer-serial-product", {{0, m}, {2, sn}, {1, p}});
    layout("gaps of zeros", {{0, m}, {-1, Bytes(4, 0)}, {1, p}, {-1, Bytes(6, 0)}, {2, sn}});
    layout("gap of old text", {{0, m}, {1, p}, {-1, oldText}, {2, sn}});
    layout("serial between old text and a trailer", {{0, m}, {-1, oldText}, {2, sn}, {-1, trailer}, {1, p}});
    layout("strings from 0x20", {{0, m}, {1, p}, {2, sn}}, 0x20);
    layout("0xFF after the strings", {{0, m}, {1, p}, {2, sn}}, 0x18, 0xFF);
    layout("empty strings", {{0, descriptor("")}, {1, descriptor("")}, {2, sn}});
    layout("manufacturer of 35 characters", {{0, descriptor("Acme Instruments International Ltd.")}, {1, descriptor("")}, {2, sn}});
    layout("strings over 40 and 46", {{0, descriptor("Acme Instruments")}, {1, descriptor("Precision Probe Interface")}, {2, sn}});
    // clang-format on
    add("area full", 0x18, 0x00, [&](const Bytes& s) {
        // The product takes whatever the serial leaves, up to 0x7E.
        const std::size_t room = kStringAreaEnd - kStringAreaStart - m.size() - s.size();
        return std::vector<Piece>{
            {0, m}, {1, descriptor(std::string((room - 2) / 2, 'P'))}, {2, s}};
    });
    add("units above 0xFF", 0x18, 0x00, [&](const Bytes& s) {
        Bytes wide = s;
        if (wide.size() > 2) wide[3] = 0x20;  // first unit 0x20xx
        return std::vector<Piece>{
            {0, descriptor(std::vector<std::uint16_t>{0x0401, 0x41, 0x20AC})}, {1, p}, {2, wide}};
    });
    add("libftdi1 trailer, 6 bytes free", 0x18, 0x00, [&](const Bytes& s) {
        // A product that leaves 6 bytes after the trailer: a longer serial
        // finds no free room for a copy and shifts the trailer.
        const std::size_t room = kStringAreaEnd - kStringAreaStart - m.size() - s.size() - 4 - 6;
        return std::vector<Piece>{
            {0, m}, {1, descriptor(std::string((room - 2) / 2, 'P'))}, {2, s}, {-1, trailer}};
    });
    out.push_back({"reported images", {reportedFactoryImage(), reportedProductFirstImage()}});
    // Serials beyond the record buffer (20 characters), in the factory and
    // the libftdi1 layout.
    const Bytes sn20 = descriptor("SN-2019-0417-A55B-X9");
    out.push_back({"serial of 20 characters",
                   {build({{0, m}, {1, p}, {2, sn20}}, 0x18, 0x00, variant++),
                    build({{0, m}, {1, p}, {2, sn20}, {-1, trailer}}, 0x18, 0x00, variant++)}});
    return out;
}

// The changes of a command line: `-s` and `-c`, alone, together, or neither.
struct Request {
    std::string kind;
    std::optional<std::string> serial;
    std::optional<std::array<std::uint8_t, 5>> cbus;
};

std::vector<Request> requests(const std::string& serial) {
    const std::array<std::uint8_t, 5> cbus = {0x0A, 0x01, 0x0D, 0x00, 0x09};
    std::string same = serial.substr(0, 15);
    for (char& c : same) c = c == 'Q' ? 'R' : 'Q';
    const std::string shorter = serial.substr(0, serial.size() / 2);
    const std::string longer =
        (serial + "L2345678").substr(0, std::min<std::size_t>(15, serial.size() + 3));
    return {
        {"serial same length", same, {}},
        {"serial shorter", shorter, {}},
        {"serial longer", longer, {}},
        {"serial empty", "", {}},
        {"serial of 15", "VN0000000000042", {}},
        {"cbus", {}, cbus},
        {"serial shorter and cbus", shorter, cbus},
        {"serial longer and cbus", longer, cbus},
        {"none", {}, {}},
    };
}

// What FT_EE_Program plans for `request` over the device `image`: the
// record as FT_EE_Read handed it out, with -s and -c over it.
Change replan(const Image& image, const Request& request) {
    const Decoded device = decodeImage(image);
    Fields wanted = d2xx::shownFields(device.fields);
    wanted.serial = request.serial.value_or(wanted.serial);
    wanted.cbus = request.cbus.value_or(wanted.cbus);
    return d2xx::planProgram(device, wanted);
}

Image applyWrites(Image image, const Image& target, const std::vector<unsigned>& words,
                  std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) setWord(image, words[i], wordAt(target, words[i]));
    return image;
}

bool readable(const Image& image) { return decodeImage(image).readable(); }

// The serial and CBUS codes the run was asked for, the serial's header and
// descriptor holding exactly the bytes it is written as.
bool holdsRequest(const Image& image, const Request& request, const std::string& storedSerial) {
    const Decoded d = decodeImage(image);
    if (!d.readable()) return false;
    if (request.cbus && d.fields.cbus != *request.cbus) return false;
    // A serial asked for as shown is left as stored (the unchanged-field rule).
    if (!request.serial || *request.serial == storedSerial.substr(0, 15)) {
        return d.fields.serial == storedSerial;
    }
    const Bytes want = descriptor(*request.serial);
    const StringPlace& s = d.strings[2];
    return s.length == want.size() &&
           std::equal(want.begin(), want.end(), image.begin() + s.offset);
}

// What the sweep counts, per layout family; all but the double cuts are printed.
enum Count { Images, Cases, Refused, Shifted, Cuts, Exact, OtherString, OtherBytes, DoubleCuts };
using Tally = std::array<int, DoubleCuts + 1>;

TEST(InterruptedWrites, AreRepairedByTheSameRequestOnEveryLayout) {
    const std::vector<Family> layouts = families();
    std::vector<Tally> tallies(layouts.size());
    for (std::size_t f = 0; f < layouts.size(); ++f) {
        const Family& family = layouts[f];
        Tally& t = tallies[f];
        for (const Image& image : family.images) {
            ++t[Images];
            const Decoded before = decodeImage(image);
            ASSERT_TRUE(before.readable()) << family.name;
            for (const Request& request : requests(before.fields.serial)) {
                SCOPED_TRACE(family.name + ", " + request.kind + " '" +
                             request.serial.value_or("") + "' over '" + before.fields.serial + "'");
                ++t[Cases];
                const Change plan = replan(image, request);
                if (plan.status != Invalid::None) {
                    ++t[Refused];
                    continue;
                }
                const Image& target = plan.target;
                ASSERT_TRUE(holdsRequest(target, request, before.fields.serial));
                // Other strings keep their header and bytes where they are.
                for (std::size_t slot = 0; slot < 2; ++slot) {
                    const StringPlace& s = before.strings[slot];
                    ASSERT_TRUE(std::equal(image.begin() + s.offset,
                                           image.begin() + s.offset + s.length,
                                           target.begin() + s.offset));
                    ASSERT_EQ(wordAt(image, 7 + slot), wordAt(target, 7 + slot));
                }
                ASSERT_TRUE(replan(target, request).words.empty()) << "a finished run writes again";
                const bool shifted = plan.serial == Placement::Shift;
                // Nothing else changes: only the serial's header and old and
                // new descriptor, the CBUS bytes and the checksum.
                const Decoded after = decodeImage(target);
                auto serialByte = [](const Decoded& d, std::size_t at) {
                    return at >= d.strings[2].offset &&
                           at < d.strings[2].offset + d.strings[2].length;
                };
                for (std::size_t at = 0; at < kImageBytes && !shifted; ++at) {
                    const bool allowed = (at >= 0x12 && at <= 0x16) || at >= 0x7E ||
                                         serialByte(before, at) || serialByte(after, at);
                    EXPECT_TRUE(allowed || image[at] == target[at]) << "byte " << at;
                }
                t[Shifted] += shifted;
                const std::vector<unsigned>& words = plan.words;
                for (std::size_t cut = 0; cut < words.size(); ++cut) {
                    SCOPED_TRACE("cut after " + std::to_string(cut) + " words");
                    ++t[Cuts];
                    const Image state = applyWrites(image, target, words, cut);
                    ASSERT_TRUE(readable(state));
                    const Change rerun = replan(state, request);
                    ASSERT_EQ(rerun.status, Invalid::None);
                    const Image& repaired = rerun.target;
                    ASSERT_TRUE(holdsRequest(repaired, request, before.fields.serial));
                    for (std::size_t w = 0; w <= rerun.words.size(); ++w) {
                        ASSERT_TRUE(readable(applyWrites(state, repaired, rerun.words, w)));
                    }
                    if (repaired == target) {
                        ++t[Exact];
                    } else {
                        EXPECT_TRUE(shifted) << "inexact with room for a safe plan";
                        const Decoded a = decodeImage(repaired), b = decodeImage(target);
                        const bool stringsKept = a.strings[0].offset == b.strings[0].offset &&
                                                 a.strings[1].offset == b.strings[1].offset &&
                                                 a.fields.manufacturer == b.fields.manufacturer &&
                                                 a.fields.description == b.fields.description;
                        ++t[stringsKept ? OtherBytes : OtherString];
                    }
                    // A second cut during the rerun, then a third run: the
                    // same result as the rerun (where a shift left nothing
                    // to go by, at least the request).
                    if (!rerun.words.empty()) {
                        ++t[DoubleCuts];
                        const std::size_t second = (cut * 7 + 1) % rerun.words.size();
                        const Image twice = applyWrites(state, repaired, rerun.words, second);
                        ASSERT_TRUE(readable(twice));
                        const Change third = replan(twice, request);
                        ASSERT_EQ(third.status, Invalid::None);
                        EXPECT_TRUE(holdsRequest(third.target, request, before.fields.serial));
                        if (!shifted) {
                            EXPECT_EQ(third.target, repaired) << "second cut " << second;
                        }
                    }
                }
            }
        }
    }
    std::printf("%-40s images cases refused shifted  cuts exact strings   bytes\n",
                "layout family");
    auto print = [](const std::string& name, const Tally& t) {
        std::printf("%-40s %6d %5d %7d %7d %5d %5d %7d %7d", name.c_str(), t[Images], t[Cases],
                    t[Refused], t[Shifted], t[Cuts], t[Exact], t[OtherString], t[OtherBytes]);
    };
    Tally sum{};
    for (std::size_t f = 0; f < layouts.size(); ++f) {
        print(layouts[f].name, tallies[f]);
        std::printf("\n");
        for (int c = Images; c <= DoubleCuts; ++c) sum[c] += tallies[f][c];
    }
    print("all", sum);
    std::printf(" (double cuts %d)\n", sum[DoubleCuts]);
    RecordProperty("cases", sum[Cases]);
    RecordProperty("cuts", sum[Cuts]);
    RecordProperty("exact", sum[Exact]);
    EXPECT_EQ(tallies.front()[Exact], tallies.front()[Cuts]);  // the factory layout
    EXPECT_EQ(sum[OtherString], 0);
    EXPECT_GE(sum[Exact] * 100, sum[Cuts] * 95);
}

// Chips that do not keep a word, on the same layouts and changes: a clone
// (keeps nothing) and a part that stores old AND new.  Each pair is read
// back as it is written, so the first word not kept stops the plan before
// the serial's header word: the device always reads afterwards, and the
// same request on a chip that keeps its words then finishes the change.
TEST(InterruptedWrites, ChipsThatDoNotKeepAWordStayReadable) {
    const struct {
        const char* name;
        ChipFaults faults;
    } chips[] = {{"clone", {-1, true, false, false, false}},
                 {"old AND new", {-1, false, false, false, true}}};
    for (const auto& kind : chips) {
        int runs = 0, stopped = 0, readableAfter = 0, finished = 0, exact = 0;
        for (const Family& family : families()) {
            for (const Image& image : family.images) {
                const std::string stored = decodeImage(image).fields.serial;
                for (const Request& request : requests(stored)) {
                    const Change plan = replan(image, request);
                    if (plan.status != Invalid::None || plan.words.empty()) continue;
                    SCOPED_TRACE(std::string(kind.name) + ", " + family.name + ", " + request.kind +
                                 " over '" + stored + "'");
                    ++runs;
                    ChipTransport faulty(image, kind.faults);
                    if (d2xx::programImage(faulty, plan).stop == d2xx::Programmed::Stop::None) {
                        EXPECT_EQ(faulty.chip.userArea(), plan.target);
                        continue;
                    }
                    ++stopped;
                    const Image left = faulty.chip.userArea();
                    EXPECT_TRUE(readable(left));
                    readableAfter += readable(left);
                    const Change again = replan(left, request);
                    EXPECT_EQ(again.status, Invalid::None);
                    ChipTransport good(left);
                    const bool done = again.status == Invalid::None &&
                                      d2xx::programImage(good, again).status == FT_OK &&
                                      holdsRequest(good.chip.userArea(), request, stored);
                    EXPECT_TRUE(done);
                    finished += done;
                    exact += good.chip.userArea() == plan.target;
                }
            }
        }
        std::printf(
            "%-12s runs %d, stopped %d, readable after %d, finished by the same request "
            "%d (%d byte for byte)\n",
            kind.name, runs, stopped, readableAfter, finished, exact);
    }
}

}  // namespace
}  // namespace ft232r
