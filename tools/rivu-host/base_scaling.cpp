#include "rivu-host/base_scaling.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace rivu::host {
namespace {

bool ParseDouble(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0';
}

bool ParsePoint(const std::string& text, double& raw, double& physical) {
    const std::size_t comma = text.find(',');
    return comma != std::string::npos && ParseDouble(text.substr(0, comma), raw) &&
           ParseDouble(text.substr(comma + 1), physical);
}

}  // namespace

double BaseScaling::Physical(double raw) const {
    if (rawHigh == rawLow) return physicalLow;
    return physicalLow + (raw - rawLow) * (physicalHigh - physicalLow) / (rawHigh - rawLow);
}

bool ParseBaseScaling(const std::string& text, BaseScaling& scaling) {
    std::vector<std::string> items;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ';');) items.push_back(item);
    if (items.size() != 4) return false;
    double decimals = 0;
    if (!ParsePoint(items[0], scaling.rawLow, scaling.physicalLow) ||
        !ParsePoint(items[1], scaling.rawHigh, scaling.physicalHigh) || !ParseDouble(items[3], decimals)) {
        return false;
    }
    scaling.unit = items[2];
    scaling.decimals = static_cast<int>(decimals);
    return true;
}

}  // namespace rivu::host
