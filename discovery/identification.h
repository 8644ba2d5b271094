#pragma once
#include <string>

namespace rivu {

// The digits after the first of "a800", "ksc", "zvccoda" (tried in that
// order) that is followed by digits in the path narrowed to its low bytes;
// empty when none is.
std::string ExtractSerialNumber(const std::u16string& devicePath);

// The identity text marks a Zarvonic-branded CODA ("ZVCCODA", case-sensitive).
bool IsZvcCodaIdentity(const std::u16string& identity);

}  // namespace rivu
