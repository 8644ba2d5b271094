#pragma once
// The floor of the benchmark (Linux): what a reader thread costs at the line
// rate on this machine when it does nothing but the unavoidable. A bare
// thread waits on a pseudo-terminal and a stop signal in 20 ms cycles, reads
// what came and wakes a waiting consumer: the three system calls per row the
// enabler's reader makes, without the enabler. It reads the benchmark
// instrument's process, as the host does, so that both pay the same for the
// instrument's rows (on a virtual machine a wake that switches from another
// process's address space costs far more than one between threads); it sends
// the start frame and, at the end, the close frame. Prints a result line like
// the host side.
#include <cstdint>
#include <string>

namespace rivu::bench {

// The terminals named in portFile, one a line, each sending rows counted rows
// stamped in timesFile: one instrument (rack 0), or rack of them with line i's
// stamps in timesFile.i, as the instrument role writes them. A bare reader
// thread for each, one consumer for all. Exit statuses: 0 every row reached
// the consumer; 1 rows lost; 4 the terminals, their times or the signals
// cannot be had.
int RunFloor(const std::string& portFile, const std::string& timesFile, std::uint64_t rows, std::uint64_t rack);

}  // namespace rivu::bench
