#include "tests/support/posix_simulated_port.h"

#include <stdlib.h>
#include <unistd.h>

namespace rivu::test {

SimulatedPort::SimulatedPort(sim::SimulatorConfig config, const std::string& linkName, const std::string& instanceId)
    : simulator_(std::move(config)), instanceId_(instanceId) {
    if (!simulator_.Start()) {
        problem_ = "simulator: " + simulator_.LastError();
        return;
    }
    char directory[] = "/tmp/rivu-test.XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        problem_ = "cannot make a temporary directory";
        return;
    }
    directory_ = directory;
    link_ = directory_ + "/" + linkName;
    if (symlink(simulator_.SlavePath().c_str(), link_.c_str()) != 0) problem_ = "cannot link " + link_;
}

SimulatedPort::~SimulatedPort() {
    simulator_.Stop();
    if (!link_.empty()) unlink(link_.c_str());
    if (!directory_.empty()) rmdir(directory_.c_str());
}

std::string SimulatedPort::Publish(const std::vector<const SimulatedPort*>& ports) {
    std::string list, problems;
    for (const SimulatedPort* port : ports) {
        list += (list.empty() ? "" : ";") + port->PortEntry();
        problems += port->Problem();
    }
    setenv("RIVU_SERIAL_PORTS", list.c_str(), 1);
    setenv("RIVU_SYSFS_ROOT", "/nonexistent-sysfs", 1);  // only the published ports
    return problems;
}

void SimulatedPort::Unpublish() {
    unsetenv("RIVU_SERIAL_PORTS");
    unsetenv("RIVU_SYSFS_ROOT");
}

}  // namespace rivu::test
