#pragma once
#include <string>

namespace rivu::host {

// A channel's calibration as the enabler reports it (device command 30):
// "rawLow,physicalLow;rawHigh,physicalHigh;unit;decimals;".
struct BaseScaling {
    double rawLow = 0, physicalLow = 0, rawHigh = 1, physicalHigh = 1;
    std::string unit;
    int decimals = 0;

    // The physical value of a raw sample (the line through both points).
    double Physical(double raw) const;
};

// False when the text does not have that form.
bool ParseBaseScaling(const std::string& text, BaseScaling& scaling);

}  // namespace rivu::host
