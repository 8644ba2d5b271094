#pragma once
// What the fuzz targets share: an in-memory device (command frames recorded,
// waits that return at once), the invariant check and the check of the text
// a device hands to the host.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "serial/device_io.h"
#include "serial/rivu_serial.h"

namespace rivu::fuzz {

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(std::string_view what, std::string_view detail = {});
inline void Check(bool holds, std::string_view what, std::string_view detail = {}) {
    if (!holds) Fail(what, detail);
}

// Keeps the command frames a device sends and checks each one: ":" text "\n",
// the text at most the longest command the port frames and free of line ends
// and NULs.
class FrameRecorder final : public CommandWriter {
public:
    bool WriteFrame(const char* frame, std::size_t length) override;
    std::vector<std::string> frames;
};

// Time moves only when the device sleeps or the harness advances it.
class ManualClock final : public DeviceClock {
public:
    std::int64_t SteadyMilliseconds() override { return now; }
    void Sleep(std::uint32_t ms) override { now += ms; }
    std::int64_t now = 1000;
};

// A device that is never opened: frames go to the recorder, waits to the
// manual clock. Members are declared so that the device goes first (its
// destructor still sends "X" and pauses).
struct MemoryDevice {
    explicit MemoryDevice(bool zvcCoda);
    ~MemoryDevice();
    FrameRecorder recorder;
    ManualClock clock;
    std::unique_ptr<RivuSerial> device;
};

// The protocol states the state machine has (0 to 15, 18 to 20).
bool IsProtocolState(std::int32_t state);

// Checks the text TakeSampleLines left in a buffer of size bytes: NUL-ended
// inside it, only lines "+N" (",v" ...) "\n" with N a channel of the device
// and v a decimal sample, each line shorter than maxLineLength. delivered is
// what the call returned.
void CheckSampleText(const RivuSerial& device, const char* buffer, int size, bool delivered);

// The channel count a described catalogue must have: one per column, less a
// leading "Time", plus the two waveform channels of a CODA.
std::size_t ExpectedChannels(const RivuSerial& device, std::u16string_view names);

}  // namespace rivu::fuzz
