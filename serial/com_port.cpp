#include "serial/com_port.h"

#include <cstring>
#include <string>

#include "platform/system_error.h"
#include "support/log.h"
#include "support/log_format.h"

namespace rivu {

COMPort::COMPort() : portHandle(std::make_unique<platform::SerialPort>()) {}

COMPort::~COMPort() {
    if (portHandle->IsOpen()) portHandle->Close();
}

bool COMPort::IsOpen() const { return portHandle->IsOpen(); }

void COMPort::Close() {
    if (portHandle->IsOpen()) portHandle->Close();
}

HResult COMPort::Open(const std::u16string& path, std::int32_t rate) {
    platform::ClearFailure();
    if (!portHandle->Open(path)) {
        LogSystemFailure(u"port " + path + u" not opened");
        return kFail;
    }
    if (Configure(rate, platform::kRtsControlEnable)) return kOk;
    LogSystemFailure(u"port " + path + u" not configured");
    Close();
    return kFail;
}

bool COMPort::Configure(std::int32_t rate, int rtsControl) {
    if (!portHandle->ApplyLineSettings(rate, rtsControl)) return false;
    // Stored as given, also when it is 0 or negative and the port kept its rate.
    baudRate = rate;
    return portHandle->ApplyTimeouts();
}

bool COMPort::SetBaudRate(std::int32_t rate) {
    platform::ClearFailure();
    if (Configure(rate, platform::kRtsControlEnable)) return true;
    LogSystemFailure(u"baud rate " + Widen(std::to_string(rate)) + u" not set");
    return false;
}

std::int32_t COMPort::GetBaudRate() const { return baudRate; }

bool COMPort::CanUseBaudRate(std::int32_t rate) {
    const std::int32_t remembered = GetBaudRate();
    // With no rate of our own stored (never configured, or SetBaudRate(0)),
    // trying another rate must still hand the port back at the rate it had.
    platform::LineSettings before;
    const bool known = portHandle->ReadLineSettings(before);
    if (!Configure(rate, platform::kRtsControlEnable)) return false;
    if (remembered > 0 || !known) return Configure(remembered, platform::kRtsControlEnable);
    const bool restored = Configure(before.baudRate, platform::kRtsControlEnable);
    baudRate = remembered;
    return restored;
}

bool COMPort::SendCommand(const char* text) {
    if (text == nullptr) return false;
    std::size_t length = 0;
    while (length <= kMaxCommandLength && text[length] != '\0') ++length;
    if (length > kMaxCommandLength) return false;
    char frame[kMaxCommandLength + 3];  // ':' text '\n' NUL
    frame[0] = ':';
    std::memcpy(frame + 1, text, length);
    frame[length + 1] = '\n';
    frame[length + 2] = '\0';
    if (commandWriter != nullptr) return commandWriter->WriteFrame(frame, length + 2);
    platform::ClearFailure();
    if (portHandle->Write(frame, length + 2)) return true;
    LogSystemFailure(u"command " + Widen(std::string_view(text, length)) + u" not sent");
    return false;
}

}  // namespace rivu
