#include "rivu-host/device_json.h"

#include <cmath>
#include <cstdio>

namespace rivu::host {
namespace {

// Length of the valid UTF-8 sequence at text[i], 0 when there is none.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead >= 0xC2 && lead < 0xE0   ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

// A JSON string; a byte that is not part of valid UTF-8 (an instrument's
// Latin-1 text) is taken as the Latin-1 character it names.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = Utf8Length(text, i);
            if (length > 0) {
                quoted += text.substr(i, length);
                i += length - 1;
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                quoted += escaped;
            }
        } else if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

// JSON has no NaN or infinity: such a value is null.
std::string Number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

}  // namespace

std::string DevicesJson(const std::vector<DeviceReport>& reports, const std::vector<unsigned int>& indices) {
    std::string json = "[";
    for (std::size_t d = 0; d < reports.size(); ++d) {
        const DeviceReport& report = reports[d];
        json += d == 0 ? "\n" : ",\n";
        json += "  {\"index\": " + std::to_string(d < indices.size() ? indices[d] : d) +
                ", \"port\": " + Quoted(report.port) + ", \"identity\": " + Quoted(report.identity) +
                ", \"usable\": " + (report.problem.empty() ? "true" : "false");
        if (!report.problem.empty()) {
            json += ", \"problem\": " + Quoted(report.problem) + "}";
            continue;
        }
        json += ", \"vendor\": " + Quoted(report.vendor) + ", \"model\": " + Quoted(report.model) +
                ", \"firmware\": " + Quoted(report.firmware) + ", \"serial_number\": " + Quoted(report.serialNumber) +
                ", \"unique_id\": " + std::to_string(report.uniqueId) +
                ", \"sample_period_us\": " + std::to_string(report.samplePeriodUs) +
                ", \"offered_sample_periods_us\": [";
        for (std::size_t p = 0; p < report.offeredPeriodsUs.size(); ++p) {
            json += (p == 0 ? "" : ", ") + std::to_string(report.offeredPeriodsUs[p]);
        }
        json += "],\n   \"channels\": [";
        for (std::size_t c = 0; c < report.channels.size(); ++c) {
            const ChannelInfo& channel = report.channels[c];
            const BaseScaling& s = channel.scaling;
            json += c == 0 ? "\n" : ",\n";
            json += "    {\"number\": " + std::to_string(c + 1) + ", \"name\": " + Quoted(channel.name) +
                    ", \"title\": " + Quoted(channel.title) + ", \"unit\": " + Quoted(s.unit) +
                    ", \"decimals\": " + std::to_string(s.decimals) + ", \"scaling\": " + Quoted(channel.scalingText) +
                    ", \"raw_low\": " + Number(s.rawLow) + ", \"physical_low\": " + Number(s.physicalLow) +
                    ", \"raw_high\": " + Number(s.rawHigh) + ", \"physical_high\": " + Number(s.physicalHigh) + "}";
        }
        json += report.channels.empty() ? "]}" : "\n   ]}";
    }
    return json + (reports.empty() ? "]\n" : "\n]\n");
}

}  // namespace rivu::host
