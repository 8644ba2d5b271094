#include "rivu-host/simulated_instrument.h"

#if defined(_WIN32)

namespace rivu::host {

std::unique_ptr<SimulatedInstrument> SimulatedInstrument::Start(const std::string&, std::string& error) {
    error = "--simulate needs Linux (on Windows, run rivu-sim on the Linux side and map its port)";
    return nullptr;
}
std::string SimulatedInstrument::FaultNames() { return {}; }

}  // namespace rivu::host

#else

#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <vector>

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
        entry_ = link_ + "=" + instanceId;
        description_ = link_ + " -> " + simulator_.SlavePath() + " (" + instanceId + ")";
        return true;
    }

    std::string Description() const override { return description_; }
    std::string PortEntry() const override { return entry_; }
    std::uint64_t RowsSent() const override { return simulator_.RowsSent(); }

private:
    sim::Simulator simulator_;
    std::string directory_, link_, description_, entry_;
};

}  // namespace

std::unique_ptr<SimulatedInstrument> SimulatedInstrument::Start(const std::string& request, std::string& error) {
    std::vector<std::string> words;
    std::size_t begin = 0;
    for (std::size_t comma; (comma = request.find(',', begin)) != std::string::npos; begin = comma + 1) {
        words.push_back(request.substr(begin, comma - begin));
    }
    words.push_back(request.substr(begin));
    const std::string& kind = words.front();
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
        error = "--simulate takes rivu or coda, then faults if any (coda,hang-up), not \"" + request + "\"";
        return nullptr;
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::optional<sim::Fault> fault = sim::FaultByName(words[i]);
        if (!fault) {
            error = "--simulate: unknown fault \"" + words[i] + "\" (faults: " + FaultNames() + ")";
            return nullptr;
        }
        config.faults.Set(*fault);
    }
    config.keepSentLines = false;
    auto instrument = std::make_unique<PseudoTerminalInstrument>(std::move(config));
    if (!instrument->Start(linkName, instanceId, error)) return nullptr;
    return instrument;
}

std::string SimulatedInstrument::FaultNames() {
    std::string names;
    for (unsigned f = 0; f < static_cast<unsigned>(sim::Fault::kCount); ++f) {
        names += (names.empty() ? "" : ", ") + std::string(sim::FaultName(static_cast<sim::Fault>(f)));
    }
    return names;
}

}  // namespace rivu::host
#endif
