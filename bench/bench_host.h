#pragma once
// The host side of the benchmark: loads the enabler by path as the host
// application does, starts the monitor and drains it with ReadLine, then
// prints one result line (RESULT key=value ...).
#include <cstdint>
#include <string>

namespace rivu::bench {

struct HostOptions {
    std::string library;     // path of librivu.so or rivu.dll
    std::string selection;   // FindDevice selection text
    std::string timesFile;   // written by the instrument when its rows are out
    std::uint64_t rows = 0;  // rows the instrument sends
    int readTimeoutMs = 50;  // ReadLine's time-out, as a host passes it
    bool registerWinePort = false;
    // 0: one instrument, stopped before it is closed. N: N instruments (the
    // times of device i in timesFile.i), drained in turn by this thread and
    // closed while they stream.
    std::uint64_t devices = 0;
};

// Exit statuses: 0 every sample arrived in order; 1 samples lost or wrong;
// 3 the enabler cannot be loaded; 4 no instrument or it cannot be started.
int RunHost(const HostOptions& options);

}  // namespace rivu::bench
