#include "platform/clock.h"

#include <windows.h>

namespace rivu::platform {

std::int64_t SteadyMilliseconds() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    // Split so that counter * 1e9 cannot overflow.
    const std::int64_t whole = counter.QuadPart / frequency.QuadPart;
    const std::int64_t rest = counter.QuadPart % frequency.QuadPart;
    const std::int64_t ns = whole * 1000000000 + rest * 1000000000 / frequency.QuadPart;
    return ns / 1000000;
}

std::uint32_t TickCount() { return GetTickCount(); }

void SleepMilliseconds(std::uint32_t ms) { Sleep(ms); }

}  // namespace rivu::platform
