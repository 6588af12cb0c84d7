// The FT232R on the USB bus, through libftdi1 and libusb.  Listing walks
// libusb's device list for FT232R-family chips and reads their string
// descriptors once; a listed device is opened at its place with the kernel's
// serial driver detached while it is open, and given back on every way out;
// words are read with libftdi1 and written as raw vendor requests, because
// libftdi1's own word write refuses every FT232R address.  Every
// libftdi1/libusb result is turned into a D2XX status here and nowhere else;
// what a status cannot say goes to standard error as one line naming the
// device.
#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ft232r_eeprom.hpp"
#include "word_transport.hpp"

namespace d2xx {
namespace {

// bcdDevice of the FT232R family (FT232R, FT245R): release 6.00, whatever
// VID/PID the EEPROM gives the product.
constexpr std::uint16_t kFt232rRelease = 0x0600;
// FTDI chips present vendor-specific interfaces, and an FT232R exactly one.
// Checked so that an unrelated device that happens to report release 6.00
// is never opened and sent FTDI requests.
constexpr std::uint8_t kVendorSpecificClass = LIBUSB_CLASS_VENDOR_SPEC;

// EEPROM word write: a vendor request to the device, host to device
// (bmRequestType 0x40), bRequest 0x91, wValue = the word, wIndex = its word
// address, no data stage.
constexpr std::uint8_t kWriteRequestType =
    LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_OUT;
constexpr std::uint8_t kWriteEepromRequest = 0x91;
// The latency timer value the vendor's programming tool sets before it writes
// (seen in USB traces); without it FT232R writes were seen to work once and
// then fail.
constexpr unsigned char kWriteLatency = 0x77;

// A USB string descriptor holds at most 126 UTF-16 units; libusb gives them
// as 8-bit text.
constexpr int kStringBytes = 128;
// USB allows at most 7 tiers of hubs below the root port.
constexpr int kMaxPortDepth = 7;

// ftdi_init's result when libusb_init failed: a machine with no USB at all.
constexpr int kNoUsb = -3;
// The baud rate libftdi1's own open sets (vendor request 0x03, wValue 0x4138
// on an FT232R); the open here sends the same requests.
constexpr int kOpenBaudRate = 9600;

// Where a device sits: bus number, then the port at each hub tier.  The same
// chip keeps its place between a listing and the open that follows it.
struct Location {
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> ports;

