// FTDI ports on POSIX are served by the kernel's ftdi_sio driver, and their
// serial numbers are already part of the instance ids that the port inventory
// builds from sysfs. There is no D2XX library to load: the driver is always
// there and lists no device of its own, so a lookup by COM number finds none.
#include "platform/ftdi_driver.h"

namespace rivu::platform {
namespace {

constexpr FtStatus kFtInvalidHandle = 1;

class KernelFtdiDriver final : public FtdiDriver {
public:
    FtStatus Open(std::int32_t, FtHandle& handle) override {
        handle = nullptr;
        return kFtDeviceNotFound;
    }
    FtStatus GetDeviceInfo(FtHandle, std::uint32_t&, std::uint32_t&, char*, char*) override { return kFtInvalidHandle; }
    FtStatus GetComPortNumber(FtHandle, std::int32_t&) override { return kFtInvalidHandle; }
    FtStatus Close(FtHandle) override { return kFtInvalidHandle; }
};

}  // namespace

FtdiLoadResult LoadFtdiDriver(std::unique_ptr<FtdiDriver>& driver) {
    driver = std::make_unique<KernelFtdiDriver>();
    return FtdiLoadResult::kLoaded;
}

}  // namespace rivu::platform
