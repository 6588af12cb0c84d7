// Where ft232r-usb plugs its chips in, and what they do wrong: the places
// (B-P[.P...]) and the faults of its --fault.  Compiled once, in
// ft232r_usb.cpp, which alone includes it (through usb_chip.hpp).
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
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
    std::string name() const {
        std::string text = ports.empty() ? "usb" + std::to_string(bus) : std::to_string(bus);
        for (std::size_t i = 0; i < ports.size(); ++i)
            text += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
        return text;
    }
    std::string syspath() const {
        // A host controller per bus, the later ones first in sysfs (as a
        // machine may have them): the host's own order is not the bus order.
        char controller[40];
        std::snprintf(controller, sizeof controller, "/sys/devices/pci0000:00/0000:00:%02lx.0/",
                      0x15 - bus);
        if (ports.empty()) return controller + name();
        Place hub = *this;
        hub.ports.pop_back();
        return hub.syspath() + "/" + name();
    }
    std::string devnode() const {
        char text[32];
        std::snprintf(text, sizeof text, "/dev/bus/usb/%03ld/%03u", bus, address);
        return text;
    }
    // Its umockdev record: what sysfs shows of a USB device (`descriptors`
    // in hex), and its node where the host may open it (a chip's).
    std::string record(unsigned speed, std::uint16_t vendor, std::uint16_t product,
                       std::uint16_t release, const std::string& descriptors, bool node) const {
        char numbers[256];
        std::snprintf(numbers, sizeof numbers,
                      "E: BUSNUM=%03ld\nE: DEVNUM=%03u\nA: busnum=%ld\nA: devnum=%u\nA: speed=%u\n"
                      "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n",
                      bus, address, bus, address, speed, vendor, product, release);
        return "P: " + syspath().substr(4) + "\n" +
               (node ? "N: " + devnode().substr(5) + "\nE: DEVNAME=" + devnode() + "\n" : "") +
               "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: bConfigurationValue=1\n" + numbers +
               "H: descriptors=" + descriptors + "\n";
    }
};

struct Faults {
    ft232r::ChipFaults chip;     // writes=N, clone, per-word, stale-buffer, and-writes
    long unplugAfter = -1;       // control transfers; -1: never
    bool unplugAtReset = false;  // unplug=reset: gone at its port reset
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
inline bool parsePlace(const std::string& text, Place& place) {
    std::istringstream items(text);
    char separator = 0;
    place.ports.clear();
    items >> place.bus;
    for (long port = 0; items >> separator >> port;) place.ports.push_back(port);
    return std::regex_match(text, std::regex("[1-9][0-9]?-[1-9][0-9]?([.][1-9][0-9]?){0,6}"));
}

// One fault of the chips' place on the bus, as the usage lists them (the
// chip's own are parsed by the model).
inline ft232r::FaultItem busFault(const std::string& item, Faults& faults) {
    const std::map<std::string, bool*> flags = {{"busy", &faults.busy},
                                                {"reset-gone", &faults.resetGone},
                                                {"deny", &faults.deny},
                                                {"no-disconnect-claim", &faults.noDisconnectClaim}};
    const std::size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    const std::size_t at = value.find('@');  // signal=S@N or S@reset
    bool ok = true;
    if (flags.count(item) != 0) {
        *flags.at(item) = true;
    } else if (name == "stall") {
        ok =
            ft232r::parseFaultNumber(value, 16, faults.stallRequest) && faults.stallRequest <= 0xFF;
    } else if (name == "move") {
        Place place;
        ok = value == "none" || parsePlace(value, place);
        faults.move = place;
    } else if (name == "unplug") {
        faults.unplugAtReset = value == "reset";
        ok = faults.unplugAtReset || ft232r::parseFaultNumber(value, 10, faults.unplugAfter);
    } else if (name == "signal") {
        // At the Nth control transfer, or at the port reset (signalAt 0).
        ok = at != std::string::npos &&
             ft232r::parseFaultNumber(value.substr(0, at), 10, faults.signal) &&
             faults.signal > 0 && faults.signal < NSIG &&
             (value.substr(at + 1) == "reset" ||
              (ft232r::parseFaultNumber(value.substr(at + 1), 10, faults.signalAt) &&
               faults.signalAt > 0));
    } else {
        return ft232r::FaultItem::Unknown;
    }
    return ok ? ft232r::FaultItem::Taken : ft232r::FaultItem::Malformed;
}

// F[,F...] as the usage lists them; false (said on stderr) for one that is
// unknown or malformed.
inline bool parseFaults(const std::string& text, Faults& faults) {
    std::string refused;
    const ft232r::FaultItem taken = ft232r::parseFaults(
        text, faults.chip, [&](const std::string& item) { return busFault(item, faults); },
        refused);
    if (taken == ft232r::FaultItem::Unknown) {
        std::fprintf(stderr, "ft232r-usb: unknown fault '%s'\n", refused.c_str());
    } else if (taken == ft232r::FaultItem::Malformed) {
        std::fprintf(stderr, "ft232r-usb: bad fault '%s'\n", refused.c_str());
    }
    return taken == ft232r::FaultItem::Taken;
}

}  // namespace ft232r_usb
