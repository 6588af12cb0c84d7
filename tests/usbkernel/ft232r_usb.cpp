// ft232r-usb: runs a command with FT232R chips emulated at the Linux kernel's
// USB interface (sysfs and usbfs) by umockdev, so that the unchanged libusb
// and libftdi1 inside the command reach them as they reach real devices.
//
//   ft232r-usb [--log FILE] [--fault F[,F...]] IMAGE... -- COMMAND [ARG...]
//
// Each IMAGE is an EEPROM image file as ft232r-image makes it (the 128-byte
// user area, optionally followed by the 128-byte factory area); the chips sit
// on bus 1 at ports 1, 2, ..., or where IMAGE@B-P[.P...] puts them (bus B,
// the port at each hub tier: 1-3.1 is port 1 of a hub at port 3 of bus 1's
// root hub; the hubs are added as needed).  Each kept word write is saved to
// its file at once.  IMAGE may name another kind of device instead, which the host lists
// but must never send a request (each request is logged):
//   ft232bm:IMAGE        an FT232BM, FTDI's chip before the FT232R (release 4.00)
//   hid:IMAGE            a device of release 6.00 whose one interface is HID (class 3)
// Faults (every chip; deny: the first):
//   writes=N             N EEPROM word writes succeed; every later one is stalled
//   clone                word writes acknowledged but not kept
//   per-word             no pair buffer: every word write stored at once (the
//                        chip otherwise stores a pair when its odd word is written)
//   stale-buffer         an even word write never reaches the pair buffer
//   and-writes           a kept word write leaves old AND new in the cells
//   unplug=N             after N control transfers the chip is gone: every
//                        request fails with ENODEV
//   busy                 the interface is claimed by another program (EBUSY)
//   reset-gone           the port reset is answered ENODEV
//   no-disconnect-claim  a kernel without USBDEVFS_DISCONNECT_CLAIM (ENOTTY)
//   deny                 the device node is root's, mode 0600; run the command
//                        as another user to have it refused (EACCES)
//   stall=RR             every control request RR (hex bRequest) is stalled
//   signal=S@N           the first chip sends signal S to the command at its
//   signal=S@reset       Nth control transfer (or at its port reset), then
//                        waits 100 ms before it answers: a signal at a known
//                        stage, with time for it to take effect
//   move=PLACE           the first chip, once the host has read its serial
//   move=none            string (a listing's last request), is unplugged and
//                        plugged in at PLACE (B-P[.P...]), or nowhere
// The command starts with SIGINT, SIGTERM, SIGHUP and SIGQUIT at their
// default actions and unblocked (a shell starts background jobs with SIGINT
// and SIGQUIT ignored), and without core dumps.
// The log gets one line per control transfer and per interface operation,
// and at the end one line per chip with its kernel driver, latency timer and
// the strings the host sees; each line starts with the chip's place (1-1).
// The command finds the log in FT232R_USB_LOG and may append lines of its own.  Exit status: the
// command's (128 + signal when a signal ended it); 77 when umockdev cannot run here; 2 for a usage
// error; 1 when the command cannot be started.
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ft232r_model.hpp"

namespace {

constexpr int kExitSkip = 77;
constexpr int kExitUsage = 2;

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

// Where a device sits: its bus, the hub port at each tier (none: the root
// hub itself), and the address the host gave it.
struct Place {
    long bus = 1;
    std::vector<long> ports;
    unsigned address = 0;

