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

FT_STATUS programImage(WordTransport& transport, const ft232r::Image& current,
                       const ft232r::Image& target) {
    const std::vector<unsigned> plan = ft232r::planWrites(current, target);
    if (plan.empty()) {
        return FT_OK;
    }
    const FT_STATUS preamble = transport.beginWrites();
    if (preamble != FT_OK) {
        return preamble;
    }
    FT_STATUS status = FT_OK;
    for (const unsigned word : plan) {
        if (transport.writeWord(word, ft232r::wordAt(target, word)) != FT_OK) {
            status = FT_EEPROM_WRITE_FAILED;
            break;
        }
    }
    // Verify by reading back: clone chips acknowledge writes they do not
    // keep, and some store the old value AND the new one.
    if (status == FT_OK) {
        for (const unsigned word : plan) {
            std::uint16_t value = 0;
            if (transport.readWord(word, value) != FT_OK) {
                status = FT_EEPROM_WRITE_FAILED;
                break;
            }
            if (value != ft232r::wordAt(target, word)) {
                char finding[128];
                std::snprintf(finding, sizeof finding,
                              "word 0x%02x written 0x%04x, read back 0x%04x: the chip did not "
                              "keep it (clone chips acknowledge writes they do not store)",
                              word, ft232r::wordAt(target, word), value);
                transport.explain(finding);
                status = FT_EEPROM_WRITE_FAILED;
                break;
            }
        }
    }
    transport.endWrites();
    return status;
}

}  // namespace d2xx
