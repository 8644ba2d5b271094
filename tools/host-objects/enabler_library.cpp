#include "tools/host-objects/enabler_library.h"

#include <vector>

namespace rivu::host {

template <typename Function>
bool EnablerLibrary::Resolve(Function& function, const char* name) {
    function = reinterpret_cast<Function>(library_.Resolve(name));
    if (function == nullptr && error_.empty()) error_ = std::string("the library has no export ") + name;
    return function != nullptr;
}

bool EnablerLibrary::Load(const std::u16string& path) {
    error_.clear();
    if (!library_.Load(path)) {
        error_ = "the library cannot be loaded";
        return false;
    }
    bool all = true;
    all &= Resolve(GetDeviceClassInfo, "GetDeviceClassInfo");
    all &= Resolve(FindDevice, "FindDevice");
    all &= Resolve(Initialise, "Initialise");
    all &= Resolve(CloseAll, "CloseAll");
    all &= Resolve(IsFailed, "IsFailed");
    all &= Resolve(CanUseBaudRate, "CanUseBaudRate");
    all &= Resolve(SetBaudRate, "SetBaudRate");
    all &= Resolve(GetBaudRate, "GetBaudRate");
    all &= Resolve(ReadLine, "ReadLine");
    all &= Resolve(FlushReadBuffer, "FlushReadBuffer");
    all &= Resolve(GetUniqueID, "GetUniqueID");
    all &= Resolve(DeviceCommand, "DeviceCommand");
    all &= Resolve(GetLastErrorMsg, "GetLastErrorMsg");
    all &= Resolve(InitOnMainThread, "InitOnMainThread");
    all &= Resolve(SetControllingProxy, "SetControllingProxy");
    all &= Resolve(ReadBuffSize, "ReadBuffSize");
    all &= Resolve(ReadBuffer, "ReadBuffer");
    all &= Resolve(WriteBuffer, "WriteBuffer");
    if (!all) library_.Free();
    return all;
}

void EnablerLibrary::Unload() { library_.Free(); }

std::string EnablerLibrary::LastError(unsigned int index) {
    const int size = GetLastErrorMsg(index, nullptr);
    if (size <= 0) return {};
    std::vector<char> text(static_cast<std::size_t>(size) + 1, '\0');
    GetLastErrorMsg(index, text.data());
    return std::string(text.data());
}

}  // namespace rivu::host
