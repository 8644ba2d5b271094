#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial_port.h"
#include "serial/device_io.h"
#include "support/hresult.h"

namespace rivu {

// A serial port opened by its device path with overlapped I/O: line
// settings, baud rate, framed commands, closing.
class COMPort {
public:
    COMPort();
    virtual ~COMPort();
    COMPort(const COMPort&) = delete;
    COMPort& operator=(const COMPort&) = delete;

    virtual bool IsOpen() const;
    virtual void Close();
    // Opens exclusively and configures; kFail when either fails (the port is
    // then closed again through the override of Close).
    virtual HResult Open(const std::u16string& path, std::int32_t rate);
    virtual bool Configure(std::int32_t rate, int rtsControl);
    virtual bool SetBaudRate(std::int32_t rate);
    virtual std::int32_t GetBaudRate() const;
    virtual bool CanUseBaudRate(std::int32_t rate);

    // Frames ":<text>\n" and writes it in one write. Commands fit the
    // instrument's 30-byte frame (27 characters); only the "U" acknowledgement
    // of an instrument with many parameters is longer, so texts up to
    // kMaxCommandLength are framed whole. A longer or null text is refused and
    // nothing is sent; never truncated. Returns whether the frame was written.
    bool SendCommand(const char* text);
    // Frames go to writer instead of the port (null: the port again).
    void SetCommandWriter(CommandWriter* writer) { commandWriter = writer; }

    platform::SerialPort& Port() { return *portHandle; }

    static constexpr std::size_t kFrameSize = 30;
    static constexpr std::size_t kMaxCommandLength = 509;

protected:
    std::unique_ptr<platform::SerialPort> portHandle;
    std::int32_t baudRate = 0;
    CommandWriter* commandWriter = nullptr;  // borrowed; null: the port
};

}  // namespace rivu
