#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rivu {

class RivuSerial;
class FtdiDriverBinding;

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

// The pieces of a pass.

// Cuts the selection text at every comma: pieces between commas (empty ones
// too) are tokens, a final comma adds none, spaces stay. An empty text gives
// one empty token.
std::vector<std::string> SplitSelection(std::string_view selection);

// Whether a token occurs in the identity narrowed to the low byte of each
// code unit (case-sensitive). An empty token occurs in every identity.
bool MatchesAnyToken(const std::vector<std::string>& tokens, const std::u16string& identity);

// The PortName kept for a device instance ("COM5"); "" and false when there
// is none.
bool ReadPortName(const std::u16string& instanceId, std::u16string& port);

// The serial number of the D2XX device whose COM port is port (letters
// compared without case); false, with serial untouched, when no device
// matches or a driver call fails (a handle it opened is closed again).
bool LookupFtdiSerial(FtdiDriverBinding& binding, const std::u16string& port, std::u16string& serial);

}  // namespace rivu
