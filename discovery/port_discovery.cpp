#include "discovery/port_discovery.h"

#include <cstdint>
#include <string>

#include "discovery/dev_reg_enum.h"
#include "discovery/ftdi_driver_binding.h"
#include "discovery/identification.h"
#include "platform/code_pages.h"
#include "platform/ftdi_driver.h"
#include "platform/port_inventory.h"
#include "platform/system_error.h"
#include "serial/rivu_serial.h"
#include "support/log.h"

namespace rivu {
namespace {

// Process-wide, created on first use and destroyed only by ResetDiscovery,
// ShutdownDiscovery and UnloadDiscovery: plain pointers, so that no static
// destructor runs after the library's own teardown.
FtdiDriverBinding* driverBinding = nullptr;
DevRegEnum* portEnumerator = nullptr;

// A driver that opened every index would keep the lookup going forever.
constexpr std::int32_t kMaxFtdiDevices = 4096;

std::u16string AsciiLower(std::u16string text) {
    for (char16_t& unit : text) {
        if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
    }
    return text;
}

std::u16string ComPortName(std::int32_t number) {
    std::u16string name = u"com";
    if (number != -1) {
        for (char c : std::to_string(number)) name.push_back(static_cast<char16_t>(c));
    }
    return name;
}

void DestroyEnumerator() {
    delete portEnumerator;
    portEnumerator = nullptr;
}

void DiscardBinding() {
    if (driverBinding == nullptr) return;
    driverBinding->Unload();
    delete driverBinding;
    driverBinding = nullptr;
}

}  // namespace

std::unique_ptr<RivuSerial> DiscoverNextDevice(const char* selection) {
    platform::ClearFailure();
    if (driverBinding == nullptr) {
        driverBinding = new FtdiDriverBinding();
        LogSystemFailure(u"ftd2xx.dll not bound");
    }
    if (!driverBinding->Usable()) {
        // The binding and its flags stay for GetLastErrorMsg until CloseAll.
        LogEvent("", u"!!! Device driver not installed or missing.");
        return nullptr;
    }

    const std::vector<std::string> tokens = SplitSelection(selection != nullptr ? selection : "");
    if (portEnumerator == nullptr) portEnumerator = new DevRegEnum();

    while (portEnumerator->Next()) {
        const std::u16string id = portEnumerator->GetInstanceId();
        std::u16string identity = id;
        portEnumerator->StripToSerial(identity, u'+');
        if (identity.empty()) {
            // No serial in the instance id: ask the driver for the serial of the device on this COM port.
            std::u16string port;
            ReadPortName(id, port);
            LookupFtdiSerial(*driverBinding, port, identity);
        }
        if (MatchesAnyToken(tokens, identity)) {
            std::u16string path;
            portEnumerator->GetDevicePath(path);
            return std::make_unique<RivuSerial>(path, IdentifyDevice(portEnumerator->interfacePath, identity));
        }
    }

    ResetDiscovery();
    return nullptr;
}

void ResetDiscovery() {
    DestroyEnumerator();
    DiscardBinding();
}

DriverBindingStatus CurrentDriverBindingStatus() {
    DriverBindingStatus status;
    if (driverBinding != nullptr) {
        status.exists = true;
        status.driverNotInstalled = driverBinding->driverNotInstalled;
        status.driverCannotLoad = driverBinding->driverCannotLoad;
    }
    return status;
}

void ShutdownDiscovery() { ResetDiscovery(); }

void UnloadDiscovery() {
    ResetDiscovery();
    platform::ReleasePortInventory();
}

std::vector<std::string> SplitSelection(std::string_view selection) {
    std::vector<std::string> tokens;
    std::size_t start = 0;
    while (start < selection.size()) {
        const std::size_t comma = selection.find(',', start);
        if (comma == std::string_view::npos) {
            tokens.emplace_back(selection.substr(start));
            break;
        }
        tokens.emplace_back(selection.substr(start, comma - start));
        start = comma + 1;
    }
    if (tokens.empty()) tokens.emplace_back();
    return tokens;
}

bool MatchesAnyToken(const std::vector<std::string>& tokens, const std::u16string& identity) {
    std::string narrow;
    narrow.reserve(identity.size());
    for (char16_t unit : identity) narrow.push_back(static_cast<char>(unit & 0xFF));
    for (const std::string& token : tokens) {
        if (narrow.find(token) != std::string::npos) return true;
    }
    return false;
}

bool ReadPortName(const std::u16string& instanceId, std::u16string& port) {
    port.clear();
    std::u16string value;
    if (!platform::ReadDevicePortName(instanceId, value)) {
        LogSystemFailure(u"PortName of " + instanceId + u" not read");
        return false;
    }
    port = value.substr(0, value.find(u'\0'));
    return true;
}

bool LookupFtdiSerial(FtdiDriverBinding& binding, const std::u16string& port, std::u16string& serial) {
    if (!binding.Usable() || port.empty()) return false;
    const std::u16string wanted = AsciiLower(port);

    for (std::int32_t index = 0; index < kMaxFtdiDevices; ++index) {
        platform::FtHandle handle = nullptr;
        if (binding.Open(index, handle) != platform::kFtOk) return false;  // past the last device, or unusable

        std::uint32_t deviceType = 0;
        std::uint32_t deviceId = 0;
        char serialNumber[platform::kFtSerialNumberSize] = {};
        char description[platform::kFtDescriptionSize] = {};
        if (binding.GetDeviceInfo(handle, deviceType, deviceId, serialNumber, description) != platform::kFtOk) {
            binding.Close(handle);
            return false;
        }
        std::int32_t comPort = -1;
        if (binding.GetComPortNumber(handle, comPort) != platform::kFtOk) {
            binding.Close(handle);
            return false;
        }
        binding.Close(handle);

        if (ComPortName(comPort) == wanted) {
            // At most the buffer's 16 bytes, even when the driver left no NUL in it.
            serial = platform::AnsiToWide(serialNumber, sizeof serialNumber);
            return true;
        }
    }
    return false;
}

}  // namespace rivu
