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

}  // namespace rivu::platform
