#include "bench/bench_figures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "bench/bench_clock.h"

namespace rivu::bench {
namespace {

// The value at fraction (0 to 1) of nanosecond values, in milliseconds.
double PercentileMs(std::vector<std::int64_t> values, double fraction) {
    if (values.empty()) return 0;
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return static_cast<double>(values[at]) / 1e6;
}

}  // namespace

void CpuWindows::Start(std::int64_t now, std::int64_t cpu) {
    windowStart_ = now;
    windowCpu_ = cpu;
    percents_.clear();
}

void CpuWindows::Close(std::int64_t now, std::int64_t cpu) {
    percents_.push_back(CpuPercent(cpu - windowCpu_, now - windowStart_));
    windowStart_ = now;
    windowCpu_ = cpu;
}

double CpuWindows::MedianPercent() const {
    if (percents_.empty()) return -1;
    std::vector<double> sorted = percents_;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t middle = sorted.size() / 2;
    return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

double CpuPercent(std::int64_t cpuNs, std::int64_t wallNs) {
    return wallNs > 0 ? 100.0 * static_cast<double>(cpuNs) / static_cast<double>(wallNs) : 0;
}

void SetDelays(RunFigures& figures, const std::vector<std::int64_t>& stamps, const std::vector<std::int64_t>& firstOut,
               std::int64_t readingFrom) {
    std::vector<std::int64_t> delays, all;
    std::int64_t lastOut = 0;
    std::int64_t startMax = 0;
    for (std::size_t row = 0; row < stamps.size() && row < firstOut.size(); ++row) {
        if (firstOut[row] == 0) continue;
        const std::int64_t delay = firstOut[row] - stamps[row];
        all.push_back(delay);
        if (stamps[row] < readingFrom) {
            ++figures.startRows;
            startMax = std::max(startMax, delay);
        } else {
            delays.push_back(delay);
        }
        lastOut = std::max(lastOut, firstOut[row]);
    }
    const std::int64_t first = stamps.empty() ? 0 : *std::min_element(stamps.begin(), stamps.end());
    figures.seconds = lastOut > first && first != 0 ? static_cast<double>(lastOut - first) / 1e9 : 0;
    figures.p50Ms = PercentileMs(delays, 0.5);
    figures.p99Ms = PercentileMs(delays, 0.99);
    figures.p99AllMs = PercentileMs(all, 0.99);
    figures.startMaxMs = static_cast<double>(startMax) / 1e6;
}

void PrintResult(const RunFigures& figures) {
    const double bytesPerSecond = figures.seconds > 0 ? static_cast<double>(figures.bytes) / figures.seconds : 0;
    const double devices = static_cast<double>(std::max<std::size_t>(figures.devices, 1));
    std::printf(
        "RESULT devices=%zu rows=%llu seconds=%.3f rows_per_s=%.0f bytes_per_s=%.0f ratio=%.1f lost=%llu wrong=%llu "
        "library_threads=%zu library_cpu_pct=%.3f library_cpu_median_pct=%.3f "
        "library_cpu_median_per_device_pct=%.3f host_cpu_pct=%.1f p50_ms=%.3f p99_ms=%.3f p99_all_ms=%.3f "
        "start_rows=%llu start_max_ms=%.3f close_ms=%.0f\n",
        figures.devices, static_cast<unsigned long long>(figures.rows), figures.seconds,
        figures.seconds > 0 ? static_cast<double>(figures.rows) / figures.seconds : 0, bytesPerSecond,
        bytesPerSecond / devices / static_cast<double>(kLineBytesPerSecond), static_cast<unsigned long long>(figures.lost),
        static_cast<unsigned long long>(figures.wrong), figures.readerThreads, figures.readerCpuPercent,
        figures.readerCpuMedianPercent, figures.readerCpuMedianPercent < 0 ? -1 : figures.readerCpuMedianPercent / devices,
        figures.hostCpuPercent, figures.p50Ms, figures.p99Ms, figures.p99AllMs,
        static_cast<unsigned long long>(figures.startRows), figures.startMaxMs, figures.closeMs);
    std::fflush(stdout);
}

bool ReadInstrumentTimes(const std::string& path, std::vector<std::int64_t>& stamps, std::uint64_t& bytes) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ifstream in(path);
        std::uint64_t rows = 0;
        if (in >> rows >> bytes) {
            stamps.resize(rows);
            for (std::int64_t& stamp : stamps) {
                if (!(in >> stamp)) return false;
            }
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace rivu::bench
