#pragma once

namespace rivu {

class RivuSerial;

// Opens the device's port at 115200 8N1, starts its reader thread, sends "S"
// and waits in 1-second steps (16 at most) until the instrument's version
// reply has been accepted. True when the interface version is 1. A device
// that is already open and not failed is ready at once.
bool InitialiseDevice(RivuSerial& device);

}  // namespace rivu