    // As the kernel names it: "1-3.1", "usb1" for the root hub.
    std::string name() const {
        std::string text = ports.empty() ? "usb" + std::to_string(bus) : std::to_string(bus);
        for (std::size_t i = 0; i < ports.size(); ++i)
            text += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
        return text;
    }
    std::string syspath() const {
        // A host controller per bus, the later ones first in sysfs (as a
        // machine may have them): the host's own order is not the bus order.
        char controller[40];
        std::snprintf(controller, sizeof controller, "/sys/devices/pci0000:00/0000:00:%02lx.0/",
                      0x15 - bus);
        if (ports.empty()) return controller + name();
        Place hub = *this;
        hub.ports.pop_back();
        return hub.syspath() + "/" + name();
    }
    std::string devnode() const {
        char text[32];
        std::snprintf(text, sizeof text, "/dev/bus/usb/%03ld/%03u", bus, address);
        return text;
    }
    // Its umockdev record: what sysfs shows of a USB device (`descriptors`
    // in hex), and its node where the host may open it (a chip's).
    std::string record(unsigned speed, std::uint16_t vendor, std::uint16_t product,
                       std::uint16_t release, const std::string& descriptors, bool node) const {
        char numbers[256];
        std::snprintf(numbers, sizeof numbers,
                      "E: BUSNUM=%03ld\nE: DEVNUM=%03u\nA: busnum=%ld\nA: devnum=%u\nA: speed=%u\n"
                      "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n",
                      bus, address, bus, address, speed, vendor, product, release);
        return "P: " + syspath().substr(4) + "\n" +
               (node ? "N: " + devnode().substr(5) + "\nE: DEVNAME=" + devnode() + "\n" : "") +
               "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: bConfigurationValue=1\n" + numbers +
               "H: descriptors=" + descriptors + "\n";
    }
};

struct Faults {
    ft232r::ChipFaults chip;  // writes=N, clone, per-word, stale-buffer, and-writes
    long unplugAfter = -1;    // control transfers; -1: never
    bool busy = false;
    bool resetGone = false;
    bool noDisconnectClaim = false;
    bool deny = false;
    long stallRequest = -1;     // bRequest; -1: none
    long signal = 0;            // 0: none
    long signalAt = 0;          // control transfer, 1-based; 0: at the port reset
    std::optional<Place> move;  // move=PLACE; no ports: unplugged only
};

// The command's process, once started: the chips' handlers signal it.
std::atomic<pid_t> g_command{0};

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

// Memory of the process under test, followed from an ioctl argument.
using Data = std::unique_ptr<UMockdevIoctlData, void (*)(gpointer)>;
Data resolve(UMockdevIoctlData* pointer, std::size_t offset, std::size_t size) {
    return Data(umockdev_ioctl_data_resolve(pointer, offset, size, nullptr), g_object_unref);
}

// An errno as the log says it.
const char* said(int error) {
    return error == 0         ? "ok"
           : error == EBUSY   ? "busy"
           : error == ENODEV  ? "gone"
           : error == ENODATA ? "no driver"
           : error == EINVAL  ? "no such interface"
                              : "enotty";
}

std::uint16_t word(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

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
    Chip(std::string path, std::vector<std::uint8_t> bytes, Place place, Kind kind,
         const Faults& faults, Log& log)
        : path_(std::move(path)),
          kind_(kind),
          fileSize_(bytes.size()),
          place_(std::move(place)),
          faults_(faults),
          log_(log),
          eeprom_(bytes, faults.chip),
          loaded_(eeprom_.cells().begin(), eeprom_.cells().end()) {}

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

    // One ioctl on the chip's usbfs node.
    void handle(UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const bool gone = unplugged_ || dead_.count(client) != 0;
        auto complete = [&](long result, int error) {
            umockdev_ioctl_client_complete(client, result, error);
        };
        // For the operations that answer 0 or fail with an errno.
        auto answer = [&](int error) { complete(error == 0 ? 0 : -1, error); };
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                if (gone) return complete(-1, ENODEV);
                const std::uint32_t caps =
                    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
                const Data out = resolve(arg, 0, sizeof caps);
                if (!out) return complete(-1, EFAULT);
                std::memcpy(out->data, &caps, sizeof caps);
                return complete(0, 0);
            }
            case USBDEVFS_SUBMITURB:
                return submit(client, arg, gone, complete);
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY: {
                // Completed transfers are handed back even after the chip went.
                auto& queue = completed_[client];
                if (queue.empty()) return complete(-1, gone ? ENODEV : EAGAIN);
                const Data slot = resolve(arg, 0, sizeof(void*));
                if (!slot) return complete(-1, EFAULT);
                const Data urb(queue.front(), g_object_unref);
                queue.pop_front();
                umockdev_ioctl_data_set_ptr(slot.get(), 0, urb.get());
                return complete(0, 0);
            }
            case USBDEVFS_DISCARDURB:
                return complete(-1, EINVAL);  // every transfer has completed at once
            case USBDEVFS_CLAIMINTERFACE:
                return answer(claim(client, arg, false, gone));
            case USBDEVFS_DISCONNECT_CLAIM:
                if (faults_.noDisconnectClaim) {
                    log_.line("%s disconnect-claim -> enotty", name().c_str());
                    return complete(-1, ENOTTY);
                }
                return answer(claim(client, arg, true, gone));
            case USBDEVFS_RELEASEINTERFACE:
                log_.line("%s release -> %s", name().c_str(), gone ? "gone" : "ok");
                if (gone) return complete(-1, ENODEV);
                if (owner_ != client) return complete(-1, EINVAL);
                owner_ = nullptr;
                return complete(0, 0);
            case USBDEVFS_GETDRIVER: {
                if (gone) return complete(-1, ENODEV);
                const Data out = resolve(arg, 0, sizeof(usbdevfs_getdriver));
                if (!out) return complete(-1, EFAULT);
                auto* getdriver = reinterpret_cast<usbdevfs_getdriver*>(out->data);
                const char* driver = owner_ != nullptr ? "usbfs"
                                     : driverBound_    ? kSerialDriver
                                                       : "";
                log_.line("%s getdriver -> %s", name().c_str(), *driver ? driver : "none");
                if (*driver == '\0') return complete(-1, ENODATA);
                std::snprintf(getdriver->driver, sizeof getdriver->driver, "%s", driver);
                return complete(0, 0);
            }
            case USBDEVFS_IOCTL:
                return answer(driverControl(arg, gone));
            case USBDEVFS_RESET:
                return answer(reset(client, gone));
            default:
                log_.line("%s ioctl %#lx -> enotty", name().c_str(), request);
                return complete(-1, ENOTTY);
        }
    }

    void connected(UMockdevIoctlClient* client) {
        // A new open of the node: nothing of an earlier one carries over.
        dead_.erase(client);
        for (UMockdevIoctlData* urb : completed_[client]) g_object_unref(urb);
        completed_[client].clear();
    }

  private:
    template <typename Complete>
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone, Complete complete) {
        if (gone) return complete(-1, ENODEV);
        Data urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!urbData) return complete(-1, EFAULT);
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
            if (!buffer) return complete(-1, EFAULT);
            if (faults_.unplugAfter >= 0 && transfers_ >= faults_.unplugAfter) {
                unplugged_ = true;
                log_.line("%s unplugged", name().c_str());
                return complete(-1, ENODEV);
            }
            ++transfers_;
            if (faults_.signalAt > 0 && transfers_ == faults_.signalAt) interrupt();
            const int result = control(buffer->data, buffer->data + 8,
                                       static_cast<std::size_t>(urb->buffer_length) - 8);
            urb->status = result < 0 ? -EPIPE : 0;
            urb->actual_length = result < 0 ? 0 : result;
        }
        completed_[client].push_back(urbData.release());
        complete(0, 0);
    }

    // The signal of the fault, sent by the first chip to the command while
    // it waits for this chip's answer.
    void interrupt() {
        if (faults_.signal == 0 || !first) return;
        for (int wait = 0; g_command.load() == 0 && wait < 1000; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const pid_t command = g_command.load();
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
        } else if (type == kVendorIn && request == kReadEeprom &&
                   index < ft232r::ChipEeprom::kWords) {
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
        umockdev_testbed_remove_device(testbed, syspath().c_str());
        log_.line("%s unplugged", name().c_str());
        for (const auto& open : completed_) dead_.insert(open.first);
        const Place to = *moveTo;
        moveTo.reset();
        if (to.ports.empty()) return;
        place_ = to;
        GError* error = nullptr;
        const bool added = umockdev_testbed_add_from_string(testbed, record().c_str(), &error);
        g_clear_error(&error);
        log_.line("%s plugged in%s", name().c_str(), added ? "" : " -> failed");
    }

    // A write that fails stalls; one the chip does not keep (the factory
    // area, a clone, an even word waiting for its partner) is acknowledged.
    bool writeWord(unsigned address, std::uint16_t value) {
        switch (eeprom_.write(address, value)) {
            case ft232r::WordWrite::Failed:
                return false;
            case ft232r::WordWrite::Kept:
                return ft232r::saveImageFile(path_, eeprom_, fileSize_);
            default:
                return true;
        }
    }

    // USBDEVFS_CLAIMINTERFACE, or USBDEVFS_DISCONNECT_CLAIM, which first
    // unbinds the kernel's driver.  Returns 0 or the errno.  Both start with
    // the interface number; an FT232R has interface 0 only.
    int claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool disconnect, bool gone) {
        const char* what = disconnect ? "disconnect-claim" : "claim";
        const Data interface = resolve(arg, 0, sizeof(unsigned));
        int error = 0;
        if (gone) {
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
        const std::string before = hex(descriptors()) + text(3);
        loaded_.assign(eeprom_.cells().begin(), eeprom_.cells().end());
        const std::vector<std::uint8_t> now = descriptors();
        umockdev_testbed_set_attribute_binary(testbed, syspath().c_str(), "descriptors",
                                              const_cast<guint8*>(now.data()),
                                              static_cast<gint>(now.size()));
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

    static std::uint8_t lo(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }
    static std::uint8_t hi(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
    static std::string hex(const std::vector<std::uint8_t>& bytes) {
        std::string text;
        for (const std::uint8_t b : bytes) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", b);
            text += pair;
        }
        return text;
    }

    std::string path_;
    Kind kind_;
    std::size_t fileSize_;
    Place place_;
    const Faults& faults_;
    Log& log_;
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

// GLib calls these through its generic signal types: the chip comes as a gpointer.
gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer chip) {
    static_cast<Chip*>(chip)->handle(client);
    return TRUE;
}
void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer chip) {
    static_cast<Chip*>(chip)->connected(client);
}

