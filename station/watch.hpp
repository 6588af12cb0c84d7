// FT232R-family devices as they are plugged in and out, by port path:
// libusb's hotplug events where the platform has them (udev on Linux), and
// a look at the bus every second besides, which finds what an event missed
// (or all of it, where there are no events).  No device is opened or asked
// anything here: a port path comes from where the device sits.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct libusb_context;

namespace station {

struct PortEvent {
    std::string port;
    bool arrived;  // false: left
    // The address the host gave the device: a new one each time a device
    // is plugged in, so that one plugged in at a port another has just
    // left is seen as new.  0 where unknown (a device that left).
    unsigned address = 0;
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

    // For libusb's callback and the look at the bus: an event, unless it
    // says what is known already.
    void push(PortEvent event);

  private:
    void look();

    libusb_context* usb_ = nullptr;
    int hotplug_ = 0;  // the callback handle, when registered
    bool stop_ = false;
    std::map<std::string, unsigned> attached_;  // port -> address, as last told
    std::string why_;
    std::thread eventsThread_, lookThread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<PortEvent> events_;
};

}  // namespace station
