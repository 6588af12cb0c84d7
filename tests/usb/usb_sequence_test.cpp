// The USB bus under the real D2XX layer (d2xx/transport/libftdi), in
// process on the real libftdi1 and libusb, against FT232R chips that
// ft232r-usb emulates at the kernel's USB interface.  Each test runs alone
// under ft232r-usb with its own devices and faults (CMakeLists.txt), for what
// the kernel tier (tests/usbkernel: varnolt as a whole) cannot reach:
// libusb failing to start (a machine with no USB), devices on several buses
// and behind hubs, a device that moves or goes between a listing and the
// open, the transport's refusal of addresses no tool asks for, and that every
// libusb context, device list, handle and configuration descriptor is given
// back (invisible at the kernel interface).
// This program defines the libusb calls that take and give back those
// resources: libftdi1 and the bus reach them through the dynamic linker, so
// they come here first, are counted and logged, and pass on to libusb's own
// (libusb_init fails when a test asks).  They log to ft232r-usb's log, so
// the log holds, in order, what reached libusb and what reached each chip.
// Chips of other kinds, unreadable strings and the factory area through the
// real stack are the kernel tier's (UsbKernel.OnlyFt232rChipsAreListedAndAsked,
// RefusedPermissionIsExplainedOnce, FactoryAreaIsReadNeverWritten).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "d2xx.h"
#include "d2xx_record.hpp"
#include "word_transport.hpp"

namespace {

// Resources libusb handed out and not yet given back, by kind.
enum { contexts, lists, handles, configs };
std::array<int, 4> held{};
int configsTaken = 0;
bool noUsb = false;  // libusb_init fails, as on a machine without USB

// The next definition of a function this program defines: libusb's own.
#define REAL(function) reinterpret_cast<decltype(&function)>(dlsym(RTLD_NEXT, #function))

// A line of ft232r-usb's log, as what reached libusb: "usb open 1-3.1".
void note(const std::string& what) {
    const char* path = std::getenv("FT232R_USB_LOG");
    if (path != nullptr) std::ofstream(path, std::ios::app) << "usb " << what << "\n";
}
// Where a device sits, as ft232r-usb names it.
std::string place(libusb_device* device) {
    std::uint8_t ports[7];
    const int depth = libusb_get_port_numbers(device, ports, 7);
    std::string text = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < depth; ++i) text += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return text;
}

// A call passed on: what it holds moves by `by` when it succeeded, and it is
// logged.
template <typename Result>
Result passed(Result result, bool ok, int& holds, int by, const std::string& what) {
    holds += ok ? by : 0;
    note(ok ? what : what + " -> fail");
    return result;
}

}  // namespace

extern "C" {

int libusb_init(libusb_context** context) {
    const int result = noUsb ? LIBUSB_ERROR_OTHER : REAL(libusb_init)(context);
    return passed(result, result == 0, held[contexts], 1, "init");
}
void libusb_exit(libusb_context* context) {
    REAL(libusb_exit)(context);
    passed(0, true, held[contexts], -1, "exit");
}
ssize_t libusb_get_device_list(libusb_context* context, libusb_device*** list) {
    const ssize_t result = REAL(libusb_get_device_list)(context, list);
    return passed(result, result >= 0, held[lists], 1, "list");
}
void libusb_free_device_list(libusb_device** list, int unref) {
    REAL(libusb_free_device_list)(list, unref);
    passed(0, list != nullptr, held[lists], -1, "free list");
}
int libusb_open(libusb_device* device, libusb_device_handle** handle) {
    const int result = REAL(libusb_open)(device, handle);
    return passed(result, result == 0, held[handles], 1, "open " + place(device));
}
void libusb_close(libusb_device_handle* handle) {
    if (handle == nullptr) return;  // as libusb does
    passed(0, true, held[handles], -1, "close " + place(libusb_get_device(handle)));
    REAL(libusb_close)(handle);
}
int libusb_get_config_descriptor(libusb_device* device, std::uint8_t index,
                                 libusb_config_descriptor** config) {
    const int result = REAL(libusb_get_config_descriptor)(device, index, config);
    configsTaken += result == 0;
    held[configs] += result == 0;
    return result;
}
void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    REAL(libusb_free_config_descriptor)(config);
    held[configs] -= config != nullptr;
}
}

namespace {

using Calls = std::vector<std::string>;

// What listing costs: a libusb context, its list, and each FT232R's product
// and serial strings (string descriptors 2 and 3, each after the language
// list, descriptor 0).
Calls listing(std::initializer_list<std::string> places) {
    Calls calls = {"usb init", "usb list"};
    for (const std::string& at : places) {
        calls.insert(calls.end(),
                     {"usb open " + at, at + " ctrl 80 06 0300", at + " ctrl 80 06 0302",
                      at + " ctrl 80 06 0300", at + " ctrl 80 06 0303", "usb close " + at});
    }
    calls.insert(calls.end(), {"usb free list", "usb exit"});
    return calls;
}

class UsbSequence : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("FT232R_USB_LOG"), nullptr) << "run under ft232r-usb --log";
    }

    // Whatever a test did, every context, list, handle and descriptor it
    // took was given back.
    void TearDown() override {
        transport.reset();
        EXPECT_EQ(held, (std::array<int, 4>{})) << "contexts, lists, handles, descriptors";
    }

    // The description listed at `index`, asked for as varnolt asks.
    static FT_STATUS listAt(std::uintptr_t index, char (&name)[kListingBytes]) {
        return FT_ListDevices(reinterpret_cast<PVOID>(index), name,
                              FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    }

    // The log's lines, a control transfer up to its wValue ("1-2 ctrl 40 03 4138").
    static Calls log() {
        std::ifstream in(std::getenv("FT232R_USB_LOG"));
        Calls lines;
        for (std::string line; std::getline(in, line);) {
            const std::size_t ctrl = line.find(" ctrl ");
            lines.push_back(ctrl == std::string::npos ? line : line.substr(0, ctrl + 16));
        }
        return lines;
    }
    // What reached libusb and the chips from here on.
    void mark() { mark_ = log().size(); }
    Calls sinceMark() const {
        const Calls lines = log();
        return Calls(lines.begin() + static_cast<std::ptrdiff_t>(mark_), lines.end());
    }

    std::size_t mark_ = 0;
    d2xx::DeviceBus& usb = d2xx::deviceBus();
    std::vector<d2xx::DeviceEntry> entries;
    std::unique_ptr<d2xx::WordTransport> transport;
};

