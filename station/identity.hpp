// Which chip the station holds: never its port (any chip may sit there) nor
// its serial number (the station changes it, and chips of one batch share
// one), but its factory area, words 0x40..0x7F, which no write reaches: the
// FTDIChip-ID it carries (as libftdi1's ftdi_read_chipid unscrambles it
// from words 0x43 and 0x44) and the factory bytes themselves.  Genuine
// chips differ in both; clones may share them or have none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace station {

struct Identity {
    // "1a2b3c4d-0123456789abcdef": the chip ID, then a 64-bit FNV-1a hash
    // of the 128 factory bytes.  Empty when the chip has no identity.
    std::string key;
    std::string why;  // when `key` is empty: why, for a person
};

// The identity of a chip whose chip ID was read (`chipIdRead`) as `chipId`
// and whose factory area is `factory` (128 bytes).  A factory area that is
// erased (every byte 0xFF) or empty (every byte 0x00), or of another size,
// or a chip ID that could not be read, is no identity.
Identity identify(bool chipIdRead, std::uint32_t chipId, const std::vector<std::uint8_t>& factory);

}  // namespace station
