// The five D2XX operations over a device bus, the FT232R codec and a word
// transport.  This file is the only place that speaks the D2XX ABI; every
// backend library (emulated, libftdi1) is this file plus its bus.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "d2xx.h"
#include "d2xx_record.hpp"
#include "device_choice.hpp"
#include "eeprom_io.hpp"
#include "ft232r_eeprom.hpp"
#include "word_transport.hpp"

namespace {

using d2xx::DeviceBus;
using d2xx::WordTransport;

using d2xx::shownFields;

struct Device {
    std::unique_ptr<WordTransport> transport;
    // The user area as the last successful FT_EE_Read on this handle read
    // it, so that FT_EE_Program can plan its writes without reading all 64
    // words a second time (64 USB control transfers, about 64 ms on a
    // full-speed bus).  Safe because the handle owns the device while it
    // is open (D2XX opens a device for one handle at a time), so nothing
    // else writes it between the read and the program, and because every
    // word programming writes is read back and compared.  Dropped after
    // every programming attempt: the device then holds what was written,
    // or after a failure, something unknown.
    ft232r::Image image{};
    bool imageValid = false;
};

#if defined(_WIN32)
// MinGW-w64's default "win32" thread model has no std::mutex (GCC before 13);
// a critical section is the native lock and works with every thread model.
class RegistryMutex {
  public:
    RegistryMutex() { InitializeCriticalSection(&section_); }
    ~RegistryMutex() { DeleteCriticalSection(&section_); }
    RegistryMutex(const RegistryMutex&) = delete;
    RegistryMutex& operator=(const RegistryMutex&) = delete;
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }

  private:
    CRITICAL_SECTION section_;
};
#else
using RegistryMutex = std::mutex;
#endif

// Handles this library gave out and has not yet closed; a handle is checked
// against it before use.  Part of the loaded library's state.
struct OpenDevices {
    RegistryMutex mutex;
    std::set<Device*> devices;
};

OpenDevices& openDevices() {
    static OpenDevices registry;
    return registry;
}

Device* lookup(FT_HANDLE handle) {
    OpenDevices& registry = openDevices();
    std::lock_guard<RegistryMutex> lock(registry.mutex);
    auto* device = static_cast<Device*>(handle);
    return registry.devices.count(device) != 0 ? device : nullptr;
}

