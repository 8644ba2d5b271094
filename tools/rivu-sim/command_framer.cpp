#include "rivu-sim/command_framer.h"

namespace rivu::sim {

void CommandFramer::Feed(std::string_view bytes, std::vector<std::string>& commands) {
    for (const char c : bytes) {
        if (c != '\n') {
            if (discarding_) continue;
            if (pending_.size() == kMaxFrame) {
                pending_.clear();
                discarding_ = true;
                continue;
            }
            pending_ += c;
            continue;
        }
        const bool complete = !discarding_;
        discarding_ = false;
        const std::size_t colon = pending_.rfind(':');
        if (complete && colon != std::string::npos) {
            std::string text = pending_.substr(colon + 1);
            if (!text.empty() && text.back() == '\r') text.pop_back();
            commands.push_back(std::move(text));
        }
        pending_.clear();
    }
}

}  // namespace rivu::sim
