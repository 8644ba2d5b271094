#pragma once
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "protocol/channel_record.h"

namespace rivu {

// The device's channel records. The reader thread builds a whole catalogue
// and publishes it in one step; host threads only ever see complete lists.
// Records are never removed before the device is destroyed, so pointers from
// a snapshot stay valid for the device's life.
class ChannelList {
public:
    using Snapshot = std::shared_ptr<const std::vector<ChannelRecord*>>;

    ChannelList();
    Snapshot Get() const;
    std::size_t Count() const { return Get()->size(); }
    // Host channel number n (from 1) -> record, or null when out of range.
    ChannelRecord* ByNumber(std::int64_t number) const;
    // Takes ownership of a complete batch and publishes the longer list.
    void Append(std::vector<std::unique_ptr<ChannelRecord>> batch);

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<ChannelRecord>> owned_;
    Snapshot published_;
};

}  // namespace rivu
