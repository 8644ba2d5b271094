#include "serial/sample_delivery.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "protocol/channel_record.h"
#include "serial/rivu_serial.h"

namespace rivu {
namespace {

// Smallest line room worth starting: "+<channel>" plus one sample and the
// line end.
constexpr int kMinimumLineRoom = 17;
// Rows by which a channel may fall behind the others (the waveform channels
// trail the data rows by up to this many) before it stops holding them back.
constexpr std::uint32_t kMaxChannelLag = 20;

// The channel to serve after an empty current one: the next in turn that holds
// samples, once some channel holds more than the lag allows; otherwise none
// (the empty channel is waited for, so channels are delivered in step).
std::optional<std::uint32_t> ChannelPastEmpty(const std::vector<ChannelRecord*>& channels, std::uint32_t current) {
    std::optional<std::uint32_t> next;
    bool beyondLag = false;
    for (std::uint32_t step = 1; step < channels.size(); ++step) {
        const std::uint32_t index = static_cast<std::uint32_t>((current + step) % channels.size());
        const std::uint32_t held = channels[index] != nullptr ? channels[index]->SamplesHeld() : 0;
        if (held > 0 && !next) next = index;
        if (held > kMaxChannelLag) beyondLag = true;
    }
    return beyondLag ? next : std::nullopt;
}

}  // namespace

bool TakeSampleLines(RivuSerial& device, char* buffer, int size) {
    if (size <= 0 || buffer == nullptr) return true;
    buffer[0] = '\0';
    char* position = buffer;
    int room = size;
    bool delivered = false;

    const ChannelList::Snapshot channels = device.channels.Get();
    for (;;) {
        // Lines already written stand even if the state or ring changed since.
        if (device.protocolState.load() != kRunning || channels->empty()) return delivered;
        std::uint32_t current = device.currentChannel.load();
        if (current >= channels->size()) current = 0;
        ChannelRecord* channel = (*channels)[current];
        std::uint32_t held = channel != nullptr ? channel->SamplesHeld() : 0;
        if (held == 0) {
            // An empty channel (for example a waveform channel whose upload
            // ran ahead of the data rows) must not keep the others from the
            // host until their rings fill.
            if (delivered) return true;
            const std::optional<std::uint32_t> next = ChannelPastEmpty(*channels, current);
            if (!next) return false;
            current = *next;
            device.currentChannel.store(current);
            channel = (*channels)[current];
            held = channel->SamplesHeld();
        }

        int lineLength = 0;
        const int lineRoom = std::min(room, device.maxLineLength);
        if (lineRoom >= kMinimumLineRoom) {
            // Decimal text as "%d" writes it; to_chars because the host's
            // thread turns every sample into text here.
            position[0] = '+';
            int used = static_cast<int>(std::to_chars(position + 1, position + 16, current + 1).ptr - position);
            std::uint32_t taken = 0;
            std::int32_t sample = 0;
            // More than 16 bytes left: a comma, at most 11 characters of a
            // sample, the line feed and the terminator always fit.
            while (taken < held && (lineRoom - 1) - used > 16 && channel->TakeSample(sample)) {
                position[used] = ',';
                used = static_cast<int>(std::to_chars(position + used + 1, position + lineRoom - 2, sample).ptr - position);
                ++taken;
            }
            position[used] = '\n';
            position[used + 1] = '\0';
            lineLength = used + 1;
            position += lineLength;
            held -= taken;
            delivered = true;
        }
        room -= lineLength;

        if (held == 0 || lineLength == 0) {
            device.currentChannel.store(static_cast<std::uint32_t>((current + 1) % channels->size()));
            return true;
        }
        if (room <= 0) return true;
    }
}

void FlushSamples(RivuSerial& device) {
    for (ChannelRecord* channel : *device.channels.Get()) {
        if (channel != nullptr) channel->Flush();
    }
}

}  // namespace rivu
