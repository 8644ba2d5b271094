// Load and unload of librivu.so. Its destructor runs on dlclose and on exit;
// in both the reader threads are still running and end when asked.
#include "platform/library_entry.h"

namespace {

__attribute__((constructor)) void LibraryLoaded() { rivu::OnLibraryLoad(); }
__attribute__((destructor)) void LibraryUnloading() { rivu::OnLibraryUnload(rivu::UnloadReason::kLibraryUnload); }

}  // namespace
