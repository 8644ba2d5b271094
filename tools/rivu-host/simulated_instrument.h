#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace rivu::host {

// A simulated instrument for --simulate (Linux): rivu-sim on a
// pseudo-terminal, for the enabler's port walk through
// RIVU_SERIAL_PORTS with the instance id of an FTDI port. The port is reached
// through a link whose name carries the instrument's serial number.
class SimulatedInstrument {
public:
    virtual ~SimulatedInstrument() = default;
    // request: "rivu" or "coda", then the simulator's fault names if any, all
    // separated by commas ("coda,hang-up"). Null with error set when it
    // cannot start.
    static std::unique_ptr<SimulatedInstrument> Start(const std::string& request, std::string& error);
    // The fault names the simulator knows, separated by ", ".
    static std::string FaultNames();
    virtual std::string Description() const = 0;
    // Its RIVU_SERIAL_PORTS entry, "PATH=INSTANCE_ID".
    virtual std::string PortEntry() const = 0;
    // Data rows it has sent since sampling last started.
    virtual std::uint64_t RowsSent() const = 0;
};

}  // namespace rivu::host
