#include "rivu-host/recorder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace rivu::host {

bool Recording::TakeLine(const std::string& line) {
    if (line.size() < 2 || line[0] != '+') return false;
    std::istringstream fields(line.substr(1));
    std::string field;
    if (!std::getline(fields, field, ',')) return false;
    char* end = nullptr;
    const long channel = std::strtol(field.c_str(), &end, 10);
    if (*end != '\0' || channel < 1 || static_cast<std::size_t>(channel) > samples_.size()) return false;
    std::vector<std::int32_t> values;
    while (std::getline(fields, field, ',')) {
        const long value = std::strtol(field.c_str(), &end, 10);
        if (field.empty() || *end != '\0') return false;
        values.push_back(static_cast<std::int32_t>(value));
    }
    auto& samples = samples_[static_cast<std::size_t>(channel) - 1];
    samples.insert(samples.end(), values.begin(), values.end());
    return true;
}

bool Recording::TakeDelivery(const char* text) {
    std::istringstream lines(text);
    bool all = true;
    for (std::string line; std::getline(lines, line);) {
        if (!TakeLine(line)) {
            ++malformed_;
            all = false;
        }
    }
    return all;
}

void RecordFor(EnablerLibrary& enabler, unsigned int index, double seconds, Recording& recording,
               const std::atomic<bool>& stop, bool showProgress, const std::function<void()>& afterDelivery) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto nextReport = start + std::chrono::seconds(1);
    static char buffer[65536];
    while (!stop.load() && Clock::now() < end) {
        if (enabler.ReadLine(index, buffer, sizeof buffer, 50)) {
            recording.TakeDelivery(buffer);
            if (afterDelivery) afterDelivery();
        }
        if (showProgress && Clock::now() >= nextReport) {
            nextReport += std::chrono::seconds(1);
            std::printf("  %5.1f s:", std::chrono::duration<double>(Clock::now() - start).count());
            for (std::size_t c = 0; c < recording.Channels(); ++c) std::printf(" %zu", recording.Samples(c).size());
            std::printf("\n");
            std::fflush(stdout);
        }
    }
}

}  // namespace rivu::host
