#pragma once
#include <cstdint>
#include <string>

namespace rivu {

// The identifier the host keeps for a device: the last five decimal digits of
// the 64-bit FNV-1a hash of the device path's UTF-16 bytes, in reverse order.
// A path that is empty (or whose hash has fewer than 2 digits) gets a random
// value from 89999 to 99998 instead.
std::int32_t MakeUniqueId(const std::u16string& devicePath);

// 64-bit FNV-1a over the code units, low byte first.
std::uint64_t HashDevicePath(const std::u16string& devicePath);

}  // namespace rivu
