// rivu-bench: throughput, cost at line rate and latency of the enabler.
//   rivu-bench host --library PATH --times FILE --rows N [--select TEXT]
//                   [--read-timeout-ms MS] [--wine-port] [--devices N]
//   rivu-bench instrument --port-file FILE --times FILE --rows N [--paced] [--devices N]
//   rivu-bench floor --port-file FILE --times FILE --rows N [--devices N]
// --devices N: N instruments at once, each on its own pseudo-terminal; the
// instruments stream until they are closed and the host closes them so.
// tools/bench.sh runs both sides for each measurement and prints the table.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_host.h"
#ifndef _WIN32
#include "bench/bench_floor.h"
#include "bench/bench_instrument.h"
#endif

namespace {

// Each row's samples and times are kept for the check after the run.
constexpr unsigned long long kMaxRows = 10'000'000;
// A pseudo-terminal, a reader thread and a device's records (about 1.4 MiB)
// each.
constexpr unsigned long long kMaxDevices = 64;

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "rivu-bench: %s\n"
                 "usage: rivu-bench host --library PATH --times FILE --rows N [--select TEXT]\n"
                 "                       [--read-timeout-ms MS] [--wine-port] [--devices N]\n"
                 "       rivu-bench instrument --port-file FILE --times FILE --rows N [--paced] [--devices N]  (Linux)\n"
                 "       rivu-bench floor --port-file FILE --times FILE --rows N [--devices N]  (Linux)\n",
                 problem);
    return 2;
}

bool ReadCount(const std::string& text, unsigned long long& value) {
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && text[0] != '-';
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty()) return Usage("say host, instrument or floor");
    const std::string role = arguments[0];
    std::string library, times, portFile, selection, rowsText, timeoutText = "50", devicesText;
    bool winePort = false;
    [[maybe_unused]] bool paced = false;  // the instrument role is Linux only
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--paced") {
            paced = true;
            continue;
        }
        if (name == "--wine-port") {
            winePort = true;
            continue;
        }
        if (i + 1 >= arguments.size()) return Usage((name + " needs a value").c_str());
        const std::string& value = arguments[++i];
        if (name == "--library") {
            library = value;
        } else if (name == "--times") {
            times = value;
        } else if (name == "--port-file") {
            portFile = value;
        } else if (name == "--select") {
            selection = value;
        } else if (name == "--rows") {
            rowsText = value;
        } else if (name == "--read-timeout-ms") {
            timeoutText = value;
        } else if (name == "--devices") {
            devicesText = value;
        } else {
            return Usage(("unknown option " + name).c_str());
        }
    }
    unsigned long long rows = 0, timeout = 0;
    if (!ReadCount(rowsText, rows) || rows == 0 || rows > kMaxRows) return Usage("--rows takes 1 to 10000000");
    if (!ReadCount(timeoutText, timeout) || timeout > 60000) return Usage("--read-timeout-ms takes 0 to 60000");
    unsigned long long devices = 0;
    if (!devicesText.empty() && (!ReadCount(devicesText, devices) || devices == 0 || devices > kMaxDevices)) {
        return Usage("--devices takes 1 to 64");
    }
    if (devices * rows > kMaxRows) return Usage("--rows times --devices may be at most 10000000");
    if (times.empty()) return Usage("--times is needed");
#ifndef _WIN32
    if (role == "floor") {
        if (portFile.empty()) return Usage("--port-file is needed");
        return rivu::bench::RunFloor(portFile, times, rows, devices);
    }
#endif

    if (role == "host") {
        if (library.empty()) return Usage("--library is needed");
        rivu::bench::HostOptions options;
        options.library = library;
        options.selection = selection;
        options.timesFile = times;
        options.rows = rows;
        options.readTimeoutMs = static_cast<int>(timeout);
        options.registerWinePort = winePort;
        options.devices = devices;
        return rivu::bench::RunHost(options);
    }
#ifndef _WIN32
    if (role == "instrument") {
        if (portFile.empty()) return Usage("--port-file is needed");
        rivu::bench::InstrumentOptions options{portFile, times, rows, paced};
        options.devices = devices;
        return rivu::bench::RunInstrument(options);
    }
#endif
    return Usage(("unknown role " + role).c_str());
}
