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
    // 0: one instrument, as above. N: N instruments on N terminals (the port
    // file lists their paths, one a line; device i's times go to
    // timesFile.i), each streaming paced rows after its counted ones until
    // the host closes it.
    std::uint64_t devices = 0;
    bool stream = false;
};

// Runs until the rows were sent and the host closed the instrument, or until
// SIGTERM/SIGINT. Returns the process's exit status: 0, 1 on a failure or an
// instrument that fell behind the line rate, 4 when the terminals cannot all
// be opened.
int RunInstrument(const InstrumentOptions& options);

}  // namespace rivu::bench
