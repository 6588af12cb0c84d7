// One FT232R at the Linux kernel's USB interface, as ft232r-usb emulates it:
// the usbfs ioctls that libusb sends to the chip's node, the control
// transfers among them, and the descriptors the chip serves from its EEPROM.
// Compiled once, in ft232r_usb.cpp, which alone includes it.
#pragma once

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "usb_faults.hpp"  // with the model and the headers it needs

namespace ft232r_usb {

// Vendor requests of FTDI chips (bRequest).
constexpr std::uint8_t kSioReset = 0x00;
constexpr std::uint8_t kSioSetBaudRate = 0x03;
constexpr std::uint8_t kSioPollModemStatus = 0x05;
constexpr std::uint8_t kSioSetLatency = 0x09;
constexpr std::uint8_t kSioGetLatency = 0x0A;
constexpr std::uint8_t kReadEeprom = 0x90;
constexpr std::uint8_t kWriteEeprom = 0x91;
constexpr std::uint8_t kGetDescriptor = 0x06;  // standard request
constexpr std::uint8_t kVendorOut = 0x40;
constexpr std::uint8_t kVendorIn = 0xC0;
constexpr std::uint8_t kStandardIn = 0x80;

// The driver that owns an FT232R's interface when no program has claimed it.
constexpr const char* kSerialDriver = "ftdi_sio";

// Memory of the process under test, followed from an ioctl argument.
using Data = std::unique_ptr<UMockdevIoctlData, void (*)(gpointer)>;
inline Data resolve(UMockdevIoctlData* pointer, std::size_t offset, std::size_t size) {
    return Data(umockdev_ioctl_data_resolve(pointer, offset, size, nullptr), g_object_unref);
}

// An errno as the log says it.
inline const char* said(int error) {
    return error == 0         ? "ok"
           : error == EBUSY   ? "busy"
           : error == ENODEV  ? "gone"
           : error == ENODATA ? "no driver"
           : error == EINVAL  ? "no such interface"
                              : "enotty";
}

inline std::uint16_t word(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}
inline std::uint8_t lo(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }
inline std::uint8_t hi(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }

inline std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

// One line per event, whole and flushed at once: the handlers write from
// umockdev's thread, the summary from the main one.
struct Log {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{nullptr, std::fclose};
    std::mutex mutex;
    void line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (!file) return;
        std::lock_guard<std::mutex> lock(mutex);
        va_list args;
        va_start(args, format);
        std::vfprintf(file.get(), format, args);
        va_end(args);
        std::fputc('\n', file.get());
        std::fflush(file.get());
    }
};

