// One FT232R at the Linux kernel's USB interface, as ft232r-usb emulates it:
// the usbfs ioctls that libusb sends to the chip's node, the control
// transfers among them, and the descriptors the chip serves from its EEPROM.
#pragma once

#include <sys/types.h>
#include <umockdev.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ft232r_model.hpp"
#include "usb_faults.hpp"

namespace ft232r_usb {

// One line per event, whole and flushed at once: the handlers write from
// umockdev's thread, the summary from the main one.
struct Log {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{nullptr, std::fclose};
    std::mutex mutex;
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// What every chip of a run shares.
struct Shared {
    Faults faults;
    Log log;
    // The command's process, once started: the first chip's signal= sends it its signal.
    std::atomic<pid_t> command{0};
};

// What the host reads in the descriptors that tells an FT232R from other
// devices: bcdDevice, and the class of the one interface.
struct Kind {
    std::uint16_t release = 0x0600;      // the FT232R family: release 6.00
    std::uint8_t interfaceClass = 0xFF;  // FTDI chips: vendor specific
};

// One FT232R.  Its handler runs on umockdev's worker thread; the main thread
// reads it only after the command has ended.
class Chip {
  public:
    // `bytes`: the image file at `path`, whose size (128 or 256) each kept
    // word write saves it at.
    Chip(std::string path, std::vector<std::uint8_t> bytes, Place place, Kind kind, Shared& shared);

    UMockdevTestbed* testbed = nullptr;  // where the host's view of the chip lives
    bool first = false;                  // the chip that signal=, deny and move= concern
    // move=: where the chip is plugged in once the host has read its serial
    // string (a listing's last request); no ports: nowhere.
    std::optional<Place> moveTo;

    std::string name() const { return place_.name(); }
    std::string syspath() const { return place_.syspath(); }
    std::string devnode() const { return place_.devnode(); }

    // The umockdev record of the chip as the host enumerated it (full speed).
    std::string record() const;
    // What the host sees at the end of the run.
    std::string summary() const;

    // One ioctl on the chip's usbfs node, answered.
    void handle(UMockdevIoctlClient* client);
    // A new open of the node.
    void connected(UMockdevIoctlClient* client);

  private:
    // Each ioctl: 0, or the errno it fails with.
    int answer(UMockdevIoctlClient* client);
    int capabilities(UMockdevIoctlData* arg, bool gone);
    int submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone);
    int reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone);
    int claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool disconnect, bool gone);
    int release(UMockdevIoctlClient* client, bool gone);
    int getDriver(UMockdevIoctlData* arg, bool gone);
    int driverControl(UMockdevIoctlData* arg, bool gone);
    int reset(UMockdevIoctlClient* client, bool gone);

    void interrupt();
    int control(const std::uint8_t* setup, std::uint8_t* data, std::size_t room);
    void move();
    bool writeWord(unsigned address, std::uint16_t value);

    bool blank() const;
    std::vector<std::uint8_t> deviceDescriptor() const;
    std::vector<std::uint8_t> configDescriptor() const;
    std::vector<std::uint8_t> descriptors() const;
    bool stringDescriptor(unsigned index, std::vector<std::uint8_t>& out) const;
    std::string text(unsigned index) const;

    std::string path_;
    Kind kind_;
    std::size_t fileSize_;
    Place place_;
    const Faults& faults_;
    Log& log_;
    const std::atomic<pid_t>& command_;
    ft232r::ChipEeprom eeprom_;         // what the cells hold
    std::vector<std::uint8_t> loaded_;  // as loaded at the last reset: the descriptors
    std::uint8_t latency_ = 16;         // the FT232R's power-on latency timer, ms
    long transfers_ = 0;
    bool unplugged_ = false;
    bool driverBound_ = true;               // the kernel's serial driver has the interface
    UMockdevIoctlClient* owner_ = nullptr;  // the open that claimed the interface
    std::set<UMockdevIoctlClient*> dead_;   // opens of a device enumerated again
    std::map<UMockdevIoctlClient*, std::deque<UMockdevIoctlData*>> completed_;
};

// A handler that passes the ioctls on the node it is attached to to `chip`.
// The caller owns it (g_object_unref), and attaches it before the device is
// added (the other order races).
UMockdevIoctlBase* newHandler(Chip& chip);

}  // namespace ft232r_usb