// Copies text into a caller's buffer of `size` bytes, always terminated.
void copyText(char* target, std::size_t size, const std::string& text) {
    if (target == nullptr) {
        return;
    }
    const std::size_t length = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

bool headerOk(const FT_PROGRAM_DATA* data) { return data != nullptr && signaturesOk(*data); }

void fillRecord(const ft232r::Fields& fields, FT_PROGRAM_DATA& data) {
    data.VendorId = fields.vendorId;
    data.ProductId = fields.productId;
    copyText(data.Manufacturer, kManufacturerBytes, fields.manufacturer);
    // Not stored in the EEPROM: by convention the serial's first two characters.
    copyText(data.ManufacturerId, kManufacturerIdBytes, fields.serial.substr(0, 2));
    copyText(data.Description, kDescriptionBytes, fields.description);
    copyText(data.SerialNumber, kSerialNumberBytes, fields.serial);
    data.MaxPower = fields.maxPower;
    data.PnP = 1;
    data.SelfPowered = fields.selfPowered ? 1 : 0;
    data.RemoteWakeup = fields.remoteWakeup ? 1 : 0;
    data.Rev4 = 0;
    data.IsoIn = fields.isoIn ? 1 : 0;
    data.IsoOut = fields.isoOut ? 1 : 0;
    data.PullDownEnable = fields.pullDownEnable ? 1 : 0;
    data.SerNumEnable = fields.serNumEnable ? 1 : 0;
    data.USBVersionEnable = fields.usbVersionEnable ? 1 : 0;
    data.USBVersion = fields.usbVersion;
    if (data.Version < kRecordVersion) {
        return;
    }
    data.UseExtOsc = fields.useExtOsc ? 1 : 0;
    data.HighDriveIOs = fields.highDriveIOs ? 1 : 0;
    data.EndpointSize = fields.endpointSize;
    data.PullDownEnableR = data.PullDownEnable;
    data.SerNumEnableR = data.SerNumEnable;
    UCHAR* const invert[8] = {&data.InvertTXD, &data.InvertRXD, &data.InvertRTS, &data.InvertCTS,
                              &data.InvertDTR, &data.InvertDSR, &data.InvertDCD, &data.InvertRI};
    for (std::size_t bit = 0; bit < 8; ++bit) {
        *invert[bit] = fields.invert[bit] ? 1 : 0;
    }
    const auto cbus = cbusBytes(data);
    for (std::size_t pin = 0; pin < cbus.size(); ++pin) {
        *cbus[pin] = fields.cbus[pin];
    }
    data.RIsD2XX = fields.riIsD2xx ? 1 : 0;
}

// The record's fields over what the device holds; the blocks beyond the
// record's Version keep the device's values.  False when a string pointer
// is missing.
bool takeRecord(const FT_PROGRAM_DATA& data, ft232r::Fields& fields) {
    if (data.Manufacturer == nullptr || data.Description == nullptr ||
        data.SerialNumber == nullptr) {
        return false;
    }
    fields.vendorId = data.VendorId;
    fields.productId = data.ProductId;
    fields.manufacturer = data.Manufacturer;
    fields.description = data.Description;
    fields.serial = data.SerialNumber;
    fields.maxPower = data.MaxPower;
    fields.selfPowered = data.SelfPowered != 0;
    fields.remoteWakeup = data.RemoteWakeup != 0;
    fields.isoIn = data.IsoIn != 0;
    fields.isoOut = data.IsoOut != 0;
    fields.pullDownEnable = data.PullDownEnable != 0;
    fields.serNumEnable = data.SerNumEnable != 0;
    fields.usbVersionEnable = data.USBVersionEnable != 0;
    fields.usbVersion = data.USBVersion;
    if (data.Version < kRecordVersion) {
        return true;
    }
    // The FT232R block names the same bits again; it is the one that counts.
    fields.pullDownEnable = data.PullDownEnableR != 0;
    fields.serNumEnable = data.SerNumEnableR != 0;
    fields.useExtOsc = data.UseExtOsc != 0;
    fields.highDriveIOs = data.HighDriveIOs != 0;
    fields.endpointSize = data.EndpointSize;
    const UCHAR invert[8] = {data.InvertTXD, data.InvertRXD, data.InvertRTS, data.InvertCTS,
                             data.InvertDTR, data.InvertDSR, data.InvertDCD, data.InvertRI};
    for (std::size_t bit = 0; bit < 8; ++bit) {
        fields.invert[bit] = invert[bit] != 0;
    }
    const auto cbus = cbusBytes(data);
    for (std::size_t pin = 0; pin < cbus.size(); ++pin) {
        fields.cbus[pin] = *cbus[pin];
    }
    fields.riIsD2xx = data.RIsD2XX != 0;
    return true;
}

// What a read of `image` answers.  A stale checksum with a sound structure
// reads normally, so that running the same change again can finish an
// interrupted write; a blank or broken image is an error.
FT_STATUS readStatus(const ft232r::Decoded& image) {
    switch (image.result) {
        case ft232r::DecodeResult::Ok:
        case ft232r::DecodeResult::StaleChecksum:
            return FT_OK;
        case ft232r::DecodeResult::Blank:
            return FT_EEPROM_NOT_PROGRAMMED;
        case ft232r::DecodeResult::Broken:
            break;
    }
    return FT_EEPROM_READ_FAILED;
}

// Which changed CBUS code is out of its pin's range, and the range.
void explainCbus(WordTransport& transport, const ft232r::Fields& stored,
                 const ft232r::Fields& fields) {
    for (std::size_t pin = 0; pin < fields.cbus.size(); ++pin) {
        if (fields.cbus[pin] != stored.cbus[pin] && fields.cbus[pin] > ft232r::kCbusMax[pin]) {
            char finding[96];
            std::snprintf(finding, sizeof finding,
                          "CBUS%zu code 0x%02x is out of that pin's range, 0x00 to 0x%02x", pin,
                          fields.cbus[pin], ft232r::kCbusMax[pin]);
            transport.explain(finding);
        }
    }
}

// A new serial number that does not fit the string area beside what else it
// holds, and how many characters would: the longest start of it that the
// codec would place.
void explainSerialRoom(WordTransport& transport, const ft232r::Decoded& current,
                       const ft232r::Fields& fields) {
    ft232r::Fields shorter = fields;
    std::size_t room = fields.serial.size();
    while (room > 0) {
        shorter.serial = fields.serial.substr(0, --room);
        if (ft232r::planChange(current, current.fields, shorter).status == ft232r::Invalid::None) {
            break;
        }
    }
    transport.explain("the serial number " + printable(fields.serial) + " (" +
                      std::to_string(fields.serial.size()) +
                      " characters) does not fit the string area: room for " +
                      std::to_string(room));
}

}  // namespace

