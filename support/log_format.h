#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace rivu {

// A diagnostic line: the clock as an unsigned 32-bit millisecond count divided
// by 1000 in fixed notation with three decimals, ": ", the label, the text.
// No line break. Example: "12.345: version: V,1,0,3,1".
std::u16string FormatLogLine(std::uint32_t milliseconds, std::string_view label, std::u16string_view text);

// ASCII / narrow text widened code unit by code unit (byte n -> unit n).
std::u16string Widen(std::string_view text);

}  // namespace rivu
