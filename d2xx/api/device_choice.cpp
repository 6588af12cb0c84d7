#include "device_choice.hpp"

#include <cstdlib>

namespace d2xx {
namespace {

// One or more digits from `at`; `at` ends after them.
bool digits(const std::string& text, std::size_t& at) {
    const std::size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    return at > start;
}

std::string variableIs(const DeviceChoice& choice) {
    return std::string(kDeviceVariable) + "=" + printable(choice.text);
}

}  // namespace

DeviceChoice deviceChoice() {
    const char* text = std::getenv(kDeviceVariable);
    return text != nullptr ? DeviceChoice{true, text} : DeviceChoice{};
}

bool isPortPath(const std::string& text) {
    std::size_t at = 0;
    if (!digits(text, at) || at == text.size() || text[at++] != '-') return false;
    while (digits(text, at)) {
        if (at == text.size()) return true;
        if (text[at++] != '.') return false;
    }
    return false;
}

std::vector<std::size_t> chooseDevices(const std::vector<DeviceEntry>& devices,
                                       const DeviceChoice& choice, std::string* why) {
    std::vector<std::size_t> chosen;
    auto none = [&](const std::string& reason) {
        if (why != nullptr) *why = reason;
        return std::vector<std::size_t>{};
    };
    if (!choice.given) {
        for (std::size_t i = 0; i < devices.size(); ++i) chosen.push_back(i);
        return chosen;
    }
    if (choice.text.empty()) {
        return none(std::string(kDeviceVariable) +
                    " is set but empty: it chooses no device (unset it to use the first device, "
                    "or give a port path such as 1-1.4, or a serial number)");
    }
    const bool byPort = isPortPath(choice.text);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if ((byPort ? devices[i].port : devices[i].serial) == choice.text) chosen.push_back(i);
    }
    if (byPort) return chosen;
    for (const DeviceEntry& device : devices) {
        if (!device.stringsRead) {
            return none(variableIs(choice) + " chooses no device: the serial number of the " +
                        "FT232R at " + device.port +
                        " could not be read, and it may be the one meant; choose by port path, "
                        "e.g. " +
                        kDeviceVariable + "=" + device.port);
        }
    }
    if (chosen.size() > 1) {
        std::string ports;
        for (const std::size_t i : chosen)
            ports += (ports.empty() ? "" : " and ") + devices[i].port;
        return none(variableIs(choice) + " chooses no device: the FT232Rs at " + ports +
                    " share that serial number; choose by port path, e.g. " + kDeviceVariable +
                    "=" + devices[chosen[0]].port);
    }
    return chosen;
}

FT_STATUS listChosen(DeviceBus& bus, ChosenDevices& chosen, Listing listing) {
    chosen = ChosenDevices{};
    std::vector<DeviceEntry> all;
    const FT_STATUS status = listing == Listing::Kept ? bus.listed(all) : bus.list(all);
    if (status != FT_OK) return status;
    chosen.attached = all.size();
    chosen.choice = deviceChoice();
    chosen.busIndex = chooseDevices(all, chosen.choice, &chosen.why);
    for (const std::size_t index : chosen.busIndex) chosen.devices.push_back(all[index]);
    return FT_OK;
}

std::string placeAndSerial(const DeviceEntry& device) {
    const std::size_t dash = device.port.find('-');
    const std::string place =
        dash == std::string::npos
            ? "port " + device.port
            : "bus " + device.port.substr(0, dash) + " port " + device.port.substr(dash + 1);
    return place +
           (device.serial.empty() ? " (no serial)" : " (serial " + printable(device.serial) + ")");
}

}  // namespace d2xx
