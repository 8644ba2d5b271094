#pragma once
#include <cstdint>
#include <memory>

namespace rivu {

class RivuSerial;

// The process-wide list of devices found by FindDevice, in the order found.
// A device index is a position in it; entries are never removed one at a
// time, so an index stays valid until CloseAllDevices. The host must not
// call FindDevice or CloseAll while another export runs, so the table itself
// is not locked.
namespace device_table {

// The device at index, or null when there is none.
RivuSerial* At(std::uint32_t index);
std::uint32_t Size();
// Takes ownership; returns the new device's index.
std::uint32_t Append(std::unique_ptr<RivuSerial> device);
// Visits every device in table order.
template <typename Visitor>
void ForEach(Visitor&& visit) {
    for (std::uint32_t i = 0, n = Size(); i < n; ++i) {
        if (RivuSerial* device = At(i)) visit(*device);
    }
}

// Destroys the devices from the last found to the first, then discards the
// discovery state (enumerator and FTDI driver binding).
void CloseAllDevices();

// The library's unload: closes the devices from the last found to the first.
// Where a running thread keeps the library loaded (Windows) nothing is waited
// for beyond Close's bounded waits: a device whose reader has not ended is
// left behind with its storage (leaked, never freed under the thread). Where
// unloading would unmap the code under it (POSIX), such a reader is waited for
// until it ends. False when one was left behind.
bool CloseAllDevicesForUnload();

}  // namespace device_table
}  // namespace rivu
