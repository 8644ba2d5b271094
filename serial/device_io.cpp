#include "serial/device_io.h"

#include "platform/clock.h"
#include "support/never_destroyed.h"

namespace rivu {
namespace {

class SystemClock final : public DeviceClock {
public:
    std::int64_t SteadyMilliseconds() override { return platform::SteadyMilliseconds(); }
    void Sleep(std::uint32_t ms) override { platform::SleepMilliseconds(ms); }
};

}  // namespace

DeviceClock& SystemDeviceClock() {
    // In static storage and never destroyed: usable during the library's teardown.
    static NeverDestroyed<SystemClock> clock;
    return clock.Get();
}

}  // namespace rivu
