#include "serial/rivu_serial.h"

#include "serial/reader_thread.h"
#include "support/com_call.h"
#include "support/log.h"

namespace rivu {

RivuSerial::RivuSerial(const std::u16string& path, const DeviceIdentity& identity)
    : devicePath(path),
      serialNumber(identity.serialNumber),
      isZvcCoda(identity.isZvcCoda),
      interfacePath(identity.interfacePath.empty() ? path : identity.interfacePath) {
    uploadTimerStart = clock->SteadyMilliseconds();
    LogEvent("devicePath: ", std::u16string_view(devicePath));
    if (interfacePath != devicePath) LogEvent("interfacePath: ", std::u16string_view(interfacePath));
    // The three events and the empty lastError are made by their members.
}

RivuSerial::~RivuSerial() {
    // A device closed already (the library's unload closes first, to see
    // whether its reader ended) is not closed again: the second "X" and pause
    // would go to a closed port.
    if (IsOpen() || !stopRequested.load()) Close();
    // A reader that did not end within Close's 500 ms still uses this object:
    // wait for it before anything is freed.
    readerThread.Join();
    if (samplingInterface != nullptr) {
        Release(samplingInterface);
        samplingInterface = nullptr;
    }
    // Events, texts, channel records and the rate table go with their members;
    // the port with the COMPort part.
}

void RivuSerial::Close() {
    SendCommand("X");
    clock->Sleep(20);
    if (!stopRequested.exchange(true)) {
        stopEvent.Set();
        readerThread.WaitFor(500);
    }
    COMPort::Close();
}

bool RivuSerial::StartReaderThread(LineHandler handler) {
    if (readerThread.Started()) {
        // The previous reader must be gone before its stop signal is re-armed.
        if (!stopRequested.exchange(true)) stopEvent.Set();
        readerThread.Join();
    }
    stopEvent.Reset();
    stopRequested.store(false);
    lineHandler = handler;
    if (!readerThread.Start(ReaderThread, this)) {
        stopRequested.store(true);
        return false;
    }
    readerThread.SetAboveNormalPriority();
    return true;
}

}  // namespace rivu
