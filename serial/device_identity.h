#pragma once
#include <string>

namespace rivu {

// What discovery found out about the instrument on a port; a device is
// created with it and never looks it up itself.
struct DeviceIdentity {
    // The port's path in the setup API's form (\\?\ftdibus#...), the source
    // of the serial number and of the unique id. Empty: the opened path is
    // that form (Windows).
    std::u16string interfacePath;
    // The digits of the FTDI serial in interfacePath; empty when it has none.
    std::string serialNumber;
    // The identity text marks a Zarvonic-branded CODA.
    bool isZvcCoda = false;
};

}  // namespace rivu
