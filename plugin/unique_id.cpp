#include "plugin/unique_id.h"

#include <algorithm>
#include <cstdlib>

namespace rivu {

std::uint64_t HashDevicePath(const std::u16string& devicePath) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (char16_t unit : devicePath) {
        for (unsigned byte : {static_cast<unsigned>(unit & 0xFF), static_cast<unsigned>(unit >> 8)}) {
            hash ^= byte;
            hash *= 0x100000001B3ull;
        }
    }
    return hash;
}

std::int32_t MakeUniqueId(const std::u16string& devicePath) {
    const std::int32_t fallback = std::rand() % 10000 + 89999;
    if (devicePath.empty()) return fallback;

    std::string digits = std::to_string(HashDevicePath(devicePath));
    if (digits.size() < 2) return fallback;
    if (digits.size() < 5) digits.insert(0, 5 - digits.size(), '0');
    std::reverse(digits.begin(), digits.end());
    return std::stoi(digits.substr(0, 5));
}

}  // namespace rivu
