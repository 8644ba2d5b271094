#pragma once

namespace rivu {

class RivuSerial;

// Drains queued samples of the current channel into buffer as lines
// "+<channel>,<v>,<v>...\n" (NUL-terminated). True when a line was delivered
// or nothing could be (size <= 0, or room too small); false when not Running
// or the current channel holds no samples. An empty current channel is passed
// over once another channel holds more than 20 samples. Never allocates.
bool TakeSampleLines(RivuSerial& device, char* buffer, int size);

// Discards every queued sample of every channel.
void FlushSamples(RivuSerial& device);

}  // namespace rivu
