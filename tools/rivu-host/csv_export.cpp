#include "rivu-host/csv_export.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace rivu::host {
namespace {

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string Number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::max(decimals, 0), value);
    return text;
}

}  // namespace

bool WriteCsv(const std::string& path, const DeviceReport& report, const Recording& recording) {
    std::ofstream out(path, std::ios::trunc);
    if (!out) return false;
    out << "time_s";
    std::size_t rows = 0;
    for (std::size_t c = 0; c < report.channels.size() && c < recording.Channels(); ++c) {
        const ChannelInfo& channel = report.channels[c];
        out << ',' << Quoted(channel.name + " (" + channel.scaling.unit + ")");
        rows = std::max(rows, recording.Samples(c).size());
    }
    out << '\n';
    const double period = report.samplePeriodUs / 1e6;
    for (std::size_t row = 0; row < rows; ++row) {
        out << Number(row * period, 6);
        for (std::size_t c = 0; c < report.channels.size() && c < recording.Channels(); ++c) {
            out << ',';
            const auto& samples = recording.Samples(c);
            if (row < samples.size()) {
                const BaseScaling& scaling = report.channels[c].scaling;
                out << Number(scaling.Physical(samples[row]), scaling.decimals);
            }
        }
        out << '\n';
    }
    return static_cast<bool>(out.flush());
}

}  // namespace rivu::host
