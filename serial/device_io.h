#pragma once
#include <cstddef>
#include <cstdint>

namespace rivu {

// Where a device's command frames go. The port by default; a test or fuzz
// harness puts one of its own in place to see the frames in memory.
class CommandWriter {
public:
    virtual ~CommandWriter() = default;
    // Writes one whole frame; true when every byte was taken.
    virtual bool WriteFrame(const char* frame, std::size_t length) = 0;
};

// The time a device reads and the waits it makes (handshake, host commands,
// upload time-outs, the pause before closing). The system clock by default; a
// harness puts in a clock whose waits return at once.
class DeviceClock {
public:
    virtual ~DeviceClock() = default;
    virtual std::int64_t SteadyMilliseconds() = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
};

// The steady clock and real sleeps of the platform.
DeviceClock& SystemDeviceClock();

}  // namespace rivu
