// The fake libftdi1/libusb calls.  Signatures come from the libraries' own
// headers, so the fake cannot drift from what the bus is compiled against;
// a call the bus makes that is missing here fails the link.
#include "fake_usb.hpp"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstring>

// libusb's opaque types, as the fake knows them.
struct libusb_context {
    int unused;
};
struct libusb_device {
    std::size_t index;  // into fake_usb::bus().devices
};
struct libusb_device_handle {
    std::size_t index;
    bool autoDetach = false;
};

namespace fake_usb {
namespace {

Bus theBus;

void log(const std::string& line) { theBus.calls.push_back(line); }

// A call no case here should make: logged, so that the case's call list
// shows it, and failed.
int unreached(const char* call) {
    log(std::string("unreached ") + call);
    return -1;
}

Device& deviceOf(std::size_t index) { return theBus.devices.at(index); }

// bus-port.port, as in the call log.
std::string where(std::size_t index) {
    const Device& device = deviceOf(index);
    std::string text = std::to_string(device.bus);
    for (std::size_t i = 0; i < device.ports.size(); ++i) {
        text += (i == 0 ? "-" : ".") + std::to_string(device.ports[i]);
    }
    return text;
}

bool opened(const ftdi_context* ftdi) { return ftdi != nullptr && ftdi->usb_dev != nullptr; }

// The handle a libftdi1 context owns, given back.
void dropHandle(ftdi_context* ftdi) {
    delete ftdi->usb_dev;
    ftdi->usb_dev = nullptr;
    --theBus.handles;
}

// One allocation for a configuration with one interface and its setting.
struct ConfigStorage {
    libusb_config_descriptor config;
    libusb_interface interface;
    libusb_interface_descriptor setting;
};

}  // namespace

Bus& bus() { return theBus; }

}  // namespace fake_usb

using fake_usb::theBus;
using fake_usb::where;

extern "C" {

// --- libftdi1 ---------------------------------------------------------------

int ftdi_init(struct ftdi_context* ftdi) {
    fake_usb::log("ftdi_init");
    *ftdi = ftdi_context{};
    ftdi->usb_read_timeout = 5000;
    ftdi->usb_write_timeout = 5000;
    ftdi->module_detach_mode = AUTO_DETACH_SIO_MODULE;  // libftdi1's default
    if (theBus.noUsb) {
        return -3;  // libusb_init() failed
    }
    ftdi->usb_ctx = new libusb_context{};
    ++theBus.contexts;
    return 0;
}

void ftdi_deinit(struct ftdi_context* ftdi) {
    fake_usb::log("ftdi_deinit");
    if (ftdi->usb_dev != nullptr) fake_usb::dropHandle(ftdi);
    if (ftdi->usb_ctx != nullptr) {
        delete ftdi->usb_ctx;
        ftdi->usb_ctx = nullptr;
        --theBus.contexts;
    }
}

void ftdi_set_usbdev(struct ftdi_context* ftdi, libusb_device_handle* usbdev) {
    ftdi->usb_dev = usbdev;  // the context owns the handle from here
}

int ftdi_set_baudrate(struct ftdi_context* ftdi, int baudrate) {
    if (!fake_usb::opened(ftdi)) return -3;
    fake_usb::log("baud rate " + std::to_string(baudrate));
    return 0;
}

int ftdi_usb_close(struct ftdi_context* ftdi) {
    if (!fake_usb::opened(ftdi)) return -3;
    fake_usb::log("ftdi close " + where(ftdi->usb_dev->index));
    fake_usb::dropHandle(ftdi);
    return 0;
}

int ftdi_usb_reset(struct ftdi_context* ftdi) {
    if (!fake_usb::opened(ftdi)) return -2;
    fake_usb::log("sio reset");
    return 0;
}

// Word transfers, the write preamble, the port reset and the driver given
// back after a refused claim: the kernel tier runs them against the real
// libraries, and no case kept here reaches them.
int ftdi_read_eeprom_location(struct ftdi_context*, int, unsigned short*) {
    return fake_usb::unreached("read word");
}
int ftdi_poll_modem_status(struct ftdi_context*, unsigned short*) {
    return fake_usb::unreached("modem status");
}
int ftdi_get_latency_timer(struct ftdi_context*, unsigned char*) {
    return fake_usb::unreached("get latency");
}
int ftdi_set_latency_timer(struct ftdi_context*, unsigned char) {
    return fake_usb::unreached("set latency");
}

// --- libusb -----------------------------------------------------------------

ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    if (ctx == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    fake_usb::log("list devices");
    const std::size_t count = theBus.devices.size();
    *list = new libusb_device*[count + 1];
    for (std::size_t i = 0; i < count; ++i) {
        (*list)[i] = new libusb_device{i};
    }
    (*list)[count] = nullptr;
    ++theBus.lists;
    return static_cast<ssize_t>(count);
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
    fake_usb::log("free list");
    for (libusb_device** at = list; unref_devices != 0 && *at != nullptr; ++at) delete *at;
    delete[] list;
    --theBus.lists;
}

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 8;
    desc->idVendor = 0x0403;
    desc->idProduct = 0x6001;
    desc->bcdDevice = 0x0600;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = fake_usb::deviceOf(dev->index).serial.empty() ? 0 : 3;
    desc->bNumConfigurations = 1;
    return 0;
}

