#pragma once
#include <memory>
#include <string>

namespace rivu::host {

// A simulated instrument for --simulate (Linux): rivu-sim on a
// pseudo-terminal, published to the enabler's port walk through
// RIVU_SERIAL_PORTS with the instance id of an FTDI port. The port is reached
// through a link whose name carries the instrument's serial number.
class SimulatedInstrument {
public:
    virtual ~SimulatedInstrument() = default;
    // kind: "rivu" or "coda". Null with error set when it cannot start.
    static std::unique_ptr<SimulatedInstrument> Start(const std::string& kind, std::string& error);
    virtual std::string Description() const = 0;
};

}  // namespace rivu::host
