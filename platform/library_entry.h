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
// has not ended is left behind where that is safe, otherwise its reader is
// waited for: see RunningThreadsKeepLibraryLoaded), then discards the discovery
// and host service state, in reverse order of creation. kProcessExit: does
// nothing, because a thread ended inside a port operation would hold it forever,
// and the system releases the handles and memory itself.
void OnLibraryUnload(UnloadReason reason);

namespace platform {

// True where a running thread keeps the library's code loaded (Windows: each
// thread holds a reference on its module), so a thread still running at
// unload is safe to leave behind. False where unloading unmaps the code under
// it (POSIX dlclose); no loader lock stands in a thread's way there, so the
// unload waits for such a thread instead.
bool RunningThreadsKeepLibraryLoaded();

}  // namespace platform

}  // namespace rivu
