#include "fuzz/harness.h"

#include <cstdio>
#include <cstdlib>

#include "protocol/fields.h"

namespace rivu::fuzz {

void Fail(std::string_view what, std::string_view detail) {
    std::fprintf(stderr, "invariant broken: %.*s %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

bool FrameRecorder::WriteFrame(const char* frame, std::size_t length) {
    const std::string_view text(frame, length);
    Check(length >= 2 && text.front() == ':' && text.back() == '\n', "command frame not framed", text);
    Check(length - 2 <= COMPort::kMaxCommandLength, "command frame too long", text);
    Check(text.substr(1, length - 2).find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos,
          "command text holds a line end or NUL", text);
    frames.emplace_back(text);
    return true;
}

MemoryDevice::MemoryDevice(bool zvcCoda)
    : device(std::make_unique<RivuSerial>(u"/dev/fuzz", DeviceIdentity{{}, {}, zvcCoda})) {
    device->SetCommandWriter(&recorder);
    device->clock = &clock;
}

MemoryDevice::~MemoryDevice() { device.reset(); }

bool IsProtocolState(std::int32_t state) { return (state >= kIdle && state <= kAwaitWaveArmEcho) || (state >= kAwaitWaveStopEcho2 && state <= kRunning); }

void CheckSampleText(const RivuSerial& device, const char* buffer, int size, bool delivered) {
    if (size <= 0) return;
    const std::string_view whole(buffer, static_cast<std::size_t>(size));
    const std::size_t end = whole.find('\0');
    Check(end != std::string_view::npos, "sample text not NUL-ended within the buffer");
    Check(delivered || end == 0, "text left behind by a call that delivered nothing");
    const std::size_t channels = device.channels.Count();
    std::string_view text = whole.substr(0, end);
    while (!text.empty()) {
        const std::size_t lineEnd = text.find('\n');
        Check(lineEnd != std::string_view::npos, "sample line without line feed", text);
        const std::string_view line = text.substr(0, lineEnd);
        Check(static_cast<std::int32_t>(lineEnd + 1) < device.maxLineLength, "sample line longer than maxLineLength");
        Check(line.size() >= 2 && line[0] == '+', "sample line without +N", line);
        std::size_t position = 1;
        std::uint64_t channel = 0;
        while (position < line.size() && line[position] >= '0' && line[position] <= '9') {
            channel = channel * 10 + static_cast<std::uint64_t>(line[position] - '0');
            Check(channel <= channels, "sample line for a channel that does not exist", line);
            ++position;
        }
        Check(channel >= 1 && line[1] != '0', "sample line channel number malformed", line);
        while (position < line.size()) {
            Check(line[position] == ',', "sample not after a comma", line);
            ++position;
            if (position < line.size() && line[position] == '-') ++position;
            const std::size_t digits = position;
            std::int64_t value = 0;
            while (position < line.size() && line[position] >= '0' && line[position] <= '9') {
                value = value * 10 + (line[position] - '0');
                Check(value <= 2147483648LL, "sample beyond 32 bits", line);
                ++position;
            }
            Check(position > digits, "sample without digits", line);
            Check(line[digits] != '0' || position == digits + 1, "sample with a leading zero", line);
        }
        text.remove_prefix(lineEnd + 1);
    }
}

std::size_t ExpectedChannels(const RivuSerial& device, std::u16string_view names) {
    const std::size_t columns = CountFields(names);
    const bool time = names.substr(0, 5) == u"Time," || names == u"Time";
    return columns - (time ? 1 : 0) + (device.isZvcCoda ? 2 : 0);
}

}  // namespace rivu::fuzz
