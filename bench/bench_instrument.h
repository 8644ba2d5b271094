#pragma once
// The instrument of the benchmark (Linux): a Rivu monitor on a
// pseudo-terminal that answers the start-up like rivu-sim and, on the start
// command, sends a fixed number of data rows, either as fast as the line takes
// them or paced at 115200 baud. The time each row went out is written to a
// file, so that a host in another process (under Wine too) can measure delays.
#include <cstdint>
#include <string>

namespace rivu::bench {

struct InstrumentOptions {
    std::string portFile;   // receives the port's path
    std::string timesFile;  // "<rows> <bytes>", then one time per row (ns)
    std::uint64_t rows = 0;
    bool paced = false;
};

// Runs until the rows were sent and the host closed the instrument, or until
// SIGTERM/SIGINT. Returns the process's exit status.
int RunInstrument(const InstrumentOptions& options);

}  // namespace rivu::bench