// B-P[.P...]: a bus and the port at each of at most 7 hub tiers.
bool parsePlace(const std::string& text, Place& place) {
    std::istringstream items(text);
    char separator = 0;
    place.ports.clear();
    items >> place.bus;
    for (long port = 0; items >> separator >> port;) place.ports.push_back(port);
    return std::regex_match(text, std::regex("[1-9][0-9]?-[1-9][0-9]?([.][1-9][0-9]?){0,6}"));
}

// One fault of the chips' place on the bus, as the usage lists them (the
// chip's own are parsed by the model).
ft232r::FaultItem busFault(const std::string& item, Faults& faults) {
    const std::map<std::string, bool*> flags = {{"busy", &faults.busy},
                                                {"reset-gone", &faults.resetGone},
                                                {"deny", &faults.deny},
                                                {"no-disconnect-claim", &faults.noDisconnectClaim}};
    const std::size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    const std::size_t at = value.find('@');  // signal=S@N or S@reset
    bool ok = true;
    if (flags.count(item) != 0) {
        *flags.at(item) = true;
    } else if (name == "stall") {
        ok =
            ft232r::parseFaultNumber(value, 16, faults.stallRequest) && faults.stallRequest <= 0xFF;
    } else if (name == "move") {
        Place place;
        ok = value == "none" || parsePlace(value, place);
        faults.move = place;
    } else if (name == "unplug") {
        ok = ft232r::parseFaultNumber(value, 10, faults.unplugAfter);
    } else if (name == "signal") {
        // At the Nth control transfer, or at the port reset (signalAt 0).
        ok = at != std::string::npos &&
             ft232r::parseFaultNumber(value.substr(0, at), 10, faults.signal) &&
             faults.signal > 0 && faults.signal < NSIG &&
             (value.substr(at + 1) == "reset" ||
              (ft232r::parseFaultNumber(value.substr(at + 1), 10, faults.signalAt) &&
               faults.signalAt > 0));
    } else {
        return ft232r::FaultItem::Unknown;
    }
    return ok ? ft232r::FaultItem::Taken : ft232r::FaultItem::Malformed;
}

