#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rivu {

class RivuSerial;

// The most columns a channel description may list (a leading "Time" column
// included). Each channel costs a 128 KiB sample ring; instruments describe a
// few dozen columns at most (the acknowledgement frame they were built for
// holds 26), so 64 leaves room and keeps a device to about 8 MiB of records.
inline constexpr std::size_t kMaxDescriptionColumns = 64;

// Why the four channel-description lists cannot be used, or empty when they
// can: a list is empty, the lists differ in length, or they have more than
// kMaxDescriptionColumns columns. Counts fields only; allocates nothing per
// column.
std::string DescriptionProblem(std::u16string_view names, std::u16string_view units, std::u16string_view maxima,
                               std::u16string_view minima);

// Builds the device's channel records from the four channel-description
// replies; false (nothing appended, problem set when given) when
// DescriptionProblem refuses them. Publishes the whole list at once.
bool BuildChannelCatalogue(RivuSerial& device);
// The same with the minVals line given before it is stored in the device, so
// that a host thread that sees all four replies stored also sees the list.
bool BuildChannelCatalogue(RivuSerial& device, std::u16string_view minValsLine, std::string* problem = nullptr);

std::string MapChannelName(const std::string& shortName);
std::string MapChannelUnit(const std::string& unit, const std::string& displayName);
std::int32_t DecimalsOf(const std::string& upperLimitText);
void FixedRangeFor(const std::string& displayName, double& upper, double& lower);

}  // namespace rivu
