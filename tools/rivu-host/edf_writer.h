#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "rivu-host/device_report.h"

namespace rivu::host {

// How one channel's raw samples become the 16-bit values of an EDF+ signal.
// The calibration points of the channel's base-scaling text are the physical
// and digital limits, so the reader's line through them is the enabler's own;
// a raw range wider than 16 bits is shifted (still exact) or, beyond 65536
// steps, divided (not exact: note says so).
struct EdfSignal {
    std::string label;        // 16 ASCII characters at most, unique in the file
    std::string dimension;    // 8 ASCII characters at most
    std::string physicalMin;  // as written in the header, 8 characters at most
    std::string physicalMax;
    int digitalMin = -32768;
    int digitalMax = 32767;
    std::int64_t rawMin = 0;  // the raw value stored as digitalMin
    std::int64_t rawMax = 0;  // the raw value stored as digitalMax
    std::string note;         // why the values are not exact or the label is not the title; empty when neither

    // The stored value of a raw sample; a sample outside the calibration
    // points is stored as the nearer limit and counted in clipped.
    std::int16_t Digital(std::int32_t raw, std::size_t& clipped) const;
};

// False (error says why) when the channel's calibration cannot be an EDF+
// signal: equal points, or limits that do not fit the header.
bool PlanEdfSignal(const ChannelInfo& channel, EdfSignal& signal, std::string& error);

// Samples per data record and the record's duration for a sample period: about
// one second, written exactly in the 8 characters of the header.
struct EdfRecordPlan {
    int samplesPerRecord = 0;
    std::int64_t durationUs = 0;
};
bool PlanEdfRecords(std::int64_t samplePeriodUs, EdfRecordPlan& plan);

// Microseconds as decimal seconds without trailing zeros ("0.02", "12", "1.5").
std::string EdfSeconds(std::int64_t microseconds);
// UTF-8 text as printable ASCII for header fields: micro sign as u, degree as
// deg, sub- and superscript digits as digits, anything else as '_'.
std::string EdfAscii(const std::string& utf8);
// UTF-16 text as UTF-8 for annotations; control characters become spaces.
std::string AnnotationText(const std::u16string& text);

// A streaming EDF+ (continuous) writer, our own because the EDF libraries at
// hand are Linux packages and rivu-host.exe must write the same files: the header goes out when the file is
// opened, with the record count unknown (-1); data records are written as soon
// as every channel has filled one (the newest complete record is held back so
// that annotations made at the stop still reach the file); Close writes the
// rest and the record count. Every record starts with its time-keeping
// annotation; other annotations follow in the first record with room.
class EdfWriter {
public:
    EdfWriter() = default;
    ~EdfWriter();
    EdfWriter(const EdfWriter&) = delete;
    EdfWriter& operator=(const EdfWriter&) = delete;

    // Plans every channel's signal and the data records; false (error says
    // why) when a channel cannot be stored. Writes nothing.
    bool Plan(const DeviceReport& report, std::string& error);
    // After Plan: takes over file (closing it in the end) and writes the
    // header; false (file closed) when it cannot be written.
    bool Start(std::FILE* file, const DeviceReport& report, const std::tm& start);
    // Plan and Start on a new file at path; false (nothing left open, error
    // says why) when a channel cannot be stored or the file not written.
    bool Open(const std::string& path, const DeviceReport& report, const std::tm& start, std::string& error);
    bool IsOpen() const { return file_ != nullptr; }
    // True once a data record could not be written; WriteError() is the
    // system's error code.
    bool Failed() const { return writeFailed_; }
    int WriteError() const { return writeError_; }

    void Append(std::size_t channel, const std::int32_t* samples, std::size_t count);
    void Annotate(std::int64_t onsetUs, const std::string& text);

    // Writes the remaining complete records and the header's record count.
    // Samples that do not fill a record are left out (DroppedSamples says how
    // many of the longest channel). False when the file could not be written:
    // it then ends after its last whole data record, and the header counts
    // those (Records()).
    bool Close(std::string& error);

    std::int64_t Records() const { return records_; }
    const EdfRecordPlan& Plan() const { return plan_; }
    const std::vector<EdfSignal>& Signals() const { return signals_; }
    std::size_t DroppedSamples() const { return dropped_; }
    std::size_t ClippedSamples() const { return clipped_; }
    std::size_t DroppedAnnotations() const { return pendingAnnotations_.size(); }

    // Bytes of the annotation signal in each record.
    static constexpr int kAnnotationBytes = 256;

private:
    bool WriteRecord();
    bool CloseAfterFailure(std::string& error);
    std::size_t Complete() const;

    std::FILE* file_ = nullptr;
    bool writeFailed_ = false;
    int writeError_ = 0;
    std::int64_t headerBytes_ = 0, recordBytes_ = 0;
    EdfRecordPlan plan_;
    std::vector<EdfSignal> signals_;
    std::vector<std::deque<std::int16_t>> pending_;
    std::deque<std::string> pendingAnnotations_;
    std::int64_t records_ = 0;
    std::size_t dropped_ = 0;
    std::size_t clipped_ = 0;
};

}  // namespace rivu::host
