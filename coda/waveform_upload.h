#pragma once
#include <cstdint>
#include <string_view>

#include "support/hresult.h"

namespace rivu {

class RivuSerial;

// Zarvonic CODA waveform upload and blood-pressure results (reader thread).
void CheckUploadTimeout(RivuSerial& device);
HResult HandleWaveformLine(RivuSerial& device, std::u16string_view line);
HResult HandleMeasurementLine(RivuSerial& device, std::u16string_view line);
// Abandons an upload still pending: clears uploadPending and posts "error:
// incomplete waveform upload" at the cycle start. Nothing when none is pending.
void ReportIncompleteUpload(RivuSerial& device);
// Posts text as a comment at row cycleStartRow + rowOffset in the host's
// recording, on the host channel titled like the VPR channel.
void ReportCycleMessage(RivuSerial& device, std::int32_t rowOffset, std::u16string_view text);

}  // namespace rivu
