#pragma once
#include <string>
#include <vector>

#include "rivu-host/device_report.h"

namespace rivu::host {

// The device reports as a JSON array, one object per instrument: index,
// vendor, model, firmware, serial number, unique id, sample period and the
// channels with name, title, unit, decimals and scaling (text and points).
// Texts are the enabler's UTF-8, escaped as JSON requires.
std::string DevicesJson(const std::vector<DeviceReport>& reports, const std::vector<unsigned int>& indices);

}  // namespace rivu::host
