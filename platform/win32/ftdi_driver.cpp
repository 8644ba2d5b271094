// The FTDI D2XX driver library, bound at run time (never linked) from the
// system directory by its full path.
#include "platform/ftdi_driver.h"

#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/system_paths.h"

namespace rivu::platform {
namespace {

using FtOpenFn = ULONG(WINAPI*)(int deviceNumber, void** handle);
using FtGetDeviceInfoFn = ULONG(WINAPI*)(void* handle, ULONG* deviceType, DWORD* deviceId, char* serialNumber,
                                         char* description, void* reserved);
using FtGetComPortNumberFn = ULONG(WINAPI*)(void* handle, LONG* comPortNumber);
using FtCloseFn = ULONG(WINAPI*)(void* handle);

class D2xxLibrary final : public FtdiDriver {
public:
    // Loads the library and resolves the four calls in order, stopping at the
    // first that is missing (the library is then freed again).
    FtdiLoadResult Load() {
        std::u16string path;
        if (!SystemDirectoryFile(u"ftd2xx.dll", path) || !library_.Load(path)) {
            return FtdiLoadResult::kNotInstalled;
        }
        if ((open_ = reinterpret_cast<FtOpenFn>(library_.Resolve("FT_Open"))) == nullptr ||
            (getDeviceInfo_ = reinterpret_cast<FtGetDeviceInfoFn>(library_.Resolve("FT_GetDeviceInfo"))) == nullptr ||
            (getComPortNumber_ = reinterpret_cast<FtGetComPortNumberFn>(library_.Resolve("FT_GetComPortNumber"))) ==
                nullptr ||
            (close_ = reinterpret_cast<FtCloseFn>(library_.Resolve("FT_Close"))) == nullptr) {
            library_.Free();
            return FtdiLoadResult::kEntryPointMissing;
        }
        return FtdiLoadResult::kLoaded;
    }

    FtStatus Open(std::int32_t deviceIndex, FtHandle& handle) override {
        void* opened = nullptr;
        const ULONG status = open_(deviceIndex, &opened);
        handle = opened;
        return status;
    }

    FtStatus GetDeviceInfo(FtHandle handle, std::uint32_t& deviceType, std::uint32_t& deviceId, char* serialNumber,
                           char* description) override {
        ULONG type = 0;
        DWORD id = 0;
        const ULONG status = getDeviceInfo_(handle, &type, &id, serialNumber, description, nullptr);
        deviceType = type;
        deviceId = id;
        return status;
    }

    FtStatus GetComPortNumber(FtHandle handle, std::int32_t& number) override {
        LONG port = -1;
        const ULONG status = getComPortNumber_(handle, &port);
        number = port;
        return status;
    }

    FtStatus Close(FtHandle handle) override { return close_(handle); }

private:
    DynamicLibrary library_;
    FtOpenFn open_ = nullptr;
    FtGetDeviceInfoFn getDeviceInfo_ = nullptr;
    FtGetComPortNumberFn getComPortNumber_ = nullptr;
    FtCloseFn close_ = nullptr;
};

}  // namespace

FtdiLoadResult LoadFtdiDriver(std::unique_ptr<FtdiDriver>& driver) {
    auto library = std::make_unique<D2xxLibrary>();
    const FtdiLoadResult result = library->Load();
    if (result == FtdiLoadResult::kLoaded) driver = std::move(library);
    return result;
}

}  // namespace rivu::platform
