#include "rivu-host/edf_sink.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace rivu::host {

std::unique_ptr<EdfSink> EdfSink::Open(const std::string& path, bool overwrite, std::string& error) {
    if (path == "-") {
        error = "EDF+ cannot go to standard output (its header is completed last)";
        return nullptr;
    }
    auto sink = std::unique_ptr<EdfSink>(new EdfSink);
    if (!sink->file_.Open(path, overwrite, error, true)) return nullptr;
    return sink;
}

bool EdfSink::Accepts(const DeviceReport& device) {
    std::string why;
    if (writer_.Plan(device, why)) {
        error_.clear();
        return true;
    }
    error_ = "cannot record EDF+ to " + file_.Path() + ": " + why;
    return false;
}

bool EdfSink::Begin(const RecordingFacts& facts) {
    std::string why;
    if (facts.device == nullptr || !writer_.Plan(*facts.device, why)) {
        error_ = "cannot record EDF+ to " + file_.Path() + ": " + why;
        return false;
    }
    periodUs_ = facts.device->samplePeriodUs;
    // EDF+ gives the start as local date and time.
    const std::time_t started = facts.started != 0 ? facts.started : std::time(nullptr);
    std::tm local = {};
    if (const std::tm* converted = std::localtime(&started)) local = *converted;
    if (!file_.Begin() || !writer_.Start(file_.Release(), *facts.device, local)) {
        error_ = "cannot write " + file_.Path();
        return false;
    }
    return true;
}

bool EdfSink::Row(std::size_t, const std::vector<std::optional<std::int32_t>>& samples) {
    if (!writer_.IsOpen()) return false;
    // A row that lacks a channel's sample waits: at the end of a recording
    // such rows are only the channels that had not caught up, and are left
    // out. Followed by a whole row, they were a channel that fell behind,
    // and are written with the gap stored as the channel's digital minimum,
    // keeping the signals in step.
    const bool whole = std::all_of(samples.begin(), samples.end(), [](const auto& sample) { return sample.has_value(); });
    if (!whole) {
        held_.push_back(samples);
        return Flush();
    }
    for (const auto& row : held_) Write(row);
    held_.clear();
    Write(samples);
    return Flush();
}

void EdfSink::Write(const std::vector<std::optional<std::int32_t>>& samples) {
    const auto& signals = writer_.Signals();
    for (std::size_t c = 0; c < signals.size(); ++c) {
        std::int32_t raw = static_cast<std::int32_t>(signals[c].rawMin);
        if (c < samples.size() && samples[c]) {
            raw = *samples[c];
        } else {
            ++gaps_;
        }
        writer_.Append(c, &raw, 1);
    }
}

bool EdfSink::Comment(const CommentEntry& comment) {
    if (!writer_.IsOpen()) return false;
    const std::int64_t onsetUs = static_cast<std::int64_t>(comment.sample) * periodUs_;
    writer_.Annotate(onsetUs, comment.text);
    lastOnsetUs_ = std::max(lastOnsetUs_, onsetUs);
    return true;
}

bool EdfSink::Flush() {
    if (!error_.empty()) return false;
    if (!writer_.Failed()) return true;
    error_ = "cannot write " + file_.Path() + ": " + std::strerror(writer_.WriteError());
    return false;
}

bool EdfSink::End() {
    if (!writer_.IsOpen()) return error_.empty();
    std::string why;
    const bool failed = writer_.Failed();
    if (!writer_.Close(why)) {
        if (writer_.Records() == 0) {
            // A header without data records is a file no reader opens: none
            // is left under the name asked for.
            ::unlink(file_.Path().c_str());
            removed_ = true;
        }
        if (failed || why.rfind("cannot write", 0) == 0) {
            if (error_.empty()) error_ = "cannot write " + file_.Path() + ": " + std::strerror(writer_.WriteError());
        } else {
            error_ = "EDF+ file " + file_.Path() + ": " + why;
        }
        if (removed_) error_ += ", so no EDF+ file is left (the samples are in the CSV)";
        return false;
    }
    if (writer_.DroppedAnnotations() > 0) {
        error_ = "EDF+ file " + file_.Path() + ": " + std::to_string(writer_.DroppedAnnotations()) +
                 " comments did not fit the last data record and are missing";
        return false;
    }
    return true;
}

void EdfSink::Discard() { file_.Discard(); }

std::string EdfSink::Where() const {
    const auto& plan = writer_.Plan();
    return file_.Path() + " (EDF+: " + std::to_string(writer_.Signals().size()) + " signals, " +
           std::to_string(writer_.Records()) + " data records of " + EdfSeconds(plan.durationUs) + " s, " +
           std::to_string(plan.samplesPerRecord) + " samples each)";
}

std::vector<std::string> EdfSink::Remarks() const {
    std::vector<std::string> remarks;
    const auto& signals = writer_.Signals();
    for (std::size_t c = 0; c < signals.size(); ++c) {
        if (!signals[c].note.empty()) remarks.push_back("EDF+ channel " + std::to_string(c + 1) + ": " + signals[c].note);
    }
    if (writer_.DroppedSamples() > 0) {
        remarks.push_back("the last " + std::to_string(writer_.DroppedSamples()) +
                          " samples did not fill an EDF+ data record: they are in the CSV only");
    }
    if (!held_.empty()) {
        remarks.push_back("the last " + std::to_string(held_.size()) +
                          " rows lack samples of some channels: they are in the CSV only");
    }
    const std::int64_t endUs = writer_.Records() * writer_.Plan().durationUs;
    if (lastOnsetUs_ >= endUs) {
        remarks.push_back("comments after " + EdfSeconds(endUs) +
                          " s, where the EDF+ data records end, are in the file; some readers leave them out");
    }
    if (writer_.ClippedSamples() > 0) {
        remarks.push_back(std::to_string(writer_.ClippedSamples()) +
                          " samples outside their calibration points were stored in EDF+ at the limit");
    }
    if (gaps_ > 0) {
        remarks.push_back(std::to_string(gaps_) +
                          " samples a channel did not deliver are stored in EDF+ as the digital minimum");
    }
    return remarks;
}

}  // namespace rivu::host
