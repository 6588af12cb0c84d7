// Which attached device a process means: FTD2XX_DEVICE, a variable of this
// library's own, narrows the listing to one device, named by its USB port
// path ("1-1.4") or else by its current serial number.  Every listing of the
// library and of the EEPROM tool goes through listChosen, so the choice
// holds the same everywhere, and this is the one place that reads it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "word_transport.hpp"

namespace d2xx {

constexpr const char* kDeviceVariable = "FTD2XX_DEVICE";

// What FTD2XX_DEVICE says: unset (every device), or a choice, which may be
// empty (a script's $PORT that came out empty): that chooses no device.
struct DeviceChoice {
    bool given = false;
    std::string text;
};
DeviceChoice deviceChoice();

// Whether `text` has the form of a kernel USB port path: digits, a dash,
// then one or more port numbers joined by dots ("1-1", "3-1.4.2").
bool isPortPath(const std::string& text);

// The positions in `devices` that `choice` names: every device when none is
// given; none for an empty choice; the device at that port for a port path;
// the device with that serial number otherwise.  A serial number that
// several devices share names none of them, and so does one while any
// device's serial number could not be read (it may be the one meant): which
// one would be written is then a guess.  When a given choice names none for
// such a reason, `why` (if given) says so for a person.
std::vector<std::size_t> chooseDevices(const std::vector<DeviceEntry>& devices,
                                       const DeviceChoice& choice, std::string* why = nullptr);

// Which listing of the bus: a new one, or the one it kept (DeviceBus::listed).
enum class Listing { Fresh, Kept };

// The bus's listing narrowed by FTD2XX_DEVICE.
struct ChosenDevices {
    std::vector<DeviceEntry> devices;
    // busIndex[i] is the position of devices[i] in the bus's own listing:
    // what DeviceBus::open takes.
    std::vector<std::size_t> busIndex;
    DeviceChoice choice;
    std::string why;           // see chooseDevices
    std::size_t attached = 0;  // FT232R devices the bus listed, chosen or not
};
FT_STATUS listChosen(DeviceBus& bus, ChosenDevices& chosen, Listing listing = Listing::Fresh);

// "bus 1 port 1.4 (serial A1B2C3D4)": a listed device as the library's
// lines name it, from its port path.
std::string placeAndSerial(const DeviceEntry& device);

}  // namespace d2xx
