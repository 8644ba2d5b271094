#include "plugin/error_messages.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "discovery/port_discovery.h"
#include "platform/code_pages.h"
#include "plugin/device_table.h"
#include "serial/rivu_serial.h"

namespace rivu {
namespace {

constexpr char16_t kDriverNotInstalled[] =
    u"The device driver is not installed.\nPlease plug in your device and restart Vexamora.\n\n"
    u"Refer to the Device Enabler Installation Guide\nif you continue to see this message.";
constexpr char16_t kDriverCannotLoad[] = u"The device driver cannot be loaded.";
constexpr char16_t kDeviceNotFound[] = u"The device cannot be found.\nPlease plug in your device and restart Vexamora.";
constexpr char16_t kWrongFirmware[] =
    u"A device is connected, but can't be used due\nto wrong firmware version. Please contact support for a "
    u"firmware update.";
constexpr char16_t kNotRespondingPowerCycle[] =
    u"The device is not responding. Please power cycle the device and restart Vexamora.";
constexpr char16_t kNotResponding[] = u"The device is not responding or powered off.";

// Why the host has no usable device. With devices in the table the rows are
// tried across all of them in order, the first matching row winning: any
// device refused for its firmware, then any that did not answer.
// The size last reported for the no-device message to a call without a buffer.
std::atomic<std::int32_t> noDeviceSizeTold{0};

const char16_t* NoDeviceMessage() {
    if (device_table::Size() == 0) {
        const DriverBindingStatus driver = CurrentDriverBindingStatus();
        if (driver.exists && driver.driverNotInstalled) return kDriverNotInstalled;
        if (driver.exists && driver.driverCannotLoad) return kDriverCannotLoad;
        return kDeviceNotFound;
    }
    bool wrongFirmware = false;
    bool notResponding = false;
    device_table::ForEach([&](RivuSerial& device) {
        wrongFirmware = wrongFirmware || device.wrongFirmware.load();
        notResponding = notResponding || device.notResponding.load();
    });
    if (wrongFirmware) return kWrongFirmware;
    if (notResponding) return kNotRespondingPowerCycle;
    return kNotResponding;
}

}  // namespace

ZVC::ZVCString ErrorMessageFor(std::uint32_t index, bool& found) {
    found = true;
    if (index == kNoDeviceIndex) return ZVC::ZVCString(NoDeviceMessage());
    RivuSerial* device = device_table::At(index);
    if (device == nullptr) {
        found = false;
        return {};
    }
    return device->lastError.Get();
}

int DeliverErrorMessage(std::uint32_t index, char* buffer) {
    bool found = false;
    ZVC::ZVCString message = ErrorMessageFor(index, found);
    if (!found) return 0;
    RivuSerial* device = index != kNoDeviceIndex ? device_table::At(index) : nullptr;
    std::atomic<std::int32_t>& sizeTold = device != nullptr ? device->lastErrorSizeTold : noDeviceSizeTold;

    if (buffer == nullptr) {
        const int size = static_cast<int>(message.Length()) + 1;
        sizeTold.store(size);
        return size;
    }

    // The host allocated what its sizing call reported. The message may have
    // changed since (the reader thread stores one, a device's flags change):
    // one that no longer fits is not written and stays for the next call. The
    // buffer then holds an empty text: the host was told at least 1.
    const std::int32_t told = sizeTold.load();
    const std::size_t room = told > 0 ? static_cast<std::size_t>(told) - 1 : SIZE_MAX;
    const bool fits = device != nullptr
                          // Read and clear in one step: a message the reader thread
                          // stores meanwhile is kept for the next call, not lost.
                          ? device->lastError.TakeIfAtMost(room, message)
                          : message.Length() <= room;
    if (!fits) {
        buffer[0] = '\0';
        return 0;
    }
    // Delivered: the size belonged to this message only, and a later copy
    // without a new sizing call is judged against no stale size.
    sizeTold.store(0);
    const int size = static_cast<int>(message.Length()) + 1;

    // An OEM text with multi-byte characters is cut rather than written past
    // the size the host learned.
    const std::string narrow = platform::WideToOem(message.View());
    const std::size_t bytes = std::min(narrow.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, narrow.data(), bytes);
    buffer[bytes] = '\0';
    return size;
}

}  // namespace rivu
