#pragma once
#include <memory>
#include <string>

#include "rivu-host/output_file.h"
#include "rivu-host/recording_sink.h"

namespace rivu::host {

// Both tables start with the recording's facts as lines beginning with "#",
// then a header line, then one line per row or comment.

// What both tables share: the file and its error text.
class CsvFileSink : public RecordingSink {
public:
    bool Flush() override { return Checked(file_.Flush(error_)); }
    bool End() override { return Checked(file_.Close(error_)); }
    void Discard() override { file_.Discard(); }
    std::string Where() const override { return file_.IsStandardOutput() ? "standard output" : file_.Path(); }
    std::string Error() const override { return error_; }

protected:
    // Opens the file now ("-": standard output); null with error set when it
    // cannot be used.
    template <typename Sink>
    static std::unique_ptr<Sink> OpenAs(const std::string& path, bool overwrite, std::string& error) {
        auto sink = std::make_unique<Sink>();
        if (!sink->file_.Open(path, overwrite, error)) return nullptr;
        return sink;
    }

    // After the first write error the file is cut back to its last whole
    // line and written no more; every later call fails with that error.
    bool Checked(bool written) {
        if (failed_) return false;
        if (!written) {
            failed_ = true;
            file_.CloseAtLastLine();
        }
        return written;
    }

    OutputFile file_;
    std::string error_;
    bool failed_ = false;
};

// The samples as CSV: "time_s,<name> (<unit>),...", then one row per sample
// index with the time from the sample period and each channel's physical
// value (empty where a channel delivered nothing for that row).
class CsvSampleSink : public CsvFileSink {
public:
    static std::unique_ptr<CsvSampleSink> Open(const std::string& path, bool overwrite, std::string& error) {
        return OpenAs<CsvSampleSink>(path, overwrite, error);
    }

    bool Begin(const RecordingFacts& facts) override;
    bool Row(std::size_t row, const std::vector<std::optional<std::int32_t>>& samples) override;
    bool Comment(const CommentEntry&) override { return true; }

private:
    const DeviceReport* device_ = nullptr;
};

// The comments as CSV: "time_s,sample,channel,text", channel counted from 1
// as in the channel table (empty for none).
class CsvCommentSink : public CsvFileSink {
public:
    static std::unique_ptr<CsvCommentSink> Open(const std::string& path, bool overwrite, std::string& error) {
        return OpenAs<CsvCommentSink>(path, overwrite, error);
    }

    bool Begin(const RecordingFacts& facts) override;
    bool Row(std::size_t, const std::vector<std::optional<std::int32_t>>&) override { return true; }
    bool Comment(const CommentEntry& comment) override;
};

// Where the comments go when only the samples' path is given: "x.csv" gives
// "x-comments.csv", any other name gets "-comments.csv" appended; none for
// standard output.
std::string CommentsPathFor(const std::string& samplesPath);

}  // namespace rivu::host
