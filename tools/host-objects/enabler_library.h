#pragma once
#include <string>

#include "platform/dynamic_library.h"
#include "rivu/enabler.h"

namespace rivu::host {

// The enabler as the host application sees it: a library loaded by path at
// run time, and its 18 exports looked up by name. Nothing is linked.
class EnablerLibrary {
public:
    // False when the library cannot be loaded or an export is missing;
    // Error() then says which.
    bool Load(const std::u16string& path);
    void Unload();
    const std::string& Error() const { return error_; }

    decltype(&::GetDeviceClassInfo) GetDeviceClassInfo = nullptr;
    decltype(&::FindDevice) FindDevice = nullptr;
    decltype(&::Initialise) Initialise = nullptr;
    decltype(&::CloseAll) CloseAll = nullptr;
    decltype(&::IsFailed) IsFailed = nullptr;
    decltype(&::CanUseBaudRate) CanUseBaudRate = nullptr;
    decltype(&::SetBaudRate) SetBaudRate = nullptr;
    decltype(&::GetBaudRate) GetBaudRate = nullptr;
    decltype(&::ReadLine) ReadLine = nullptr;
    decltype(&::FlushReadBuffer) FlushReadBuffer = nullptr;
    decltype(&::GetUniqueID) GetUniqueID = nullptr;
    decltype(&::DeviceCommand) DeviceCommand = nullptr;
    decltype(&::GetLastErrorMsg) GetLastErrorMsg = nullptr;
    decltype(&::InitOnMainThread) InitOnMainThread = nullptr;
    decltype(&::SetControllingProxy) SetControllingProxy = nullptr;
    decltype(&::ReadBuffSize) ReadBuffSize = nullptr;
    decltype(&::ReadBuffer) ReadBuffer = nullptr;
    decltype(&::WriteBuffer) WriteBuffer = nullptr;

    // The text of GetLastErrorMsg(index), asked for as the host does: size
    // first, then the text.
    std::string LastError(unsigned int index);

private:
    template <typename Function>
    bool Resolve(Function& function, const char* name);

    platform::DynamicLibrary library_;
    std::string error_;
};

}  // namespace rivu::host
