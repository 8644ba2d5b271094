#pragma once
#include <string>

#include "tools/host-objects/enabler_library.h"

namespace rivu::test {

// The built enabler (librivu.so / rivu.dll), loaded once per test program as
// the host application loads it. Fails the calling test when it cannot be
// loaded. Its exports are process-wide state: tests end with CloseAll.
host::EnablerLibrary& Enabler();

// The built rivu-host program.
std::string HostProgramPath();

}  // namespace rivu::test
