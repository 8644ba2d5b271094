#pragma once
#include <string>

namespace rivu::platform {

// A library loaded at run time (LoadLibraryW / dlopen) and its entry points.
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();  // frees the library if still loaded
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads by full path or by bare file name; frees a library held before.
    bool Load(const std::u16string& pathOrName);
    bool Loaded() const { return module_ != nullptr; }
    // The address of an export, or null.
    void* Resolve(const char* name) const;
    void Free();

private:
    void* module_ = nullptr;
};

}  // namespace rivu::platform
