#include "coda/waveform_upload.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/code_pages.h"
#include "protocol/fields.h"
#include "serial/rivu_serial.h"
#include "support/com_call.h"
#include "support/host_interface.h"
#include "support/log.h"
#include "support/log_format.h"
#include "support/zvc_string.h"

namespace rivu {

namespace {

constexpr char16_t kIncompleteUpload[] = u"error: incomplete waveform upload";
constexpr char16_t kCycleBeforeSampling[] = u"note: waveform cycle started prior to sampling";
constexpr char16_t kResultFailed[] = u"error: failed to calcuate BP values";

// Waveform channels trail the data rows by at most this many rows.
constexpr std::int32_t kMaxRowsAhead = 20;
// Fallback lengths of a cycle upload: a chunk that starts at or past the
// expected end; a result that arrives before the upload completed.
constexpr std::int32_t kLongWaveform = 1000;
constexpr std::int32_t kShortWaveform = 750;
constexpr std::size_t kMinMeasurementFields = 16;

// Truncation toward zero to 32 bits, saturating (NaN gives 0).
std::int32_t ClampToInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

// The record at a position, or null when the position is not in the list.
ChannelRecord* RecordAt(const ChannelList::Snapshot& channels, std::int32_t position) {
    if (position < 0 || static_cast<std::size_t>(position) >= channels->size()) return nullptr;
    return (*channels)[static_cast<std::size_t>(position)];
}

// Stores a value and repeats it, so each waveform value takes two rows.
void StoreTwice(ChannelRecord* record, double value) {
    if (record == nullptr) return;
    record->StoreValue(value);
    record->RepeatValue();
}

// The host channel whose title reads like name (narrow, case-sensitive), or -1.
std::int32_t FindHostChannel(void* document, const std::string& name) {
    std::int32_t count = 0;
    CallSlot<HResult>(document, kDocumentChannelCountSlot, std::int32_t{0}, &count);
    for (std::int32_t channel = 0; channel < count; ++channel) {
        void* title = nullptr;
        CallSlot<HResult>(document, kDocumentChannelTitleSlot, std::uint32_t{kChannelTitleFlags}, channel,
                          std::int32_t{0}, &title);
        if (title == nullptr) continue;
        const std::string narrow = platform::WideToAnsi(ZVC::ZVCString::ReadHostString(title));
        Release(title);
        if (narrow == name) return channel;
    }
    return -1;
}

}  // namespace

void CheckUploadTimeout(RivuSerial& device) {
    if (!device.isZvcCoda) return;
    if (device.uploadPending) {
        // Judged by when the line arrived, not when it is handled: a reader
        // that got no processor for a while finds the next chunk right behind
        // this line. The line arrived after the port was last seen without it;
        // the upload stalled only when even that moment is a whole time-out
        // after the last chunk was read.
        const std::int64_t remaining = device.uploadTimerStart + device.uploadTimeout - device.linesArrivedAfter;
        if (remaining > 0) return;  // the upload is alive: no filling meanwhile
        ReportIncompleteUpload(device);
    }
    const ChannelList::Snapshot channels = device.channels.Get();
    ChannelRecord* cuff = RecordAt(channels, device.cuffChannel.load());
    ChannelRecord* vpr = RecordAt(channels, device.vprChannel.load());
    while (device.rowsAhead > kMaxRowsAhead) {
        if (cuff != nullptr) cuff->StoreValue(0.0);
        if (vpr != nullptr) vpr->StoreValue(0.0);
        ++device.rowCount;
        --device.rowsAhead;
    }
}

HResult HandleWaveformLine(RivuSerial& device, std::u16string_view line) {
    const std::vector<std::u16string> fields = SplitFields(line);
    // Without a start index the chunk cannot be placed in its cycle; taking it
    // as a first chunk would move the cycle start and misplace the result.
    if (fields.size() < 2) return kOk;

    device.uploadTimerStart = device.linesReadAt;
    device.uploadPending = true;

    const std::int64_t values = static_cast<std::int64_t>(fields.size()) - 2;
    const std::int32_t start = ParseInteger(fields[1]);
    if (start == 0) {
        // A first chunk is never the last one, even when it carries everything.
        device.cycleStartRow = device.rowCount;
        device.cycleStartSeen = true;
    } else if (start == static_cast<std::int64_t>(device.waveformLength) - values) {
        device.uploadPending = false;
    } else if (start >= device.waveformLength) {
        device.waveformLength = kLongWaveform;
    }

    const ChannelList::Snapshot channels = device.channels.Get();
    ChannelRecord* cuff = RecordAt(channels, device.cuffChannel.load());
    ChannelRecord* vpr = RecordAt(channels, device.vprChannel.load());
    for (std::size_t i = 2; i < fields.size(); ++i) {
        StoreTwice(i % 2 == 0 ? cuff : vpr, ParseNumber(fields[i]));
        ++device.rowCount;
        --device.rowsAhead;
    }
    return kOk;
}

HResult HandleMeasurementLine(RivuSerial& device, std::u16string_view line) {
    if (device.uploadPending) {
        // The result came before the last chunk: the upload is abandoned.
        device.uploadPending = false;
        if (device.waveformLength == kShortWaveform) {
            // An instrument whose uploads have another length never completes
            // one again: every later result goes the same way, so say it once.
            if (!device.droppedResultsLogged) {
                device.droppedResultsLogged = true;
                LogEvent("!!! ", "blood-pressure result dropped: its waveform upload did not complete at length " +
                                     std::to_string(kShortWaveform) + "; later results like it are dropped too");
            }
            return kOk;
        }
        device.waveformLength = kShortWaveform;
    }
    const std::vector<std::u16string> fields = SplitFields(line);
    if (fields.size() < kMinMeasurementFields) return kFail;

    if (!device.cycleStartSeen) {
        ReportCycleMessage(device, device.rowCount, kCycleBeforeSampling);
        return kOk;
    }
    if (ParseInteger(fields[12]) != 0) {
        ReportCycleMessage(device, 0, kResultFailed);
        return kOk;
    }
    // Points are counted in O-Cuff/VPR pairs, two rows each. A point before
    // the cycle or past both its expected length and the rows written since it
    // began would put the comment at an absurd place.
    const std::int32_t systolicRow = ClampToInt32(2.0 * ParseInteger(fields[14]));
    const std::int32_t diastolicRow = ClampToInt32(2.0 * ParseInteger(fields[13]));
    const std::int64_t cycleRows = std::max<std::int64_t>(
        device.waveformLength, static_cast<std::int64_t>(device.rowCount) - device.cycleStartRow);
    if (systolicRow < 0 || diastolicRow < 0 || systolicRow >= cycleRows || diastolicRow >= cycleRows) {
        LogEvent("!!! ", u"blood-pressure result dropped: a point lies outside its cycle of " +
                             Widen(std::to_string(cycleRows)) + u" rows (diastolic point " + fields[13] +
                             u", systolic point " + fields[14] + u")");
        return kOk;
    }
    ReportCycleMessage(device, systolicRow, u"Systolic BP = " + fields[7] + u" mmHg");
    ReportCycleMessage(device, diastolicRow, u"Diastolic BP = " + fields[6] + u" mmHg");
    return kOk;
}

void ReportIncompleteUpload(RivuSerial& device) {
    if (!device.uploadPending) return;
    device.uploadPending = false;
    ReportCycleMessage(device, 0, kIncompleteUpload);
}

void ReportCycleMessage(RivuSerial& device, std::int32_t rowOffset, std::u16string_view text) {
    const ChannelList::Snapshot channels = device.channels.Get();
    const ChannelRecord* vpr = RecordAt(channels, device.vprChannel.load());
    if (vpr == nullptr || !vpr->IsEnabled() || device.samplingInterface == nullptr) return;

    // The VPR channel's index goes in the place of a third argument.
    void* document = nullptr;
    CallSlot<HResult>(device.samplingInterface, kSamplingGetDocumentSlot, std::int32_t{0}, &document,
                      device.vprChannel.load());
    if (document == nullptr) return;
    void* comments = nullptr;
    if (Failed(QueryInterface(document, kIID_IHostComments, &comments)) || comments == nullptr) {
        Release(document);
        return;
    }

    const std::int32_t hostChannel = FindHostChannel(document, vpr->Name());
    std::int32_t records = 0;
    CallSlot<HResult>(document, kDocumentRecordCountSlot, std::int32_t{0}, &records);
    double secondsPerUnit = 1.0;
    CallSlot<HResult>(document, kDocumentTimeUnitSlot, std::int32_t{0}, std::int32_t{0}, &secondsPerUnit);

    // Rows are converted to seconds with the sampling period of the run (the
    // rows arrive at the period selected before the start, whatever period
    // the VPR channel was built with), then to host time units.
    const std::int32_t periodUs = device.runPeriodUs > 0 ? device.runPeriodUs : vpr->Period();
    const double row = static_cast<double>(device.cycleStartRow) + static_cast<double>(rowOffset);
    const double position = row * (1.0 / (secondsPerUnit * 1000000.0 / static_cast<double>(periodUs)));
    std::int32_t place[2] = {ClampToInt32(position), ClampToInt32(static_cast<double>(records) - 1.0)};
    ZVC::ZVCString comment(text);
    CallSlot<HResult>(comments, kCommentsAddSlot, hostChannel, place, comment.Object(), std::int32_t{0});

    Release(comments);
    Release(document);
}

}  // namespace rivu
