#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <string>

#include "platform/posix/utf8_text.h"
#include "platform/system_error.h"

namespace rivu::platform {

DynamicLibrary::~DynamicLibrary() { Free(); }

bool DynamicLibrary::Load(const std::u16string& pathOrName) {
    Free();
    if (pathOrName.empty()) return false;
    module_ = dlopen(posix::ToUtf8(pathOrName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ != nullptr) return true;
    // The loader explains its failures in a text of its own, not in errno.
    const char* reason = dlerror();
    return RecordFailure("dlopen", reason != nullptr ? reason : "no reason given");
}

void* DynamicLibrary::Resolve(const char* name) const {
    if (module_ == nullptr || name == nullptr) return nullptr;
    dlerror();
    void* address = dlsym(module_, name);
    if (address == nullptr) {
        const char* reason = dlerror();
        RecordFailure(std::string("dlsym ") + name, reason != nullptr ? reason : "no such symbol");
    }
    return address;
}

void DynamicLibrary::Free() {
    if (module_ != nullptr) {
        dlclose(module_);
        module_ = nullptr;
    }
}

}  // namespace rivu::platform
