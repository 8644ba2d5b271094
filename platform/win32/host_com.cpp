#include "platform/host_com.h"

// clang-format off
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
// clang-format on

#include "support/system_string.h"

namespace rivu::platform {
namespace {

static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(sizeof(wchar_t) == sizeof(char16_t));

const GUID& AsGuid(const Guid& guid) { return reinterpret_cast<const GUID&>(guid); }
const wchar_t* AsWide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// In-process server, in-process handler, local server and remote server.
constexpr DWORD kAllServerContexts = 23;

}  // namespace

HResult GetClassObject(const Guid& clsid, const Guid& iid, void** out) {
    return CoGetClassObject(AsGuid(clsid), kAllServerContexts, nullptr, AsGuid(iid), out);
}

HResult InitializeOle() { return OleInitialize(nullptr); }

void UninitializeOle() { OleUninitialize(); }

HResult RegisterClassObject(const Guid& clsid, void* object, std::uint32_t& cookie) {
    DWORD registration = 0;
    HRESULT hr = CoRegisterClassObject(AsGuid(clsid), static_cast<IUnknown*>(object), CLSCTX_INPROC_SERVER,
                                       REGCLS_MULTIPLEUSE, &registration);
    cookie = registration;
    return hr;
}

void RevokeClassObject(std::uint32_t cookie) { CoRevokeClassObject(cookie); }

void ShowMessageBox(const std::u16string& text, const std::u16string& caption) {
    MessageBoxExW(nullptr, AsWide(text), AsWide(caption), 0, 0);
}

void ExitProcessWith(int exitCode) { ExitProcess(static_cast<UINT>(exitCode)); }

}  // namespace rivu::platform

namespace rivu {

void* AllocateSystemString(const char16_t* text, std::uint32_t length) {
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text), length);
}

void FreeSystemString(void* text) { SysFreeString(static_cast<BSTR>(text)); }

}  // namespace rivu