// F[,F...] as the usage lists them; false (said on stderr) for one that is
// unknown or malformed.
bool parseFaults(const std::string& text, Faults& faults) {
    std::string refused;
    const ft232r::FaultItem taken = ft232r::parseFaults(
        text, faults.chip, [&](const std::string& item) { return busFault(item, faults); },
        refused);
    if (taken == ft232r::FaultItem::Unknown) {
        std::fprintf(stderr, "ft232r-usb: unknown fault '%s'\n", refused.c_str());
    } else if (taken == ft232r::FaultItem::Malformed) {
        std::fprintf(stderr, "ft232r-usb: bad fault '%s'\n", refused.c_str());
    }
    return taken == ft232r::FaultItem::Taken;
}

// `command` with `environment` added, the command's signals at their
// default actions and unblocked, and no core dumps; `watched`: the command
// that the chips' signal= concerns.  Its exit status, 128 + the signal that
// ended it, or -1 when it could not be started.
int run(const std::vector<std::string>& environment, const std::vector<std::string>& command,
        bool watched) {
    // Everything the child needs is made before the fork: with umockdev's
    // thread running, the child may only make async-signal-safe calls
    // (putenv may allocate while that thread holds the allocator's lock).
    std::vector<std::string> variables = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string name(*entry, std::strcspn(*entry, "=") + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& set) { return set.rfind(name, 0) == 0; }))
            variables.emplace_back(*entry);
    }
    std::vector<char*> argv, envp;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    for (std::string& variable : variables) envp.push_back(variable.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signal, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        execvpe(argv[0], argv.data(), envp.data());
        std::fprintf(stderr, "ft232r-usb: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    if (child < 0) {
        std::fprintf(stderr, "ft232r-usb: cannot start %s: %s\n", argv[0], std::strerror(errno));
        return -1;
    }
    if (watched) g_command = child;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int usage() {
    std::fprintf(
        stderr, "usage: ft232r-usb [--log FILE] [--fault F[,F...]] IMAGE... -- COMMAND [ARG...]\n");
    return kExitUsage;
}

int skip(const std::string& why) {
    std::fprintf(stderr, "ft232r-usb: umockdev cannot run here (%s): skipped\n", why.c_str());
    return kExitSkip;
}

}  // namespace

