#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace rivu::platform {

// The four calls of the FTDI D2XX driver that discovery uses, with the
// driver's own status values (FT_OK is 0).
using FtStatus = std::uint32_t;
using FtHandle = void*;
inline constexpr FtStatus kFtOk = 0;
inline constexpr FtStatus kFtDeviceNotFound = 2;
inline constexpr FtStatus kFtOtherError = 18;

// Sizes of the buffers FT_GetDeviceInfo fills: the serial number (NUL
// terminated, at most 16 bytes) and the description.
inline constexpr std::size_t kFtSerialNumberSize = 16;
inline constexpr std::size_t kFtDescriptionSize = 64;

class FtdiDriver {
public:
    virtual ~FtdiDriver() = default;  // unloads the driver library

    virtual FtStatus Open(std::int32_t deviceIndex, FtHandle& handle) = 0;
    virtual FtStatus GetDeviceInfo(FtHandle handle, std::uint32_t& deviceType, std::uint32_t& deviceId,
                                   char* serialNumber, char* description) = 0;
    // The device's COM port number, -1 when it has none.
    virtual FtStatus GetComPortNumber(FtHandle handle, std::int32_t& number) = 0;
    virtual FtStatus Close(FtHandle handle) = 0;
};

enum class FtdiLoadResult {
    kLoaded,             // driver set
    kNotInstalled,       // the driver library is not there or cannot be loaded
    kEntryPointMissing,  // it lacks one of the four calls; it was unloaded again
};

// Loads the system's D2XX driver. Windows: ftd2xx.dll by its full path in the
// system directory, never by bare name, with FT_Open, FT_GetDeviceInfo,
// FT_GetComPortNumber and FT_Close resolved in that order. POSIX: there is no
// separate driver library; the driver is always there and lists no device.
FtdiLoadResult LoadFtdiDriver(std::unique_ptr<FtdiDriver>& driver);

}  // namespace rivu::platform
