#include "platform/library_entry.h"

#include "discovery/port_discovery.h"
#include "plugin/device_table.h"
#include "plugin/host_services.h"

namespace rivu {

void OnLibraryLoad() {
    // The device table starts empty; discovery and the host services are
    // created on first use.
    StopHostServiceLookups(false);
}

void OnLibraryUnload(UnloadReason reason) {
    if (reason == UnloadReason::kProcessExit) return;
    try {
        // Closing a device may log (a port that fails): to the service found
        // before, never one looked up under the loader's lock.
        StopHostServiceLookups(true);
        // A reader left behind may still log and use discovery's state.
        if (!device_table::CloseAllDevicesForUnload()) return;
        UnloadDiscovery();
        ShutdownHostServices();
        StopHostServiceLookups(false);
    } catch (...) {
        // Nothing may escape the library's entry point.
    }
}

}  // namespace rivu