// What every chip of a run shares.
struct Shared {
    Faults faults;  // every chip's, before --fault-at
    // Each control transfer takes this long, as on a real bus (full speed:
    // about 1 ms), every chip answering on a thread of its own; 0: at once,
    // on umockdev's thread.
    unsigned busMs = 0;
    Log log;
    // The command's process, once started: the first chip's signal= sends it its signal.
    std::atomic<pid_t> command{0};
    // The testbed is changed by the chips (a reset, a move) and by the
    // control channel (plug, unplug) on their threads: one at a time.
    std::mutex testbed;
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
    // `faults`: this chip's.
    Chip(std::string path, std::vector<std::uint8_t> bytes, Place place, Kind kind, Shared& shared,
         const Faults& faults)
        : path_(std::move(path)),
          kind_(kind),
          fileSize_(bytes.size()),
          place_(std::move(place)),
          faults_(faults),
          log_(shared.log),
          command_(shared.command),
          testbedMutex_(shared.testbed),
          busMs_(shared.busMs),
          eeprom_(bytes, faults.chip),
          loaded_(eeprom_.cells().begin(), eeprom_.cells().end()) {
        if (busMs_ > 0) worker_ = std::thread([this] { work(); });
    }
    ~Chip() {
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            stopping_ = true;
        }
        queued_.notify_all();
        if (worker_.joinable()) worker_.join();
    }
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    UMockdevTestbed* testbed = nullptr;  // where the host's view of the chip lives
    bool first = false;                  // the chip that signal=, deny and move= concern
    // move=: where the chip is plugged in once the host has read its serial
    // string (a listing's last request); no ports: nowhere.
    std::optional<Place> moveTo;

    std::string name() const { return place_.name(); }
    std::string syspath() const { return place_.syspath(); }
    std::string devnode() const { return place_.devnode(); }

    // The umockdev record of the chip as the host enumerated it (full speed).
    std::string record() const {
        return place_.record(12, word(loaded_, 2), word(loaded_, 4), kind_.release,
                             hex(descriptors()), true);
    }
    // What the host sees at the end of the run.
    std::string summary() const {
        return name() + " end driver=" + (driverBound_ ? kSerialDriver : "none") +
               " latency=" + std::to_string(latency_) + " product=\"" + text(2) + "\" serial=\"" +
               text(3) + "\"";
    }

    // Unplugged (the control channel's unplug): every open of it is gone,
    // every request fails with ENODEV, the host no longer lists it.
    void unplug() {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (unplugged_) return;
        removeFromTestbed();
        unplugged_ = true;
    }
    bool plugged() {
        std::lock_guard<std::mutex> lock(stateMutex_);
        return !unplugged_;
    }

    // A handler that passes the ioctls on the node it is attached to to this
    // chip.  The caller owns it (g_object_unref), and attaches it before the
    // device is added (the other order races).
    UMockdevIoctlBase* newHandler() {
        UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
        g_signal_connect(handler, "client-connected", G_CALLBACK(onConnected), this);
        return handler;
    }

  private:
    // GLib calls these through its generic signal types: the chip comes as a
    // gpointer.  Every ioctl answered here answers 0, or -1 with its errno.
    // With a bus time, the ioctl waits for the chip's own thread (umockdev
    // lets a handler complete later), so that chips answer side by side.
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer chip) {
        Chip& self = *static_cast<Chip*>(chip);
        if (self.busMs_ == 0) {
            self.complete(client);
            return TRUE;
        }
        g_object_ref(client);
        {
            std::lock_guard<std::mutex> lock(self.queueMutex_);
            self.queue_.push_back(client);
        }
        self.queued_.notify_one();
        return TRUE;
    }
    void complete(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const int error = answer(client);
        umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
    }
    void work() {
        while (true) {
            std::unique_lock<std::mutex> lock(queueMutex_);
            queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            UMockdevIoctlClient* client = queue_.front();
            queue_.pop_front();
            lock.unlock();
            complete(client);
            g_object_unref(client);
        }
    }
    // A new open of the node: nothing of an earlier one carries over.
    static void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer chip) {
        Chip& self = *static_cast<Chip*>(chip);
        std::lock_guard<std::mutex> lock(self.stateMutex_);
        self.dead_.erase(client);
        for (UMockdevIoctlData* urb : self.completed_[client]) g_object_unref(urb);
        self.completed_[client].clear();
    }

    // Each ioctl: 0, or the errno it fails with.
    int answer(UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const bool gone = unplugged_ || dead_.count(client) != 0;
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES:
                return capabilities(arg, gone);
            case USBDEVFS_SUBMITURB:
                return submit(client, arg, gone);
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY:
                return reap(client, arg, gone);
            case USBDEVFS_DISCARDURB:
                return EINVAL;  // every transfer has completed at once
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_DISCONNECT_CLAIM:
                return claim(client, arg, request == USBDEVFS_DISCONNECT_CLAIM, gone);
            case USBDEVFS_RELEASEINTERFACE:
                return release(client, gone);
            case USBDEVFS_GETDRIVER:
                return getDriver(arg, gone);
            case USBDEVFS_IOCTL:
                return driverControl(arg, gone);
            case USBDEVFS_RESET:
                return reset(client, gone);
            default:
                log_.line("%s ioctl %#lx -> enotty", name().c_str(), request);
                return ENOTTY;
        }
    }

    int capabilities(UMockdevIoctlData* arg, bool gone) {
        if (gone) return ENODEV;
        const std::uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        const Data out = resolve(arg, 0, sizeof caps);
        if (!out) return EFAULT;
        std::memcpy(out->data, &caps, sizeof caps);
        return 0;
    }

    int submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone) {
        if (gone) return ENODEV;
        Data urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!urbData) return EFAULT;
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->endpoint != 0 ||
            urb->buffer_length < 8) {
            // Only the control pipe is used here; the serial data endpoints
            // stall rather than pretend to carry data.
            urb->status = -EPIPE;
            urb->actual_length = 0;
        } else {
            const Data buffer = resolve(urbData.get(), offsetof(usbdevfs_urb, buffer),
                                        static_cast<gsize>(urb->buffer_length));
            if (!buffer) return EFAULT;
            if (faults_.unplugAfter >= 0 && transfers_ >= faults_.unplugAfter) {
                unplugged_ = true;
                log_.line("%s unplugged", name().c_str());
                return ENODEV;
            }
            ++transfers_;
            if (faults_.signalAt > 0 && transfers_ == faults_.signalAt) interrupt();
            if (busMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(busMs_));
            const int result = control(buffer->data, buffer->data + 8,
                                       static_cast<std::size_t>(urb->buffer_length) - 8);
            urb->status = result < 0 ? -EPIPE : 0;
            urb->actual_length = result < 0 ? 0 : result;
        }
        completed_[client].push_back(urbData.release());
        return 0;
    }

    // Completed transfers are handed back even after the chip went.
    int reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone) {
        auto& queue = completed_[client];
        if (queue.empty()) return gone ? ENODEV : EAGAIN;
        const Data slot = resolve(arg, 0, sizeof(void*));
        if (!slot) return EFAULT;
        const Data urb(queue.front(), g_object_unref);
        queue.pop_front();
        umockdev_ioctl_data_set_ptr(slot.get(), 0, urb.get());
        return 0;
    }

    int release(UMockdevIoctlClient* client, bool gone) {
        log_.line("%s release -> %s", name().c_str(), gone ? "gone" : "ok");
        if (gone) return ENODEV;
        if (owner_ != client) return EINVAL;
        owner_ = nullptr;
        return 0;
    }

    int getDriver(UMockdevIoctlData* arg, bool gone) {
        if (gone) return ENODEV;
        const Data out = resolve(arg, 0, sizeof(usbdevfs_getdriver));
        if (!out) return EFAULT;
        auto* getdriver = reinterpret_cast<usbdevfs_getdriver*>(out->data);
        const char* driver = owner_ != nullptr ? "usbfs" : driverBound_ ? kSerialDriver : "";
        log_.line("%s getdriver -> %s", name().c_str(), *driver ? driver : "none");
        if (*driver == '\0') return ENODATA;
        std::snprintf(getdriver->driver, sizeof getdriver->driver, "%s", driver);
        return 0;
    }

    // The signal of the fault, sent by the first chip to the command while
    // it waits for this chip's answer.
    void interrupt() {
        if (faults_.signal == 0 || !first) return;
        for (int wait = 0; command_.load() == 0 && wait < 1000; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const pid_t command = command_.load();
        if (command <= 0) return;  // never kill(0): that is the whole process group
        log_.line("%s signal %ld", name().c_str(), faults_.signal);
        kill(command, static_cast<int>(faults_.signal));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    // One control transfer: the bytes of its data stage (IN), or -1 for a stall.
    int control(const std::uint8_t* setup, std::uint8_t* data, std::size_t room) {
        const std::uint8_t type = setup[0];
        const std::uint8_t request = setup[1];
        const std::uint16_t value = static_cast<std::uint16_t>(setup[2] | (setup[3] << 8));
        const std::uint16_t index = static_cast<std::uint16_t>(setup[4] | (setup[5] << 8));
        const std::uint16_t length = static_cast<std::uint16_t>(setup[6] | (setup[7] << 8));
        std::vector<std::uint8_t> answer;
        bool ok = true;
        if (request == faults_.stallRequest) {
            ok = false;
        } else if (type == kStandardIn && request == kGetDescriptor) {
            // wValue: descriptor type (1 device, 2 configuration, 3 string), index.
            const unsigned kind = value >> 8;
            if (kind == 1 || kind == 2) {
                answer = kind == 1 ? deviceDescriptor() : configDescriptor();
            } else {
                ok = kind == 3 && stringDescriptor(value & 0xFF, answer);
            }
        } else if (type == kVendorIn && request == kReadEeprom && index < ft232r::kEepromWords) {
            answer = {lo(eeprom_.read(index)), hi(eeprom_.read(index))};
        } else if (type == kVendorOut && request == kWriteEeprom) {
            ok = writeWord(index, value);
        } else if (type == kVendorOut && (request == kSioReset || request == kSioSetBaudRate ||
                                          request == kSioSetLatency)) {
            if (request == kSioSetLatency) latency_ = static_cast<std::uint8_t>(value);
        } else if (type == kVendorIn && request == kSioPollModemStatus) {
            answer = {0x01, 0x60};  // CTS and DSR set; transmitter empty
        } else if (type == kVendorIn && request == kSioGetLatency) {
            answer = {latency_};
        } else {
            ok = false;  // anything else: the chip stalls the request
        }
        const std::size_t size = std::min<std::size_t>({answer.size(), length, room});
        std::copy_n(answer.begin(), size, data);
        char result[16];
        std::snprintf(result, sizeof result, ok ? "ok %zu" : "stall", size);
        log_.line("%s ctrl %02x %02x %04x %04x %u -> %s", name().c_str(), type, request, value,
                  index, length, result);
        if (moveTo && type == kStandardIn && request == kGetDescriptor && value == 0x0303) move();
        return ok ? static_cast<int>(size) : -1;
    }

    // Unplugged, then plugged in at moveTo (once): every open of the old
    // place is gone, the host finds the chip only by enumerating again.
    void move() {
        removeFromTestbed();
        for (const auto& open : completed_) dead_.insert(open.first);
        const Place to = *moveTo;
        moveTo.reset();
        if (to.ports.empty()) return;
        place_ = to;
        GError* error = nullptr;
        std::lock_guard<std::mutex> lock(testbedMutex_);
        const bool added = umockdev_testbed_add_from_string(testbed, record().c_str(), &error);
        g_clear_error(&error);
        log_.line("%s plugged in%s", name().c_str(), added ? "" : " -> failed");
    }

    void removeFromTestbed() {
        std::lock_guard<std::mutex> lock(testbedMutex_);
        umockdev_testbed_remove_device(testbed, syspath().c_str());
        log_.line("%s unplugged", name().c_str());
    }

    // A write that fails stalls; one the chip does not keep (the factory
    // area, a clone, an even word waiting for its partner) is acknowledged.
    bool writeWord(unsigned address, std::uint16_t value) {
        const ft232r::WordWrite write = eeprom_.write(address, value);
        return write != ft232r::WordWrite::Failed &&
               (write != ft232r::WordWrite::Kept ||
                ft232r::saveImageFile(path_, eeprom_, fileSize_));
    }

    // USBDEVFS_CLAIMINTERFACE, or USBDEVFS_DISCONNECT_CLAIM, which first
    // unbinds the kernel's driver (and which no-disconnect-claim's kernel
    // lacks).  Returns 0 or the errno.  Both start with the interface
    // number; an FT232R has interface 0 only.
    int claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool disconnect, bool gone) {
        const char* what = disconnect ? "disconnect-claim" : "claim";
        const Data interface = resolve(arg, 0, sizeof(unsigned));
        int error = 0;
        if (disconnect && faults_.noDisconnectClaim) {
            error = ENOTTY;
        } else if (gone) {
            error = ENODEV;
        } else if (!interface || *reinterpret_cast<const unsigned*>(interface->data) != 0) {
            error = EINVAL;
        } else if (faults_.busy || (owner_ != nullptr && owner_ != client)) {
            error = EBUSY;
        } else if (disconnect) {
            driverBound_ = false;
        } else if (driverBound_) {
            error = EBUSY;  // the serial driver still has it
        }
        if (error == 0) owner_ = client;
        log_.line("%s %s -> %s", name().c_str(), what, said(error));
        return error;
    }

    // USBDEVFS_IOCTL: the kernel driver given up (DISCONNECT) or back (CONNECT).
    int driverControl(UMockdevIoctlData* arg, bool gone) {
        const Data in = resolve(arg, 0, sizeof(usbdevfs_ioctl));
        if (!in) return EFAULT;
        const auto* command = reinterpret_cast<const usbdevfs_ioctl*>(in->data);
        const bool connect = command->ioctl_code == static_cast<int>(USBDEVFS_CONNECT);
        int error = 0;
        if (gone) {
            error = ENODEV;
        } else if (connect) {
            // Binding fails while any driver (usbfs for a claim) has it.
            if (owner_ != nullptr || driverBound_) error = EBUSY;
            driverBound_ = owner_ == nullptr;
        } else if (command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (!driverBound_) error = ENODATA;
            driverBound_ = false;
        } else {
            error = ENOTTY;
        }
        log_.line("%s %s -> %s", name().c_str(), connect ? "connect" : "disconnect", said(error));
        return error;
    }

    // A port reset: the chip loads its EEPROM again, and the host compares
    // the descriptors and the serial string with what it had.  When they
    // changed, the kernel enumerates the device as a new one: the reset is
    // answered ENODEV, the old handle is dead and the new device gets the
    // serial driver.
    int reset(UMockdevIoctlClient* client, bool gone) {
        if (faults_.signal != 0 && faults_.signalAt == 0) interrupt();
        if (gone) {
            log_.line("%s reset -> gone", name().c_str());
            return ENODEV;
        }
        if (faults_.unplugAtReset) {
            removeFromTestbed();
            unplugged_ = true;
            return ENODEV;
        }
        const std::string before = hex(descriptors()) + text(3);
        loaded_.assign(eeprom_.cells().begin(), eeprom_.cells().end());
        const std::vector<std::uint8_t> now = descriptors();
        {
            std::lock_guard<std::mutex> lock(testbedMutex_);
            umockdev_testbed_set_attribute_binary(testbed, syspath().c_str(), "descriptors",
                                                  const_cast<guint8*>(now.data()),
                                                  static_cast<gint>(now.size()));
        }
        owner_ = nullptr;  // a reset unbinds usbfs; libusb claims again
        if (before != hex(now) + text(3) || faults_.resetGone) {
            dead_.insert(client);
            driverBound_ = true;
            log_.line("%s reset -> gone (enumerated again)", name().c_str());
            return ENODEV;
        }
        log_.line("%s reset -> ok", name().c_str());
        return 0;
    }

    // Descriptors from the EEPROM as loaded at the last reset.  A blank
    // EEPROM leaves the chip on its built-in values.
    bool blank() const {
        return std::all_of(loaded_.begin(), loaded_.begin() + ft232r::kImageBytes,
                           [](std::uint8_t b) { return b == 0xFF; });
    }

    std::vector<std::uint8_t> deviceDescriptor() const {
        const bool own = !blank();
        const std::uint16_t vendor = own ? word(loaded_, 2) : 0x0403;
        const std::uint16_t product = own ? word(loaded_, 4) : 0x6001;
        // Byte 0x0A: bit 4 USB version from bytes 0x0C-0x0D, bit 3 serial string.
        const std::uint16_t usb = own && (loaded_[0x0A] & 0x10) ? word(loaded_, 0x0C) : 0x0200;
        const std::uint8_t serial = own && (loaded_[0x0A] & 0x08) ? 3 : 0;
        // Length, type, bcdUSB, class by interface, ep0 packet size; idVendor,
        // idProduct, bcdDevice; manufacturer, product, serial string; one configuration.
        // clang-format off
        return {18, 1, lo(usb), hi(usb), 0, 0, 0, 8,
                lo(vendor), hi(vendor), lo(product), hi(product),
                lo(kind_.release), hi(kind_.release),
                1, 2, serial, 1};
        // clang-format on
    }

    // One vendor-specific interface, bulk IN 0x81 and OUT 0x02, 64-byte
    // packets; attributes and power from bytes 0x08 and 0x09.
    std::vector<std::uint8_t> configDescriptor() const {
        std::vector<std::uint8_t> config = {
            9, 2, 32,   0, 1,  1,    0,    0xA0, 45,  // configuration
            9, 4, 0,    0, 2,  0xFF, 0xFF, 0xFF, 2,   // interface
            7, 5, 0x81, 2, 64, 0,    0,               // bulk IN
            7, 5, 0x02, 2, 64, 0,    0};              // bulk OUT
        config[14] = kind_.interfaceClass;
        if (!blank()) {
            config[7] = loaded_[8];
            config[8] = loaded_[9];
        }
        return config;
    }

    // What sysfs shows the host: the device descriptor, then the configuration.
    std::vector<std::uint8_t> descriptors() const {
        std::vector<std::uint8_t> bytes = deviceDescriptor();
        const std::vector<std::uint8_t> config = configDescriptor();
        bytes.insert(bytes.end(), config.begin(), config.end());
        return bytes;
    }

    // String descriptor `index` (1 manufacturer, 2 product, 3 serial) as the
    // EEPROM holds it: bytes 0x0E + 2 * (index - 1) point to it (offset | 0x80)
    // and give its length.
    bool stringDescriptor(unsigned index, std::vector<std::uint8_t>& out) const {
        if (index == 0) {
            out = {4, 3, 0x09, 0x04};  // English (United States)
            return true;
        }
        if (index > 3) return false;
        if (!blank()) {
            const std::size_t at = loaded_[0x0E + 2 * (index - 1)] & 0x7F;
            const std::size_t length = loaded_[0x0F + 2 * (index - 1)];
            if (length >= 2 && at + length <= ft232r::kImageBytes - 2 && loaded_[at] == length &&
                loaded_[at + 1] == 3) {
                out.assign(loaded_.begin() + static_cast<std::ptrdiff_t>(at),
                           loaded_.begin() + static_cast<std::ptrdiff_t>(at + length));
                return true;
            }
        }
        const char* fallback = index == 1 ? "FTDI" : index == 2 ? "FT232R USB UART" : nullptr;
        if (fallback == nullptr) return false;
        out = {static_cast<std::uint8_t>(2 + 2 * std::strlen(fallback)), 3};
        for (const char* c = fallback; *c != '\0'; ++c)
            out.insert(out.end(), {std::uint8_t(*c), 0});
        return true;
    }

    std::string text(unsigned index) const {
        std::vector<std::uint8_t> bytes;
        // The serial string exists only when the device descriptor names it.
        if ((index == 3 && deviceDescriptor()[16] == 0) || !stringDescriptor(index, bytes))
            return "";
        std::string result;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) result += static_cast<char>(bytes[i]);
        return result;
    }

    std::string path_;
    Kind kind_;
    std::size_t fileSize_;
    Place place_;
    const Faults faults_;
    Log& log_;
    const std::atomic<pid_t>& command_;
    std::mutex& testbedMutex_;
    const unsigned busMs_;
    std::mutex stateMutex_;  // the chip's state, between its thread and umockdev's
    std::thread worker_;
    std::mutex queueMutex_;
    std::condition_variable queued_;
    std::deque<UMockdevIoctlClient*> queue_;
    bool stopping_ = false;
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

}  // namespace ft232r_usb
