#include "rivu-sim/handshake_replies.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace rivu::sim {

namespace {

std::vector<std::string> SplitAtCommas(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = text.find(',', begin);
        fields.push_back(text.substr(begin, comma - begin));
        if (comma == std::string::npos) return fields;
        begin = comma + 1;
    }
}

template <typename Field>
std::string JoinColumns(const SimulatorConfig& config, Field field) {
    std::string line;
    for (std::size_t i = 0; i < config.channels.size(); ++i) {
        if (i > 0) line += ',';
        line += config.channels[i].*field;
    }
    return line;
}

}  // namespace

std::string VersionReply(const SimulatorConfig& config) {
    const bool rivuCoda = config.faults.Has(Fault::kRivuCoda) || config.faults.Has(Fault::kRivuCodaZvc);
    std::string model = rivuCoda ? "CODA" : config.model;
    std::string mark = config.faults.Has(Fault::kRivuCodaZvc) ? "ZVC"
                       : config.faults.Has(Fault::kRivuCoda)  ? ""
                                                              : config.versionMark;
    const std::string interfaceField = config.faults.Has(Fault::kWrongInterface) ? "2" : config.interfaceVersion;
    std::string line = "V," + config.firmware[0] + "," + config.firmware[1] + "," + config.firmware[2] + "," +
                       interfaceField + "," + model + "," + config.versionField6;
    if (!mark.empty()) line += "," + mark;
    return line;
}

std::string ParamsLine(const SimulatorConfig& config) {
    return config.paramsText.empty() ? JoinColumns(config, &ChannelDescription::name) : config.paramsText;
}

std::string UploadRatesLine(const SimulatorConfig& config) {
    if (!config.uploadRates.empty()) return config.uploadRates;
    static const char* const kIntervals[] = {"0.1", "0.05", "0.02", "0.01", "0.005"};
    std::string line;
    for (std::size_t i = 0; i < config.channels.size(); ++i) {
        if (i > 0) line += ',';
        line += i < std::size(kIntervals) ? kIntervals[i] : "EndOfCycle";
    }
    return line;
}

std::optional<int> UploadRateIntervalMs(const SimulatorConfig& config, std::size_t position) {
    const std::vector<std::string> fields = SplitAtCommas(UploadRatesLine(config));
    if (position >= fields.size()) return std::nullopt;
    const char* text = fields[position].c_str();
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || !std::isfinite(seconds) || seconds <= 0 || seconds > 3600) return std::nullopt;
    return std::max(1, static_cast<int>(std::lround(seconds * 1000)));
}

std::vector<std::string> DescriptionLines(const SimulatorConfig& config) {
    return {JoinColumns(config, &ChannelDescription::name), JoinColumns(config, &ChannelDescription::unit),
            JoinColumns(config, &ChannelDescription::maxText), JoinColumns(config, &ChannelDescription::minText)};
}

std::string WaveInfoReply(const SimulatorConfig& config) {
    return "WI5,5," + std::to_string(config.waveformLength) + "," + std::to_string(config.chunkValues) +
           ",0,0,0,0,0,0,0,0";
}

}  // namespace rivu::sim
