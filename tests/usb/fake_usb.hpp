// A link-time fake of the libftdi1 and libusb calls that the USB bus makes:
// fake_usb.cpp defines those C functions over an in-memory bus of FT232R
// chips, so a test links the real bus and D2XX layer against it instead of
// the libraries, and reads back every request that reached a device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_usb {

// An FT232R (FTDI's IDs, release 6.00, one vendor-specific interface).
struct Device {
    std::uint8_t bus = 1;
    std::vector<std::uint8_t> ports = {1};
    std::string product = "FT232R USB UART";
    std::string serial;  // empty: the device has no serial string
};

struct Bus {
    bool noUsb = false;           // libusb_init fails, as on a machine without USB
    std::vector<Device> devices;  // in the order libusb lists them
    // One line per call that reaches libusb or a device, in order:
    //   ftdi_init, ftdi_deinit, list devices, free list
    //   open W, string W #I, close W          (libusb, reading string descriptors)
    //   claim W #I MODE, ftdi close W         (MODE: detach+reattach, keep-driver)
    //   baud rate N, sio reset
    //   unreached CALL                        (a call no case should make)
    // where W is the device's place, bus-port.port (1-3.1).
    std::vector<std::string> calls;
    // Resources handed out and not yet given back.
    int contexts = 0;
    int lists = 0;
    int handles = 0;
    int configs = 0;
};

// The one fake bus the fake functions work on (`bus() = {}` empties it).
Bus& bus();

}  // namespace fake_usb