int main(int argc, char** argv) {
    std::string logPath;
    Faults faults;
    std::vector<std::string> images;
    int at = 1;
    for (; at < argc && std::strcmp(argv[at], "--") != 0; ++at) {
        const std::string option = argv[at];
        if (option == "--log" && at + 1 < argc) {
            logPath = argv[++at];
        } else if (option == "--fault" && at + 1 < argc) {
            if (!parseFaults(argv[++at], faults)) return kExitUsage;
        } else if (option.rfind("--", 0) == 0) {
            return usage();
        } else {
            images.push_back(option);
        }
    }
    if (at + 1 >= argc || images.empty()) return usage();
    const std::vector<std::string> command(argv + at + 1, argv + argc);

    Log log;
    if (!logPath.empty()) {
        // Appended to, so that lines the command adds stay in order with ours.
        if (std::FILE* emptied = std::fopen(logPath.c_str(), "w")) std::fclose(emptied);
        log.file.reset(std::fopen(logPath.c_str(), "a"));
    }
    // Addresses as the host gives them: on each bus the root hub 1, then
    // each hub and chip as it is plugged in.
    std::map<long, unsigned> lastAddress;
    std::vector<Place> hubs;
    auto plug = [&](Place& place) {
        for (std::size_t tier = 0; tier < place.ports.size(); ++tier) {
            Place hub{place.bus, {place.ports.begin(), place.ports.begin() + tier}};
            if (std::none_of(hubs.begin(), hubs.end(),
                             [&](const Place& h) { return h.name() == hub.name(); })) {
                hub.address = ++lastAddress[place.bus];
                hubs.push_back(hub);
            }
        }
        place.address = ++lastAddress[place.bus];
    };
    std::vector<std::unique_ptr<Chip>> chips;
    for (std::string path : images) {
        Place place;
        place.ports = {static_cast<long>(chips.size() + 1)};
        const std::size_t where = path.rfind('@');
        if (where != std::string::npos) {
            if (!parsePlace(path.substr(where + 1), place)) return usage();
            path.erase(where);
        }
        plug(place);
        const bool bm = path.rfind("ft232bm:", 0) == 0, hid = path.rfind("hid:", 0) == 0;
        const Kind kind{std::uint16_t(bm ? 0x0400 : 0x0600), std::uint8_t(hid ? 0x03 : 0xFF)};
        if (bm || hid) path.erase(0, path.find(':') + 1);
        std::vector<std::uint8_t> bytes;
        if (!ft232r::loadImageFile(path, bytes)) {
            std::fprintf(stderr, "ft232r-usb: %s: expected a 128- or 256-byte image\n",
                         path.c_str());
            return kExitUsage;
        }
        chips.push_back(std::make_unique<Chip>(path, std::move(bytes), place, kind, faults, log));
    }
    chips[0]->first = true;
    chips[0]->moveTo = faults.move;
    if (faults.move && !faults.move->ports.empty()) plug(*chips[0]->moveTo);

    // The testbed is hundreds of small files made and removed on every run:
    // on a memory file system where there is one (several times faster than
    // a disk here), unless TMPDIR says otherwise.  The command keeps the
    // environment it was given.
    const bool memory = std::getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0;
    if (memory) setenv("TMPDIR", "/dev/shm", 1);
    // Removed with its files and handlers on every way out.
    struct Testbed {
        UMockdevTestbed* bed = umockdev_testbed_new();
        std::vector<UMockdevIoctlBase*> handlers;
        ~Testbed() {
            for (UMockdevIoctlBase* handler : handlers) g_object_unref(handler);
            if (bed != nullptr) g_object_unref(bed);
        }
    } owned;
    UMockdevTestbed* testbed = owned.bed;
    if (memory) unsetenv("TMPDIR");
    if (testbed == nullptr) return skip("no testbed");
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    const std::string rootDir = root;
    g_free(root);
    // The hubs (USB 2.0) that the chips hang off, root hubs first.
    GError* error = nullptr;
    bool ok = true;
    for (const Place& hub : hubs) {
        // Linux's root hub IDs (1d6b:0002); device, configuration, interface
        // (class 9, hub), interrupt endpoint 0x81.
        const std::string record = hub.record(480, 0x1d6b, 0x0002, 0x0601,
                                              "12010002090001406b1d0200010603020101"
                                              "09021900010100e000090400000109000000"
                                              "0705810304000c",
                                              false);
        ok = ok && umockdev_testbed_add_from_string(testbed, record.c_str(), &error);
    }
    // A chip's handler, attached to a node before the device is added (the
    // other order races): its place, and the one move= takes it to.
    auto attach = [&](Chip& chip, const std::string& devnode) {
        UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), &chip);
        g_signal_connect(handler, "client-connected", G_CALLBACK(onConnected), &chip);
        owned.handlers.push_back(handler);
        return umockdev_testbed_attach_ioctl(testbed, devnode.c_str(), handler, &error);
    };
    for (const auto& chip : chips) {
        if (!ok) break;
        chip->testbed = testbed;
        ok = attach(*chip, chip->devnode()) &&
             (!chip->moveTo || chip->moveTo->ports.empty() ||
              attach(*chip, chip->moveTo->devnode())) &&
             umockdev_testbed_add_from_string(testbed, chip->record().c_str(), &error);
    }
    if (!ok) {
        const std::string why = error != nullptr ? error->message : "testbed failed";
        g_clear_error(&error);
        return skip(why);
    }
    umockdev_testbed_set_attribute(testbed, chips[0]->syspath().c_str(), "ft232r_usb_probe",
                                   rootDir.c_str());
    if (faults.deny) {
        // The testbed open to every user (search where someone may search),
        // the device node to root only: what a machine without the udev rule has.
        run({}, {"chmod", "-R", "a+rwX", rootDir}, false);
        chmod((rootDir + chips[0]->devnode()).c_str(), 0600);
    }

    const char* preload = std::getenv("LD_PRELOAD");
    std::vector<std::string> environment = {
        "UMOCKDEV_DIR=" + rootDir, std::string("LD_PRELOAD=libumockdev-preload.so.0") +
                                       (preload && *preload ? std::string(" ") + preload : "")};
    if (!logPath.empty()) environment.push_back("FT232R_USB_LOG=" + logPath);
    // Whether the preload library takes effect: a shell under it must see
    // the testbed's sysfs, not the machine's.
    const std::string probe = "exec 2>/dev/null; read -r v < '" + chips[0]->syspath() +
                              "/ft232r_usb_probe'; [ \"$v\" = '" + rootDir + "' ]";
    if (run(environment, {"/bin/sh", "-c", probe}, false) != 0) {
        return skip("libumockdev-preload.so.0 does not take effect");
    }
    const int status = run(environment, command, true);
    for (const auto& chip : chips) log.line("%s", chip->summary().c_str());
    return status < 0 ? 1 : status;
}
