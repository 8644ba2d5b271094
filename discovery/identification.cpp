#include "discovery/identification.h"

#include <algorithm>
#include <regex>

namespace rivu {

namespace {

// Keeps the low 8 bits of each UTF-16 code unit.
std::string NarrowLowBytes(const std::u16string& text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (char16_t unit : text) {
        narrow.push_back(static_cast<char>(unit & 0xFF));
    }
    return narrow;
}

}  // namespace

std::string ExtractSerialNumber(const std::u16string& devicePath) {
    const std::string narrow = NarrowLowBytes(devicePath);
    // Tried in this order; the first prefix followed by a digit anywhere wins.
    // The expression finds the leftmost prefix followed by a digit, which is
    // where "(prefix)([0-9]+)" matches; the run of digits is then taken by
    // hand, because the recursive regex executor would overflow the stack on
    // a run of many thousand digits.
    static constexpr const char* kPrefixes[] = {"a800", "ksc", "zvccoda"};
    for (const char* prefix : kPrefixes) {
        const std::regex expression(std::string("(") + prefix + ")([0-9])", std::regex::ECMAScript);
        std::smatch match;
        if (std::regex_search(narrow, match, expression)) {
            const auto digitsBegin = match[2].first;
            const auto digitsEnd = std::find_if(digitsBegin, narrow.end(), [](char c) { return c < '0' || c > '9'; });
            return std::string(digitsBegin, digitsEnd);
        }
    }
    return {};
}

bool IsZvcCodaIdentity(const std::u16string& identity) { return identity.find(u"ZVCCODA") != std::u16string::npos; }

}  // namespace rivu
