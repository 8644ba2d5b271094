#pragma once

namespace rivu {

class RivuSerial;

// The reader thread of one device: waits for received characters or the stop
// event in 20 ms cycles, runs ReceivePass, signals dataEvent. A port fault
// marks the device failed and parks the thread until it is stopped; the
// thread ends only on the stop event. Argument: the RivuSerial.
void ReaderThread(void* device);

}  // namespace rivu
