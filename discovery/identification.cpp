#include "discovery/identification.h"

#include <algorithm>
#include <string_view>

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
    // Tried in this order; the first prefix followed by a digit anywhere wins,
    // with the whole run of digits after it (what "(prefix)([0-9]+)" finds
    // leftmost). A plain search: no expression to compile on every call and no
    // recursion on a run of many thousand digits.
    static constexpr std::string_view kPrefixes[] = {"a800", "ksc", "zvccoda"};
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    for (std::string_view prefix : kPrefixes) {
        for (std::size_t at = narrow.find(prefix); at != std::string::npos; at = narrow.find(prefix, at + 1)) {
            const auto digitsBegin = narrow.begin() + static_cast<std::ptrdiff_t>(at + prefix.size());
            if (digitsBegin == narrow.end() || !isDigit(*digitsBegin)) continue;
            return std::string(digitsBegin, std::find_if_not(digitsBegin, narrow.end(), isDigit));
        }
    }
    return {};
}

bool IsZvcCodaIdentity(const std::u16string& identity) { return identity.find(u"ZVCCODA") != std::u16string::npos; }

DeviceIdentity IdentifyDevice(const std::u16string& interfacePath, const std::u16string& identity) {
    return DeviceIdentity{interfacePath, ExtractSerialNumber(interfacePath), IsZvcCodaIdentity(identity)};
}

}  // namespace rivu
