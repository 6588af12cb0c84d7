// The USB bus under the real D2XX layer, linked against a fake of libftdi1
// and libusb: the exact requests that reach a device for each D2XX call, and
// the status every libftdi1/libusb failure turns into.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "d2xx.h"
#include "d2xx_record.hpp"
#include "fake_usb.hpp"
#include "ft232r_eeprom.hpp"
#include "word_transport.hpp"

namespace {

using Calls = std::vector<std::string>;

Calls operator+(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

Calls reads(const std::vector<unsigned>& words) {
    Calls calls;
    for (const unsigned word : words) calls.push_back("read " + hex(word, 2));
    return calls;
}
std::vector<unsigned> wordRange(unsigned first, unsigned count) {
    std::vector<unsigned> words;
    for (unsigned word = first; word < first + count; ++word) words.push_back(word);
    return words;
}
const Calls kReadUserArea = reads(wordRange(0, 64));

Calls writes(const std::vector<unsigned>& words, const ft232r::Image& image) {
    Calls calls;
    for (const unsigned word : words) {
        calls.push_back("write " + hex(word, 2) + " " + hex(ft232r::wordAt(image, word), 4));
    }
    return calls;
}

const Calls kPreamble = {"sio reset", "modem status", "get latency", "set latency 0x77"};
const Calls kLatencyBack = {"set latency 0x10"};

// An FT232R with FTDI's IDs, its EEPROM holding these fields, and a factory
// area of its own.
fake_usb::Device ft232r(std::uint8_t bus, std::vector<std::uint8_t> ports,
                        const ft232r::Fields& fields) {
    fake_usb::Device device;
    device.bus = bus;
    device.ports = std::move(ports);
    device.product = fields.description;
    device.serial = fields.serial;
    const ft232r::Image image = ft232r::makeImage(fields);
    for (unsigned word = 0; word < ft232r::kImageWords; ++word) {
        device.eeprom[word] = ft232r::wordAt(image, word);
    }
    for (unsigned word = 0x40; word < 0x80; ++word) {
        device.eeprom[word] = static_cast<std::uint16_t>(0xF000 | word);
    }
    return device;
}

ft232r::Fields fieldsWith(const std::string& serial,
                          std::array<std::uint8_t, 5> cbus = {0x03, 0x02, 0x00, 0x01, 0x05}) {
    ft232r::Fields fields;
    fields.serial = serial;
    fields.cbus = cbus;
    return fields;
}

ft232r::Image userArea(const fake_usb::Device& device) {
    ft232r::Image image{};
    for (unsigned word = 0; word < ft232r::kImageWords; ++word) {
        ft232r::setWord(image, word, device.eeprom[word]);
    }
    return image;
}

// What listing costs: one context, libusb's list, and each FT232R's strings.
Calls listing(std::initializer_list<const char*> places) {
    Calls calls = {"ftdi_init", "list devices"};
    for (const char* place : places) {
        calls =
            calls + Calls{std::string("open ") + place, std::string("string ") + place + " #2",
                          std::string("string ") + place + " #3", std::string("close ") + place};
    }
    return calls + Calls{"free list", "ftdi_deinit"};
}
// Opening: a context of the device's own, found again at its place, opened
// with the kernel driver detached until close.
Calls opening(const std::string& place) {
    return {"ftdi_init", "list devices", "ftdi open " + place + " detach+reattach", "free list"};
}
Calls closing(const std::string& place) { return {"ftdi close " + place, "ftdi_deinit"}; }

bool invalid(FT_HANDLE handle) { return handle == INVALID_HANDLE_VALUE; }

class UsbSequence : public testing::Test {
  protected:
    void SetUp() override { fake_usb::reset(); }

    // Whatever a test did, every context, list, handle and descriptor it
    // took was given back.
    void TearDown() override {
        const fake_usb::Bus& bus = fake_usb::bus();
        EXPECT_EQ(bus.contexts, 0);
        EXPECT_EQ(bus.lists, 0);
        EXPECT_EQ(bus.handles, 0);
        EXPECT_EQ(bus.configs, 0);
    }

    fake_usb::Device& add(fake_usb::Device device) {
        fake_usb::bus().devices.push_back(std::move(device));
        return fake_usb::bus().devices.back();
    }

    // Opens the first listed device the way varnolt does: its description
    // by index, then open by that description.
    FT_HANDLE openFirst() {
        char name[64] = {};
        FT_ListDevices(reinterpret_cast<PVOID>(std::uintptr_t{0}), name,
                       FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
        return FT_W32_CreateFile(
            name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL | FT_OPEN_BY_DESCRIPTION, nullptr);
    }

    // The calls from here on.
    void mark() { mark_ = fake_usb::bus().calls.size(); }
    Calls sinceMark() const {
        const Calls& calls = fake_usb::bus().calls;
        return Calls(calls.begin() + static_cast<std::ptrdiff_t>(mark_), calls.end());
    }

    std::size_t mark_ = 0;
};

TEST_F(UsbSequence, ListsFt232rChipsByBusThenPortWithTheirStrings) {
    // libusb's own order is not the list order, and only FT232R-family chips
    // (release 6.00, one vendor-specific interface) count, whatever their IDs.
    add(ft232r(2, {1}, fieldsWith("FTB2")));
    fake_usb::Device other = ft232r(1, {2}, fieldsWith("OLDER"));
    other.release = 0x0400;  // an FT232BM
    add(other);
    fake_usb::Device own = ft232r(1, {3, 1}, fieldsWith("OWN00001"));
    own.vendorId = 0x1209;
    own.productId = 0x7001;
    own.product = "Beacon v2";
    add(own);
    fake_usb::Device keyboard = ft232r(1, {1}, fieldsWith("KBD"));
    keyboard.interfaceClass = 0x03;  // HID: release 6.00, but not an FTDI chip
    add(keyboard);

    DWORD count = 0;
    ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 2u);

    char first[64] = {};
    char second[64] = {};
    char* buffers[] = {first, second, nullptr};
    mark();
    ASSERT_EQ(FT_ListDevices(buffers, &count, FT_LIST_ALL | FT_OPEN_BY_DESCRIPTION), FT_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(first, "Beacon v2");
    EXPECT_STREQ(second, "FT232R USB UART");
    // Strings come from the two FT232R chips only: nothing is sent to the rest.
    EXPECT_EQ(sinceMark(), listing({"1-3.1", "2-1"}));

    ASSERT_EQ(FT_ListDevices(buffers, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_STREQ(first, "OWN00001");
    EXPECT_STREQ(second, "FTB2");
}

TEST_F(UsbSequence, DevicesWhoseStringsCannotBeReadKeepTheirPlace) {
    fake_usb::Device denied = ft232r(1, {1}, fieldsWith("DENIED"));
    denied.denied = true;  // no udev rule: libusb_open is refused
    add(denied);
    add(ft232r(1, {2}, fieldsWith("")));  // serial string disabled
    add(ft232r(1, {3}, fieldsWith("C3")));

    const struct {
        DWORD flags;
        std::vector<std::string> names;
    } cases[] = {
        {FT_OPEN_BY_DESCRIPTION, {"", "FT232R USB UART", "FT232R USB UART"}},
        {FT_OPEN_BY_SERIAL_NUMBER, {"", "", "C3"}},
    };
    for (const auto& c : cases) {
        char names[3][64] = {};
        char* buffers[] = {names[0], names[1], names[2], nullptr};
        DWORD count = 0;
        mark();
        ASSERT_EQ(FT_ListDevices(buffers, &count, FT_LIST_ALL | c.flags), FT_OK);
        ASSERT_EQ(count, 3u);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(names[i], c.names[i]) << i;
        // No string request for a string the device does not have.
        EXPECT_EQ(sinceMark(), (Calls{"ftdi_init", "list devices", "open 1-1", "open 1-2",
                                      "string 1-2 #2", "close 1-2", "open 1-3", "string 1-3 #2",
                                      "string 1-3 #3", "close 1-3", "free list", "ftdi_deinit"}));
    }
}

TEST_F(UsbSequence, ReadIsSixtyFourWordReadsOnTheOpenedDevice) {
    add(ft232r(1, {4}, fieldsWith("A1B2C3D4")));
    mark();
    const FT_HANDLE handle = openFirst();
    ASSERT_FALSE(invalid(handle));
    EXPECT_EQ(sinceMark(), listing({"1-4"}) + listing({"1-4"}) + opening("1-4"));

    Record record;
    mark();
    ASSERT_EQ(FT_EE_Read(handle, &record.data), FT_OK);
    EXPECT_STREQ(record.serial, "A1B2C3D4");
    EXPECT_STREQ(record.description, "FT232R USB UART");
    EXPECT_EQ(record.data.Cbus0, 0x03);
    EXPECT_EQ(record.data.Cbus4, 0x05);
    EXPECT_EQ(sinceMark(), kReadUserArea);

    mark();
    EXPECT_EQ(FT_W32_CloseHandle(handle), 1u);
    EXPECT_EQ(sinceMark(), closing("1-4"));
}

// Programming: planned against the image the read on this handle brought in
// (not read again), the preamble goes out, the changed word pairs are written (checksum pair last)
// and read back, the latency timer is put back, and the port is reset to re-enumerate.
TEST_F(UsbSequence, ChangesWriteOnlyTheirPairsThenReenumerate) {
    const struct {
        const char* what;
        ft232r::Fields after;
        std::vector<unsigned> words;
    } cases[] = {
        // Serial text at bytes 0x44..0x53: words 0x22..0x29.
        {"serial",
         fieldsWith("Z9Y8X7W6"),
         {0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x3e, 0x3f}},
        // CBUS nibbles at bytes 0x14..0x16: words 0x0a, 0x0b.
        {"cbus", fieldsWith("A1B2C3D4", {0x0a, 0x0a, 0x03, 0x02, 0x01}), {0x0a, 0x0b, 0x3e, 0x3f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_usb::reset();
        fake_usb::Device& device = add(ft232r(1, {2}, fieldsWith("A1B2C3D4")));
        const FT_HANDLE handle = openFirst();
        ASSERT_FALSE(invalid(handle));
        Record record;
        ASSERT_EQ(FT_EE_Read(handle, &record.data), FT_OK);
        std::strcpy(record.serial, c.after.serial.c_str());
        record.data.Cbus0 = c.after.cbus[0];
        record.data.Cbus1 = c.after.cbus[1];
        record.data.Cbus2 = c.after.cbus[2];
        record.data.Cbus3 = c.after.cbus[3];
        record.data.Cbus4 = c.after.cbus[4];

        mark();
        ASSERT_EQ(FT_EE_Program(handle, &record.data), FT_OK);
        const ft232r::Image target = ft232r::makeImage(c.after);
        EXPECT_EQ(sinceMark(), kPreamble + writes(c.words, target) + reads(c.words) + kLatencyBack +
                                   Calls{"port reset 1-2"});
        EXPECT_EQ(userArea(device), target);
        EXPECT_EQ(device.latency, 0x10);
        EXPECT_EQ(FT_W32_CloseHandle(handle), 1u);
    }
}

TEST_F(UsbSequence, ProgrammingNothingNewSendsNothing) {
    fake_usb::Device& device = add(ft232r(1, {2}, fieldsWith("A1B2C3D4")));
    const ft232r::Image before = userArea(device);
    const FT_HANDLE handle = openFirst();
    ASSERT_FALSE(invalid(handle));
    Record record;
    ASSERT_EQ(FT_EE_Read(handle, &record.data), FT_OK);
    mark();
    ASSERT_EQ(FT_EE_Program(handle, &record.data), FT_OK);
    // No read, no preamble, no write and no re-enumeration.
    EXPECT_EQ(sinceMark(), Calls{});
    EXPECT_EQ(userArea(device), before);
    EXPECT_EQ(FT_W32_CloseHandle(handle), 1u);
}

TEST_F(UsbSequence, RefusedOpenIsNotOpenedAndReleasesItsContext) {
    const struct {
        const char* why;
        int result;  // ftdi_usb_open_dev's
    } cases[] = {
        {"no permission (libusb_open failed)", -4},
        {"busy (interface claimed by another program)", -5},
        {"kernel driver not detachable", -11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        fake_usb::reset();
        fake_usb::Device device = ft232r(1, {1}, fieldsWith("A1"));
        device.openResult = c.result;
        add(device);
        mark();
        EXPECT_TRUE(invalid(openFirst()));
        EXPECT_EQ(sinceMark(),
                  listing({"1-1"}) + listing({"1-1"}) + opening("1-1") + Calls{"ftdi_deinit"});

        std::vector<d2xx::DeviceEntry> entries;
        ASSERT_EQ(d2xx::deviceBus().list(entries), FT_OK);
        std::unique_ptr<d2xx::WordTransport> transport;
        EXPECT_EQ(d2xx::deviceBus().open(0, transport), FT_DEVICE_NOT_OPENED);
        EXPECT_EQ(transport, nullptr);
    }
}

// Failures while programming: the status, what was sent, and that the
// latency timer is put back whenever the preamble set it; never a port reset.
TEST_F(UsbSequence, FailedProgrammingStopsAndRestores) {
    const std::vector<unsigned> serialWords = {0x22, 0x23, 0x24, 0x25, 0x26,
                                               0x27, 0x28, 0x29, 0x3e, 0x3f};
    const ft232r::Image target = ft232r::makeImage(fieldsWith("Z9Y8X7W6"));
    const struct {
        const char* what;
        void (*fault)(fake_usb::Device&);
        FT_STATUS status;
        Calls after;  // the calls of the programming
    } cases[] = {
        {"transfer fails on the fourth write", [](fake_usb::Device& d) { d.writesAllowed = 3; },
         FT_EEPROM_WRITE_FAILED,
         kPreamble + writes({0x22, 0x23, 0x24, 0x25}, target) + kLatencyBack},
        {"writes acknowledged but not kept", [](fake_usb::Device& d) { d.keepsWrites = false; },
         FT_EEPROM_WRITE_FAILED,
         kPreamble + writes(serialWords, target) + reads({0x22}) + kLatencyBack},
        {"reset refused",
         [](fake_usb::Device& d) { d.resetResult = -1; },
         FT_IO_ERROR,
         {"sio reset"}},
        {"read-back transfer fails",
         // Set after the first read: two words read back, then a failure.
         [](fake_usb::Device& d) { d.readsAllowed = 2; }, FT_EEPROM_WRITE_FAILED,
         kPreamble + writes(serialWords, target) + reads({0x22, 0x23, 0x24}) + kLatencyBack},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_usb::reset();
        add(ft232r(1, {2}, fieldsWith("A1B2C3D4")));
        const FT_HANDLE handle = openFirst();
        ASSERT_FALSE(invalid(handle));
        Record record;
        ASSERT_EQ(FT_EE_Read(handle, &record.data), FT_OK);
        std::strcpy(record.serial, "Z9Y8X7W6");
        c.fault(fake_usb::bus().devices[0]);
        mark();
        EXPECT_EQ(FT_EE_Program(handle, &record.data), c.status);
        EXPECT_EQ(sinceMark(), c.after);
        mark();
        EXPECT_EQ(FT_W32_CloseHandle(handle), 1u);
        EXPECT_EQ(sinceMark(), closing("1-2"));
    }
}

TEST_F(UsbSequence, FailedReadIsAnIoError) {
    fake_usb::Device device = ft232r(1, {2}, fieldsWith("A1B2C3D4"));
    device.readsAllowed = 10;
    add(device);
    const FT_HANDLE handle = openFirst();
    ASSERT_FALSE(invalid(handle));
    Record record;
    mark();
    EXPECT_EQ(FT_EE_Read(handle, &record.data), FT_IO_ERROR);
    EXPECT_EQ(sinceMark(), reads(wordRange(0, 11)));
    EXPECT_EQ(FT_W32_CloseHandle(handle), 1u);
}

TEST_F(UsbSequence, NoUsbAtAllListsNothingAndOpensNothing) {
    fake_usb::bus().noUsb = true;  // libusb_init fails
    add(ft232r(1, {1}, fieldsWith("A1")));
    DWORD count = 7;
    EXPECT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 0u);
    mark();
    EXPECT_TRUE(invalid(openFirst()));
    EXPECT_EQ(sinceMark(), (Calls{"ftdi_init", "ftdi_deinit", "ftdi_init", "ftdi_deinit"}));
}

// open takes an index into the latest listing and finds the device again
// at its place: a device plugged in elsewhere meanwhile is never opened.
TEST_F(UsbSequence, OpenFindsTheListedDeviceAtItsPlace) {
    add(ft232r(1, {1}, fieldsWith("A1")));
    std::vector<d2xx::DeviceEntry> entries;
    ASSERT_EQ(d2xx::deviceBus().list(entries), FT_OK);
    ASSERT_EQ(entries.size(), 1u);

    fake_usb::bus().devices[0].ports = {2};  // unplugged and plugged in elsewhere
    std::unique_ptr<d2xx::WordTransport> transport;
    mark();
    EXPECT_EQ(d2xx::deviceBus().open(0, transport), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(sinceMark(), (Calls{"ftdi_init", "list devices", "free list", "ftdi_deinit"}));
    EXPECT_EQ(d2xx::deviceBus().open(1, transport), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(transport, nullptr);
}

TEST_F(UsbSequence, OpenGoesByTheLatestListingOnly) {
    add(ft232r(1, {1}, fieldsWith("A1")));
    add(ft232r(1, {2}, fieldsWith("B2")));
    d2xx::DeviceBus& bus = d2xx::deviceBus();
    std::vector<d2xx::DeviceEntry> entries;
    ASSERT_EQ(bus.list(entries), FT_OK);
    ASSERT_EQ(entries.size(), 2u);

    // Listed again with USB gone: nothing to open, although both are there.
    fake_usb::bus().noUsb = true;
    ASSERT_EQ(bus.list(entries), FT_OK);
    EXPECT_TRUE(entries.empty());
    fake_usb::bus().noUsb = false;
    std::unique_ptr<d2xx::WordTransport> transport;
    EXPECT_EQ(bus.open(0, transport), FT_DEVICE_NOT_FOUND);

    // Listed again with the first one unplugged: index 0 is now the second.
    fake_usb::bus().devices.erase(fake_usb::bus().devices.begin());
    ASSERT_EQ(bus.list(entries), FT_OK);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].serial, "B2");
    EXPECT_EQ(bus.open(1, transport), FT_DEVICE_NOT_FOUND);
    mark();
    ASSERT_EQ(bus.open(0, transport), FT_OK);
    EXPECT_EQ(sinceMark(), opening("1-2"));
    transport.reset();
}

TEST_F(UsbSequence, FactoryAreaReadsButNeverWrites) {
    add(ft232r(1, {1}, fieldsWith("A1")));
    std::vector<d2xx::DeviceEntry> entries;
    ASSERT_EQ(d2xx::deviceBus().list(entries), FT_OK);
    std::unique_ptr<d2xx::WordTransport> transport;
    ASSERT_EQ(d2xx::deviceBus().open(0, transport), FT_OK);
    mark();
    std::uint16_t value = 0;
    EXPECT_EQ(transport->readWord(0x45, value), FT_OK);
    EXPECT_EQ(value, 0xF045);
    EXPECT_EQ(transport->readWord(0x80, value), FT_INVALID_PARAMETER);
    EXPECT_EQ(transport->writeWord(0x40, 0x1234), FT_INVALID_PARAMETER);
    EXPECT_EQ(sinceMark(), (Calls{"read 0x45"}));
    transport.reset();
}

}  // namespace
