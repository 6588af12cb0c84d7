// Moving whole EEPROM images over a word transport: read all user words,
// and program a target image by writing only what differs, then verifying.
#pragma once

#include "d2xx_record.hpp"
#include "ft232r_eeprom.hpp"
#include "word_transport.hpp"

namespace d2xx {

// The fields as FT_EE_Read hands them out: each string cut to what its
// record buffer holds.  FT_EE_Program compares a record with exactly this
// (ft232r::planChange's `shown`).
ft232r::Fields shownFields(const ft232r::Fields& stored);

// Reads the 64 words of the user area.
FT_STATUS readImage(WordTransport& transport, ft232r::Image& image);

// Writes the words that turn `current` into `target` (in the order of
// ft232r::planWrites), then reads every
// written word back.  FT_EEPROM_WRITE_FAILED when a write fails or a word
// reads back different; the transport's own status when its preamble fails.
FT_STATUS programImage(WordTransport& transport, const ft232r::Image& current,
                       const ft232r::Image& target);

}  // namespace d2xx
