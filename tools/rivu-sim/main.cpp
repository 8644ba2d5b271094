// rivu-sim: the simulated instrument as a program (options in program_options.h).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "rivu-sim/program_options.h"
#include "rivu-sim/simulator.h"

#ifndef RIVU_SIM_VERSION
#define RIVU_SIM_VERSION "unknown"
#endif

namespace {

// Writes the path next to the target and renames it into place, so a reader
// polling for the file never sees it half written.
bool WritePortFile(const std::string& file, const std::string& path) {
    const std::string temporary = file + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << path << '\n';
        if (!out.flush()) return false;
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--version") {
            std::printf("rivu-sim %s\n", RIVU_SIM_VERSION);
            return 0;
        }
    }
    rivu::sim::ProgramOptions options;
    const std::string error = rivu::sim::ParseProgramOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (options.help) {
        std::fputs(rivu::sim::ProgramHelp().c_str(), stdout);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "rivu-sim: %s\n", error.c_str());
        return 2;
    }
    options.config.keepSentLines = false;

    // The signals are taken by sigwait below; blocked before the simulator's
    // thread starts, so that thread inherits the mask and never receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    rivu::sim::Simulator simulator(options.config);
    if (!simulator.Start()) {
        std::fprintf(stderr, "rivu-sim: %s\n", simulator.LastError().c_str());
        return 1;
    }
    if (options.portFile.empty()) {
        std::printf("%s\n", simulator.SlavePath().c_str());
        std::fflush(stdout);
    } else if (!WritePortFile(options.portFile, simulator.SlavePath())) {
        std::fprintf(stderr, "rivu-sim: cannot write %s\n", options.portFile.c_str());
        return 1;
    }

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    simulator.Stop();
    return 0;
}
