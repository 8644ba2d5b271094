#pragma once
// A device that is never opened: its command frames are recorded and its
// waits run on a clock the test moves, so the protocol and host-command tests
// need neither a port nor real time. Also the one place tests make a device.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "serial/device_io.h"
#include "serial/rivu_serial.h"

namespace rivu::test {

// Keeps what the device wrote, frame after frame, as it would be on the line.
class FrameRecorder final : public CommandWriter {
public:
    bool WriteFrame(const char* frame, std::size_t length) override {
        sent_.append(frame, length);
        return true;
    }
    // What was sent since the last call.
    std::string Take() { return std::exchange(sent_, {}); }

private:
    std::string sent_;
};

// Time moves only when the device sleeps. onSleep runs after each wait with
// the time it ended: it stands in for what the instrument and the reader
// thread do meanwhile.
class ManualClock final : public DeviceClock {
public:
    std::int64_t SteadyMilliseconds() override { return now; }
    void Sleep(std::uint32_t ms) override {
        now += ms;
        if (onSleep) onSleep(now);
    }
    std::int64_t now = 1000;
    std::function<void(std::int64_t)> onSleep;
};

// A device made by path and identity text as discovery makes it (a ZVCCODA
// identity makes a Zarvonic CODA), never opened.
std::unique_ptr<RivuSerial> NewDevice(const std::u16string& path, const std::u16string& identity);

// A device whose frames go to the recorder and whose waits go to the clock.
// The device is declared last, so it goes first (its destructor still sends
// "X" and pauses).
struct MemoryDevice {
    explicit MemoryDevice(const std::u16string& identity = u"KSC01234A", const std::u16string& path = u"/dev/memory");
    ~MemoryDevice() { clock.onSleep = nullptr; }  // the device's last pause outlives the test's stand-ins
    FrameRecorder recorder;
    ManualClock clock;
    std::unique_ptr<RivuSerial> owned;
    RivuSerial& device;
};

// The four channel-description replies of a handshake, stored as the reader
// stores them, then the channel list built from them.
bool Describe(RivuSerial& device, std::u16string_view names, std::u16string_view units, std::u16string_view maxima,
              std::u16string_view minima);

}  // namespace rivu::test
