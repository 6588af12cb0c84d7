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

}  // namespace

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
                                       const std::string& choice) {
    std::vector<std::size_t> chosen;
    const bool byPort = isPortPath(choice);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (choice.empty() || (byPort ? devices[i].port : devices[i].serial) == choice) {
            chosen.push_back(i);
        }
    }
    if (!choice.empty() && !byPort && chosen.size() > 1) chosen.clear();
    return chosen;
}

FT_STATUS listChosen(DeviceBus& bus, std::vector<DeviceEntry>& devices,
                     std::vector<std::size_t>& busIndex, Listing listing) {
    busIndex.clear();
    std::vector<DeviceEntry> all;
    const FT_STATUS status = listing == Listing::Kept ? bus.listed(all) : bus.list(all);
    devices.clear();
    if (status != FT_OK) return status;
    const char* choice = std::getenv(kDeviceVariable);
    busIndex = chooseDevices(all, choice != nullptr ? choice : "");
    for (const std::size_t index : busIndex) devices.push_back(all[index]);
    return FT_OK;
}

}  // namespace d2xx
