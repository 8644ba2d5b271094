#include "rivu-host/recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#define RIVU_IS_TERMINAL(stream) (_isatty(_fileno(stream)) != 0)
#else
#include <unistd.h>
#define RIVU_IS_TERMINAL(stream) (::isatty(::fileno(stream)) != 0)
#endif

namespace rivu::host {

namespace {

// How long the loop sleeps after a poll that found nothing. At the fastest
// rates instruments offer (5 ms) this is a few samples per channel; the
// enabler holds 32767 per channel.
constexpr auto kIdlePause = std::chrono::milliseconds(10);
// Deliveries taken in one go before the clock, the port and the signals are
// looked at again.
constexpr int kMaxDeliveriesPerPoll = 256;

}  // namespace

RowAssembler::RowAssembler(std::size_t channels, RowHandler onRow)
    : pending_(channels), received_(channels, 0), onRow_(std::move(onRow)) {}

bool RowAssembler::TakeLine(const std::string& line) {
    if (line.size() < 2 || line[0] != '+') return false;
    std::istringstream fields(line.substr(1));
    std::string field;
    if (!std::getline(fields, field, ',')) return false;
    char* end = nullptr;
    const long channel = std::strtol(field.c_str(), &end, 10);
    if (*end != '\0' || channel < 1 || static_cast<std::size_t>(channel) > pending_.size()) return false;
    std::vector<std::int32_t> values;
    while (std::getline(fields, field, ',')) {
        const long value = std::strtol(field.c_str(), &end, 10);
        if (field.empty() || *end != '\0') return false;
        values.push_back(static_cast<std::int32_t>(value));
    }
    const std::size_t c = static_cast<std::size_t>(channel) - 1;
    for (std::int32_t value : values) {
        if (received_[c]++ < nextRow_) {
            ++late_;  // its row went out without it
        } else {
            pending_[c].push_back(value);
        }
    }
    return true;
}

void RowAssembler::TakeDelivery(const char* text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!TakeLine(line)) ++malformed_;
    }
    for (;;) {
        std::size_t fewest = SIZE_MAX, most = 0;
        for (const auto& queue : pending_) {
            fewest = std::min(fewest, queue.size());
            most = std::max(most, queue.size());
        }
        if (pending_.empty() || (fewest == 0 && most <= kMaxLagRows)) return;
        EmitRow();
    }
}

std::size_t RowAssembler::RowsHeld() const {
    std::size_t most = nextRow_;
    for (const std::size_t count : received_) most = std::max(most, count);
    return most;
}

void RowAssembler::Finish() {
    while (std::any_of(pending_.begin(), pending_.end(), [](const auto& queue) { return !queue.empty(); })) EmitRow();
}

void RowAssembler::EmitRow() {
    std::vector<std::optional<std::int32_t>> row(pending_.size());
    for (std::size_t c = 0; c < pending_.size(); ++c) {
        if (pending_[c].empty()) continue;
        row[c] = pending_[c].front();
        pending_[c].pop_front();
    }
    onRow_(nextRow_++, row);
}

RecordingOutcome RecordFor(const RecordingLoop& loop) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(loop.seconds));
    auto nextSecond = start + std::chrono::seconds(1);
    static char buffer[65536];
    auto drain = [&] {
        if (loop.beforeDrain) loop.beforeDrain();
        int deliveries = 0;
        while (deliveries < kMaxDeliveriesPerPoll && loop.enabler.ReadLine(loop.index, buffer, sizeof buffer, 0)) {
            loop.rows.TakeDelivery(buffer);
            ++deliveries;
        }
        if (loop.afterDrain) loop.afterDrain(deliveries < kMaxDeliveriesPerPoll);
        return deliveries;
    };
    const bool onTerminal = loop.progress != nullptr && RIVU_IS_TERMINAL(loop.progress);
    bool progressShown = false;
    RecordingOutcome outcome;
    // Reads on until the rows sent by now are in; false when an output or
    // the port failed meanwhile.
    auto endProgress = [&] {
        if (onTerminal && progressShown) std::fprintf(loop.progress, "\n");
    };
    auto catchUp = [&](RecordingEnd why) {
        endProgress();
        const auto stopped = Clock::now();
        outcome.end = why;
        outcome.seconds = std::chrono::duration<double>(stopped - start).count();
        outcome.rowsDue =
            loop.periodSeconds > 0 ? static_cast<std::size_t>(outcome.seconds / loop.periodSeconds) : loop.rows.RowsHeld();
        const auto limit = stopped + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(kCatchUpSeconds));
        for (;;) {
            drain();
            if (!loop.takeComments()) outcome.end = RecordingEnd::kOutputFailed;
            if (loop.enabler.IsFailed(loop.index) == 1) outcome.end = RecordingEnd::kPortFailed;
            if (outcome.end != why || loop.rows.RowsHeld() >= outcome.rowsDue) break;
            if (Clock::now() >= limit) {
                outcome.caughtUp = false;
                break;
            }
            std::this_thread::sleep_for(kIdlePause);
        }
        return outcome;
    };
    auto ended = [&](RecordingEnd why) {
        endProgress();
        outcome.end = why;
        outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        outcome.rowsDue = loop.rows.RowsHeld();
        return outcome;
    };
    for (;;) {
        const int deliveries = drain();
        if (!loop.takeComments()) return ended(RecordingEnd::kOutputFailed);
        if (loop.enabler.IsFailed(loop.index) == 1) return ended(RecordingEnd::kPortFailed);
        const auto now = Clock::now();
        if (now >= nextSecond) {
            nextSecond += std::chrono::seconds(1);
            if (nextSecond < now) nextSecond = now + std::chrono::seconds(1);
            if (!loop.flushOutputs()) return ended(RecordingEnd::kOutputFailed);
            if (loop.progress != nullptr) {
                // On a terminal one line, rewritten in place; in a file a line a second.
                std::fprintf(loop.progress, "%s  %5.1f s:", onTerminal ? "\r" : "",
                             std::chrono::duration<double>(now - start).count());
                for (std::size_t c = 0; c < loop.rows.Channels(); ++c) {
                    std::fprintf(loop.progress, " %zu", loop.rows.Received(c));
                }
                if (!onTerminal) std::fprintf(loop.progress, "\n");
                std::fflush(loop.progress);
                progressShown = true;
            }
        }
        if (loop.stopSignal.load() != 0) return catchUp(RecordingEnd::kStopped);
        if (now >= end) return catchUp(RecordingEnd::kTimeUp);
        if (deliveries == 0) std::this_thread::sleep_for(std::min<Clock::duration>(kIdlePause, end - now));
    }
}

}  // namespace rivu::host
