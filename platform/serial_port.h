#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event.h"
#include "platform/handle_users.h"
#include "platform/native_handle.h"

namespace rivu::platform {

inline constexpr int kRtsControlDisable = 0;
inline constexpr int kRtsControlEnable = 1;

// How long Close waits for operations of other threads to leave the handle.
// Each takes a few milliseconds; one still inside after this is starved or
// was ended inside it.
inline constexpr std::int64_t kCloseDrainLimitMs = 1000;

// Line settings as the port reports them (for checks and diagnostics).
struct LineSettings {
    std::int32_t baudRate = 0;
    int dataBits = 0;
    int parity = -1;    // 0 none
    int stopBits = -1;  // 0 one stop bit
};

// What ended a wait for received characters.
enum class RxWait {
    Received,    // characters arrived (EV_RXCHAR)
    OtherEvent,  // the wait completed without EV_RXCHAR
    TimedOut,    // nothing within the time limit
    Stopped,     // the stop event was signalled
    Fault,       // the port failed (mask, wait or completion)
};

// One serial port opened by its device path, exclusively, for overlapped
// I/O. Windows: CreateFileW / DCB / COMMTIMEOUTS / WaitCommEvent. POSIX:
// termios, TIOCEXCL plus an flock (which also holds against root), poll.
//
// Write and ReadAvailable may be called from two threads at once (host and
// reader); WaitForReceived only from the reader thread. Close may run while
// the reader is parked: later calls then fail cleanly. Close waits for an
// operation in progress on another thread (at most its time limit) before it
// releases the handle; one that has not left within kCloseDrainLimitMs keeps
// the handle and closes it when it leaves (never, if its thread was ended
// inside it); the handle is never reused under it.
class SerialPort {
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool Open(const std::u16string& path);
    bool IsOpen() const { return handle_.load() != kInvalidHandle; }
    void Close();

    // GetCommState, apply 8N1 with the given rate (kept when rate <= 0), DTR
    // off, RTS as given, binary, no flow control; SetCommState.
    bool ApplyLineSettings(std::int32_t rate, int rtsControl);
    // GetCommTimeouts, reads return at once, writes have no time-out;
    // SetCommTimeouts.
    bool ApplyTimeouts();
    bool ReadLineSettings(LineSettings& settings) const;

    // One write of the whole buffer. Waits up to 20 ms for completion; a write
    // still pending then is cancelled and collected before returning, so
    // nothing refers to the caller's buffer afterwards. True when all bytes
    // were written.
    bool Write(const char* data, std::size_t length);

    // Arms a wait for received characters (reusing a wait that is still
    // pending from an earlier call) and waits up to timeoutMs for it or for
    // stopEvent. rxEvent is the device's completion event. A limited wait may
    // end early with OtherEvent (another comm event, an interrupting signal);
    // the caller then waits again.
    RxWait WaitForReceived(Event& rxEvent, Event& stopEvent, std::uint32_t timeoutMs);

    // Reads what has already arrived, at most capacity bytes, without waiting.
    // Returns the byte count (0 when nothing arrived or the read failed).
    std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity);

private:
    struct PendingWait;
    std::atomic<NativeHandle> handle_{kInvalidHandle};
    PendingWait* wait_ = nullptr;  // backend state of the comm-event wait
    mutable HandleUsers users_;    // operations in progress; Close waits for them
};

}  // namespace rivu::platform
