#pragma once
#include <memory>
#include <string>
#include <vector>

#include "rivu-sim/simulator.h"

namespace rivu::test {

// A simulated instrument on a pseudo-terminal (Linux), reached through a link
// whose name the test chooses (device paths carry serial numbers), and
// published to the enabler's port walk with an FTDI instance id.
class SimulatedPort {
public:
    SimulatedPort(sim::SimulatorConfig config, const std::string& linkName, const std::string& instanceId);
    ~SimulatedPort();

    // Empty when the instrument runs; otherwise why not.
    const std::string& Problem() const { return problem_; }
    sim::Simulator& Instrument() { return simulator_; }
    const std::string& Path() const { return link_; }
    std::string PortEntry() const { return link_ + "=" + instanceId_; }

    // Sets RIVU_SERIAL_PORTS to these ports, in this order. Returns the
    // problems of ports whose instrument does not run ("" when all run).
    static std::string Publish(const std::vector<const SimulatedPort*>& ports);
    static void Unpublish();

private:
    sim::Simulator simulator_;
    std::string directory_, link_, instanceId_, problem_;
};

}  // namespace rivu::test
