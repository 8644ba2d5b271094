#pragma once
// The floor of the benchmark (Linux): what a reader thread costs at the line
// rate on this machine when it does nothing but the unavoidable. A bare
// thread waits on a pseudo-terminal and a stop signal in 20 ms cycles, reads
// what came and wakes a waiting consumer: the three system calls per row the
// enabler's reader makes, without the enabler. The rows are the instrument's,
// paced at 115200 baud. Prints a result line like the host side.
#include <cstdint>

namespace rivu::bench {

// devices lines at once: a bare reader thread for each, one consumer for all.
// Exit statuses: 0 every row reached the consumer; 1 rows lost or the writer
// fell behind the line rate; 4 the pseudo-terminals or the signals cannot be
// made.
int RunFloor(std::uint64_t rows, std::uint64_t devices);

}  // namespace rivu::bench
