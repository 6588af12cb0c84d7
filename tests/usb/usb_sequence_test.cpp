// The USB bus under the real D2XX layer, linked against a fake of libftdi1
// and libusb, for what the kernel-level tier (tests/usbkernel: varnolt, the
// real libftdi1 and libusb against FT232R chips emulated under them) cannot
// reach: libusb failing to start (a machine with no USB; under umockdev
// libusb always finds its testbed), devices on several buses and behind
// hubs (the emulator has one root hub), a device that moves or goes between
// a listing and the open (the testbed is fixed for a run), the transport's
// refusal of addresses no tool asks for, and that every libftdi1 context,
// device list and handle is given back (invisible at the kernel interface).
// Chips of other kinds, unreadable strings and the factory area through the
// real stack are the kernel tier's (UsbKernel.OnlyFt232rChipsAreListedAndAsked,
// RefusedPermissionIsExplainedOnce, FactoryAreaIsReadNeverWritten).
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "d2xx.h"
#include "d2xx_record.hpp"
#include "fake_usb.hpp"
#include "word_transport.hpp"

namespace {

using Calls = std::vector<std::string>;

// What listing costs: one context, libusb's list, and each FT232R's strings.
Calls listing(std::initializer_list<std::string> places) {
    Calls calls = {"ftdi_init", "list devices"};
    for (const std::string& place : places) {
        calls.insert(calls.end(), {"open " + place, "string " + place + " #2",
                                   "string " + place + " #3", "close " + place});
    }
    calls.insert(calls.end(), {"free list", "ftdi_deinit"});
    return calls;
}
// Opening: a context of the device's own, found again at its place, opened
// with the kernel driver detached until close.
Calls opening(const std::string& place) {
    return {
        "ftdi_init", "list devices",   "open " + place, "claim " + place + " #0 detach+reattach",
        "sio reset", "baud rate 9600", "free list"};
}

class UsbSequence : public testing::Test {
  protected:
    void SetUp() override { fake_usb::bus() = {}; }

    // Whatever a test did, every context, list, handle and descriptor it
    // took was given back.
    void TearDown() override {
        transport.reset();
        const fake_usb::Bus& bus = fake_usb::bus();
        EXPECT_EQ(bus.contexts, 0);
        EXPECT_EQ(bus.lists, 0);
        EXPECT_EQ(bus.handles, 0);
        EXPECT_EQ(bus.configs, 0);
    }

    // An FT232R at bus-port.port with this serial and product string.
    static void add(std::uint8_t bus, std::vector<std::uint8_t> ports, const char* serial,
                    const char* product = "FT232R USB UART") {
        fake_usb::bus().devices.push_back({bus, std::move(ports), product, serial});
    }

    // The description listed at `index`, asked for as varnolt asks.
    static FT_STATUS listAt(std::uintptr_t index, char (&name)[kListingBytes]) {
        return FT_ListDevices(reinterpret_cast<PVOID>(index), name,
                              FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    }

    // The calls from here on.
    void mark() { mark_ = fake_usb::bus().calls.size(); }
    Calls sinceMark() const {
        const Calls& calls = fake_usb::bus().calls;
        return Calls(calls.begin() + static_cast<std::ptrdiff_t>(mark_), calls.end());
    }

    std::size_t mark_ = 0;
    d2xx::DeviceBus& usb = d2xx::deviceBus();
    std::vector<d2xx::DeviceEntry> entries;
    std::unique_ptr<d2xx::WordTransport> transport;
};

// Bus first, then the port at each hub tier, whatever libusb's own order.
TEST_F(UsbSequence, ListsByBusThenHubPort) {
    add(2, {1}, "FTB2");
    add(1, {3, 1}, "OWN00001", "Beacon v2");

    const char* const names[] = {"Beacon v2", "FT232R USB UART"};
    for (std::uintptr_t index = 0; index < 2; ++index) {
        char name[kListingBytes] = {};
        mark();
        ASSERT_EQ(listAt(index, name), FT_OK);
        EXPECT_STREQ(name, names[index]);
        EXPECT_EQ(sinceMark(), listing({"1-3.1", "2-1"}));
    }
    char name[kListingBytes] = {};
    EXPECT_EQ(listAt(2, name), FT_DEVICE_NOT_FOUND);
}

TEST_F(UsbSequence, NoUsbAtAllListsNothingAndOpensNothing) {
    fake_usb::bus().noUsb = true;  // libusb_init fails
    add(1, {1}, "A1");
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
    EXPECT_EQ(sinceMark(), (Calls{"ftdi_init", "ftdi_deinit"}));
}

// open takes an index into the latest listing and finds the device again
// at its place: a device plugged in elsewhere meanwhile is never opened.
TEST_F(UsbSequence, OpenFindsTheListedDeviceAtItsPlace) {
    add(1, {1}, "A1");
    ASSERT_EQ(usb.list(entries), FT_OK);
    ASSERT_EQ(entries.size(), 1u);

    fake_usb::bus().devices[0].ports = {2};  // unplugged and plugged in elsewhere
    mark();
    EXPECT_EQ(usb.open(0, transport), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(sinceMark(), (Calls{"ftdi_init", "list devices", "free list", "ftdi_deinit"}));
    EXPECT_EQ(usb.open(1, transport), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(transport, nullptr);
}

TEST_F(UsbSequence, OpenGoesByTheLatestListingOnly) {
    add(1, {1}, "A1");
    add(1, {2}, "B2");
    ASSERT_EQ(usb.list(entries), FT_OK);
    ASSERT_EQ(entries.size(), 2u);

    // Listed again with USB gone: nothing to open, although both are there.
    fake_usb::bus().noUsb = true;
    ASSERT_EQ(usb.list(entries), FT_OK);
    EXPECT_TRUE(entries.empty());
    fake_usb::bus().noUsb = false;
    EXPECT_EQ(usb.open(0, transport), FT_DEVICE_NOT_FOUND);

    // Listed again with the first one unplugged: index 0 is now the second.
    fake_usb::bus().devices.erase(fake_usb::bus().devices.begin());
    ASSERT_EQ(usb.list(entries), FT_OK);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].serial, "B2");
    EXPECT_EQ(usb.open(1, transport), FT_DEVICE_NOT_FOUND);
    mark();
    ASSERT_EQ(usb.open(0, transport), FT_OK);
    EXPECT_EQ(sinceMark(), opening("1-2"));
}

// Beyond the EEPROM, and into the factory area: refused before the wire.
TEST_F(UsbSequence, AddressesOutOfReachAreRefused) {
    add(1, {1}, "A1");
    ASSERT_EQ(usb.list(entries), FT_OK);
    ASSERT_EQ(usb.open(0, transport), FT_OK);
    mark();
    std::uint16_t value = 0;
    EXPECT_EQ(transport->readWord(0x80, value), FT_INVALID_PARAMETER);
    EXPECT_EQ(transport->writeWord(0x40, 0x1234), FT_INVALID_PARAMETER);
    EXPECT_TRUE(sinceMark().empty());
}

}  // namespace
