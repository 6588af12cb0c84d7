// The narrow seam under the D2XX stand-ins: a device bus that lists FT232R
// chips and opens one, and a word transport that moves single EEPROM words.
// Everything above (the D2XX operations, the EEPROM codec, the write plan
// and its verification) is shared by every backend: the emulated image
// file and the USB bus through libftdi1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "d2xx.h"
#include "text.hpp"

namespace d2xx {

// One opened device.  Addresses are word addresses: 0x00..0x3F the user
// area, 0x40..0x7F the factory area (read only).
class WordTransport {
  public:
    virtual ~WordTransport() = default;
    virtual FT_STATUS readWord(unsigned address, std::uint16_t& value) = 0;
    virtual FT_STATUS writeWord(unsigned address, std::uint16_t value) = 0;
    // Around a run of writes: a backend may need a preamble (USB) or
    // nothing (emulated).  endWrites is called on every path after a
    // successful beginWrites.
    virtual FT_STATUS beginWrites() { return FT_OK; }
    virtual void endWrites() {}
    // After a successful, verified programming: make the host see the new
    // descriptors (a USB port reset), where the backend can.
    virtual void programmed() {}
    // What was found out about the device beyond a status (a write the chip
    // did not keep, a blank EEPROM), said where the backend says such things
    // (the USB bus: one line on standard error naming the device); by
    // default nowhere.
    virtual void explain(const std::string& /*finding*/) {}
    // Called once by FT_W32_CloseHandle, whose status it gives, just before
    // the transport is destroyed.  The destructor gives the device back on
    // every path; a backend whose device can refuse to be let go says so
    // here.  The USB bus does not: libftdi1 closes the device whatever the
    // interface release answers, and the one refusal it sees is the old
    // handle of a device that its own port reset enumerated again.
    virtual FT_STATUS close() { return FT_OK; }
    // The chip's 32-bit FTDIChip-ID, which it keeps in its factory area
    // (words 0x43 and 0x44, scrambled), as libftdi1's ftdi_read_chipid
    // reads it; FT_NOT_SUPPORTED where the backend cannot say.
    virtual FT_STATUS chipId(std::uint32_t& /*id*/) { return FT_NOT_SUPPORTED; }
};

struct DeviceEntry {
    std::string description;  // USB product string
    std::string serial;
    // Where the device sits, as the Linux kernel names a USB port: the bus
    // number, a dash, and the port at each hub tier joined by dots ("1-1.4").
    // Empty where a backend has no such place.
    std::string port;
    // False when the device could not be asked for its strings (no
    // permission, in use, gone): its serial number is then unknown, not
    // absent.
    bool stringsRead = true;
};

class DeviceBus {
  public:
    virtual ~DeviceBus() = default;
    // The attached FT232R devices, in a stable list order.
    virtual FT_STATUS list(std::vector<DeviceEntry>& devices) = 0;
    // Opens the device at `index` of the latest list.
    virtual FT_STATUS open(std::size_t index, std::unique_ptr<WordTransport>& device) = 0;
    // Opens the device at `port` (DeviceEntry::port), found by a fresh look
    // at the bus: for callers that list and open from several threads,
    // where "the latest list" is another thread's.  By default a fresh
    // listing and an open by its index.
    virtual FT_STATUS openPort(const std::string& port, std::unique_ptr<WordTransport>& device) {
        std::vector<DeviceEntry> devices;
        const FT_STATUS status = list(devices);
        for (std::size_t i = 0; status == FT_OK && i < devices.size(); ++i) {
            if (devices[i].port == port) return open(i, device);
        }
        if (status != FT_OK) return status;
        return FT_DEVICE_NOT_FOUND;
    }
    // The list an open by name chooses from, for open's index.  By default a
    // fresh listing.  A bus whose listing asks the devices for their strings
    // (USB) gives its latest listing again, so that the device opened is the
    // one listed and each device is asked once per run.
    virtual FT_STATUS listed(std::vector<DeviceEntry>& devices) { return list(devices); }
    // The port paths of the FT232R devices attached, in list order, asking
    // them nothing (a USB bus knows where its devices sit).  By default
    // those of a listing.
    virtual FT_STATUS ports(std::vector<std::string>& ports) {
        std::vector<DeviceEntry> devices;
        const FT_STATUS status = list(devices);
        ports.clear();
        for (const DeviceEntry& device : devices) ports.push_back(device.port);
        return status;
    }
    // A fresh listing of the one device at `port`: its strings as it gives
    // them now.  FT_DEVICE_NOT_FOUND when nothing is there.
    virtual FT_STATUS describe(const std::string& port, DeviceEntry& entry) {
        std::vector<DeviceEntry> devices;
        const FT_STATUS status = list(devices);
        for (const DeviceEntry& device : devices) {
            if (status == FT_OK && device.port == port) {
                entry = device;
                return FT_OK;
            }
        }
        if (status != FT_OK) return status;
        return FT_DEVICE_NOT_FOUND;
    }
    // What was found out about the listing beyond a status (which device a
    // choice took, or why it took none), said where the backend says such
    // things, as WordTransport::explain.
    virtual void explain(const std::string& /*finding*/) {}
};

// The bus of the backend this library was built with.  Lives as long as the
// loaded library.
DeviceBus& deviceBus();

}  // namespace d2xx
