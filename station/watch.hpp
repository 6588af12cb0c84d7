// FT232R-family devices as they are plugged in and out, by port path:
// libusb's hotplug events where the platform has them (udev on Linux),
// else a look at the bus every half second.  No device is opened or asked
// anything here: a port path comes from where the device sits.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct libusb_context;

namespace station {

struct PortEvent {
    std::string port;
    bool arrived;  // false: left
};

class Watch {
  public:
    Watch();
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // False with a reason when devices cannot be watched at all.
    bool ok(std::string& why) const;
    // The events since the last call, waiting up to `ms` for one.  The
    // devices attached when the watch began come first, as arrivals.
    std::vector<PortEvent> take(unsigned ms);

    // For libusb's callback and the polling thread.
    void push(PortEvent event);

  private:
    void poll();

    libusb_context* usb_ = nullptr;
    int hotplug_ = 0;       // the callback handle, when registered
    bool polling_ = false;  // no hotplug: polling instead
    bool stop_ = false;
    std::string why_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<PortEvent> events_;
};

}  // namespace station
