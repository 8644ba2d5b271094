#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/host-objects/enabler_library.h"

namespace rivu::host {

// The raw samples of one device's channels, as ReadLine delivered them.
class Recording {
public:
    explicit Recording(std::size_t channels) : samples_(channels) {}

    // Takes one delivery of ReadLine: lines "+<channel>,<v>,<v>...\n".
    // False (nothing taken) when the text is not of that form.
    bool TakeDelivery(const char* text);

    std::size_t Channels() const { return samples_.size(); }
    const std::vector<std::int32_t>& Samples(std::size_t channel) const { return samples_[channel]; }
    std::size_t MalformedLines() const { return malformed_; }

private:
    bool TakeLine(const std::string& line);
    std::vector<std::vector<std::int32_t>> samples_;
    std::size_t malformed_ = 0;
};

// Drains ReadLine for seconds (or until stop is set), printing the samples
// received per channel once a second; afterDelivery, if set, runs after each
// delivery was taken.
void RecordFor(EnablerLibrary& enabler, unsigned int index, double seconds, Recording& recording,
               const std::atomic<bool>& stop, bool showProgress, const std::function<void()>& afterDelivery = {});

}  // namespace rivu::host
