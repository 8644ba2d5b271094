#pragma once
#include <cstdint>

namespace rivu {

// HRESULT-style status of internal operations: 0 success, negative failure.
using HResult = std::int32_t;
inline constexpr HResult kOk = 0;
inline constexpr HResult kFail = static_cast<HResult>(0x80004005u);      // E_FAIL
inline constexpr HResult kNoInterface = static_cast<HResult>(0x80004002u);  // E_NOINTERFACE
inline constexpr HResult kPointer = static_cast<HResult>(0x80004003u);   // E_POINTER
inline constexpr HResult kClassNotAvailable = static_cast<HResult>(0x80040111u);  // CLASS_E_CLASSNOTAVAILABLE

inline bool Failed(HResult hr) { return hr < 0; }
inline bool Succeeded(HResult hr) { return hr >= 0; }

}  // namespace rivu
