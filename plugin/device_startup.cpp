#include "plugin/device_startup.h"

#include "protocol/fields.h"
#include "protocol/reply_dispatcher.h"
#include "serial/rivu_serial.h"

namespace rivu {
namespace {

constexpr std::int32_t kHandshakeBaudRate = 115200;
constexpr std::uint32_t kPollStepMs = 1000;
constexpr std::uint32_t kGiveUpAfterMs = 15000;

}  // namespace

bool InitialiseDevice(RivuSerial& device) {
    if (device.IsOpen()) {
        if (!device.failed.load()) return true;
        device.Close();
    }
    if (Failed(device.Open(device.devicePath, kHandshakeBaudRate))) {
        device.failed.store(true);
        return false;
    }
    device.StartReaderThread(HandleReply);

    // The state goes first: an instrument that echoes at once must find the
    // reader already waiting for the echo.
    device.protocolState.store(kAwaitStopEcho);
    device.SendCommand("S");

    std::uint32_t sleptMs = 0;
    do {
        if (sleptMs > kGiveUpAfterMs) {
            device.notResponding.store(true);
            device.failed.store(true);
            return false;
        }
        device.clock->Sleep(kPollStepMs);
        sleptMs += kPollStepMs;
    } while (device.protocolState.load() < kAwaitIdentEcho);

    if (ParseInteger(device.interfaceVersion) == 1) return true;
    device.wrongFirmware.store(true);
    device.failed.store(true);
    return false;
}

}  // namespace rivu
