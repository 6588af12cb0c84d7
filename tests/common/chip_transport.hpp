// A word transport over one modelled FT232R (d2xx/transport/emulated's
// ChipEeprom, the chip the emulators serve), held in memory, with what went
// on the wire: "begin", "w10" (a write of word 0x0a), "r10", "end".
#pragma once

#include <string>
#include <vector>

#include "ft232r_model.hpp"
#include "word_transport.hpp"

class ChipTransport : public d2xx::WordTransport {
  public:
    explicit ChipTransport(const ft232r::Image& image, ft232r::ChipFaults faults = {})
        : chip(image, faults) {}

    FT_STATUS readWord(unsigned address, std::uint16_t& value) override {
        wire.push_back("r" + std::to_string(address));
        value = chip.read(address);
        return FT_OK;
    }
    FT_STATUS writeWord(unsigned address, std::uint16_t value) override {
        wire.push_back("w" + std::to_string(address));
        const ft232r::WordWrite write = chip.write(address, value);
        return write == ft232r::WordWrite::Failed    ? FT_IO_ERROR
               : write == ft232r::WordWrite::Refused ? FT_INVALID_PARAMETER
                                                     : FT_OK;
    }
    FT_STATUS beginWrites() override {
        wire.push_back("begin");
        return FT_OK;
    }
    void endWrites() override { wire.push_back("end"); }

    ft232r::ChipEeprom chip;
    std::vector<std::string> wire;
};
