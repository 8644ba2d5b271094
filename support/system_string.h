#pragma once
#include <cstdint>

namespace rivu {

// A system string holding a copy of length units of text: a BSTR from
// SysAllocStringLen on Windows; a malloc'ed NUL-terminated copy on POSIX.
// Null when out of memory. The receiver frees it with FreeSystemString
// (SysFreeString / free). Each platform backend defines both.
void* AllocateSystemString(const char16_t* text, std::uint32_t length);
void FreeSystemString(void* text);

}  // namespace rivu
