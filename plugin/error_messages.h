#pragma once
#include <cstdint>

#include "support/zvc_string.h"

namespace rivu {

inline constexpr std::uint32_t kNoDeviceIndex = 0xFFFFFFFFu;

// The message GetLastErrorMsg reports for index: for kNoDeviceIndex the text
// that explains why no usable device exists, otherwise the device's lastError.
// found is false when the index names no device.
ZVC::ZVCString ErrorMessageFor(std::uint32_t index, bool& found);

// GetLastErrorMsg: the message's size in characters with its NUL (0 when the
// index names no device). With a buffer, the message is written in the OEM
// code page, never more bytes than that size and always NUL-terminated, and a
// device's own message is then cleared (delivered once). A message longer
// than the size the last call without a buffer reported for the index is not
// written: the result is 0, the buffer holds an empty text and the message
// stays. A delivered message forgets the size that was reported for it.
int DeliverErrorMessage(std::uint32_t index, char* buffer);

}  // namespace rivu