int libusb_get_config_descriptor(libusb_device* /*dev*/, uint8_t config_index,
                                 struct libusb_config_descriptor** config) {
    if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
    auto* storage = new fake_usb::ConfigStorage{};
    storage->setting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    storage->setting.bNumEndpoints = 2;
    storage->interface.altsetting = &storage->setting;
    storage->interface.num_altsetting = 1;
    storage->config.bNumInterfaces = 1;
    storage->config.interface = &storage->interface;
    *config = &storage->config;
    ++theBus.configs;
    return 0;
}

void libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    // The configuration is the first member of its storage.
    delete reinterpret_cast<fake_usb::ConfigStorage*>(config);
    --theBus.configs;
}

uint8_t libusb_get_bus_number(libusb_device* dev) { return fake_usb::deviceOf(dev->index).bus; }

uint8_t libusb_get_device_address(libusb_device* dev) {
    return static_cast<uint8_t>(dev->index + 2);  // after the root hub
}

int libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len) {
    const std::vector<std::uint8_t>& ports = fake_usb::deviceOf(dev->index).ports;
    if (static_cast<int>(ports.size()) > port_numbers_len) return LIBUSB_ERROR_OVERFLOW;
    std::copy(ports.begin(), ports.end(), port_numbers);
    return static_cast<int>(ports.size());
}

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    fake_usb::log("open " + where(dev->index));
    *dev_handle = new libusb_device_handle{dev->index};
    ++theBus.handles;
    return 0;
}

void libusb_close(libusb_device_handle* dev_handle) {
    fake_usb::log("close " + where(dev_handle->index));
    delete dev_handle;
    --theBus.handles;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int enable) {
    dev_handle->autoDetach = enable != 0;
    return LIBUSB_SUCCESS;
}

int libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    fake_usb::log("claim " + where(dev_handle->index) + " #" + std::to_string(interface_number) +
                  (dev_handle->autoDetach ? " detach+reattach" : " keep-driver"));
    return LIBUSB_SUCCESS;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index,
                                       unsigned char* data, int length) {
    const fake_usb::Device& device = fake_usb::deviceOf(dev_handle->index);
    fake_usb::log("string " + where(dev_handle->index) + " #" + std::to_string(desc_index));
    const std::string* text = desc_index == 2                             ? &device.product
                              : desc_index == 3 && !device.serial.empty() ? &device.serial
                                                                          : nullptr;
    if (text == nullptr) {
        return LIBUSB_ERROR_PIPE;  // the device stalls a request for a string it lacks
    }
    const std::size_t size = std::min(text->size(), static_cast<std::size_t>(length) - 1);
    std::memcpy(data, text->data(), size);
    data[size] = '\0';
    return static_cast<int>(size);
}

int libusb_attach_kernel_driver(libusb_device_handle*, int) {
    return fake_usb::unreached("attach driver");
}
int libusb_control_transfer(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t,
                            unsigned char*, uint16_t, unsigned int) {
    return fake_usb::unreached("control transfer");
}
int libusb_reset_device(libusb_device_handle*) { return fake_usb::unreached("port reset"); }

}  // extern "C"
