#pragma once
#include <string>
#include <vector>

namespace rivu::test {

// Virtual FTDI COM ports in the Wine prefix that a Windows test program runs
// in: each a device registered with Wine's own setup API under its instance
// id, with a COM-port interface and a PortName. A port is listed as present
// while its interface is linked. Everything registered here is removed again
// when the object goes. Windows (Wine) only: elsewhere nothing registers.
class WineComPorts {
public:
    WineComPorts() = default;
    ~WineComPorts();
    WineComPorts(const WineComPorts&) = delete;
    WineComPorts& operator=(const WineComPorts&) = delete;

    // Registers a port (or takes over one left by an earlier run) and makes
    // it present. Returns its interface path, "" on failure.
    std::wstring Add(const std::wstring& instanceId, const std::wstring& portName);
    bool SetPresent(const std::wstring& interfacePath, bool present);

    // Puts a new pseudo-terminal behind every port's interface path (a symlink
    // in the prefix's dosdevices), so that the path opens as a serial port.
    // False when that cannot be done (socat missing).
    bool MapToPseudoTerminals();
    // Puts a simulated instrument behind each port instead: the Unix program
    // rivu-sim (path in RIVU_SIM_PROGRAM) started with the port's arguments,
    // in the order the ports were added.
    bool MapToSimulators(const std::vector<std::string>& simulatorArguments);

private:
    struct Port {
        std::wstring instanceId;
        std::wstring interfacePath;
    };
    void EndPseudoTerminals();

    std::vector<Port> ports_;
    std::string terminalDirectory_;  // Unix directory of the socat links and pid file
};

}  // namespace rivu::test
