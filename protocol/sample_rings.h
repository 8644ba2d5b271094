#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace rivu {

// The sample rings of a batch of channels in one block, interleaved by slot:
// slot i of every channel lies beside slot i of the others. A data row appends
// one sample to each of its channels at the same slot, so the reader, which
// wakes for each row with cold caches, writes one or two cache lines instead
// of a line on another page for every channel.
class SampleRings {
public:
    static constexpr std::uint32_t kSlots = 32768;

    // Left uninitialised: a slot is read only after the producer wrote it, and
    // clearing 128 KiB per channel made every new catalogue cost a page-in.
    explicit SampleRings(std::size_t channels)
        : channels_(channels == 0 ? 1 : channels), block_(new std::int32_t[kSlots * channels_]) {}

    std::size_t Channels() const { return channels_; }
    // Slot 0 of channel's ring; its next slots follow Channels() apart.
    std::int32_t* First(std::size_t channel) { return block_.get() + channel; }

private:
    std::size_t channels_;
    std::unique_ptr<std::int32_t[]> block_;
};

}  // namespace rivu
