#include "rivu-host/csv_export.h"

#include <algorithm>
#include <cstdio>

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

// The facts as "# name: value" lines; line breaks in a value become blanks so
// that every fact stays one line.
std::string FactLines(const RecordingFacts& facts) {
    const DeviceReport& device = *facts.device;
    std::string lines;
    auto add = [&](const char* name, std::string value) {
        std::replace(value.begin(), value.end(), '\n', ' ');
        std::replace(value.begin(), value.end(), '\r', ' ');
        lines += std::string("# ") + name + ": " + value + "\n";
    };
    add("start", facts.startTime);
    add("device", device.model + " by " + device.vendor);
    add("serial number", device.serialNumber.empty() ? "(none)" : device.serialNumber);
    add("firmware", device.firmware);
    add("unique id", std::to_string(device.uniqueId));
    add("sample period", std::to_string(device.samplePeriodUs) + " us");
    return lines;
}

}  // namespace

bool CsvSampleSink::Begin(const RecordingFacts& facts) {
    device_ = facts.device;
    file_.Begin();
    std::string header = FactLines(facts) + "time_s";
    for (const ChannelInfo& channel : device_->channels) {
        header += ',' + Quoted(channel.name + " (" + channel.scaling.unit + ")");
    }
    file_.Write(header + '\n');
    return Checked(file_.Flush(error_));
}

bool CsvSampleSink::Row(std::size_t row, const std::vector<std::optional<std::int32_t>>& samples) {
    std::string line = Number(static_cast<double>(row) * device_->samplePeriodUs / 1e6, 6);
    for (std::size_t c = 0; c < device_->channels.size(); ++c) {
        line += ',';
        if (c < samples.size() && samples[c]) {
            const BaseScaling& scaling = device_->channels[c].scaling;
            line += Number(scaling.Physical(*samples[c]), scaling.decimals);
        }
    }
    file_.Write(line + '\n');
    return true;
}

bool CsvCommentSink::Begin(const RecordingFacts& facts) {
    file_.Begin();
    file_.Write(FactLines(facts) + "time_s,sample,channel,text\n");
    return Checked(file_.Flush(error_));
}

bool CsvCommentSink::Comment(const CommentEntry& comment) {
    file_.Write(Number(comment.seconds, 6) + ',' + std::to_string(comment.sample) + ',' +
                (comment.channel > 0 ? std::to_string(comment.channel) : std::string()) + ',' + Quoted(comment.text) +
                '\n');
    return true;
}

std::string CommentsPathFor(const std::string& samplesPath) {
    if (samplesPath == "-") return {};
    const std::string extension = ".csv";
    if (samplesPath.size() > extension.size() &&
        samplesPath.compare(samplesPath.size() - extension.size(), extension.size(), extension) == 0) {
        return samplesPath.substr(0, samplesPath.size() - extension.size()) + "-comments.csv";
    }
    return samplesPath + "-comments.csv";
}

}  // namespace rivu::host
