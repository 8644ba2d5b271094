#include "coda/upload_rates.h"

#include <cmath>
#include <vector>

#include "protocol/fields.h"
#include "serial/rivu_serial.h"

namespace rivu {

namespace {

constexpr char16_t kEndOfCycle[] = u"EndOfCycle";
constexpr std::int32_t kDefaultPeriodUs = 20000;

// A period in microseconds from an interval in seconds: multiplied in single
// precision and truncated toward zero. Saturates (NaN gives 0) instead of
// overflowing the conversion.
std::int32_t PeriodMicroseconds(float seconds) {
    const float microseconds = seconds * 1000000.0f;
    if (std::isnan(microseconds)) return 0;
    if (microseconds >= 2147483647.0f) return 2147483647;
    if (microseconds <= -2147483648.0f) return -2147483647 - 1;
    return static_cast<std::int32_t>(microseconds);
}

}  // namespace

bool HandleUploadRates(RivuSerial& device, std::u16string_view line) {
    const std::vector<std::u16string> fields = SplitFields(line);
    if (fields.empty()) return false;

    bool known;
    {
        std::lock_guard lock(device.uploadRatesMutex);
        for (std::size_t position = 0; position < fields.size(); ++position) {
            if (fields[position] == kEndOfCycle) continue;  // it still takes its position
            std::int32_t key = PeriodMicroseconds(ParseNumber(fields[position]));
            // 0.02 s may come out a microsecond off in single precision.
            if (key >= kDefaultPeriodUs - 1 && key <= kDefaultPeriodUs + 1) key = kDefaultPeriodUs;
            device.uploadRates[key] = static_cast<std::int32_t>(position);
        }
        known = !device.uploadRates.empty();
    }
    if (known) device.samplePeriodUs.store(kDefaultPeriodUs);
    return known;
}

}  // namespace rivu
