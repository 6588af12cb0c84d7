// Moving whole EEPROM images over a word transport: read all user words,
// and program a planned change by writing only what differs, each pair read
// back before the next is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "d2xx_record.hpp"
#include "ft232r_eeprom.hpp"
#include "word_transport.hpp"

namespace d2xx {

// The fields as FT_EE_Read hands them out: each string cut to what its
// record buffer holds.  FT_EE_Program compares a record with exactly this
// (ft232r::planChange's `shown`).
ft232r::Fields shownFields(const ft232r::Fields& stored);

// The change FT_EE_Program makes: `asked`, a record's fields as its caller
// left them, over what the device holds.  A field left as FT_EE_Read handed
// it out (shownFields) is unchanged, and a string cut to fit its buffer
// keeps its whole stored text; only what changed is checked.
ft232r::Change planProgram(const ft232r::Decoded& device, const ft232r::Fields& asked);

// Reads the 64 words of the user area.
FT_STATUS readImage(WordTransport& transport, ft232r::Image& image);

// How a programming went, beyond its status: where it stopped.
struct Programmed {
    enum class Stop {
        None,      // every planned word written and read back as written
        Preamble,  // the transport's preamble failed: nothing was written
        Write,     // a word write failed (the device stopped answering)
        ReadBack,  // a written word could not be read back
        NotKept,   // a word read back different: the chip did not keep it
    };
    FT_STATUS status = FT_OK;
    Stop stop = Stop::None;
    unsigned word = 0;                      // where it stopped (Write, ReadBack, NotKept)
    std::uint16_t wrote = 0, readBack = 0;  // NotKept: what was written and read
    std::size_t kept = 0;                   // words written and read back as written
};

// Writes `change.words` (ft232r::planWrites' order) with the values of
// `change.target`.  Each even/odd pair is read back as soon as it is
// written: the first word the chip does not keep stops the plan there, so
// that nothing after it (the serial's header word last of all) is written
// over it, and the device still reads as it did, or as a write still to
// be finished.  The status is FT_EEPROM_WRITE_FAILED when a word was not
// written or read back as written, the transport's own when its preamble
// fails.  A word not kept is also said through the transport's explain.
Programmed programImage(WordTransport& transport, const ft232r::Change& change);

// Where and why a programming stopped, for a person ("word 0x22 written
// 0x0056, read back 0x0040: the chip did not keep it ..."), with what to do
// about it; "" when it did not stop.  Only a word read back different is
// blamed on the chip.
std::string whereItStopped(const Programmed& done);

}  // namespace d2xx
