#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace rivu::platform {
namespace {

std::int64_t MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

std::int64_t SteadyMilliseconds() { return MonotonicMilliseconds(); }

std::uint32_t TickCount() { return static_cast<std::uint32_t>(MonotonicMilliseconds()); }

void SleepMilliseconds(std::uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace rivu::platform
