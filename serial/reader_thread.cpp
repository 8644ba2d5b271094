#include "serial/reader_thread.h"

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/system_error.h"
#include "serial/receive_ring.h"
#include "serial/rivu_serial.h"
#include "support/log.h"

namespace rivu {
namespace {

constexpr std::uint32_t kCycleMs = 20;

// After a port fault the device stays failed; the thread waits for either
// event. Returns false when it is to end.
bool ParkAfterFault(RivuSerial& device) {
    device.failed.store(true);
    for (;;) {
        const int woken = platform::WaitForEither(device.rxEvent, device.stopEvent, platform::kWaitForever);
        if (woken == 0) return true;
        if (woken == 1) return false;
        // The wait itself failed: do not spin, and still honour a stop request.
        if (device.stopRequested.load()) return false;
        platform::SleepMilliseconds(kCycleMs);
    }
}

}  // namespace

void ReaderThread(void* argument) {
    RivuSerial& device = *static_cast<RivuSerial*>(argument);
    // A fault that repeats is logged once, until the port works again.
    bool faultLogged = false;
    for (;;) {
        // Close sets the flag before it signals: a port that never falls
        // silent (the received-character event wins every wait) still stops.
        if (device.stopRequested.load()) return;
        platform::ClearFailure();
        switch (device.Port().WaitForReceived(device.rxEvent, device.stopEvent, kCycleMs)) {
            case platform::RxWait::Stopped:
                return;
            case platform::RxWait::TimedOut:
                // Nothing came: whatever arrives later arrived after now.
                NotePortQuiet(device, device.clock->SteadyMilliseconds());
                break;
            case platform::RxWait::OtherEvent:
                break;
            case platform::RxWait::Received:
                faultLogged = false;
                // A failed read delivers nothing; the line is judged by the next wait.
                if (ReceivePass(device) == kOk) device.dataEvent.Set();
                break;
            case platform::RxWait::Fault:
                if (!faultLogged) faultLogged = LogSystemFailure(u"serial line of " + device.devicePath + u" failed");
                if (!ParkAfterFault(device)) return;
                break;
        }
    }
}

}  // namespace rivu
