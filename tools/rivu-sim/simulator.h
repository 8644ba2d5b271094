#pragma once
// rivu-sim: a Rivu monitor or a Zarvonic CODA on a pseudo-terminal.
//
// The simulator opens a pseudo-terminal in raw mode and plays the instrument
// on its master side, on a thread of its own; the enabler (or anything else)
// opens SlavePath() as its serial port. It is an independent instrument: it
// shares no code with the enabler.
//
// Line protocol, as the instrument speaks it:
//   - commands arrive framed as ":TEXT\n" (a trailing CR is ignored);
//   - every line the instrument sends ends in CR LF;
//   - start-up: S -> "S"; (CODA) WN5 -> "WN5"; V -> version reply;
//     (CODA) ZvC -> "A"; F -> "F", params line, upload-rates line;
//     U111... -> the same text echoed; I -> "I", names, units, upper limits,
//     lower limits (see SimulatorConfig for every text);
//   - start: monitor B -> "B", data rows begin; CODA WI5 -> "WI5,5,<length>,..."
//     (12 fields, field 2 = waveform length), B -> "B", WA5 -> "WA5", then data
//     rows and measurement cycles begin;
//   - stop: S -> "S" (rows and cycles end); CODA WN5 -> "WN5" (cycles end);
//     X ends all output without a reply; P<n> selects the n-th upload rate as
//     the data period without a reply.
// While running, data row k (k = 0 first after the start) is
// DataModel::RowText(k, time); each CODA cycle c sends CycleModel::WaveformLine
// chunks (start 0, then one chunk's values further each time; in step with
// the rows by default, always under 450 ms apart) and then CycleModel::MeasurementLine(c). Rows and cycle
// lines interleave in time order. signal_model.h is portable, so a test on
// another platform can compute all of these values.
//
// Typical use in a test:
//   rivu::sim::Simulator sim(rivu::sim::SimulatorConfig::ForKind(rivu::sim::InstrumentKind::kCoda));
//   ASSERT_TRUE(sim.Start()) << sim.LastError();
//   ... open sim.SlavePath() as the port, run the enabler ...
//   EXPECT_TRUE(sim.WaitForCommand("I", std::chrono::seconds(5)));
//   sim.Stop();   // also done by the destructor
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "rivu-sim/exchange_log.h"
#include "rivu-sim/pseudo_terminal.h"
#include "rivu-sim/simulator_config.h"

namespace rivu::sim {

class Simulator {
public:
    explicit Simulator(SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu));
    // Stops the simulator.
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Checks the configuration, opens the pseudo-terminal (and the log file)
    // and starts the instrument's thread. False, with LastError() set, when any
    // of that fails. A simulator starts once.
    bool Start();
    // Ends the thread (promptly, whatever the port side is doing) and closes
    // the pseudo-terminal; whoever has the slave open sees a hang-up. Safe to
    // call more than once, and without Start().
    void Stop();

    // The port to open, for example /dev/pts/7; empty before Start().
    const std::string& SlavePath() const { return slavePath_; }
    const SimulatorConfig& Config() const { return config_; }
    std::string LastError() const;

    // Commands received so far (the text between ":" and LF), in order.
    std::vector<std::string> Received() const;
    // Lines sent so far (without CR LF), in order. A line is listed as it is
    // put on the line, before its bytes are written, so every line the port
    // side has read is listed (a line still waiting for a port that does not
    // read is listed too). Noise and the overlong run of the line faults are
    // not lines and are not listed. Empty when the configuration turned
    // keepSentLines off; SentCount() counts regardless.
    std::vector<std::string> Sent() const;
    std::uint64_t SentCount() const;
    // Data rows sent since the last start of sampling (kept also when
    // keepSentLines is off).
    std::uint64_t RowsSent() const { return rowsSent_.load(); }

    // Waits until the command text (exact match) has been received at least
    // occurrences times since Start().
    bool WaitForCommand(std::string_view command, std::chrono::milliseconds timeout, std::size_t occurrences = 1) const;
    // Waits until at least occurrences sent lines begin with prefix.
    bool WaitForSent(std::string_view prefix, std::chrono::milliseconds timeout, std::size_t occurrences = 1) const;
    // Waits until condition holds. It runs under the record's lock: it must
    // only look at the Exchange it is given. Stops waiting once the simulator
    // has ended (stopped or hung up).
    bool WaitUntil(const std::function<bool(const Exchange&)>& condition, std::chrono::milliseconds timeout) const;

    // The hang-up fault has closed the pseudo-terminal.
    bool HungUp() const { return hungUp_; }
    // The instrument's thread is running (false after Stop, a hang-up or a
    // failure of the pseudo-terminal).
    bool IsRunning() const { return running_; }

private:
    void Run();
    void Fail(const std::string& error);

    const SimulatorConfig config_;
    ExchangeLog log_;
    PseudoTerminal terminal_;
    std::string slavePath_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::thread thread_;
    bool started_ = false;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> hungUp_{false};
    std::atomic<std::uint64_t> rowsSent_{0};
    mutable std::mutex errorMutex_;
    std::string lastError_;
};

}  // namespace rivu::sim
