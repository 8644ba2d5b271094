// The entry point of rivu.dll.
#include <windows.h>

#include "plugin/library_lifetime.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            DisableThreadLibraryCalls(instance);
            rivu::OnLibraryLoad();
            break;
        case DLL_PROCESS_DETACH:
            rivu::OnLibraryUnload();
            break;
        default:
            break;
    }
    return TRUE;
}
