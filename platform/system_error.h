#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace rivu::platform {

// The last operating-system failure of a platform operation on the calling
// thread: which call failed, the system's error code (errno on POSIX;
// GetLastError or the status a call returned on Windows) and the system's
// text for it. Backends record a failure where a call fails, before anything
// else can overwrite the code; the code that reports the failure reads it.
struct SystemFailure {
    std::string call;      // "open", "SetCommState", "dlopen libx.so" ...; empty: none recorded
    std::uint32_t code = 0;
    bool hasCode = false;    // false: the failure has no system error code
    std::u16string text;     // the system's text for code, or the failure's own explanation
};

// Records the calling thread's current error code (errno / GetLastError) as
// the failure of call. Returns false, for "return RecordFailure(...)".
bool RecordFailure(std::string_view call);
// Records code (a status a call returned) as the failure of call.
bool RecordFailure(std::string_view call, std::uint32_t code);
// Records a failure that has no code, with its own explanation (a hang-up, a
// time-out, a loader's message).
bool RecordFailure(std::string_view call, std::string_view explanation);

// Returns the failure last recorded on this thread and forgets it.
SystemFailure TakeFailure();
// True when a failure is recorded on this thread and not yet taken.
bool FailureRecorded();
// Forgets what this thread recorded (before an operation whose failure is
// to be reported).
void ClearFailure();

// The calling thread's current system error code (errno / GetLastError).
std::uint32_t CurrentErrorCode();

// The system's text for an error code (strerror / FormatMessageW), without
// trailing line breaks.
std::u16string SystemErrorText(std::uint32_t code);

// "open failed: error 2 (No such file or directory)"; "poll failed: the line
// hung up"; without a recorded failure "no system error recorded".
std::u16string DescribeFailure(const SystemFailure& failure);

}  // namespace rivu::platform
