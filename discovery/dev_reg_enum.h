#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/port_inventory.h"
#include "support/guid.h"

namespace rivu {

// GUID_DEVINTERFACE_COMPORT {86E0D1E0-8089-11D0-9CE4-08003E301F73}.
inline constexpr Guid kComPortInterfaceClass = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// DIGCF_PRESENT | DIGCF_DEVICEINTERFACE.
inline constexpr std::uint32_t kPresentInterfaces = 0x12;

// Walks the present COM-port interfaces one at a time. The walk position
// survives between calls; any failed fetch ends the walk (nextIndex -1) and
// closes the snapshot.
class DevRegEnum {
public:
    // Opens the snapshot of the system's COM-port interfaces.
    DevRegEnum();
    // The same over an inventory of the caller's.
    explicit DevRegEnum(std::unique_ptr<platform::PortInventory> inventory);
    virtual ~DevRegEnum();
    DevRegEnum(const DevRegEnum&) = delete;
    DevRegEnum& operator=(const DevRegEnum&) = delete;

    // Advances to the next interface; false once the walk has run out.
    virtual bool Next();
    // Keeps the part after the last key, then the part before the first
    // backslash: FTDIBUS\VID_0403+PID_6001+KSC01234A\0000 gives KSC01234A.
    virtual void StripToSerial(std::u16string& text, char16_t key) const;
    virtual void GetDevicePath(std::u16string& out) const;
    virtual std::u16string GetInstanceId() const;
    virtual std::u16string GetFriendlyName() const;
    virtual std::u16string GetManufacturer() const;
    // Reads interface number index into the fields.
    virtual bool FetchItem(std::int32_t index);

    // Opens the snapshot when it is closed and the inventory is usable.
    void Open();

    std::u16string friendlyName;
    std::u16string deviceDescription;
    std::u16string manufacturer;
    std::u16string instanceId;
    std::u16string devicePath;
    // The current item's path in the setup API's form, which carries the serial,
    // for identification (see PortInventory::ReadIdentificationPath).
    std::u16string interfacePath;
    const Guid* interfaceClass = &kComPortInterfaceClass;
    std::uint32_t classFlags = kPresentInterfaces;
    std::int32_t nextIndex = -1;
    std::int32_t currentIndex = 0;

private:
    void ReadProperty(platform::DeviceProperty property, std::u16string& field);

    std::unique_ptr<platform::PortInventory> inventory_;
};

}  // namespace rivu
