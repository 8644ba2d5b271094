#pragma once
// The texts of the instrument's replies to the start-up and start commands,
// built from the configuration (lines without CR LF). Portable.
#include <optional>
#include <string>
#include <vector>

#include "rivu-sim/simulator_config.h"

namespace rivu::sim {

// "V,<firmware 1>,<firmware 2>,<firmware 3>,<interface>,<model>,<field 6>[,<mark>]",
// with the version faults applied.
std::string VersionReply(const SimulatorConfig& config);

// The line after the "F" echo: the configured text, or the channel names.
std::string ParamsLine(const SimulatorConfig& config);

// The upload-rates line, one field per column unless configured otherwise.
std::string UploadRatesLine(const SimulatorConfig& config);

// The interval (ms) of field n of the upload-rates line, when that field is a
// positive number of seconds; empty for "EndOfCycle", text or a position
// past the end. Sub-millisecond intervals become 1 ms.
std::optional<int> UploadRateIntervalMs(const SimulatorConfig& config, std::size_t position);

// The four lines after the "I" echo: names, units, upper limits, lower limits.
std::vector<std::string> DescriptionLines(const SimulatorConfig& config);

// "WI5,5,<waveformLength>,<chunkValues>,0,0,0,0,0,0,0,0": 12 fields.
std::string WaveInfoReply(const SimulatorConfig& config);

}  // namespace rivu::sim
