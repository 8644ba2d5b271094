#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "support/log.h"

namespace rivu {

// The log lines (LogLine, LogEvent, LogSystemFailure) are declared in
// support/log.h and defined here.

// The host's log service (weak, cached), or null.
void* GetLogService();

// Milliseconds on the host's time line: since the first call, plus the
// offset of the host's reference tick when the host clock is available.
// 32-bit, wrapping like GetTickCount.
std::int32_t HostMilliseconds();

// Makes the host's activation class available, once per process. May throw
// ZVC::XZVC / ZVC::XHResult, or end the process when Kofra.dll is unusable.
void EnsureHostActivation();

// While stopped, lines go only to a log service already found: the library
// is unloading and nothing may be loaded or looked up.
void StopHostServiceLookups(bool stopped);

// Releases the process-wide host-service state (library unload).
void ShutdownHostServices();

// The pieces of the above that are plain arithmetic and text.

// The clock value: steady - base + offset in 32-bit wrapping arithmetic
// (only the low 32 bits of the 64-bit readings take part).
std::int32_t HostClockValue(std::int64_t steadyMs, std::int64_t baseMs, std::int32_t offsetMs);
// Offset of the host's time line: tick count - reference tick, wrapping.
std::int32_t HostClockOffset(std::uint32_t tickCount, std::uint32_t referenceTick);
// Kofra.dll in the directory of the host executable, "." and ".." resolved.
std::u16string ActivationLibraryPath(std::u16string_view hostExecutable);
// "Velmar failed to load " + path, cut to at most 511 characters in all.
std::u16string ActivationFailureMessage(std::u16string_view libraryPath);

}  // namespace rivu
