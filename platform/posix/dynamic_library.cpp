#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include "platform/posix/utf8_text.h"

namespace rivu::platform {

DynamicLibrary::~DynamicLibrary() { Free(); }

bool DynamicLibrary::Load(const std::u16string& pathOrName) {
    Free();
    if (pathOrName.empty()) return false;
    module_ = dlopen(posix::ToUtf8(pathOrName).c_str(), RTLD_NOW | RTLD_LOCAL);
    return module_ != nullptr;
}

void* DynamicLibrary::Resolve(const char* name) const {
    if (module_ == nullptr || name == nullptr) return nullptr;
    return dlsym(module_, name);
}

void DynamicLibrary::Free() {
    if (module_ != nullptr) {
        dlclose(module_);
        module_ = nullptr;
    }
}

}  // namespace rivu::platform
