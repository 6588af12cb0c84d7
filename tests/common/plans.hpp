// Short forms of the codec's planning for tests and fuzzers, over an image
// decoded on the spot, with the stored fields as what a reader was shown
// (where the device's own reader would show them cut, FT_EE_Program's
// planning is d2xx::planProgram).
#pragma once

#include "ft232r_eeprom.hpp"

namespace ft232r {

// Whether `fields` can be stored over `current`.
inline Invalid validate(const Image& current, const Fields& fields) {
    const Decoded d = decodeImage(current);
    return planChange(d, d.readable() ? d.fields : fields, fields).status;
}

// The image after storing `fields` over `current`, or `current` when that
// is refused.
inline Image encode(const Image& current, const Fields& fields) {
    const Decoded d = decodeImage(current);
    return planChange(d, d.readable() ? d.fields : fields, fields).target;
}

// `requested` with each string it leaves as `shown` given back its whole
// stored text, as planChange takes it.
inline void keepUnchangedStrings(const Image& current, const Fields& shown, Fields& requested) {
    const Decoded d = decodeImage(current);
    if (d.readable()) requested = planChange(d, shown, requested).fields;
}

}  // namespace ft232r
