// Where ft232r-usb plugs its chips in, and what they do wrong: the places
// (B-P[.P...]) and the faults of its --fault.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ft232r_model.hpp"

namespace ft232r_usb {

// Where a device sits: its bus, the hub port at each tier (none: the root
// hub itself), and the address the host gave it.
struct Place {
    long bus = 1;
    std::vector<long> ports;
    unsigned address = 0;

    // As the kernel names it: "1-3.1", "usb1" for the root hub.
    std::string name() const;
    std::string syspath() const;
    std::string devnode() const;
    // Its umockdev record: what sysfs shows of a USB device (`descriptors`
    // in hex), and its node where the host may open it (a chip's).
    std::string record(unsigned speed, std::uint16_t vendor, std::uint16_t product,
                       std::uint16_t release, const std::string& descriptors, bool node) const;
};

struct Faults {
    ft232r::ChipFaults chip;  // writes=N, clone, per-word, stale-buffer, and-writes
    long unplugAfter = -1;    // control transfers; -1: never
    bool busy = false;
    bool resetGone = false;
    bool noDisconnectClaim = false;
    bool deny = false;
    long stallRequest = -1;     // bRequest; -1: none
    long signal = 0;            // 0: none
    long signalAt = 0;          // control transfer, 1-based; 0: at the port reset
    std::optional<Place> move;  // move=PLACE; no ports: unplugged only
};

// B-P[.P...]: a bus and the port at each of at most 7 hub tiers.
bool parsePlace(const std::string& text, Place& place);

// F[,F...] as the usage lists them; false (said on stderr) for one that is
// unknown or malformed.
bool parseFaults(const std::string& text, Faults& faults);

}  // namespace ft232r_usb
