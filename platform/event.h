#pragma once
#include <cstdint>

#include "platform/native_handle.h"

namespace rivu::platform {

inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// An unnamed auto-reset event that starts unsignalled (CreateEventW on
// Windows, a non-blocking eventfd on POSIX). A successful wait consumes the
// signal.
class Event {
public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Valid() const { return handle_ != kInvalidHandle; }
    void Set();
    void Reset();
    // True when the event was signalled within timeoutMs (kWaitForever: no limit).
    bool Wait(std::uint32_t timeoutMs);
    NativeHandle Native() const { return handle_; }

private:
    NativeHandle handle_ = kInvalidHandle;
};

}  // namespace rivu::platform

namespace rivu::platform {

// Waits for whichever of two events is signalled first (WaitForMultipleObjects).
// Returns 0 or 1 for the event that ended the wait (its signal is consumed),
// kWaitTimedOut, or kWaitFailed.
inline constexpr int kWaitTimedOut = -1;
inline constexpr int kWaitFailed = -2;
int WaitForEither(Event& first, Event& second, std::uint32_t timeoutMs);

}  // namespace rivu::platform