extern "C" {

FT_STATUS WINAPI FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags) {
    DeviceBus& bus = d2xx::deviceBus();
    d2xx::ChosenDevices chosen;
    const FT_STATUS status = d2xx::listChosen(bus, chosen);
    if (status != FT_OK) {
        return status;
    }
    if (!chosen.why.empty()) {
        bus.explain(chosen.why);
    }
    // Only what varnolt asks: one device's description, by its index.
    if (flags != (FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION)) {
        return FT_INVALID_PARAMETER;
    }
    // The index travels in the pointer-sized first argument.
    const auto index = reinterpret_cast<std::uintptr_t>(arg1);
    if (arg2 == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    if (index >= chosen.devices.size()) {
        return FT_DEVICE_NOT_FOUND;
    }
    copyText(static_cast<char*>(arg2), kListingBytes, chosen.devices[index].description);
    return FT_OK;
}

FT_HANDLE WINAPI FT_W32_CreateFile(const char* name, DWORD access, DWORD shareMode,
                                   LPVOID securityAttributes, DWORD creation, DWORD attrsAndFlags,
                                   HANDLE templateFile) {
    (void)access;
    (void)shareMode;
    (void)securityAttributes;
    (void)creation;
    (void)templateFile;
    DeviceBus& bus = d2xx::deviceBus();
    // Opened by description only, as varnolt opens.
    if (name == nullptr || (attrsAndFlags & FT_OPEN_BY_DESCRIPTION) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    // The devices as the listing found them: the device opened is the one
    // listed, and no device is asked for its strings twice in a run.
    d2xx::ChosenDevices chosen;
    if (d2xx::listChosen(bus, chosen, d2xx::Listing::Kept) != FT_OK) {
        return INVALID_HANDLE_VALUE;
    }
    const std::vector<d2xx::DeviceEntry>& devices = chosen.devices;
    // The first listed device whose string, cut as the listing cuts it into
    // a buffer, matches exactly: a name taken from FT_ListDevices finds its
    // device however long the device's own string is.
    auto listedName = [&](const d2xx::DeviceEntry& device) {
        return device.description.substr(0, kListingBytes - 1);
    };
    std::size_t index = 0;
    while (index < devices.size() && listedName(devices[index]) != name) {
        ++index;
    }
    if (index == devices.size()) {
        return INVALID_HANDLE_VALUE;
    }
    // With several chips attached and none chosen, which one this is.
    if (!chosen.choice.given && devices.size() > 1) {
        std::string all;
        for (const d2xx::DeviceEntry& device : devices) {
            all += (all.empty() ? "" : ", ") + d2xx::placeAndSerial(device);
        }
        bus.explain(std::to_string(devices.size()) + " FT232R devices attached: " + all +
                    "; using " + d2xx::placeAndSerial(devices[index]) + " (" +
                    d2xx::kDeviceVariable + "=PORT chooses one, e.g. " + devices[index].port + ")");
    }
    auto device = std::make_unique<Device>();
    if (bus.open(chosen.busIndex[index], device->transport) != FT_OK) {
        return INVALID_HANDLE_VALUE;
    }
    OpenDevices& registry = openDevices();
    std::lock_guard<RegistryMutex> lock(registry.mutex);
    Device* handle = device.release();
    registry.devices.insert(handle);
    return handle;
}

FT_STATUS WINAPI FT_EE_Read(FT_HANDLE handle, PFT_PROGRAM_DATA data) {
    Device* device = lookup(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (!headerOk(data)) {
        return FT_INVALID_PARAMETER;
    }
    FT_STATUS status = d2xx::readImage(*device->transport, device->image);
    const ft232r::Decoded read = ft232r::decodeImage(device->image);
    if (status == FT_OK) {
        status = readStatus(read);
    }
    device->imageValid = status == FT_OK;
    if (status == FT_EEPROM_NOT_PROGRAMMED) {
        device->transport->explain("the EEPROM is blank (every byte 0xFF)");
    } else if (status == FT_EEPROM_READ_FAILED) {
        const std::string fault = ft232r::structureFault(device->image);
        if (!fault.empty()) device->transport->explain("the EEPROM image is broken: " + fault);
    }
    if (status == FT_OK) {
        fillRecord(shownFields(read.fields), *data);
    }
    return status;
}

FT_STATUS WINAPI FT_EE_Program(FT_HANDLE handle, PFT_PROGRAM_DATA data) {
    Device* device = lookup(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (!headerOk(data)) {
        return FT_INVALID_PARAMETER;
    }
    // Start from what the device holds: the image is never built from
    // scratch, and bytes the record does not cover stay as they are.  The
    // image FT_EE_Read just read on this handle is what it holds.
    ft232r::Image image = device->image;
    FT_STATUS status = FT_OK;
    if (!device->imageValid) {
        status = d2xx::readImage(*device->transport, image);
    }
    const ft232r::Decoded current = ft232r::decodeImage(image);
    if (status == FT_OK) {
        status = readStatus(current);
    }
    if (status != FT_OK) {
        return status;
    }
    // The record is compared with what FT_EE_Read hands out for this image:
    // a field the caller left as handed out is unchanged, and a string cut
    // to fit its buffer keeps its whole stored text (a caller that sets a
    // string to exactly that cut text therefore keeps the longer one).
    // Only what changed is checked, and every check comes before the first
    // write.
    ft232r::Fields fields = shownFields(current.fields);
    if (!takeRecord(*data, fields)) {
        return FT_INVALID_PARAMETER;
    }
    const ft232r::Change change = d2xx::planProgram(current, fields);
    if (change.status != ft232r::Invalid::None) {
        const ft232r::Fields& stored = current.fields;
        if (change.status == ft232r::Invalid::Cbus) {
            explainCbus(*device->transport, stored, change.fields);
        } else if (change.status == ft232r::Invalid::NoRoom &&
                   change.fields.serial != stored.serial) {
            explainSerialRoom(*device->transport, current, change.fields);
        }
        return FT_INVALID_PARAMETER;
    }
    device->imageValid = false;
    status = d2xx::programImage(*device->transport, change).status;
    if (status == FT_OK) {
        device->transport->programmed();
    }
    return status;
}

BOOL WINAPI FT_W32_CloseHandle(FT_HANDLE handle) {
    Device* device = nullptr;
    {
        OpenDevices& registry = openDevices();
        std::lock_guard<RegistryMutex> lock(registry.mutex);
        auto found = registry.devices.find(static_cast<Device*>(handle));
        if (found == registry.devices.end()) {
            return 0;
        }
        device = *found;
        registry.devices.erase(found);
    }
    // The handle is gone whatever the close says: it is never closed twice.
    const FT_STATUS status = device->transport->close();
    delete device;
    return status == FT_OK ? 1 : 0;
}

}  // extern "C"
