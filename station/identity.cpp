#include "identity.hpp"

#include <algorithm>

#include "ft232r_eeprom.hpp"
#include "text.hpp"

namespace station {

Identity identify(bool chipIdRead, std::uint32_t chipId, const std::vector<std::uint8_t>& factory) {
    if (factory.size() != ft232r::kFactoryBytes) {
        return {"", "its factory area could not be read"};
    }
    for (const std::uint8_t fill : {std::uint8_t{0xFF}, std::uint8_t{0x00}}) {
        if (std::all_of(factory.begin(), factory.end(),
                        [&](std::uint8_t b) { return b == fill; })) {
            return {"", "its factory area is " + std::string(fill ? "erased" : "empty") +
                            " (every byte 0x" + hexDigits(fill, 2) +
                            "): a chip without an identity (a clone?)"};
        }
    }
    if (!chipIdRead) return {"", "its chip ID could not be read"};
    // FNV-1a, 64 bits: offset basis and prime as published.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const std::uint8_t b : factory) hash = (hash ^ b) * 0x100000001b3ULL;
    return {hexDigits(chipId, 8) + "-" + hexDigits(hash, 16), ""};
}

}  // namespace station
