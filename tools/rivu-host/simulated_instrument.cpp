#include "rivu-host/simulated_instrument.h"

#if defined(_WIN32)

namespace rivu::host {

std::unique_ptr<SimulatedInstrument> SimulatedInstrument::Start(const std::string&, std::string& error) {
    error = "--simulate needs Linux (on Windows, run rivu-sim on the Linux side and map its port)";
    return nullptr;
}

}  // namespace rivu::host

#else

#include <stdlib.h>
#include <unistd.h>

#include "rivu-sim/simulator.h"

namespace rivu::host {
namespace {

class PseudoTerminalInstrument : public SimulatedInstrument {
public:
    explicit PseudoTerminalInstrument(sim::SimulatorConfig config) : simulator_(std::move(config)) {}

    ~PseudoTerminalInstrument() override {
        simulator_.Stop();
        if (!link_.empty()) unlink(link_.c_str());
        if (!directory_.empty()) rmdir(directory_.c_str());
    }

    bool Start(const std::string& linkName, const std::string& instanceId, std::string& error) {
        if (!simulator_.Start()) {
            error = "the simulator did not start: " + simulator_.LastError();
            return false;
        }
        char directory[] = "/tmp/rivu-host.XXXXXX";
        if (mkdtemp(directory) == nullptr) {
            error = "cannot make a temporary directory";
            return false;
        }
        directory_ = directory;
        link_ = directory_ + "/" + linkName;
        if (symlink(simulator_.SlavePath().c_str(), link_.c_str()) != 0) {
            error = "cannot link " + link_;
            return false;
        }
        const std::string entry = link_ + "=" + instanceId;
        setenv("RIVU_SERIAL_PORTS", entry.c_str(), 1);
        description_ = link_ + " -> " + simulator_.SlavePath() + " (" + instanceId + ")";
        return true;
    }

    std::string Description() const override { return description_; }

private:
    sim::Simulator simulator_;
    std::string directory_, link_, description_;
};

}  // namespace

std::unique_ptr<SimulatedInstrument> SimulatedInstrument::Start(const std::string& kind, std::string& error) {
    sim::SimulatorConfig config;
    std::string linkName, instanceId;
    if (kind == "coda") {
        config = sim::SimulatorConfig::ForKind(sim::InstrumentKind::kCoda);
        linkName = "zvccoda0001";
        instanceId = "FTDIBUS\\VID_0403+PID_6001+ZVCCODA0001A\\0000";
    } else if (kind == "rivu") {
        config = sim::SimulatorConfig::ForKind(sim::InstrumentKind::kRivu);
        linkName = "ksc01234";
        instanceId = "FTDIBUS\\VID_0403+PID_6001+KSC01234A\\0000";
    } else {
        error = "--simulate takes rivu or coda, not \"" + kind + "\"";
        return nullptr;
    }
    config.keepSentLines = false;
    auto instrument = std::make_unique<PseudoTerminalInstrument>(std::move(config));
    if (!instrument->Start(linkName, instanceId, error)) return nullptr;
    return instrument;
}

}  // namespace rivu::host

#endif
