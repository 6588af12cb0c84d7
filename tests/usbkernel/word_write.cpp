// ft232r-word-write ADDR=VALUE...: writes single EEPROM words (hexadecimal)
// to the first FT232R-family device through libusb, as a raw vendor request
// each and nothing else: no pair partner, no unlock sequence, no read-back.
// What a driver did in 2014 (word 0x02, the product ID, set to 0, and word
// 0x3e set so that the checksum stayed good): a test fixture for what such
// writes leave on a chip with a pair buffer and on one without.
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    libusb_context* usb = nullptr;
    if (argc < 2 || libusb_init(&usb) != 0) return 2;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(usb, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < count && handle == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        // Release 6.00: the FT232R family, whatever its IDs.
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 &&
            descriptor.bcdDevice == 0x0600 && libusb_open(list[i], &handle) != 0) {
            handle = nullptr;
        }
    }
    libusb_free_device_list(list, 1);
    int status = handle != nullptr ? 0 : 1;
    for (int i = 1; i < argc && status == 0; ++i) {
        const std::string item = argv[i];
        const std::size_t equals = item.find('=');
        const auto address = std::strtoul(item.substr(0, equals).c_str(), nullptr, 16);
        const auto value = std::strtoul(item.substr(equals + 1).c_str(), nullptr, 16);
        // Vendor request 0x91, host to device: wValue the word, wIndex its address.
        if (equals == std::string::npos ||
            libusb_control_transfer(handle, 0x40, 0x91, static_cast<std::uint16_t>(value),
                                    static_cast<std::uint16_t>(address), nullptr, 0, 1000) < 0) {
            std::fprintf(stderr, "ft232r-word-write: %s failed\n", argv[i]);
            status = 1;
        }
    }
    if (handle != nullptr) libusb_close(handle);
    libusb_exit(usb);
    return status;
}
