#pragma once
// Cuts the host's command frames ":TEXT\n" out of the received bytes. Portable.
#include <string>
#include <string_view>
#include <vector>

namespace rivu::sim {

class CommandFramer {
public:
    // A frame longer than this is discarded up to its line feed.
    static constexpr std::size_t kMaxFrame = 1024;

    // Appends the text of every frame completed by bytes: what follows the
    // last ":" before the line feed, without a trailing CR. Bytes outside a
    // frame (no ":" before the line feed) are dropped.
    void Feed(std::string_view bytes, std::vector<std::string>& commands);

private:
    std::string pending_;
    bool discarding_ = false;
};

}  // namespace rivu::sim
