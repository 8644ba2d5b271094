#pragma once
#include <cstdint>
#include <string>

#include "support/guid.h"
#include "support/hresult.h"

namespace rivu::platform {

// The COM calls of the host services. Windows: the real COM runtime.
// POSIX: the host log-service class resolves to the enabler's file sink
// (lines appended to RIVU_LOG_FILE; dropped without it) with no clock; every
// other class is unavailable; OLE and registration succeed trivially.

// CoGetClassObject(clsid, 23 = all server contexts, no server info, iid, out).
HResult GetClassObject(const Guid& clsid, const Guid& iid, void** out);
HResult InitializeOle();    // OleInitialize(nullptr)
void UninitializeOle();     // OleUninitialize()
// CoRegisterClassObject(clsid, object, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE).
HResult RegisterClassObject(const Guid& clsid, void* object, std::uint32_t& cookie);
void RevokeClassObject(std::uint32_t cookie);
// MessageBoxExW(no owner, text, caption, style 0, default language).
void ShowMessageBox(const std::u16string& text, const std::u16string& caption);
[[noreturn]] void ExitProcessWith(int exitCode);

// A system string holding a copy of length units of text: a BSTR from
// SysAllocStringLen on Windows; a malloc'ed NUL-terminated copy on POSIX.
// Null when out of memory. The receiver frees it with FreeSystemString
// (SysFreeString / free).
void* AllocateSystemString(const char16_t* text, std::uint32_t length);
void FreeSystemString(void* text);

// COM identifiers of the host's log service and activation library.
inline constexpr Guid kCLSID_HostLogService = {
    0x4AB9F3B6, 0x497C, 0x4C4E, {0xB0, 0xAD, 0x8D, 0xDD, 0x61, 0x36, 0xFD, 0x96}};
inline constexpr Guid kIID_HostLogService = {
    0xEBAD47D0, 0xA398, 0x11D3, {0x80, 0xC0, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};
// Queried from the log service; slot 3 writes the host's reference tick.
inline constexpr Guid kIID_HostClock = {0x692CB895, 0x4020, 0x4F07, {0x8F, 0x2E, 0xF5, 0x43, 0xE5, 0x9D, 0xFF, 0xC5}};
// The class that Kofra.dll exports through DllGetClassObject.
inline constexpr Guid kCLSID_HostActivation = {
    0x818DA440, 0x8037, 0x11D3, {0x80, 0xBC, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};
inline constexpr int kLogServiceWriteSlot = 3;  // (ZVCString* line)
inline constexpr int kHostClockTickSlot = 3;    // (uint32* referenceTick)

}  // namespace rivu::platform
