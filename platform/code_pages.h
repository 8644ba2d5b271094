#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace rivu::platform {

// Conversions between the 8-bit code pages of the system and UTF-16.
// Windows: the ANSI code page (CP_ACP) and the OEM code page of the user's
// default locale (LOCALE_IDEFAULTCODEPAGE of LOCALE_USER_DEFAULT, read once).
// POSIX: both are Latin-1; a code unit above 0xFF becomes '?'.

// Decodes ANSI bytes; stops at the first NUL byte or after length bytes.
std::u16string AnsiToWide(const char* bytes, std::size_t length);
std::string WideToAnsi(std::u16string_view text);
std::string WideToOem(std::u16string_view text);

}  // namespace rivu::platform
