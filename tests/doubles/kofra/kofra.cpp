// A stand-in for the host's activation library. Its class factory entry
// brings up a log service (as the real one starts the host's services) that
// appends each line to the file named by RIVU_TEST_KOFRA_LOG. With
// RIVU_TEST_KOFRA_FAIL set, the entry fails instead.
// clang-format off
#include <windows.h>
#include <ole2.h>
// clang-format on

#include <cstdint>
#include <cstdio>
#include <string>

#ifndef KOFRA_WITHOUT_ENTRY
namespace {

constexpr GUID kLogServiceClass = {0x4AB9F3B6, 0x497C, 0x4C4E, {0xB0, 0xAD, 0x8D, 0xDD, 0x61, 0x36, 0xFD, 0x96}};
constexpr GUID kLogServiceInterface = {0xEBAD47D0, 0xA398, 0x11D3, {0x80, 0xC0, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};
constexpr GUID kActivationClass = {0x818DA440, 0x8037, 0x11D3, {0x80, 0xBC, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};

// Both objects are static: counting references has nothing to free.
struct StaticObject {
    const void* const* vtable;
    const GUID* answers;  // besides IUnknown
};

HRESULT QueryInterfaceOf(void* self, const GUID* iid, void** out) {
    if (out == nullptr) return E_POINTER;
    auto* object = static_cast<StaticObject*>(self);
    if (*iid == IID_IUnknown || (object->answers != nullptr && *iid == *object->answers)) {
        *out = self;
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}
ULONG AddRefOf(void*) { return 2; }
ULONG ReleaseOf(void*) { return 1; }

// Slot 3 of the log service: the line as a string object, read through its
// Length (slot 3) and CopyTo (slot 5) operations.
HRESULT WriteLine(void*, void* line) {
    using LengthFunction = std::int32_t (*)(void*);
    using CopyToFunction = std::int32_t (*)(void*, char16_t*, std::int32_t);
    void** table = *static_cast<void***>(line);
    std::int32_t length = reinterpret_cast<LengthFunction>(table[3])(line);
    std::u16string text(length > 0 ? length + 1 : 1, u'\0');
    std::int32_t copied = reinterpret_cast<CopyToFunction>(table[5])(line, text.data(), length + 1);
    text.resize(copied > 0 ? copied : 0);

    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"RIVU_TEST_KOFRA_LOG", path, MAX_PATH) == 0) return S_OK;
    FILE* file = _wfopen(path, L"ab");
    if (file == nullptr) return E_FAIL;
    std::string bytes;
    for (char16_t c : text) bytes += c < 0x80 ? static_cast<char>(c) : '?';
    bytes += '\n';
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return S_OK;
}

const void* const kLogServiceTable[] = {
    reinterpret_cast<const void*>(&QueryInterfaceOf), reinterpret_cast<const void*>(&AddRefOf),
    reinterpret_cast<const void*>(&ReleaseOf), reinterpret_cast<const void*>(&WriteLine)};
const void* const kActivationTable[] = {reinterpret_cast<const void*>(&QueryInterfaceOf),
                                        reinterpret_cast<const void*>(&AddRefOf),
                                        reinterpret_cast<const void*>(&ReleaseOf)};

StaticObject logService{kLogServiceTable, &kLogServiceInterface};
StaticObject activation{kActivationTable, nullptr};
DWORD logServiceCookie = 0;

}  // namespace

extern "C" __declspec(dllexport) HRESULT __stdcall DllGetClassObject(const GUID& clsid, const GUID& iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (GetEnvironmentVariableW(L"RIVU_TEST_KOFRA_FAIL", nullptr, 0) != 0) return E_UNEXPECTED;
    if (clsid != kActivationClass) return CLASS_E_CLASSNOTAVAILABLE;
    if (logServiceCookie == 0) {
        HRESULT hr = CoRegisterClassObject(kLogServiceClass, reinterpret_cast<IUnknown*>(&logService),
                                           CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &logServiceCookie);
        if (FAILED(hr)) return hr;
    }
    return QueryInterfaceOf(&activation, &iid, out);
}
#endif

// Present in both variants, so that the one without the class factory is still a library with an export.
extern "C" __declspec(dllexport) int KofraVersion() { return 1; }
