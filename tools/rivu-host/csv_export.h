#pragma once
#include <string>
#include <vector>

#include "rivu-host/device_report.h"
#include "rivu-host/recorder.h"

namespace rivu::host {

// Writes the recording as CSV: a header "time_s,<name> (<unit>),...", then
// one row per sample index with the time from the sample period and each
// channel's physical value (empty where a channel has fewer samples).
bool WriteCsv(const std::string& path, const DeviceReport& report, const Recording& recording);

}  // namespace rivu::host
