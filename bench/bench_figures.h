#pragma once
// The figures of one benchmark run and the line tools/bench.sh reads from it
// ("RESULT key=value ...").
#include <cstdint>
#include <string>
#include <vector>

namespace rivu::bench {

// The CPU use of some threads in windows of one second. On a virtual machine
// the time a virtual CPU is taken away is charged to the thread that was
// running on it, so a run's total can jump tenfold; the median window is the
// cost the code itself has.
class CpuWindows {
public:
    void Start(std::int64_t now, std::int64_t cpu);
    // Closes a window when a second has passed since the last one; cpu() is
    // read only then.
    template <typename ReadCpu>
    void Sample(std::int64_t now, ReadCpu cpu) {
        if (now - windowStart_ >= kWindowNs) Close(now, cpu());
    }
    // Percent of one core in the median window; -1 without a whole window.
    double MedianPercent() const;

private:
    static constexpr std::int64_t kWindowNs = 1'000'000'000;
    void Close(std::int64_t now, std::int64_t cpu);

    std::int64_t windowStart_ = 0;
    std::int64_t windowCpu_ = 0;
    std::vector<double> percents_;
};

struct RunFigures {
    std::size_t devices = 1;   // instruments read at once
    std::uint64_t rows = 0;    // all instruments' rows
    double seconds = 0;        // first row written to last sample out
    std::uint64_t bytes = 0;   // bytes the instrument sent
    std::uint64_t lost = 0;    // samples that never came out
    std::uint64_t wrong = 0;   // samples that differ from what was sent
    std::size_t readerThreads = 0;
    double readerCpuPercent = 0;        // whole run, percent of one core
    double readerCpuMedianPercent = 0;  // median one-second window
    double hostCpuPercent = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double closeMs = -1;  // CloseAll, when the run timed it
    // Rows written before the host could read (while it was still starting
    // the instruments: the start command returns only at its next 20 ms
    // look at the state) are left out of p50Ms and p99Ms and counted here.
    std::uint64_t startRows = 0;
    double startMaxMs = 0;  // the longest delay among them
    double p99AllMs = 0;    // p99 over every row, those included
};

// CPU nanoseconds used over wall nanoseconds, in percent of one core.
double CpuPercent(std::int64_t cpuNs, std::int64_t wallNs);

// Sets seconds (first row written to last row out) and the delays (write to
// first sample out) from when each row was written and first came out (0:
// never); stamps and firstOut have one entry per row. Rows written before
// readingFrom are the start rows.
void SetDelays(RunFigures& figures, const std::vector<std::int64_t>& stamps, const std::vector<std::int64_t>& firstOut,
               std::int64_t readingFrom = 0);

void PrintResult(const RunFigures& figures);

// The benchmark instrument's times file: the time each row was written and
// the bytes sent. The instrument writes it whole once its last row is out, so
// it is waited for a few seconds; false when it does not come or is malformed.
bool ReadInstrumentTimes(const std::string& path, std::vector<std::int64_t>& stamps, std::uint64_t& bytes);

}  // namespace rivu::bench
