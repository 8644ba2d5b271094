#pragma once
#include <string>
#include <string_view>

namespace rivu::platform::posix {

// File names and environment values are UTF-8 bytes on POSIX; the enabler
// keeps every text as UTF-16. Malformed input becomes U+FFFD, never lost
// silently or read past its end.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view bytes);

}  // namespace rivu::platform::posix
