#include "support/log_format.h"

#include <charconv>

namespace rivu {
namespace {

void AppendDecimal(std::u16string& out, std::uint32_t value, int minimumDigits) {
    char digits[16];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    for (int pad = minimumDigits - static_cast<int>(end - digits); pad > 0; --pad) out += u'0';
    for (const char* p = digits; p != end; ++p) out += static_cast<char16_t>(*p);
}

}  // namespace

std::u16string FormatLogLine(std::uint32_t milliseconds, std::string_view label, std::u16string_view text) {
    // Seconds with three decimals, written from the integer parts: exactly
    // what fixed notation of milliseconds / 1000.0 gives, with a '.' whatever
    // the process locale.
    std::u16string line;
    line.reserve(16 + label.size() + text.size());
    AppendDecimal(line, milliseconds / 1000, 1);
    line += u'.';
    AppendDecimal(line, milliseconds % 1000, 3);
    line += u": ";
    line += Widen(label);
    line += text;
    return line;
}

std::u16string Widen(std::string_view text) {
    std::u16string wide(text.size(), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

}  // namespace rivu
