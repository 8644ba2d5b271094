#pragma once
#include <cstdint>

namespace rivu::platform {

// Steady high-resolution clock in milliseconds. On Windows it is derived from
// QueryPerformanceCounter exactly as: whole = counter / frequency,
// rest = counter % frequency, ns = whole * 1e9 + rest * 1e9 / frequency,
// ms = ns / 1e6 (64-bit signed, truncating). On POSIX: CLOCK_MONOTONIC.
std::int64_t SteadyMilliseconds();

// The system tick count in milliseconds, wrapping at 2^32 (GetTickCount).
std::uint32_t TickCount();

void SleepMilliseconds(std::uint32_t ms);

}  // namespace rivu::platform