    bool operator<(const Location& other) const {
        return bus != other.bus ? bus < other.bus : ports < other.ports;
    }
    bool operator==(const Location& other) const {
        return bus == other.bus && ports == other.ports;
    }
    // As the kernel names the port: "1-1.4".
    std::string path() const {
        std::string text = std::to_string(bus) + "-";
        for (std::size_t i = 0; i < ports.size(); ++i) {
            text += (i == 0 ? "" : ".") + std::to_string(ports[i]);
        }
        return text;
    }
};

// "1-1.4" back into its bus and ports; false for anything else.
bool parsePort(const std::string& path, Location& location) {
    location = {};
    unsigned long number = 0;
    bool digits = false, bus = true;
    for (const char c : path + ".") {
        if (c >= '0' && c <= '9' && number < 256) {
            number = number * 10 + static_cast<unsigned long>(c - '0');
            digits = true;
            continue;
        }
        if (!digits || number > 255 || c != (bus ? '-' : '.')) return false;
        if (bus) {
            location.bus = static_cast<std::uint8_t>(number);
        } else {
            location.ports.push_back(static_cast<std::uint8_t>(number));
        }
        bus = false;
        number = 0;
        digits = false;
    }
    return !location.ports.empty() && location.ports.size() <= kMaxPortDepth;
}

// The hub ports from the root down, as in "port 1.4".
std::string portPath(const Location& location) {
    std::string port;
    for (const std::uint8_t number : location.ports) {
        port += (port.empty() ? "" : ".") + std::to_string(number);
    }
    return port;
}

// A device as the diagnostics name it: "bus 1 port 1.4 (serial A1B2C3D4)".
std::string placeAndSerial(const Location& location, const std::string& serial) {
    return "bus " + std::to_string(location.bus) + " port " + portPath(location) +
           (serial.empty() ? " (no serial)" : " (serial " + printable(serial) + ")");
}

// One diagnostics line on standard error, before the caller's own message.
void diagnose(const std::string& line) { std::fprintf(stderr, "libftd2xx: %s\n", line.c_str()); }

// Why a device could not be opened, when the reason is the device node's
// permissions: libusb_open answered LIBUSB_ERROR_ACCESS (EACCES).  Said once,
// on standard error, for the open that fails; the caller's own message
// follows.  Nothing for a missing or vanished device.
void explainRefusal(libusb_device* device, const Location& location) {
    const std::string port = portPath(location);
    std::fprintf(stderr,
                 "libftd2xx: permission denied on the USB device at bus %u port %s "
                 "(/dev/bus/usb/%03u/%03u): install the udev rule "
                 "/usr/lib/udev/rules.d/60-varnolt.rules and use the plugdev group or the "
                 "desktop seat, or run as root\n",
                 static_cast<unsigned>(location.bus), port.c_str(),
                 static_cast<unsigned>(location.bus),
                 static_cast<unsigned>(libusb_get_device_address(device)));
}

// A libftdi1 context: owns the libusb context and, once opened, the device.
class Context {
  public:
    Context() : status_(ftdi_init(&ftdi_)) {}
    ~Context() { ftdi_deinit(&ftdi_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // ftdi_init's result: 0, or why there is no usable context.
    int status() const { return status_; }
    ftdi_context& get() { return ftdi_; }

  private:
    ftdi_context ftdi_{};
    int status_;
};

// The FT232R-family devices of one libusb context, in list order.  The
// device pointers stay valid while this object lives.
class Ft232rDevices {
  public:
    struct Found {
        Location location;
        libusb_device* device;
    };

    explicit Ft232rDevices(libusb_context* usb) : count_(libusb_get_device_list(usb, &list_)) {
        for (ssize_t i = 0; i < count_; ++i) {
            Found found{{}, list_[i]};
            if (isFt232r(found.device) && locate(found.device, found.location)) {
                devices_.push_back(found);
            }
        }
        std::sort(devices_.begin(), devices_.end(),
                  [](const Found& a, const Found& b) { return a.location < b.location; });
    }
    ~Ft232rDevices() {
        if (count_ >= 0) {
            libusb_free_device_list(list_, 1);
        }
    }
    Ft232rDevices(const Ft232rDevices&) = delete;
    Ft232rDevices& operator=(const Ft232rDevices&) = delete;

    FT_STATUS status() const {
        if (count_ >= 0) {
            return FT_OK;
        }
        return count_ == LIBUSB_ERROR_NO_MEM ? FT_INSUFFICIENT_RESOURCES : FT_IO_ERROR;
    }
    const std::vector<Found>& devices() const { return devices_; }

  private:
    // Both checks read the descriptors libusb already holds: no request goes
    // to a device that is not an FT232R.
    static bool isFt232r(libusb_device* device) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != 0 ||
            descriptor.bcdDevice != kFt232rRelease) {
            return false;
        }
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(device, 0, &config) != 0 || config == nullptr) {
            return false;
        }
        const bool vendorInterface =
            config->bNumInterfaces == 1 && config->interface[0].num_altsetting > 0 &&
            config->interface[0].altsetting[0].bInterfaceClass == kVendorSpecificClass;
        libusb_free_config_descriptor(config);
        return vendorInterface;
    }

    static bool locate(libusb_device* device, Location& location) {
        std::uint8_t ports[kMaxPortDepth];
        const int depth = libusb_get_port_numbers(device, ports, kMaxPortDepth);
        if (depth < 0) {
            return false;
        }
        location.bus = libusb_get_bus_number(device);
        location.ports.assign(ports, ports + depth);
        return true;
    }

