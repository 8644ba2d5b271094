#include "protocol/channel_list.h"

namespace rivu {

ChannelList::ChannelList() : published_(std::make_shared<const std::vector<ChannelRecord*>>()) {}

ChannelList::Snapshot ChannelList::Get() const {
    std::lock_guard lock(mutex_);
    return published_;
}

ChannelRecord* ChannelList::ByNumber(std::int64_t number) const {
    Snapshot list = Get();
    if (number < 1 || static_cast<std::uint64_t>(number) > list->size()) return nullptr;
    return (*list)[static_cast<std::size_t>(number - 1)];
}

void ChannelList::Append(std::vector<std::unique_ptr<ChannelRecord>> batch) {
    if (batch.empty()) return;
    std::lock_guard lock(mutex_);
    auto next = std::make_shared<std::vector<ChannelRecord*>>(*published_);
    next->reserve(next->size() + batch.size());
    owned_.reserve(owned_.size() + batch.size());
    for (auto& record : batch) {
        next->push_back(record.get());
        owned_.push_back(std::move(record));
    }
    published_ = std::move(next);
    publishedCount_.store(published_->size(), std::memory_order_release);
}

}  // namespace rivu
