// The entry point of rivu.dll.
#include <windows.h>

#include "platform/library_entry.h"

// Follows "DllMain entry point" and "Dynamic-Link Library Best Practices": no
// thread is created or waited for under the loader lock, and on process
// termination (lpvReserved non-null) nothing is cleaned up, because the other
// threads have been ended wherever they were and the system reclaims the
// process's memory and handles.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            DisableThreadLibraryCalls(instance);
            rivu::OnLibraryLoad();
            break;
        case DLL_PROCESS_DETACH:
            rivu::OnLibraryUnload(reserved != nullptr ? rivu::UnloadReason::kProcessExit
                                                      : rivu::UnloadReason::kLibraryUnload);
            break;
        default:
            break;
    }
    return TRUE;
}

// Each thread holds a reference on the module and ends with
// FreeLibraryAndExitThread, so the DLL stays mapped while a reader runs.
bool rivu::platform::RunningThreadsKeepLibraryLoaded() { return true; }
