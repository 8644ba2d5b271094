#pragma once
#include <cstdint>
#include <memory>

#include "platform/ftdi_driver.h"

namespace rivu {

// The D2XX driver as discovery holds it. Every call goes through Usable():
// a call on an unusable binding is not made, sets driverCannotLoad and fails.
class FtdiDriverBinding {
public:
    // Loads the system's driver and records why when it cannot be used.
    FtdiDriverBinding();
    // Binds the outcome of a load done elsewhere (a driver of the caller's).
    FtdiDriverBinding(platform::FtdiLoadResult result, std::unique_ptr<platform::FtdiDriver> driver);

    bool Usable() const { return module_ != nullptr && !driverNotInstalled && !driverCannotLoad; }
    bool Loaded() const { return module_ != nullptr; }
    // Frees the driver library; the flags stay.
    void Unload() { module_.reset(); }

    platform::FtStatus Open(std::int32_t deviceIndex, platform::FtHandle& handle);
    platform::FtStatus GetDeviceInfo(platform::FtHandle handle, std::uint32_t& deviceType, std::uint32_t& deviceId,
                                     char* serialNumber, char* description);
    platform::FtStatus GetComPortNumber(platform::FtHandle handle, std::int32_t& number);
    platform::FtStatus Close(platform::FtHandle handle);

    bool driverNotInstalled = false;  // the driver library cannot be loaded
    bool driverCannotLoad = false;    // it lacks an entry point, or a call met an unusable binding

private:
    void Bind(platform::FtdiLoadResult result, std::unique_ptr<platform::FtdiDriver> driver);
    bool CheckUsable();

    std::unique_ptr<platform::FtdiDriver> module_;
};

}  // namespace rivu
