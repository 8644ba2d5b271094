#pragma once
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "rivu-host/device_report.h"

namespace rivu::host {

// What a recording states about itself, written at the top of every output.
struct RecordingFacts {
    std::string startTime;  // UTC, ISO 8601, when sampling was started
    std::time_t started = 0;  // the same moment
    const DeviceReport* device = nullptr;
};

// A blood-pressure result, note or error the enabler put into the recording.
struct CommentEntry {
    double seconds = 0;        // from the start of the recording
    std::int32_t sample = 0;   // the row it belongs to
    std::int32_t channel = 0;  // channel number from 1, 0 for none
    std::string text;
};

// One output of a recording (a table of samples, a list of comments, ...).
// The recorder opens every sink before the instrument starts, asks each with
// Accepts whether it can hold the instrument's recording, then calls Begin
// once, Row and Comment as they arrive, Flush at least once a second and End
// at the end. A sink that does not keep rows or comments ignores
// them. Each call returns false after a write error; Error() says which.
class RecordingSink {
public:
    virtual ~RecordingSink() = default;
    // Before the instrument starts: false (Error() says why) when this output
    // cannot hold a recording of the device.
    virtual bool Accepts(const DeviceReport&) { return true; }
    virtual bool Begin(const RecordingFacts& facts) = 0;
    // Row `row` of the recording: the raw sample of each channel, none where
    // a channel delivered nothing for it.
    virtual bool Row(std::size_t row, const std::vector<std::optional<std::int32_t>>& samples) = 0;
    virtual bool Comment(const CommentEntry& comment) = 0;
    virtual bool Flush() = 0;
    virtual bool End() = 0;
    // Removes what this run created, when it ends before recording.
    virtual void Discard() = 0;
    virtual std::string Where() const = 0;
    // After End: false when no file is left (it would hold nothing a reader opens).
    virtual bool Kept() const { return true; }
    // After End: what a reader of this output should know about it.
    virtual std::vector<std::string> Remarks() const { return {}; }
    virtual std::string Error() const = 0;
};

}  // namespace rivu::host
