#include "platform/event.h"

#include <windows.h>

#include "platform/clock.h"

namespace rivu::platform {
namespace {

HANDLE Win(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// The system's own wait limits end on its timer tick (15.6 ms by default), so
// a short wait can last a whole tick longer than asked. Waits are therefore
// ended by a high-resolution waitable timer; where there is none (before
// Windows 10 1803), the last tick of the wait polls the event against the
// performance counter.
constexpr DWORD kCoarseTickMs = 16;

bool WaitPrecisely(HANDLE event, DWORD timeoutMs) {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer != nullptr) {
        LARGE_INTEGER due{};
        due.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;  // relative, in 100 ns units
        if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            const HANDLE both[2] = {event, timer};
            // The system limit is only a backstop a tick after the timer.
            const DWORD woken = WaitForMultipleObjects(2, both, FALSE, timeoutMs + kCoarseTickMs);
            CloseHandle(timer);
            return woken == WAIT_OBJECT_0;
        }
        CloseHandle(timer);
    }
    const std::int64_t deadline = SteadyMilliseconds() + timeoutMs;
    if (timeoutMs > kCoarseTickMs && WaitForSingleObject(event, timeoutMs - kCoarseTickMs) == WAIT_OBJECT_0) return true;
    for (;;) {
        if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return true;
        if (SteadyMilliseconds() >= deadline) return false;
        SwitchToThread();
    }
}

}  // namespace

Event::Event() {
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event != nullptr) handle_ = reinterpret_cast<NativeHandle>(event);
}

Event::~Event() {
    if (Valid()) CloseHandle(Win(handle_));
}

void Event::Set() {
    if (Valid()) SetEvent(Win(handle_));
}

void Event::Reset() {
    if (Valid()) ResetEvent(Win(handle_));
}

bool Event::Wait(std::uint32_t timeoutMs) {
    if (!Valid()) return false;
    if (timeoutMs == 0 || timeoutMs == kWaitForever) return WaitForSingleObject(Win(handle_), timeoutMs) == WAIT_OBJECT_0;
    return WaitPrecisely(Win(handle_), timeoutMs);
}

int WaitForEither(Event& first, Event& second, std::uint32_t timeoutMs) {
    if (!first.Valid() || !second.Valid()) return kWaitFailed;
    const HANDLE events[2] = {Win(first.Native()), Win(second.Native())};
    switch (WaitForMultipleObjects(2, events, FALSE, timeoutMs)) {
        case WAIT_OBJECT_0:
            return 0;
        case WAIT_OBJECT_0 + 1:
            return 1;
        case WAIT_TIMEOUT:
            return kWaitTimedOut;
        default:
            return kWaitFailed;
    }
}

}  // namespace rivu::platform
