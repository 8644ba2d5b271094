#include "tools/host-objects/enabler_library.h"

#include <vector>

#include "platform/system_error.h"

namespace rivu::host {

namespace {

// The system's text (UTF-16) as UTF-8.
std::string Utf8(const std::u16string& text) {
    std::string utf8;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (code < 0x80) {
            utf8 += static_cast<char>(code);
        } else if (code < 0x800) {
            utf8 += static_cast<char>(0xC0 | (code >> 6));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            utf8 += static_cast<char>(0xE0 | (code >> 12));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            utf8 += static_cast<char>(0xF0 | (code >> 18));
            utf8 += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return utf8;
}

}  // namespace

template <typename Function>
bool EnablerLibrary::Resolve(Function& function, const char* name) {
    function = reinterpret_cast<Function>(library_.Resolve(name));
    if (function == nullptr && error_.empty()) error_ = std::string("the library has no export ") + name;
    return function != nullptr;
}

bool EnablerLibrary::Load(const std::u16string& path) {
    error_.clear();
    platform::ClearFailure();
    if (!library_.Load(path)) {
        // The loader's own reason (dlerror, or the system's text for
        // LoadLibraryW's error code).
        const platform::SystemFailure failure = platform::TakeFailure();
        error_ = "the library cannot be loaded";
        if (!failure.call.empty()) error_ += ": " + Utf8(platform::DescribeFailure(failure));
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
