#pragma once
#include <cstddef>

#include "support/hresult.h"

namespace rivu {

class RivuSerial;

// One received instrument line (bytes in the ANSI code page, without CR LF):
// advances the protocol state machine, sends follow-up commands, stores what
// the replies carry, passes Running lines to the data, waveform and
// measurement handlers. 0, kFail for a rejected reply, or the handler status.
HResult HandleReply(RivuSerial& device, const char* text, std::size_t length);

}  // namespace rivu
