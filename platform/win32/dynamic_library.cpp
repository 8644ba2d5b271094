#include "platform/dynamic_library.h"

#include <windows.h>

#include <string>

#include "platform/system_error.h"

namespace rivu::platform {

DynamicLibrary::~DynamicLibrary() { Free(); }

bool DynamicLibrary::Load(const std::u16string& pathOrName) {
    Free();
    if (pathOrName.empty()) return false;
    module_ = LoadLibraryW(reinterpret_cast<const wchar_t*>(pathOrName.c_str()));
    return module_ != nullptr || RecordFailure("LoadLibraryW");
}

void* DynamicLibrary::Resolve(const char* name) const {
    if (module_ == nullptr || name == nullptr) return nullptr;
    FARPROC address = GetProcAddress(static_cast<HMODULE>(module_), name);
    if (address == nullptr) RecordFailure(std::string("GetProcAddress ") + name);
    return reinterpret_cast<void*>(address);
}

void DynamicLibrary::Free() {
    if (module_ != nullptr) {
        FreeLibrary(static_cast<HMODULE>(module_));
        module_ = nullptr;
    }
}

}  // namespace rivu::platform
