#include "platform/serial_port.h"

#include <windows.h>

#include "platform/clock.h"
#include "platform/system_error.h"

namespace rivu::platform {
namespace {

constexpr DWORD kWriteWaitMs = 20;
constexpr DWORD kReadWaitMs = 20;
// How long Close waits for a cancelled comm-event wait to report back.
constexpr DWORD kCancelWaitMs = 1000;

HANDLE Win(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// A manual-reset event of one read or write, closed with the scope.
class OperationEvent {
public:
    OperationEvent() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (event_ != nullptr) ResetEvent(event_);
    }
    ~OperationEvent() {
        if (event_ != nullptr) CloseHandle(event_);
    }
    OperationEvent(const OperationEvent&) = delete;
    OperationEvent& operator=(const OperationEvent&) = delete;
    HANDLE Get() const { return event_; }

private:
    HANDLE event_;
};

// Waits up to limitMs for an overlapped operation; one still pending then is
// cancelled and its completion collected, so that neither its OVERLAPPED nor
// its buffer is used after return. Returns the bytes transferred, or -1.
long long Finish(HANDLE port, OVERLAPPED& overlapped, DWORD limitMs, bool* timedOut = nullptr) {
    const bool late = WaitForSingleObject(overlapped.hEvent, limitMs) != WAIT_OBJECT_0;
    if (late) CancelIoEx(port, &overlapped);
    if (timedOut != nullptr) *timedOut = late;
    DWORD transferred = 0;
    if (GetOverlappedResult(port, &overlapped, &transferred, TRUE)) return transferred;
    // A cancelled operation may still have moved bytes.
    return transferred > 0 ? static_cast<long long>(transferred) : -1;
}

// Waits up to limitMs until the system has finished with an overlapped
// operation whose completion event has not been consumed. The event counts as
// well as the status word: Wine can signal a completed comm-event wait while
// its status still reads pending.
bool AwaitCompletion(const OVERLAPPED& overlapped, DWORD limitMs) {
    if (HasOverlappedIoCompleted(&overlapped)) return true;
    return WaitForSingleObject(overlapped.hEvent, limitMs) == WAIT_OBJECT_0 || HasOverlappedIoCompleted(&overlapped);
}

}  // namespace

// The wait for received characters. Its OVERLAPPED and mask word must live
// until the system completes it, so a wait that timed out stays here and is
// waited on again by the next call instead of being abandoned.
struct SerialPort::PendingWait {
    OVERLAPPED overlapped{};
    DWORD mask = 0;
    bool pending = false;
};

SerialPort::SerialPort() : wait_(new PendingWait) {}

SerialPort::~SerialPort() {
    Close();
    delete wait_;
}

bool SerialPort::Open(const std::u16string& path) {
    Close();
    if (path.empty()) return false;
    const HANDLE port = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return RecordFailure("CreateFileW");
    handle_.store(reinterpret_cast<NativeHandle>(port));
    return true;
}

void SerialPort::Close() {
    const bool drained = users_.BlockAndDrain(kCloseDrainLimitMs);
    const NativeHandle handle = handle_.exchange(kInvalidHandle);
    if (handle != kInvalidHandle && !drained) {
        // An operation is still inside: it closes the handle when it leaves
        // (which also ends a pending wait); the wait block stays with the
        // system, never reused.
        users_.Detach(handle, [](NativeHandle detached) { CloseHandle(Win(detached)); });
        wait_ = new PendingWait;
    } else if (handle != kInvalidHandle) {
        const HANDLE port = Win(handle);
        bool collected = true;
        if (wait_->pending) {
            CancelIoEx(port, &wait_->overlapped);
            collected = AwaitCompletion(wait_->overlapped, kCancelWaitMs);
        }
        CloseHandle(port);  // also ends whatever is still pending on the port
        if (wait_->pending) {
            if (!collected && !AwaitCompletion(wait_->overlapped, kCancelWaitMs)) {
                // The system still owns the old block: leave it to it rather
                // than let a late completion write into reused memory.
                wait_ = new PendingWait;
            }
            wait_->pending = false;
        }
    }
    users_.Unblock();
}

bool SerialPort::ApplyLineSettings(std::int32_t rate, int rtsControl) {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle) return false;
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Win(handle), &dcb)) return RecordFailure("GetCommState");
    if (rate > 0) dcb.BaudRate = static_cast<DWORD>(rate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fAbortOnError = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = static_cast<DWORD>(rtsControl) & 3;
    // Software flow control, special characters and limits stay as the port has them.
    return SetCommState(Win(handle), &dcb) != 0 || RecordFailure("SetCommState");
}

bool SerialPort::ApplyTimeouts() {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle) return false;
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(Win(handle), &timeouts)) return RecordFailure("GetCommTimeouts");
    // Reads return at once with what has arrived; writes have no time-out.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(Win(handle), &timeouts) != 0 || RecordFailure("SetCommTimeouts");
}

