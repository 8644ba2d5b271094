#pragma once
// What the simulated instrument is and how it misbehaves. Portable: no
// platform headers.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rivu-sim/signal_model.h"

namespace rivu::sim {

// Ways the instrument misbehaves; any combination may be set.
enum class Fault : unsigned {
    kSilent,          // "silent": receives commands and answers nothing, sends nothing
    kRivuCoda,        // "rivu-coda": version reply names the model "CODA", no field 7
    kRivuCodaZvc,     // "rivu-coda-zvc": model "CODA" and field 7 "ZVC"
    kWrongInterface,  // "wrong-interface": version field 4 (interface version) is "2"
    kGarbage,         // "garbage": before every line, 1-16 noise bytes ending in a bare LF (no CR)
    kOverlongLine,    // "overlong-line": once, after faultAfterLines lines, overlongBytes bytes
                      //   without CR or LF; the next line's LF ends that run
    kStalledUpload,   // "stalled-upload": every cycle uploads half its chunks, then nothing (no result)
    kEarlyResult,     // "early-result": the result line comes before the cycle's last chunk
    kErrorFlag,       // "error-flag": results carry error flag 1, zero pressures and points
    kHangUp,          // "hang-up": after faultAfterLines lines (and once the port has read them)
                      //   the pty master is closed; nothing more is sent
    kCount
};

// The fault for its option name ("silent", "rivu-coda", ...); empty if unknown.
std::optional<Fault> FaultByName(std::string_view name);
std::string_view FaultName(Fault fault);

class FaultSet {
public:
    void Set(Fault fault) { bits_ |= Bit(fault); }
    bool Has(Fault fault) const { return (bits_ & Bit(fault)) != 0; }
    bool Any() const { return bits_ != 0; }

private:
    static unsigned Bit(Fault fault) { return 1u << static_cast<unsigned>(fault); }
    unsigned bits_ = 0;
};

struct SimulatorConfig {
    // The defaults of a monitor or a CODA (channels, model, field 7 mark).
    static SimulatorConfig ForKind(InstrumentKind kind);

    InstrumentKind kind = InstrumentKind::kRivu;

    // Answer to "I": one line each of names, units, upper and lower limits.
    std::vector<ChannelDescription> channels = DefaultChannels(InstrumentKind::kRivu);

    // Version reply "V,<firmware 1>,<firmware 2>,<firmware 3>,<interface>,<model>,<field 6>[,<mark>]";
    // the mark (field 7) is left out when empty.
    std::string firmware[3] = {"2", "1", "0"};
    std::string interfaceVersion = "1";
    std::string model = "RV-2000";
    std::string versionField6 = "1";
    std::string versionMark;

    // The line after the "F" echo; empty: the channel names again (one field per column).
    std::string paramsText;
    // Upload-rates line (intervals in seconds or "EndOfCycle"); empty: 0.1, 0.05,
    // 0.02, 0.01, 0.005, cut or padded with "EndOfCycle" to one field per column.
    std::string uploadRates;

    // Data rows: one every periodMs from the start (B on a monitor, WA5 on a
    // CODA); "P<n>" changes the period to the n-th upload rate when that is a
    // number, unless followRateCommands is false.
    int periodMs = 20;
    // Rows sent together at each period (a host under a fast row rate);
    // they carry the same time.
    int rowsPerPeriod = 1;
    bool followRateCommands = true;
    // A "*" field every repeatEvery rows (see DataModel); 0 never.
    int repeatEvery = 0;

    // CODA measurement cycles after WA5: the first one cycleDelayMs after it,
    // then one every cyclePeriodMs (later if a cycle is still uploading).
    // Each uploads waveformLength values in chunks of chunkValues values,
    // chunkIntervalMs apart; the result line follows the last chunk after
    // another interval. waveformLength is field 2 of the "WI5" reply.
    // chunkIntervalMs 0 paces the upload in step with the data rows: each
    // value fills two rows of its channel in the enabler, so a chunk of n
    // values covers n rows and comes n x the data period after the last one.
    // To stay within 400 ms at slow data rates a chunk then carries fewer
    // values than chunkValues (an even number, at least 2; above a 200 ms
    // period the upload cannot keep pace). The defaults give ten 320 ms
    // chunks: the result comes about 3.5 s after a cycle starts.
    int cycleDelayMs = 500;
    int cyclePeriodMs = 10000;
    int waveformLength = 160;
    int chunkValues = 16;
    int chunkIntervalMs = 0;

    FaultSet faults;
    int faultAfterLines = 20;  // lines since the start, for overlong-line and hang-up
    int overlongBytes = 9000;

    // Append every received command and sent line to this file ("" none).
    std::string logPath;
    // Keep the sent lines in memory for Sent() (the program turns this off).
    bool keepSentLines = true;
    // Output held for a port that does not read, beyond what the
    // pseudo-terminal holds; further lines are lost whole, as on a serial
    // line whose receiver has stopped listening. The default holds seconds of
    // the fastest stream, so a reader that is merely not scheduled for a
    // while (a loaded machine) loses nothing and a test can tell the
    // enabler's own drops. A single piece larger than this (the overlong run)
    // still goes out when nothing else is waiting.
    std::size_t maxQueuedBytes = 1024 * 1024;
};

// "" when the configuration is usable, else what is wrong with it.
std::string ValidateConfig(const SimulatorConfig& config);

}  // namespace rivu::sim
