#include "rivu-sim/instrument.h"

#include <algorithm>

#include "rivu-sim/handshake_replies.h"

namespace rivu::sim {

namespace {

using std::chrono::milliseconds;

// A thread that fell this far behind its row clock starts a new clock rather
// than sending the missed rows in one burst.
constexpr milliseconds kMaxRowLag{1000};

// A chunk paced by the data rows still arrives well within the enabler's
// 450 ms upload time-out.
constexpr int kMaxPacedChunkMs = 400;

bool IsDecimal(std::string_view text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

Instrument::Instrument(const SimulatorConfig& config)
    : config_(config),
      data_(config.channels, config.repeatEvery),
      cycles_(config.waveformLength),
      periodMs_(config.periodMs) {}

void Instrument::OnCommand(std::string_view command, TimePoint now, std::vector<std::string>& lines) {
    if (config_.faults.Has(Fault::kSilent)) return;
    const bool coda = config_.kind == InstrumentKind::kCoda;
    if (command == "S") {
        StopAll();
        lines.emplace_back("S");
    } else if (command == "V") {
        lines.push_back(VersionReply(config_));
    } else if (command == "F") {
        lines.emplace_back("F");
        lines.push_back(ParamsLine(config_));
        lines.push_back(UploadRatesLine(config_));
    } else if (!command.empty() && command[0] == 'U') {
        lines.emplace_back(command);
    } else if (command == "I") {
        lines.emplace_back("I");
        for (std::string& line : DescriptionLines(config_)) lines.push_back(std::move(line));
    } else if (command == "B") {
        lines.emplace_back("B");
        if (!coda) StartRows(now);
    } else if (command.size() > 1 && command[0] == 'P') {
        SelectRate(command.substr(1), now);
    } else if (command == "X") {
        StopAll();
    } else if (coda && command == "WN5") {
        cyclesArmed_ = false;
        cycleEvents_.clear();
        lines.emplace_back("WN5");
    } else if (coda && command == "ZvC") {
        lines.emplace_back("A");
    } else if (coda && command == "WI5") {
        lines.push_back(WaveInfoReply(config_));
    } else if (coda && command == "WA5") {
        lines.emplace_back("WA5");
        StartRows(now);
        cyclesArmed_ = true;
        cycleIndex_ = 0;
        cycleEvents_.clear();
        nextCycleAt_ = now + milliseconds(config_.cycleDelayMs);
    }
}

void Instrument::StartRows(TimePoint now) {
    rowsRunning_ = true;
    rowIndex_ = 0;
    timeMs_ = 0;
    nextRowAt_ = now + milliseconds(periodMs_);
}

void Instrument::StopAll() {
    rowsRunning_ = false;
    cyclesArmed_ = false;
    cycleEvents_.clear();
}

void Instrument::SelectRate(std::string_view digits, TimePoint now) {
    if (!IsDecimal(digits) || !config_.followRateCommands) return;
    const std::optional<int> interval = UploadRateIntervalMs(config_, std::stoul(std::string(digits)));
    if (!interval) return;
    periodMs_ = *interval;
    if (rowsRunning_) nextRowAt_ = now + milliseconds(periodMs_);
}

int Instrument::ChunkValues() const {
    if (config_.chunkIntervalMs > 0) return config_.chunkValues;
    // Paced: as many values (an even count, one pair at least) as data rows
    // arrive within the longest paced interval, so that a slow data rate
    // sends smaller chunks rather than an upload that runs ahead of the rows.
    const int inStep = std::max(2, kMaxPacedChunkMs / std::max(1, periodMs_) / 2 * 2);
    return std::min(config_.chunkValues, inStep);
}

int Instrument::ChunkIntervalMs() const {
    if (config_.chunkIntervalMs > 0) return config_.chunkIntervalMs;
    return std::min(kMaxPacedChunkMs, ChunkValues() * periodMs_);
}

void Instrument::StartCycle(TimePoint start) {
    const auto length = static_cast<std::uint32_t>(config_.waveformLength);
    const auto size = static_cast<std::uint32_t>(ChunkValues());
    const milliseconds interval(ChunkIntervalMs());
    const std::uint32_t chunks = (length + size - 1) / size;
    const std::uint32_t sent = config_.faults.Has(Fault::kStalledUpload) ? std::max(1u, chunks / 2) : chunks;
    for (std::uint32_t i = 0; i < sent; ++i) {
        const std::uint32_t first = i * size;
        const CycleEvent chunk{start + i * interval, EventKind::kChunk, first, std::min(size, length - first)};
        if (i + 1 == chunks && config_.faults.Has(Fault::kEarlyResult)) {
            cycleEvents_.push_back({chunk.at, EventKind::kResult});
        }
        cycleEvents_.push_back(chunk);
    }
    if (sent == chunks && !config_.faults.Has(Fault::kEarlyResult)) {
        cycleEvents_.push_back({start + chunks * interval, EventKind::kResult});
    }
    nextCycleAt_ = std::max(start + milliseconds(config_.cyclePeriodMs), cycleEvents_.back().at + interval);
}

std::optional<Instrument::TimePoint> Instrument::NextDeadline() const {
    std::optional<TimePoint> next;
    auto consider = [&next](TimePoint at) {
        if (!next || at < *next) next = at;
    };
    if (rowsRunning_) consider(nextRowAt_);
    if (!cycleEvents_.empty()) {
        consider(cycleEvents_.front().at);
    } else if (cyclesArmed_) {
        consider(nextCycleAt_);
    }
    return next;
}

void Instrument::OnTime(TimePoint now, std::vector<std::string>& lines) {
    while (true) {
        const std::optional<TimePoint> next = NextDeadline();
        if (!next || *next > now) return;
        if (rowsRunning_ && nextRowAt_ == *next) {
            timeMs_ += periodMs_;
            for (int row = 0; row < config_.rowsPerPeriod; ++row) lines.push_back(data_.RowText(rowIndex_++, timeMs_));
            nextRowAt_ += milliseconds(periodMs_);
            if (now - nextRowAt_ > kMaxRowLag) nextRowAt_ = now + milliseconds(periodMs_);
        } else if (!cycleEvents_.empty()) {
            const CycleEvent event = cycleEvents_.front();
            cycleEvents_.pop_front();
            if (event.kind == EventKind::kChunk) {
                lines.push_back(cycles_.WaveformLine(cycleIndex_, event.start, event.count));
            } else {
                lines.push_back(cycles_.MeasurementLine(cycleIndex_, config_.faults.Has(Fault::kErrorFlag)));
            }
            if (cycleEvents_.empty()) ++cycleIndex_;
        } else {
            StartCycle(nextCycleAt_);
        }
    }
}

}  // namespace rivu::sim
