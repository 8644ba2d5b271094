#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace rivu {

class RivuSerial;

// Builds the device's channel records from the four channel-description
// replies; false (nothing appended) when one is empty or the lists differ in
// length. Publishes the whole list at once.
bool BuildChannelCatalogue(RivuSerial& device);
// The same with the minVals line given before it is stored in the device, so
// that a host thread that sees all four replies stored also sees the list.
bool BuildChannelCatalogue(RivuSerial& device, std::u16string_view minValsLine);

std::string MapChannelName(const std::string& shortName);
std::string MapChannelUnit(const std::string& unit, const std::string& displayName);
std::int32_t DecimalsOf(const std::string& upperLimitText);
void FixedRangeFor(const std::string& displayName, double& upper, double& lower);

}  // namespace rivu
