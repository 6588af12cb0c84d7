// Which attached device a process means: FTD2XX_DEVICE, a variable of this
// library's own, narrows the listing to one device, named by its USB port
// path ("1-1.4") or else by its current serial number.  Every listing of the
// library and of the EEPROM tool goes through listChosen, so the choice
// holds the same everywhere.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "word_transport.hpp"

namespace d2xx {

constexpr const char* kDeviceVariable = "FTD2XX_DEVICE";

// Whether `text` has the form of a kernel USB port path: digits, a dash,
// then one or more port numbers joined by dots ("1-1", "3-1.4.2").
bool isPortPath(const std::string& text);

// The positions in `devices` that `choice` names: every device when the
// choice is empty; the device at that port for a port path; the device with
// that serial number otherwise.  A serial number that several devices share
// names none of them: which one would be written is then a guess.
std::vector<std::size_t> chooseDevices(const std::vector<DeviceEntry>& devices,
                                       const std::string& choice);

// Which listing of the bus: a new one, or the one it kept (DeviceBus::listed).
enum class Listing { Fresh, Kept };

// The bus's listing narrowed by FTD2XX_DEVICE.  `busIndex[i]` is the
// position of `devices[i]` in the bus's own listing: what DeviceBus::open
// takes.
FT_STATUS listChosen(DeviceBus& bus, std::vector<DeviceEntry>& devices,
                     std::vector<std::size_t>& busIndex, Listing listing = Listing::Fresh);

}  // namespace d2xx
