#pragma once
#include <cstdint>

namespace rivu::platform {

// A kernel object as the backend knows it: a HANDLE on Windows, a file
// descriptor on POSIX. Only the backend that made it looks inside.
using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kInvalidHandle = -1;

}  // namespace rivu::platform
