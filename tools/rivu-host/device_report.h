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
    // Where the enabler found it: the port's path and its identity (the
    // instance id), so that two instruments can be told apart.
    std::string port, identity;
    // Why the instrument cannot be used; empty when it can.
    std::string problem;
};

// Asks the device for everything the report holds; false when a command the
// host relies on fails (the text then says which).
bool QueryDevice(EnablerLibrary& enabler, unsigned int index, DeviceReport& report, std::string& error);

// A text reply of a device command ("" when the command fails).
std::string CommandText(EnablerLibrary& enabler, unsigned int index, int code, int argument = 0);
// A numeric reply; false when the command fails.
bool CommandValue(EnablerLibrary& enabler, unsigned int index, int code, int& value, int argument = 0);

// The instrument, its port and its channels; an instrument that cannot be
// used with its port and the reason.
void PrintReport(const DeviceReport& report, unsigned int index, std::FILE* out = stdout);
// "5000, 10000, 20000" ("none reported" when empty).
std::string PeriodList(const std::vector<int>& periodsUs);

}  // namespace rivu::host
