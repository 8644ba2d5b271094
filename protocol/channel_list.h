#pragma once
#include <atomic>
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

    // One thread's copy of the list, taken again only when the list has
    // grown. For the reader thread, which looks at the list for every row:
    // Get costs a lock and a reference count shared with the host threads,
    // this a single read of a count that changes once per catalogue.
    class Cached {
    public:
        const std::vector<ChannelRecord*>& Current(const ChannelList& list) {
            // Lists only grow and every published list is longer than the
            // one before: an equal length is the same list.
            if (!snapshot_ || snapshot_->size() != list.publishedCount_.load(std::memory_order_acquire)) {
                snapshot_ = list.Get();
            }
            return *snapshot_;
        }

    private:
        Snapshot snapshot_;
    };

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<ChannelRecord>> owned_;
    Snapshot published_;
    std::atomic<std::size_t> publishedCount_{0};
};

}  // namespace rivu