// Bus first, then the port at each hub tier, whatever libusb's own order.
// Devices: FTB2@2-1, OWN00001 "Beacon v2"@1-3.1.
TEST_F(UsbSequence, ListsByBusThenHubPort) {
    const char* const names[] = {"Beacon v2", "FT232R USB UART"};
    for (std::uintptr_t index = 0; index < 2; ++index) {
        char name[kListingBytes] = {};
        mark();
        configsTaken = 0;
        ASSERT_EQ(listAt(index, name), FT_OK);
        EXPECT_STREQ(name, names[index]);
        EXPECT_EQ(sinceMark(), listing({"1-3.1", "2-1"}));
        EXPECT_EQ(configsTaken, 2);  // the FT232Rs' only: hubs differ in bcdDevice
    }
    char name[kListingBytes] = {};
    EXPECT_EQ(listAt(2, name), FT_DEVICE_NOT_FOUND);
}

// Devices: A1@1-1.
TEST_F(UsbSequence, NoUsbAtAllListsNothingAndOpensNothing) {
    noUsb = true;
    char name[kListingBytes] = {};
    EXPECT_EQ(listAt(0, name), FT_DEVICE_NOT_FOUND);
    mark();
    // Opened as varnolt opens: the description listed at index 0, then by it.
    listAt(0, name);
    EXPECT_EQ(FT_W32_CreateFile(
                  name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL | FT_OPEN_BY_DESCRIPTION, nullptr),
              INVALID_HANDLE_VALUE);
    // The open by name goes by that listing: USB is not asked again.
    EXPECT_EQ(sinceMark(), (Calls{"usb init -> fail"}));
}

// open takes an index into the latest listing and finds the device again
// at its place: a device plugged in elsewhere meanwhile is never opened.
// Devices: A1@1-1, which moves to 1-2 once listed.
TEST_F(UsbSequence, OpenFindsTheListedDeviceAtItsPlace) {
    ASSERT_EQ(usb.list(entries), FT_OK);
    ASSERT_EQ(entries.size(), 1u);

    mark();
    EXPECT_EQ(usb.open(0, transport), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(sinceMark(), (Calls{"usb init", "usb list", "usb free list", "usb exit"}));
    EXPECT_EQ(usb.open(1, transport), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(transport, nullptr);
}

// Devices: A1@1-1, unplugged once listed, and B2@1-2.
TEST_F(UsbSequence, OpenGoesByTheLatestListingOnly) {
    ASSERT_EQ(usb.list(entries), FT_OK);
    ASSERT_EQ(entries.size(), 2u);

    // Listed again with USB gone: nothing to open, although B2 is there.
    noUsb = true;
    ASSERT_EQ(usb.list(entries), FT_OK);
    EXPECT_TRUE(entries.empty());
    noUsb = false;
    EXPECT_EQ(usb.open(0, transport), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(usb.open(1, transport), FT_DEVICE_NOT_FOUND);

    // Listed again with the first one unplugged: index 0 is now the second.
    ASSERT_EQ(usb.list(entries), FT_OK);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].serial, "B2");
    EXPECT_EQ(usb.open(1, transport), FT_DEVICE_NOT_FOUND);
    mark();
    ASSERT_EQ(usb.open(0, transport), FT_OK);
    // Opening: a context of the device's own, found again at its place, its
    // one interface (0: ft232r-usb refuses others) claimed with the serial
    // driver detached, then a reset (vendor request 0x00) and 9600 baud
    // (0x03, 0x4138).
    EXPECT_EQ(sinceMark(),
              (Calls{"usb init", "usb list", "usb open 1-2", "1-2 disconnect-claim -> ok",
                     "1-2 ctrl 40 00 0000", "1-2 ctrl 40 03 4138", "usb free list"}));
    // Closed: the interface released and the serial driver given back.
    mark();
    transport.reset();
    EXPECT_EQ(sinceMark(),
              (Calls{"1-2 release -> ok", "1-2 connect -> ok", "usb close 1-2", "usb exit"}));
}

// Beyond the EEPROM, and into the factory area: refused before the wire.
// Devices: A1@1-1.
TEST_F(UsbSequence, AddressesOutOfReachAreRefused) {
    ASSERT_EQ(usb.list(entries), FT_OK);
    ASSERT_EQ(usb.open(0, transport), FT_OK);
    mark();
    std::uint16_t value = 0;
    EXPECT_EQ(transport->readWord(0x80, value), FT_INVALID_PARAMETER);
    EXPECT_EQ(transport->writeWord(0x40, 0x1234), FT_INVALID_PARAMETER);
    EXPECT_TRUE(sinceMark().empty());
}

}  // namespace
