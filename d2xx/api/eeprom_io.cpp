#include "eeprom_io.hpp"

#include <cstdio>

namespace d2xx {

ft232r::Fields shownFields(const ft232r::Fields& stored) {
    ft232r::Fields shown = stored;
    shown.manufacturer = stored.manufacturer.substr(0, kManufacturerBytes - 1);
    shown.description = stored.description.substr(0, kDescriptionBytes - 1);
    shown.serial = stored.serial.substr(0, kSerialNumberBytes - 1);
    return shown;
}

ft232r::Change planProgram(const ft232r::Decoded& device, const ft232r::Fields& asked) {
    return ft232r::planChange(device, shownFields(device.fields), asked);
}

FT_STATUS readImage(WordTransport& transport, ft232r::Image& image) {
    for (unsigned word = 0; word < ft232r::kImageWords; ++word) {
        std::uint16_t value = 0;
        const FT_STATUS status = transport.readWord(word, value);
        if (status != FT_OK) {
            return status;
        }
        ft232r::setWord(image, word, value);
    }
    return FT_OK;
}

namespace {

struct Write {
    unsigned word;
    std::uint16_t value;
};
// Words written together and then read back: a pair, as the chip stores it.
using Step = std::vector<Write>;

// Whether any write of `step` sets a bit that `holds` has clear.  A part
// that keeps old AND new only clears bits: until a verified write has set
// one, nothing says the chip can.
bool setsBits(const Step& step, const ft232r::Image& holds) {
    for (const Write& write : step) {
        if ((write.value & ~ft232r::wordAt(holds, write.word)) != 0) return true;
    }
    return false;
}

// The change's words as steps: a pair ends with its odd word (an FT232R
// stores a pair when its odd word is written, the even one waiting in a
// buffer), or with the plan's last word.
std::vector<Step> stepsOf(const ft232r::Change& change) {
    std::vector<Step> steps(1);
    for (const unsigned word : change.words) {
        steps.back().push_back({word, ft232r::wordAt(change.target, word)});
        if (word % 2 == 1) steps.emplace_back();
    }
    if (steps.back().empty()) steps.pop_back();
    return steps;
}

bool holdsWord(const Step& step, unsigned word) {
    for (const Write& write : step) {
        if (write.word == word) return true;
    }
    return false;
}

// Writes `step`, then reads it back.  The stop, if any, with `result` saying
// where; `holds` follows what the chip holds.
Programmed::Stop writeStep(WordTransport& transport, const Step& step, ft232r::Image& holds,
                           Programmed& result) {
    for (const Write& write : step) {
        result.word = write.word;
        if (transport.writeWord(write.word, write.value) != FT_OK) return Programmed::Stop::Write;
    }
    for (const Write& write : step) {
        std::uint16_t value = 0;
        result.word = write.word;
        if (transport.readWord(write.word, value) != FT_OK) return Programmed::Stop::ReadBack;
        if (value != write.value) {
            result.wrote = write.value;
            result.readBack = value;
            char finding[128];
            std::snprintf(finding, sizeof finding,
                          "word 0x%02x written 0x%04x, read back 0x%04x: the chip did not keep "
                          "it (clone chips acknowledge writes they do not store)",
                          write.word, write.value, value);
            transport.explain(finding);
            return Programmed::Stop::NotKept;
        }
        ft232r::setWord(holds, write.word, value);
        ++result.kept;
    }
    return Programmed::Stop::None;
}

}  // namespace

std::string whereItStopped(const Programmed& done) {
    using Stop = Programmed::Stop;
    const std::string word = "word 0x" + hexDigits(done.word, 2);
    const std::string again = "; run the same command again to finish the write";
    switch (done.stop) {
        case Stop::Preamble:
            return "it refused the requests that prepare a write (reset, modem status, latency "
                   "timer); nothing was written";
        case Stop::Write:
            return word + " was not written (the device stopped answering)" + again;
        case Stop::ReadBack:
            return word + " could not be read back (the device stopped answering)" + again;
        case Stop::NotKept:
            return word + " written 0x" + hexDigits(done.wrote, 4) + ", read back 0x" +
                   hexDigits(done.readBack, 4) +
                   ": the chip did not keep it (clone chips acknowledge writes they do not "
                   "store, some keep old AND new); nothing after it was written";
        case Stop::None:
            break;
    }
    return "";
}

Programmed programImage(WordTransport& transport, const ft232r::Change& change) {
    Programmed result;
    std::vector<Step> steps = stepsOf(change);
    if (steps.empty()) {
        return result;
    }
    result.status = transport.beginWrites();
    if (result.status != FT_OK) {
        result.stop = Programmed::Stop::Preamble;
        return result;
    }
    // The serial's header word is written after its descriptor, and a part
    // that keeps old AND new could leave a header it cannot read: before a
    // header that sets a bit, the chip must have shown that it sets bits.
    // Where no write before it did, the checksum's pair shows it (a stale
    // checksum reads normally, and the pair is written with the target's
    // value last).  Each probe is a pair more written and read back, only
    // where the plan itself proves nothing and the device reads now (a
    // broken one has nothing to keep).
    constexpr unsigned kChecksumPairWord = ft232r::kChecksumWord - 1;
    ft232r::Image holds = change.current;
    bool bitsSet = !ft232r::decodeImage(change.current).readable();
    for (std::size_t i = 0; i < steps.size() && result.stop == Programmed::Stop::None; ++i) {
        const std::uint16_t checksum = ft232r::wordAt(holds, ft232r::kChecksumWord);
        if (!bitsSet && holdsWord(steps[i], ft232r::kHeaderPairWord) && setsBits(steps[i], holds) &&
            checksum != 0xFFFF) {
            const auto probe = static_cast<std::uint16_t>(checksum | (~checksum & (checksum + 1)));
            const Step check = {{kChecksumPairWord, ft232r::wordAt(holds, kChecksumPairWord)},
                                {ft232r::kChecksumWord, probe}};
            result.stop = writeStep(transport, check, holds, result);
            if (result.stop != Programmed::Stop::None) break;
            bitsSet = true;
            bool checksumLater = false;
            for (std::size_t j = i; j < steps.size(); ++j) {
                checksumLater = checksumLater || holdsWord(steps[j], ft232r::kChecksumWord);
            }
            if (!checksumLater) {
                steps.push_back(
                    {{kChecksumPairWord, ft232r::wordAt(change.target, kChecksumPairWord)},
                     {ft232r::kChecksumWord,
                      ft232r::wordAt(change.target, ft232r::kChecksumWord)}});
            }
        }
        const bool sets = setsBits(steps[i], holds);
        result.stop = writeStep(transport, steps[i], holds, result);
        bitsSet = bitsSet || (sets && result.stop == Programmed::Stop::None);
    }
    if (result.stop != Programmed::Stop::None) {
        result.status = FT_EEPROM_WRITE_FAILED;
    }
    transport.endWrites();
    return result;
}

}  // namespace d2xx
