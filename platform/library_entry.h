#pragma once

namespace rivu {

// What the library's entry point (DllMain on Windows, the shared object's
// constructor and destructor on POSIX) calls; the plug-in defines these
// (plugin/library_lifetime.cpp).
void OnLibraryLoad();

enum class UnloadReason {
    kLibraryUnload,  // FreeLibrary or dlclose (or exit on POSIX, threads still running)
    kProcessExit,    // Windows process termination: every other thread is already gone
};

// kLibraryUnload: closes every device with bounded waits (a device whose reader
// has not ended is left behind, never waited for), then discards the discovery
// and host service state, in reverse order of creation. kProcessExit: does
// nothing, because a thread ended inside a port operation would hold it forever,
// and the system releases the handles and memory itself.
void OnLibraryUnload(UnloadReason reason);

}  // namespace rivu
