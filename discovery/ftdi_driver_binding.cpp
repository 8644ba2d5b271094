#include "discovery/ftdi_driver_binding.h"

#include <utility>

namespace rivu {

FtdiDriverBinding::FtdiDriverBinding() {
    std::unique_ptr<platform::FtdiDriver> driver;
    const platform::FtdiLoadResult result = platform::LoadFtdiDriver(driver);
    Bind(result, std::move(driver));
}

FtdiDriverBinding::FtdiDriverBinding(platform::FtdiLoadResult result, std::unique_ptr<platform::FtdiDriver> driver) {
    Bind(result, std::move(driver));
}

void FtdiDriverBinding::Bind(platform::FtdiLoadResult result, std::unique_ptr<platform::FtdiDriver> driver) {
    switch (result) {
        case platform::FtdiLoadResult::kLoaded:
            module_ = std::move(driver);
            if (module_ == nullptr) driverNotInstalled = true;
            break;
        case platform::FtdiLoadResult::kNotInstalled:
            driverNotInstalled = true;
            break;
        case platform::FtdiLoadResult::kEntryPointMissing:
            driverCannotLoad = true;
            break;
    }
}

bool FtdiDriverBinding::CheckUsable() {
    if (Usable()) return true;
    driverCannotLoad = true;
    return false;
}

platform::FtStatus FtdiDriverBinding::Open(std::int32_t deviceIndex, platform::FtHandle& handle) {
    if (!CheckUsable()) return platform::kFtOtherError;
    return module_->Open(deviceIndex, handle);
}

platform::FtStatus FtdiDriverBinding::GetDeviceInfo(platform::FtHandle handle, std::uint32_t& deviceType,
                                                    std::uint32_t& deviceId, char* serialNumber, char* description) {
    if (!CheckUsable()) return platform::kFtOtherError;
    return module_->GetDeviceInfo(handle, deviceType, deviceId, serialNumber, description);
}

platform::FtStatus FtdiDriverBinding::GetComPortNumber(platform::FtHandle handle, std::int32_t& number) {
    if (!CheckUsable()) return platform::kFtOtherError;
    return module_->GetComPortNumber(handle, number);
}

platform::FtStatus FtdiDriverBinding::Close(platform::FtHandle handle) {
    if (!CheckUsable()) return platform::kFtOtherError;
    return module_->Close(handle);
}

}  // namespace rivu
