#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "support/guid.h"

namespace rivu::platform {

// Registry properties of a device as the setup API numbers them.
enum class DeviceProperty : std::uint32_t {
    kDeviceDescription = 0x00,  // SPDRP_DEVICEDESC
    kManufacturer = 0x0B,       // SPDRP_MFG
    kFriendlyName = 0x0C,       // SPDRP_FRIENDLYNAME
};

// The device interfaces of one class that the system reports, read one at a
// time from a snapshot (a device-information set). Windows: the setup API,
// bound at run time from SETUPAPI.DLL. POSIX: the ports named in
// RIVU_SERIAL_PORTS, then the USB serial ports under /sys/class/tty.
class PortInventory {
public:
    virtual ~PortInventory() = default;  // closes the snapshot if open

    // Whether the system's enumeration service is there at all (on Windows:
    // the setup API is bound with every entry point it needs).
    virtual bool Usable() const = 0;

    // Takes a snapshot of the present interfaces of the class; false when it
    // cannot be taken. A snapshot already open is kept.
    virtual bool OpenSnapshot(const Guid& interfaceClass, std::uint32_t flags) = 0;
    virtual bool SnapshotOpen() const = 0;
    virtual void CloseSnapshot() = 0;

    // Selects interface number index of the snapshot; false past the last one.
    virtual bool SelectInterface(const Guid& interfaceClass, std::int32_t index) = 0;
    // Of the selected interface: its device path (the name it is opened by),
    // then the instance id and properties of its device. ReadInstanceId and
    // ReadProperty need a successful ReadInterfacePath first.
    virtual bool ReadInterfacePath(std::u16string& path) = 0;
    // The selected interface's path in the form the Windows setup API gives
    // it (\\?\ftdibus#vid_0403+pid_6001+ksc01234a#0000#{86e0d1e0-...}), which
    // identification and the unique id read, so that an instrument has the
    // same serial number and id on every platform. Where the system names
    // ports that way (Windows), it is the interface path itself.
    virtual bool ReadIdentificationPath(std::u16string& path) { return ReadInterfacePath(path); }
    virtual bool ReadInstanceId(std::u16string& instanceId) = 0;
    // Nothing when the device has no such property or it cannot be read.
    virtual std::optional<std::u16string> ReadProperty(DeviceProperty property) = 0;
};

std::unique_ptr<PortInventory> CreatePortInventory();

// The PortName value kept for a device instance (on Windows under
// HKLM\System\CurrentControlSet\Enum\<id>\Device Parameters); false when
// there is none or it is not a text.
bool ReadDevicePortName(const std::u16string& instanceId, std::u16string& portName);

// Library unload: releases what the enumeration service bound (on Windows
// the setup API).
void ReleasePortInventory();

}  // namespace rivu::platform
