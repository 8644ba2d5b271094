#include "discovery/dev_reg_enum.h"

#include <string>
#include <utility>

#include "support/log.h"
#include "support/log_format.h"

namespace rivu {

DevRegEnum::DevRegEnum() : DevRegEnum(platform::CreatePortInventory()) {}

DevRegEnum::DevRegEnum(std::unique_ptr<platform::PortInventory> inventory) : inventory_(std::move(inventory)) {
    Open();
}

DevRegEnum::~DevRegEnum() {
    if (inventory_ != nullptr) inventory_->CloseSnapshot();
}

void DevRegEnum::Open() {
    if (inventory_ == nullptr || inventory_->SnapshotOpen()) return;
    if (!inventory_->Usable()) {
        LogSystemFailure(u"port list not available");
        return;
    }
    if (inventory_->OpenSnapshot(*interfaceClass, classFlags)) {
        nextIndex = 0;
    } else {
        LogSystemFailure(u"port list not read");
    }
}

bool DevRegEnum::Next() {
    if (nextIndex < 0) return false;
    if (FetchItem(nextIndex)) {
        currentIndex = nextIndex;
        nextIndex += 1;
        return true;
    }
    if (inventory_ != nullptr) inventory_->CloseSnapshot();
    nextIndex = -1;
    currentIndex = -1;
    return false;
}

void DevRegEnum::StripToSerial(std::u16string& text, char16_t key) const {
    const std::size_t lastKey = text.rfind(key);
    if (lastKey != std::u16string::npos) text.erase(0, lastKey + 1);
    const std::size_t firstBackslash = text.find(u'\\');
    if (firstBackslash != std::u16string::npos) text.erase(firstBackslash);
}

void DevRegEnum::GetDevicePath(std::u16string& out) const { out = devicePath; }

std::u16string DevRegEnum::GetInstanceId() const { return instanceId; }

std::u16string DevRegEnum::GetFriendlyName() const { return friendlyName; }

std::u16string DevRegEnum::GetManufacturer() const { return manufacturer; }

bool DevRegEnum::FetchItem(std::int32_t index) {
    Open();
    if (inventory_ == nullptr || !inventory_->Usable()) return false;
    if (!inventory_->SelectInterface(*interfaceClass, index)) {
        // The normal end of the walk, unless the system reported a failure.
        LogSystemFailure(u"port list entry " + Widen(std::to_string(index)) + u" not read");
        return false;
    }

    bool result = false;
    std::u16string path;
    if (inventory_->ReadInterfacePath(path)) {
        if (!inventory_->ReadIdentificationPath(interfacePath)) interfacePath = path;
        devicePath = std::move(path);
        std::u16string id;
        if (inventory_->ReadInstanceId(id)) {
            instanceId = std::move(id);
            result = true;
        }
    }
    if (!result) LogSystemFailure(u"port list entry " + Widen(std::to_string(index)) + u" not read");
    // Properties are read whatever the result; a missing one leaves its field as it was.
    ReadProperty(platform::DeviceProperty::kManufacturer, manufacturer);
    ReadProperty(platform::DeviceProperty::kFriendlyName, friendlyName);
    ReadProperty(platform::DeviceProperty::kDeviceDescription, deviceDescription);
    return result;
}

void DevRegEnum::ReadProperty(platform::DeviceProperty property, std::u16string& field) {
    if (std::optional<std::u16string> value = inventory_->ReadProperty(property)) field = std::move(*value);
}

}  // namespace rivu
