#pragma once
#include <memory>
#include <string>

#include "rivu-host/edf_writer.h"
#include "rivu-host/output_file.h"
#include "rivu-host/recording_sink.h"

namespace rivu::host {

// The recording as EDF+: one signal per channel, the comments as
// annotations. The file is opened (or refused) with the other outputs; the
// header is written when the recording begins, data records as rows fill
// them, and the record count when it ends. Not for standard output: the
// header's record count is written last.
class EdfSink : public RecordingSink {
public:
    static std::unique_ptr<EdfSink> Open(const std::string& path, bool overwrite, std::string& error);

    bool Accepts(const DeviceReport& device) override;
    bool Begin(const RecordingFacts& facts) override;
    bool Row(std::size_t row, const std::vector<std::optional<std::int32_t>>& samples) override;
    bool Comment(const CommentEntry& comment) override;
    bool Flush() override;
    bool End() override;
    void Discard() override;
    std::string Where() const override;
    bool Kept() const override { return !removed_; }
    std::vector<std::string> Remarks() const override;
    std::string Error() const override { return error_; }

private:
    void Write(const std::vector<std::optional<std::int32_t>>& samples);

    OutputFile file_;
    EdfWriter writer_;
    std::int64_t periodUs_ = 0;
    std::int64_t lastOnsetUs_ = -1;
    std::size_t gaps_ = 0;
    bool removed_ = false;  // the file held no data record and was removed
    std::vector<std::vector<std::optional<std::int32_t>>> held_;  // rows lacking samples, not yet written
    std::string error_;
};

}  // namespace rivu::host