bool SerialPort::ReadLineSettings(LineSettings& settings) const {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle) return false;
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Win(handle), &dcb)) return false;
    settings.baudRate = static_cast<std::int32_t>(dcb.BaudRate);
    settings.dataBits = dcb.ByteSize;
    settings.parity = dcb.Parity;
    settings.stopBits = dcb.StopBits;
    return true;
}

bool SerialPort::Write(const char* data, std::size_t length) {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle || data == nullptr || length > MAXDWORD) return false;
    OperationEvent event;
    if (event.Get() == nullptr) return RecordFailure("CreateEventW");
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    const HANDLE port = Win(handle);
    long long written = -1;
    if (WriteFile(port, data, static_cast<DWORD>(length), nullptr, &overlapped)) {
        DWORD count = 0;
        if (GetOverlappedResult(port, &overlapped, &count, FALSE)) {
            written = count;
        } else {
            RecordFailure("GetOverlappedResult");
        }
    } else if (GetLastError() == ERROR_IO_PENDING) {
        bool timedOut = false;
        written = Finish(port, overlapped, kWriteWaitMs, &timedOut);
        // A write cancelled at its time limit ends with "operation aborted",
        // which says nothing of why: say it.
        if (written < 0 && timedOut) {
            RecordFailure("WriteFile", "the line took no byte within 20 ms; the write was cancelled");
        } else if (written < 0) {
            RecordFailure("WriteFile");
        }
    } else {
        RecordFailure("WriteFile");
    }
    if (written >= 0 && written != static_cast<long long>(length)) {
        RecordFailure("WriteFile", "the line took not all bytes within 20 ms");
    }
    return written == static_cast<long long>(length);
}

RxWait SerialPort::WaitForReceived(Event& rxEvent, Event& stopEvent, std::uint32_t timeoutMs) {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle || !rxEvent.Valid() || !stopEvent.Valid()) return RxWait::Fault;
    const HANDLE port = Win(handle);
    PendingWait& wait = *wait_;

    if (!wait.pending) {
        if (!SetCommMask(port, EV_RXCHAR)) {
            RecordFailure("SetCommMask");
            return RxWait::Fault;
        }
        ZeroMemory(&wait.overlapped, sizeof wait.overlapped);
        wait.overlapped.hEvent = Win(rxEvent.Native());
        wait.mask = 0;
        rxEvent.Reset();
        if (WaitCommEvent(port, &wait.mask, &wait.overlapped)) {
            // Completed at once (characters were already waiting): that is a
            // received-character event, not a port fault.
            return (wait.mask & EV_RXCHAR) != 0 ? RxWait::Received : RxWait::OtherEvent;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            RecordFailure("WaitCommEvent");
            return RxWait::Fault;
        }
        wait.pending = true;
    }

    const HANDLE events[2] = {Win(rxEvent.Native()), Win(stopEvent.Native())};
    switch (WaitForMultipleObjects(2, events, FALSE, timeoutMs)) {
        case WAIT_OBJECT_0: {
            DWORD unused = 0;
            if (!GetOverlappedResult(port, &wait.overlapped, &unused, FALSE)) {
                const DWORD error = GetLastError();
                wait.pending = false;
                // The event is signalled only by the wait's completion (it is
                // reset before every arm), so the wait is over even when its
                // status still reads pending: Wine can write STATUS_PENDING
                // after its worker completed the wait. Waiting on it again
                // would wait for good; the next cycle arms a fresh one, which
                // completes at once when characters are waiting.
                // Nothing of ours cancels a running wait, but the system may
                // end one by itself (Wine does when the device has no modem
                // lines). No characters came; a port that is really gone
                // fails the next SetCommMask.
                if (error == ERROR_IO_INCOMPLETE || error == ERROR_OPERATION_ABORTED) return RxWait::OtherEvent;
                RecordFailure("GetOverlappedResult", error);
                return RxWait::Fault;
            }
            wait.pending = false;
            return (wait.mask & EV_RXCHAR) != 0 ? RxWait::Received : RxWait::OtherEvent;
        }
        case WAIT_OBJECT_0 + 1:
            return RxWait::Stopped;  // the pending wait stays for the next call or Close
        case WAIT_TIMEOUT:
            return RxWait::TimedOut;
        default:
            RecordFailure("WaitForMultipleObjects");
            return RxWait::Fault;
    }
}

std::size_t SerialPort::ReadAvailable(std::uint8_t* buffer, std::size_t capacity) {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle || buffer == nullptr || capacity == 0) return 0;
    OperationEvent event;
    if (event.Get() == nullptr) return 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    const HANDLE port = Win(handle);
    const DWORD wanted = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    long long count = 0;
    if (ReadFile(port, buffer, wanted, nullptr, &overlapped)) {
        DWORD done = 0;
        count = GetOverlappedResult(port, &overlapped, &done, FALSE) ? done : 0;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        // With the port's time-outs a read completes at once; if it does not,
        // it must not outlive this buffer.
        count = Finish(port, overlapped, kReadWaitMs);
        if (count < 0) RecordFailure("ReadFile");
    } else {
        RecordFailure("ReadFile");
    }
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

}  // namespace rivu::platform
