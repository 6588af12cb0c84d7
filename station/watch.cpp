#include "watch.hpp"

#include <libusb.h>

#include <chrono>
#include <map>

namespace station {
namespace {

// bcdDevice of the FT232R family, whatever IDs its EEPROM gives it; its one
// interface is vendor specific (as the D2XX stand-ins list them).
constexpr std::uint16_t kFt232rRelease = 0x0600;
constexpr int kMaxPortDepth = 7;  // USB hub tiers below the root port
// How often the bus is looked at besides the hotplug events.
constexpr auto kLookInterval = std::chrono::milliseconds(1000);

bool isFt232r(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 ||
        descriptor.bcdDevice != kFt232rRelease) {
        return false;
    }
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) != 0 || config == nullptr) return false;
    const bool vendor =
        config->bNumInterfaces == 1 && config->interface[0].num_altsetting > 0 &&
        config->interface[0].altsetting[0].bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC;
    libusb_free_config_descriptor(config);
    return vendor;
}

// "1-1.4", as the kernel names the port; "" where it cannot be told.
std::string portOf(libusb_device* device) {
    std::uint8_t ports[kMaxPortDepth];
    const int depth = libusb_get_port_numbers(device, ports, kMaxPortDepth);
    if (depth <= 0) return "";
    std::string path = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < depth; ++i) path += (i == 0 ? "" : ".") + std::to_string(ports[i]);
    return path;
}

// No device I/O here (libusb's rule for hotplug callbacks): the event is
// queued for the station's own loop.
int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                          void* watch) {
    const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    // A device that left may no longer show its descriptors: its port is
    // enough.
    if (!arrived || isFt232r(device)) {
        const std::string port = portOf(device);
        if (!port.empty()) {
            static_cast<Watch*>(watch)->push({port, arrived, libusb_get_device_address(device)});
        }
    }
    return 0;
}

}  // namespace

Watch::Watch() {
    if (libusb_init(&usb_) != 0) {
        usb_ = nullptr;
        why_ = "libusb cannot start (no USB on this machine?)";
        return;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0 &&
        libusb_hotplug_register_callback(
            usb_,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, this, &hotplug_) == LIBUSB_SUCCESS) {
        eventsThread_ = std::thread([this] {
            while (true) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (stop_) return;
                }
                timeval tick{0, 200000};
                libusb_handle_events_timeout_completed(usb_, &tick, nullptr);
            }
        });
    }
    lookThread_ = std::thread([this] { look(); });
}

Watch::~Watch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (usb_ != nullptr && hotplug_ != 0) libusb_hotplug_deregister_callback(usb_, hotplug_);
    if (eventsThread_.joinable()) eventsThread_.join();
    if (lookThread_.joinable()) lookThread_.join();
    if (usb_ != nullptr) libusb_exit(usb_);
}

bool Watch::ok(std::string& why) const {
    why = why_;
    return usb_ != nullptr;
}

void Watch::push(PortEvent event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto known = attached_.find(event.port);
        if (known != attached_.end() && event.arrived && known->second != event.address) {
            // Replaced since the last look: the one there left first.
            events_.push_back({event.port, false, known->second});
        } else if ((known != attached_.end()) == event.arrived) {
            return;
        }
        if (event.arrived) {
            attached_[event.port] = event.address;
        } else {
            attached_.erase(event.port);
        }
        events_.push_back(std::move(event));
    }
    changed_.notify_all();
}

std::vector<PortEvent> Watch::take(unsigned ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms),
                      [this] { return !events_.empty() || stop_; });
    std::vector<PortEvent> taken(events_.begin(), events_.end());
    events_.clear();
    return taken;
}

// The FT232R ports attached, compared with what is known, now and then
// every second.
void Watch::look() {
    for (bool first = true;; first = false) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto wait = first ? std::chrono::milliseconds(0) : kLookInterval;
            if (changed_.wait_for(lock, wait, [this] { return stop_; })) return;
        }
        // A context of its own each time: where hotplug works, libusb keeps
        // a context's device list by its events, and a missed event would
        // stay missed there.
        std::map<std::string, unsigned> now;
        libusb_context* fresh = nullptr;
        if (libusb_init(&fresh) != 0) continue;
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(fresh, &list);
        for (ssize_t i = 0; i < count; ++i) {
            if (isFt232r(list[i])) now[portOf(list[i])] = libusb_get_device_address(list[i]);
        }
        if (count >= 0) libusb_free_device_list(list, 1);
        libusb_exit(fresh);
        if (count < 0) continue;
        std::map<std::string, unsigned> known;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            known = attached_;
        }
        for (const auto& [port, address] : now) push({port, true, address});
        for (const auto& [port, address] : known) {
            if (now.count(port) == 0) push({port, false, address});
        }
    }
}

}  // namespace station
