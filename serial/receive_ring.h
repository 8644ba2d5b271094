#pragma once
#include <cstddef>
#include <cstdint>

#include "support/hresult.h"

namespace rivu {

class RivuSerial;

// Receives one complete instrument line (without leading blanks and without
// its CR LF); 0 means go on, anything else ends the pass.
using LineHandler = HResult (*)(RivuSerial& device, const char* text, std::size_t length);

// Reads what has arrived on the port and hands every complete line to the
// device's lineHandler. A failed read is logged with the system's text (once
// until a read succeeds again). Returns 0 when all complete lines were consumed (or the pass
// ended on a blank line), else the handler's non-zero result.
HResult ReceivePass(RivuSerial& device);

// The arrival times of what a read brought (reader thread; kept for a CODA,
// whose upload time-out is judged by them): the lines it
// completes were read at readAt and arrived after the port was last seen
// drained (lines an earlier pass left in the ring keep that pass's bound).
// drained: the read took everything there was, so the port was drained at
// readAt.
void NoteRead(RivuSerial& device, std::int64_t readAt, bool drained);
// A wait for received characters that timed out at now: nothing was waiting.
void NotePortQuiet(RivuSerial& device, std::int64_t now);

// The work of ReceivePass after the read: stores bytes in the receive ring
// (dropping what does not fit) and cuts lines out of it for handler. Never
// allocates.
HResult StoreAndCutLines(RivuSerial& device, const std::uint8_t* bytes, std::size_t count, LineHandler handler);

}  // namespace rivu