    libusb_device** list_ = nullptr;
    ssize_t count_;
    std::vector<Found> devices_;
};

// The product and serial strings of a device.  A device that cannot be
// opened (no permission, gone) keeps its place in the list with empty
// strings, marked unread, as the vendor's library lists a device it cannot
// open, and says nothing: the open that follows explains a refused
// permission.
DeviceEntry describeDevice(libusb_device* device) {
    DeviceEntry entry;
    libusb_device_descriptor descriptor{};
    libusb_device_handle* handle = nullptr;
    if (libusb_get_device_descriptor(device, &descriptor) != 0 ||
        libusb_open(device, &handle) != 0) {
        entry.stringsRead = false;
        return entry;
    }
    auto text = [&](std::uint8_t index) {
        unsigned char buffer[kStringBytes] = {};
        // Index 0 means the device has no such string.
        if (index == 0) {
            return std::string();
        }
        if (libusb_get_string_descriptor_ascii(handle, index, buffer, sizeof buffer) < 0) {
            entry.stringsRead = false;
            return std::string();
        }
        return std::string(reinterpret_cast<const char*>(buffer));
    };
    entry.description = text(descriptor.iProduct);
    entry.serial = text(descriptor.iSerialNumber);
    libusb_close(handle);
    return entry;
}

// Opens the device as libftdi1's own open does: the interface claimed with
// the kernel's serial driver detached, then a reset and 9600 baud.  Unlike
// it, every failure after the claim releases the interface, which gives the
// device back to the serial driver (libftdi1's open then closes the device
// without releasing it, and /dev/ttyUSB* stays gone until a replug).
FT_STATUS claimDevice(ftdi_context& ftdi, libusb_device* device, const Location& location,
                      const std::string& serial) {
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened != 0) {
        if (opened == LIBUSB_ERROR_ACCESS) {
            explainRefusal(device, location);
        }
        return FT_DEVICE_NOT_OPENED;
    }
    // The serial driver is detached while the device is ours; libusb attaches
    // it again when the interface is released.  Any refusal (claimed by
    // another program, driver not detachable) means the device is not opened.
    int claimed = libusb_set_auto_detach_kernel_driver(handle, 1);
    if (claimed == LIBUSB_SUCCESS) {
        claimed = libusb_claim_interface(handle, ftdi.interface);
    }
    if (claimed != LIBUSB_SUCCESS) {
        // The serial driver is detached whoever has the serial port open:
        // a claim is refused only where another program claimed the
        // interface through libusb.
        if (claimed == LIBUSB_ERROR_BUSY) {
            diagnose("the FT232R at " + placeAndSerial(location, serial) +
                     ": its interface is claimed by another program (a terminal program, "
                     "ModemManager or brltty, for example): close or stop it and try again");
        }
        // A kernel without the atomic detach-and-claim has libusb detach the
        // driver first: a claim refused after that leaves it detached.
        // Asking for it back is harmless where a driver or another program
        // still has the interface.
        libusb_attach_kernel_driver(handle, ftdi.interface);
        libusb_close(handle);
        return FT_DEVICE_NOT_OPENED;
    }
    // The context owns the handle from here: ftdi_usb_close releases the
    // interface, then closes.  Only FT232R-family chips are opened, which
    // libftdi1 knows as TYPE_R (it picks the baud-rate divisors by type).
    ftdi_set_usbdev(&ftdi, handle);
    ftdi.type = TYPE_R;
    if (ftdi_usb_reset(&ftdi) != 0 || ftdi_set_baudrate(&ftdi, kOpenBaudRate) != 0) {
        ftdi_usb_close(&ftdi);
        return FT_DEVICE_NOT_OPENED;
    }
    return FT_OK;
}

// One opened FT232R.
class UsbDevice : public WordTransport {
  public:
    UsbDevice(std::unique_ptr<Context> context, std::string name)
        : context_(std::move(context)), name_(std::move(name)) {}

    // Puts back a latency timer still changed, then releases the interface,
    // which gives the device back to the kernel's serial driver; the context
    // then closes the device and libusb.
    ~UsbDevice() override {
        restoreLatency();
        ftdi_usb_close(&ftdi());
    }

