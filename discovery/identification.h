#pragma once
#include <string>

#include "serial/device_identity.h"

namespace rivu {

// The digits after the first of "a800", "ksc", "zvccoda" (tried in that
// order) that is followed by digits in the path narrowed to its low bytes;
// empty when none is.
std::string ExtractSerialNumber(const std::u16string& devicePath);

// The identity text marks a Zarvonic-branded CODA ("ZVCCODA", case-sensitive).
bool IsZvcCodaIdentity(const std::u16string& identity);

// What a device is created with: the serial number from the port's
// setup-API path (interfacePath) and the CODA mark from its identity text.
DeviceIdentity IdentifyDevice(const std::u16string& interfacePath, const std::u16string& identity);

}  // namespace rivu
