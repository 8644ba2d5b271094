#pragma once
#include <memory>

namespace rivu {

class RivuSerial;

// One step of a discovery pass over the present COM-port interfaces: the next
// port whose identity contains one of the selection's comma-separated tokens,
// as a new closed device, or null when the pass has run out (the pass then
// resets and the next call starts a new one). selection is never null.
std::unique_ptr<RivuSerial> DiscoverNextDevice(const char* selection);

// Ends the current pass: destroys the port enumerator and discards the FTDI
// driver binding.
void ResetDiscovery();

// What GetLastErrorMsg needs to know about the FTDI driver binding.
struct DriverBindingStatus {
    bool exists = false;
    bool driverNotInstalled = false;
    bool driverCannotLoad = false;
};
DriverBindingStatus CurrentDriverBindingStatus();

// CloseAll: destroys the enumerator and unloads and forgets the binding
// (usable or not).
void ShutdownDiscovery();

// Library unload: releases the setup-API binding as well.
void UnloadDiscovery();

}  // namespace rivu