    FT_STATUS readWord(unsigned address, std::uint16_t& value) override {
        if (address >= ft232r::kEepromWords) {
            return FT_INVALID_PARAMETER;
        }
        unsigned short word = 0;
        if (ftdi_read_eeprom_location(&ftdi(), static_cast<int>(address), &word) != 0) {
            return FT_IO_ERROR;
        }
        value = word;
        return FT_OK;
    }

    FT_STATUS writeWord(unsigned address, std::uint16_t value) override {
        if (address >= ft232r::kImageWords) {
            return FT_INVALID_PARAMETER;
        }
        const int sent =
            libusb_control_transfer(ftdi().usb_dev, kWriteRequestType, kWriteEepromRequest, value,
                                    static_cast<std::uint16_t>(address), nullptr, 0,
                                    static_cast<unsigned>(ftdi().usb_write_timeout));
        if (sent < 0) {
            return FT_IO_ERROR;
        }
        written_ = true;
        return FT_OK;
    }

    // The sequence the vendor's programming tool sends before writing:
    // reset, poll the modem status, latency timer 0x77.  The current latency
    // is kept and put back on every way out: by endWrites, by a failed
    // preamble, or at the latest by the close (the chip keeps the value
    // until it is reset or powered off).
    FT_STATUS beginWrites() override {
        unsigned short modemStatus = 0;
        if (ftdi_usb_reset(&ftdi()) != 0 || ftdi_poll_modem_status(&ftdi(), &modemStatus) != 0 ||
            ftdi_get_latency_timer(&ftdi(), &savedLatency_) != 0) {
            return FT_IO_ERROR;
        }
        latencyChanged_ = true;  // also when the request fails: the chip may have taken it
        if (ftdi_set_latency_timer(&ftdi(), kWriteLatency) != 0) {
            restoreLatency();
            return FT_IO_ERROR;
        }
        return FT_OK;
    }

    void endWrites() override { restoreLatency(); }

    // The host reads the descriptors only at enumeration: a port reset makes
    // it enumerate again, so the new serial number and CBUS setup show
    // without a replug.  Nothing written, nothing to show.  The reset may
    // report the device gone: it came back as a new device, as intended.
    void programmed() override {
        if (written_) {
            libusb_reset_device(ftdi().usb_dev);
            written_ = false;
        }
    }

    void explain(const std::string& finding) override { diagnose(name_ + ": " + finding); }

    FT_STATUS chipId(std::uint32_t& id) override {
        unsigned int value = 0;
        if (ftdi_read_chipid(&ftdi(), &value) != 0) {
            return FT_IO_ERROR;
        }
        id = value;
        return FT_OK;
    }

  private:
    ftdi_context& ftdi() { return context_->get(); }

    void restoreLatency() {
        if (latencyChanged_ && ftdi_set_latency_timer(&ftdi(), savedLatency_) == 0) {
            latencyChanged_ = false;
        }
    }

    std::unique_ptr<Context> context_;
    std::string name_;  // "the FT232R at bus 1 port 1 (serial A1B2C3D4)"
    unsigned char savedLatency_ = 0;
    bool latencyChanged_ = false;
    bool written_ = false;
};

class UsbBus : public DeviceBus {
  public:
    // A failed listing leaves an empty latest list: open never goes by an
    // older one.
    FT_STATUS list(std::vector<DeviceEntry>& devices) override {
        devices.clear();
        remember({}, FT_OK);
        Context context;
        if (context.status() == kNoUsb) {
            return FT_OK;  // no USB on this machine: nothing is attached
        }
        if (context.status() != 0) {
            remember({}, FT_INSUFFICIENT_RESOURCES);
            return FT_INSUFFICIENT_RESOURCES;
        }
        const Ft232rDevices found(context.get().usb_ctx);
        if (found.status() != FT_OK) {
            remember({}, found.status());
            return found.status();
        }
        std::vector<Listed> listing;
        for (const auto& device : found.devices()) {
            listing.push_back({device.location, describeDevice(device.device)});
            listing.back().entry.port = device.location.path();
            devices.push_back(listing.back().entry);
        }
        remember(std::move(listing), FT_OK);
        return FT_OK;
    }

