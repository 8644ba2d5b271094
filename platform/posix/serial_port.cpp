#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <iterator>

#include "platform/posix/utf8_text.h"
#include "platform/system_error.h"

namespace rivu::platform {
namespace {

struct RateCode {
    std::int32_t rate;
    speed_t code;
};

constexpr RateCode kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
#endif
};

bool SpeedOf(std::int32_t rate, speed_t& code) {
    for (const RateCode& entry : kRates) {
        if (entry.rate == rate) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

std::int32_t RateOf(speed_t code) {
    for (const RateCode& entry : kRates) {
        if (entry.code == code) return entry.rate;
    }
    return 0;
}

int Fd(NativeHandle handle) { return static_cast<int>(handle); }

std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int MsLeft(std::int64_t deadline) {
    const std::int64_t left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Sets or clears one modem line; lines a device does not have (a pseudo-
// terminal has none) are left alone.
void SetModemLine(int fd, int line, bool on) { ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line); }

void CloseDescriptor(NativeHandle handle) {
    ioctl(Fd(handle), TIOCNXCL);  // a pseudo-terminal keeps the flag beyond our close
    close(Fd(handle));
}

}  // namespace

// The POSIX port keeps no PendingWait: poll is level-triggered and leaves
// nothing pending when it returns.

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() { Close(); }

bool SerialPort::Open(const std::u16string& path) {
    Close();
    if (path.empty()) return false;
    const int fd = open(posix::ToUtf8(path).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return RecordFailure("open");
    // Exclusive like a Windows port: TIOCEXCL turns other opens away, the
    // lock also holds against privileged processes.
    const char* refused = !isatty(fd)                         ? "isatty"
                          : ioctl(fd, TIOCEXCL) != 0            ? "ioctl TIOCEXCL"
                          : flock(fd, LOCK_EX | LOCK_NB) != 0 ? "flock"
                                                                : nullptr;
    if (refused != nullptr) {
        RecordFailure(refused);
        close(fd);
        return false;
    }
    handle_.store(fd);
    return true;
}

void SerialPort::Close() {
    const bool drained = users_.BlockAndDrain(kCloseDrainLimitMs);
    const NativeHandle handle = handle_.exchange(kInvalidHandle);
    if (handle != kInvalidHandle) {
        if (drained) {
            CloseDescriptor(handle);
        } else {
            users_.Detach(handle, CloseDescriptor);  // closed by the operation still inside, when it leaves
        }
    }
    users_.Unblock();
}

bool SerialPort::ApplyLineSettings(std::int32_t rate, int rtsControl) {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle) return false;
    const int fd = Fd(handle);

    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return RecordFailure("tcgetattr");
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (rate > 0) {
        speed_t code{};
        if (!SpeedOf(rate, code)) return RecordFailure("cfsetspeed", "the system has no code for this rate");
        if (cfsetispeed(&settings, code) != 0 || cfsetospeed(&settings, code) != 0) return RecordFailure("cfsetspeed");
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return RecordFailure("tcsetattr");

    SetModemLine(fd, TIOCM_DTR, false);
    SetModemLine(fd, TIOCM_RTS, rtsControl != kRtsControlDisable);
    return true;
}

bool SerialPort::ApplyTimeouts() {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle) return false;
    // Reads return at once with what has arrived (the descriptor is also
    // non-blocking); writes are bounded by Write itself.
    termios settings{};
    if (tcgetattr(Fd(handle), &settings) != 0) return RecordFailure("tcgetattr");
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(Fd(handle), TCSANOW, &settings) == 0 || RecordFailure("tcsetattr");
}

bool SerialPort::ReadLineSettings(LineSettings& result) const {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle) return false;
    termios settings{};
    if (tcgetattr(Fd(handle), &settings) != 0) return false;
    result.baudRate = RateOf(cfgetospeed(&settings));
    switch (settings.c_cflag & CSIZE) {
        case CS5:
            result.dataBits = 5;
            break;
        case CS6:
            result.dataBits = 6;
            break;
        case CS7:
            result.dataBits = 7;
            break;
        default:
            result.dataBits = 8;
            break;
    }
    // The Windows numbering: NOPARITY 0, ODDPARITY 1, EVENPARITY 2; ONESTOPBIT 0, TWOSTOPBITS 2.
    result.parity = (settings.c_cflag & PARENB) == 0 ? 0 : ((settings.c_cflag & PARODD) != 0 ? 1 : 2);
    result.stopBits = (settings.c_cflag & CSTOPB) != 0 ? 2 : 0;
    return true;
}

bool SerialPort::Write(const char* data, std::size_t length) {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle || data == nullptr) return false;
    const int fd = Fd(handle);
    const std::int64_t deadline = NowMs() + 20;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t written = write(fd, data + done, length - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return RecordFailure("write");
        const int left = MsLeft(deadline);
        if (left == 0) return RecordFailure("write", "the line took no more bytes within 20 ms");
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, left) < 0 && errno != EINTR) return RecordFailure("poll");
        if (entry.revents & POLLHUP) return RecordFailure("write", "the line hung up");
        if (entry.revents & (POLLERR | POLLNVAL)) return RecordFailure("write", "poll reported an error on the port");
    }
    return true;
}

RxWait SerialPort::WaitForReceived(Event& rxEvent, Event& stopEvent, std::uint32_t timeoutMs) {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle || !stopEvent.Valid()) return RxWait::Fault;
    const int fd = Fd(handle);
    const bool forever = timeoutMs == kWaitForever;
    // No clock is read: this runs once for every row. A limited wait that
    // ends early for any other reason (a signal, a stop signal another waiter
    // took) reports OtherEvent and the caller waits again, so no wait lasts
    // longer than its limit.
    const int pollTimeout = forever ? -1 : static_cast<int>(std::min<std::uint32_t>(timeoutMs, INT_MAX));
    for (;;) {
        pollfd entries[2] = {{fd, POLLIN, 0}, {Fd(stopEvent.Native()), POLLIN, 0}};
        const int ready = poll(entries, 2, pollTimeout);
        if (ready < 0) {
            if (errno != EINTR) {
                RecordFailure("poll");
                return RxWait::Fault;
            }
            if (forever) continue;
            return RxWait::OtherEvent;
        }
        if (ready == 0) return RxWait::TimedOut;
        const short port = entries[0].revents;
        if (port & (POLLERR | POLLNVAL)) {
            // A terminal whose other end is gone reports an error with the hang-up.
            RecordFailure("poll", (port & POLLHUP) != 0 ? "the line hung up" : "it reported an error on the port");
            return RxWait::Fault;
        }
        if (port & POLLHUP) {
            // The other end is gone. Bytes it sent before are still delivered;
            // after that the line has failed.
            int waiting = 0;
            if (ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) return RxWait::Received;
            RecordFailure("poll", "the line hung up");
            return RxWait::Fault;
        }
        if (port & POLLIN) return RxWait::Received;
        if ((entries[1].revents & POLLIN) && stopEvent.Wait(0)) return RxWait::Stopped;
        if (!forever) return RxWait::OtherEvent;
    }
}

std::size_t SerialPort::ReadAvailable(std::uint8_t* buffer, std::size_t capacity) {
    HandleUse use(users_);
    const NativeHandle handle = handle_.load();
    if (!use || handle == kInvalidHandle || buffer == nullptr || capacity == 0) return 0;
    for (;;) {
        const ssize_t count = read(Fd(handle), buffer, capacity);
        if (count >= 0) return static_cast<std::size_t>(count);
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != EINTR) {
            RecordFailure("read");
            return 0;
        }
    }
}

}  // namespace rivu::platform
