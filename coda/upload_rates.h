#pragma once
#include <string_view>

namespace rivu {

class RivuSerial;

// The upload-rates reply: fills uploadRates (period in us -> position) and
// sets samplePeriodUs to 20000 when at least one rate is known.
bool HandleUploadRates(RivuSerial& device, std::u16string_view line);

}  // namespace rivu
