#include <dirent.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "bench/bench_clock.h"

namespace rivu::bench {
namespace {

std::int64_t Read(clockid_t clock) {
    timespec now{};
    if (clock_gettime(clock, &now) != 0) return -1;
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

std::int64_t NowNanoseconds() { return Read(CLOCK_MONOTONIC_RAW); }
std::int64_t MonotonicNanoseconds() { return Read(CLOCK_MONOTONIC); }

bool SleepUntil(std::int64_t nanoseconds) {
    // The raw clock cannot be slept on; the monotonic clock runs at the same
    // rate within parts per million, so the offset between them is enough.
    const std::int64_t target = nanoseconds + (MonotonicNanoseconds() - NowNanoseconds());
    const timespec at{static_cast<time_t>(target / 1000000000), static_cast<long>(target % 1000000000)};
    return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != EINTR;
}

std::vector<std::uint64_t> ProcessThreads() {
    std::vector<std::uint64_t> threads;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return threads;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') threads.push_back(std::strtoull(entry->d_name, nullptr, 10));
    }
    closedir(tasks);
    return threads;
}

std::uint64_t CurrentThread() { return static_cast<std::uint64_t>(syscall(SYS_gettid)); }

std::int64_t ThreadCpuNanoseconds(std::uint64_t thread) {
    // The kernel's CPU clock of one thread of this process: per-thread flag
    // (4) and the scheduler clock (2) below the inverted thread id.
    const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(thread) << 3) | 6);
    return Read(clock);
}

}  // namespace rivu::bench
