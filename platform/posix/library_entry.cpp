// Load and unload of librivu.so.
#include "plugin/library_lifetime.h"

namespace {

__attribute__((constructor)) void LibraryLoaded() { rivu::OnLibraryLoad(); }
__attribute__((destructor)) void LibraryUnloading() { rivu::OnLibraryUnload(); }

}  // namespace
