#pragma once
// How the simulated instrument reacts to commands and to the passing of time:
// echoes and replies, data rows, CODA measurement cycles. Works on given
// time points and returns protocol lines (without CR LF); the pseudo-terminal
// and the line-level faults are the simulator's business. Portable.
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rivu-sim/signal_model.h"
#include "rivu-sim/simulator_config.h"

namespace rivu::sim {

class Instrument {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    explicit Instrument(const SimulatorConfig& config);

    // A command (the text between ":" and the line feed) arrived at now:
    //   S      echo; stops data rows and cycles          V    version reply
    //   F      echo, params line, upload-rates line       U... echo of the command
    //   I      echo, names, units, upper and lower limits
    //   B      echo; a monitor starts its data rows (row 0 one period later)
    //   P<n>   no reply; data period = n-th upload rate   X    no reply; stops rows and cycles
    //   CODA only:
    //   WN5    echo; stops cycles (an upload in progress ends there)
    //   ZvC    "A"                                        WI5  "WI5,..." (12 fields)
    //   WA5    echo; starts the data rows and the measurement cycles
    // Anything else, and everything with the silent fault, gets no answer.
    void OnCommand(std::string_view command, TimePoint now, std::vector<std::string>& lines);

    // Appends every row, chunk and result due at or before now, in time order.
    void OnTime(TimePoint now, std::vector<std::string>& lines);

    // When OnTime next has something to send; empty while nothing is scheduled.
    std::optional<TimePoint> NextDeadline() const;

    bool RowsRunning() const { return rowsRunning_; }
    bool CyclesArmed() const { return cyclesArmed_; }
    int PeriodMs() const { return periodMs_; }
    std::uint64_t RowsSent() const { return rowIndex_; }
    // Values per waveform chunk and time between chunks of a cycle starting
    // now (see SimulatorConfig).
    int ChunkValues() const;
    int ChunkIntervalMs() const;

private:
    enum class EventKind { kChunk, kResult };
    struct CycleEvent {
        TimePoint at;
        EventKind kind;
        std::uint32_t start = 0;
        std::uint32_t count = 0;
    };

    void StartRows(TimePoint now);
    void StopAll();
    void StartCycle(TimePoint start);
    void SelectRate(std::string_view digits, TimePoint now);

    const SimulatorConfig config_;
    const DataModel data_;
    const CycleModel cycles_;

    bool rowsRunning_ = false;
    std::uint64_t rowIndex_ = 0;
    std::int64_t timeMs_ = 0;
    int periodMs_;
    TimePoint nextRowAt_{};

    bool cyclesArmed_ = false;
    std::uint32_t cycleIndex_ = 0;
    TimePoint nextCycleAt_{};
    std::deque<CycleEvent> cycleEvents_;  // of the cycle being uploaded, in time order
};

}  // namespace rivu::sim
