#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "rivu-host/base_scaling.h"
#include "tools/host-objects/enabler_library.h"

namespace rivu::host {

struct ChannelInfo {
    std::string name;
    std::string title;
    std::string scalingText;
    BaseScaling scaling;
};

// What the host learns of one initialised device through its commands.
struct DeviceReport {
    std::string model, vendor, firmware, serialNumber;
    int uniqueId = 0;
    int samplePeriodUs = 0;
    // The intervals the instrument offers (from its upload-rates reply).
    std::vector<int> offeredPeriodsUs;
    std::vector<ChannelInfo> channels;
};

// Asks the device for everything the report holds; false when a command the
// host relies on fails (the text then says which).
bool QueryDevice(EnablerLibrary& enabler, unsigned int index, DeviceReport& report, std::string& error);

// A text reply of a device command ("" when the command fails).
std::string CommandText(EnablerLibrary& enabler, unsigned int index, int code, int argument = 0);
// A numeric reply; false when the command fails.
bool CommandValue(EnablerLibrary& enabler, unsigned int index, int code, int& value, int argument = 0);

void PrintReport(const DeviceReport& report, unsigned int index, std::FILE* out = stdout);
// "5000, 10000, 20000" ("none reported" when empty).
std::string PeriodList(const std::vector<int>& periodsUs);

}  // namespace rivu::host
