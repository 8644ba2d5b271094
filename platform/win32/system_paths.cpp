#include "platform/system_paths.h"

#include <windows.h>
// The shell headers need windows.h first.
#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

namespace rivu::platform {

bool SystemDirectoryFile(const std::u16string& name, std::u16string& path) {
    wchar_t folder[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, 0, folder) != S_OK) return false;
    if (!PathAppendW(folder, reinterpret_cast<const wchar_t*>(name.c_str()))) return false;
    path.assign(reinterpret_cast<const char16_t*>(folder));
    return true;
}

std::u16string HostExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), length);
        if (buffer.size() >= 32768) return {};  // longer than any Windows path
        buffer.resize(buffer.size() * 2);
    }
}

std::u16string EnvironmentVariable(const char* name) {
    if (name == nullptr) return {};
    std::wstring wideName;
    for (const char* c = name; *c != '\0'; ++c) wideName.push_back(static_cast<unsigned char>(*c));
    const DWORD needed = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (needed == 0) return {};
    std::vector<wchar_t> value(needed);
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), needed);
    if (length == 0 || length >= needed) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(value.data()), length);
}

}  // namespace rivu::platform
