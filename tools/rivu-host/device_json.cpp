#include "rivu-host/device_json.h"

#include <cstdio>

namespace rivu::host {
namespace {

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
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

std::string Number(double value) {
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
                ", \"vendor\": " + Quoted(report.vendor) + ", \"model\": " + Quoted(report.model) +
                ", \"firmware\": " + Quoted(report.firmware) + ", \"serial_number\": " + Quoted(report.serialNumber) +
                ", \"unique_id\": " + std::to_string(report.uniqueId) +
                ", \"sample_period_us\": " + std::to_string(report.samplePeriodUs) + ",\n   \"channels\": [";
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
