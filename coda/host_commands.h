#pragma once
#include <cstdint>

#include "rivu/enabler.h"

namespace rivu {

class RivuSerial;

// The host's numbered device commands. Runs on a host thread.
bool HandleHostCommand(RivuSerial& device, std::int32_t code, RivuCommandRecord* record);

void RefreshSamplingInterface(RivuSerial& device);
bool SelectSamplePeriod(RivuSerial& device, std::int32_t microseconds);

}  // namespace rivu
