#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rivu {

// Cuts a line at every comma. Fields are not trimmed; adjacent commas give an
// empty field; a final comma gives no trailing empty field; an empty line
// gives an empty list.
std::vector<std::u16string> SplitFields(std::u16string_view line);
// The number of fields SplitFields gives, without making them.
std::size_t CountFields(std::u16string_view line);

// Reads one single-precision number from the start of the field in the
// classic C locale whatever the process locale; 0 when it is not a number;
// trailing text is ignored.
float ParseNumber(std::u16string_view field);

// A leading decimal integer with C atoi rules (leading white space, optional
// sign, digits); 0 when there is none. Saturates instead of overflowing.
std::int32_t ParseInteger(std::string_view text);
std::int32_t ParseInteger(std::u16string_view text);

}  // namespace rivu