    // The latest listing as it was, with no request to any device: an open
    // by name then takes the device the caller was shown, found again at its
    // place, even when a device would answer differently a second time.
    // Lists only when nothing was listed yet.
    FT_STATUS listed(std::vector<DeviceEntry>& devices) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (listedOnce_) {
                devices.clear();
                for (const Listed& device : latest_) {
                    devices.push_back(device.entry);
                }
                return latestStatus_;
            }
        }
        return list(devices);
    }

    void explain(const std::string& finding) override { diagnose(finding); }

    FT_STATUS ports(std::vector<std::string>& ports) override {
        ports.clear();
        Context context;
        if (context.status() == kNoUsb) return FT_OK;
        if (context.status() != 0) return FT_INSUFFICIENT_RESOURCES;
        const Ft232rDevices found(context.get().usb_ctx);
        for (const auto& device : found.devices()) ports.push_back(device.location.path());
        return found.status();
    }

    FT_STATUS describe(const std::string& port, DeviceEntry& entry) override {
        Location location;
        if (!parsePort(port, location)) return FT_DEVICE_NOT_FOUND;
        Context context;
        if (context.status() != 0) return FT_DEVICE_NOT_FOUND;
        const Ft232rDevices found(context.get().usb_ctx);
        for (const auto& device : found.devices()) {
            if (device.location == location) {
                entry = describeDevice(device.device);
                entry.port = port;
                return FT_OK;
            }
        }
        if (found.status() != FT_OK) return found.status();
        return FT_DEVICE_NOT_FOUND;
    }

    FT_STATUS open(std::size_t index, std::unique_ptr<WordTransport>& device) override {
        Location location;
        std::string serial;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (index >= latest_.size()) {
                return FT_DEVICE_NOT_FOUND;
            }
            location = latest_[index].location;
            serial = latest_[index].entry.serial;
        }
        return openAt(location, serial, device);
    }

    // The device at a port path ("1-1.4"), found at that place now; its
    // name in the messages carries the serial number a listing gave it, if
    // that listing is the latest.
    FT_STATUS openPort(const std::string& port, std::unique_ptr<WordTransport>& device) override {
        Location location;
        if (!parsePort(port, location)) {
            return FT_DEVICE_NOT_FOUND;
        }
        std::string serial;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Listed& listed : latest_) {
                if (listed.location == location) serial = listed.entry.serial;
            }
        }
        return openAt(location, serial, device);
    }

  private:
    FT_STATUS openAt(const Location& location, const std::string& serial,
                     std::unique_ptr<WordTransport>& device) {
        // A context of its own for each opened device, so that devices can
        // be opened and closed independently.
        auto context = std::make_unique<Context>();
        if (context->status() != 0) {
            return FT_DEVICE_NOT_OPENED;
        }
        FT_STATUS status = FT_DEVICE_NOT_FOUND;
        {
            const Ft232rDevices found(context->get().usb_ctx);
            for (const auto& candidate : found.devices()) {
                if (candidate.location == location) {
                    status = claimDevice(context->get(), candidate.device, location, serial);
                    break;
                }
            }
        }
        if (status == FT_OK) {
            device = std::make_unique<UsbDevice>(
                std::move(context), "the FT232R at " + placeAndSerial(location, serial));
        }
        return status;
    }

    struct Listed {
        Location location;
        DeviceEntry entry;
    };

    void remember(std::vector<Listed> listing, FT_STATUS status) {
        std::lock_guard<std::mutex> lock(mutex_);
        latest_ = std::move(listing);
        latestStatus_ = status;
        listedOnce_ = true;
    }

    // The latest listing, in list order: open takes an index into it.
    std::mutex mutex_;
    std::vector<Listed> latest_;
    FT_STATUS latestStatus_ = FT_OK;
    bool listedOnce_ = false;
};

}  // namespace

DeviceBus& deviceBus() {
    static UsbBus bus;
    return bus;
}

}  // namespace d2xx
