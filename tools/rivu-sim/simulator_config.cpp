#include "rivu-sim/simulator_config.h"

#include <array>

namespace rivu::sim {

namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(Fault::kCount)> kFaultNames = {
    "silent",        "rivu-coda",      "rivu-coda-zvc", "wrong-interface", "garbage",
    "overlong-line", "stalled-upload", "early-result",  "error-flag",      "hang-up",
};

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

std::string CheckRange(const char* name, int value, int low, int high) {
    if (value >= low && value <= high) return "";
    return std::string(name) + " must lie between " + std::to_string(low) + " and " + std::to_string(high);
}

}  // namespace

std::optional<Fault> FaultByName(std::string_view name) {
    for (std::size_t i = 0; i < kFaultNames.size(); ++i) {
        if (kFaultNames[i] == name) return static_cast<Fault>(i);
    }
    return std::nullopt;
}

std::string_view FaultName(Fault fault) {
    const auto index = static_cast<std::size_t>(fault);
    return index < kFaultNames.size() ? kFaultNames[index] : std::string_view();
}

SimulatorConfig SimulatorConfig::ForKind(InstrumentKind kind) {
    SimulatorConfig config;
    config.kind = kind;
    config.channels = DefaultChannels(kind);
    if (kind == InstrumentKind::kCoda) {
        config.firmware[0] = "3";
        config.firmware[1] = "2";
        config.firmware[2] = "0";
        config.model = "CODA";
        config.versionMark = "ZVC";
    }
    return config;
}

std::string ValidateConfig(const SimulatorConfig& config) {
    if (config.channels.empty()) return "the instrument needs at least one channel";
    for (const ChannelDescription& channel : config.channels) {
        for (const std::string* text : {&channel.name, &channel.unit, &channel.maxText, &channel.minText}) {
            if (text->find(',') != std::string::npos || HasLineBreak(*text)) {
                return "channel texts may not hold commas or line breaks: \"" + *text + "\"";
            }
        }
    }
    for (const std::string* text :
         {&config.firmware[0], &config.firmware[1], &config.firmware[2], &config.interfaceVersion, &config.model,
          &config.versionField6, &config.versionMark}) {
        if (text->find(',') != std::string::npos || HasLineBreak(*text)) {
            return "version fields may not hold commas or line breaks: \"" + *text + "\"";
        }
    }
    if (HasLineBreak(config.paramsText) || HasLineBreak(config.uploadRates)) {
        return "the params and upload-rates texts may not hold line breaks";
    }
    for (const std::string& error : {
             CheckRange("the data period (ms)", config.periodMs, 1, 3600000),
             CheckRange("the rows per period", config.rowsPerPeriod, 1, 1000),
             CheckRange("the cycle delay (ms)", config.cycleDelayMs, 0, 3600000),
             CheckRange("the cycle period (ms)", config.cyclePeriodMs, 1, 3600000),
             CheckRange("the waveform length", config.waveformLength, 4, 100000),
             CheckRange("the chunk size", config.chunkValues, 2, 1000),
             CheckRange("the chunk interval (ms), below the 450 ms upload time-out,", config.chunkIntervalMs, 0, 449),
             CheckRange("the fault line count", config.faultAfterLines, 1, 100000000),
             CheckRange("the overlong line length", config.overlongBytes, 8193, 1000000),
             CheckRange("the repeat interval", config.repeatEvery, 0, 100000000),
         }) {
        if (!error.empty()) return error;
    }
    if (config.waveformLength % 2 != 0 || config.chunkValues % 2 != 0) {
        return "the waveform length and the chunk size count values in O-Cuff/VPR pairs and must be even";
    }
    if (config.chunkValues >= config.waveformLength) {
        return "the waveform must take at least two chunks (its first chunk never ends an upload)";
    }
    if (config.repeatEvery == 1) return "the repeat interval must be 0 or at least 2";
    return "";
}

}  // namespace rivu::sim
