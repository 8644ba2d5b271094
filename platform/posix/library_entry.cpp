// Load and unload of librivu.so. Its destructor runs on dlclose and on exit;
// in both the reader threads are still running and end when asked. glibc
// holds its loader lock while it runs the destructor, but a thread's exit
// does not need that lock, so the unload can wait for a reader to end.
#include "platform/library_entry.h"

namespace {

__attribute__((constructor)) void LibraryLoaded() { rivu::OnLibraryLoad(); }
__attribute__((destructor)) void LibraryUnloading() { rivu::OnLibraryUnload(rivu::UnloadReason::kLibraryUnload); }

}  // namespace

// dlclose unmaps the library's code even while a thread runs it.
bool rivu::platform::RunningThreadsKeepLibraryLoaded() { return false; }
