#pragma once
// Clocks of the benchmark. NowNanoseconds is one time line for the native
// instrument and for the host under Wine: Linux CLOCK_MONOTONIC_RAW, and on
// Windows the performance counter, which Wine derives from that same clock.
#include <cstdint>
#include <vector>

namespace rivu::bench {

// 115200 baud, 8N1: ten bits a byte.
inline constexpr std::uint64_t kLineBytesPerSecond = 11520;

std::int64_t NowNanoseconds();
#ifndef _WIN32
// CLOCK_MONOTONIC, the clock the instrument sleeps on.
std::int64_t MonotonicNanoseconds();
// Sleeps until NowNanoseconds reaches nanoseconds; false when a signal ended
// the sleep early.
bool SleepUntil(std::int64_t nanoseconds);
#endif

// The threads of this process (system thread ids) and the CPU time each has
// used; -1 for a thread that is gone.
std::vector<std::uint64_t> ProcessThreads();
std::uint64_t CurrentThread();
std::int64_t ThreadCpuNanoseconds(std::uint64_t thread);

}  // namespace rivu::bench
