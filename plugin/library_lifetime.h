#pragma once

namespace rivu {

// Called by the library's entry point (DllMain on Windows, the shared
// object's constructor and destructor on POSIX).
void OnLibraryLoad();
// Destroys every device (as CloseAll does), then the discovery and host
// service state, in reverse order of creation.
void OnLibraryUnload();

}  // namespace rivu
