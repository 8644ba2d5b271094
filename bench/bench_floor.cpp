#include "bench/bench_floor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"
#include "bench/bench_figures.h"
#include "rivu-sim/pseudo_terminal.h"
#include "rivu-sim/signal_model.h"
#include "rivu-sim/simulator_config.h"

namespace rivu::bench {
namespace {

constexpr int kCycleMs = 20;
constexpr int kConsumerWaitMs = 50;
constexpr std::int64_t kQuietLimitNs = 3'000'000'000;
// A row written this late behind its time: the writer fell behind.
constexpr std::int64_t kBehindLimitNs = 100'000'000;

// A file descriptor closed on scope exit.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

void Signal(int event) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(event, &one, sizeof one);
}

// One instrument's line: the terminal the rows are written to, the port its
// reader reads, and what that reader has seen.
struct Line {
    ~Line() {
        if (port >= 0) close(port);
    }
    sim::PseudoTerminal terminal;
    int port = -1;
    std::atomic<std::uint64_t> readerThread{0};
    std::atomic<std::uint64_t> rowsRead{0};  // line feeds the reader has read
    std::vector<std::int64_t> firstOut;      // when each row reached the consumer
    std::uint64_t seen = 0;                  // rows the consumer has taken
};

struct Floor {
    std::vector<std::unique_ptr<Line>> lines;
    int stop = -1;
    int data = -1;
    std::atomic<std::uint64_t> rowsSeen{0};  // over all lines
    std::atomic<bool> stopping{false};

    // Wait, read, wake: the least a reader does for each row.
    void Read(Line& line) {
        line.readerThread = CurrentThread();
        char buffer[16384];
        for (;;) {
            pollfd entries[2] = {{line.port, POLLIN, 0}, {stop, POLLIN, 0}};
            const int ready = poll(entries, 2, kCycleMs);
            if (ready < 0 && errno != EINTR) return;
            if (entries[1].revents != 0) return;
            if (ready <= 0 || (entries[0].revents & POLLIN) == 0) continue;
            const ssize_t count = read(line.port, buffer, sizeof buffer);
            if (count <= 0) continue;
            line.rowsRead += static_cast<std::uint64_t>(std::count(buffer, buffer + count, '\n'));
            Signal(data);
        }
    }

    // Waits like a host in ReadLine (one consumer for every line) and stamps
    // each row when it is woken for it.
    void Consume() {
        while (rowsSeen < lines.size() * lines.front()->firstOut.size() && !stopping) {
            pollfd entry{data, POLLIN, 0};
            if (poll(&entry, 1, kConsumerWaitMs) <= 0) continue;
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t taken = read(data, &count, sizeof count);
            const std::int64_t now = NowNanoseconds();
            std::uint64_t total = 0;
            for (const std::unique_ptr<Line>& line : lines) {
                const std::uint64_t arrived = std::min<std::uint64_t>(line->rowsRead, line->firstOut.size());
                for (; line->seen < arrived; ++line->seen) line->firstOut[line->seen] = now;
                total += line->seen;
            }
            rowsSeen = total;
        }
    }

    std::int64_t ReaderCpu() const {
        std::int64_t total = 0;
        for (const std::unique_ptr<Line>& line : lines) total += std::max<std::int64_t>(0, ThreadCpuNanoseconds(line->readerThread));
        return total;
    }
};

}  // namespace

int RunFloor(std::uint64_t rows, std::uint64_t devices) {
    Floor floor;
    for (std::uint64_t i = 0; i < devices; ++i) {
        auto line = std::make_unique<Line>();
        std::string error;
        if (!line->terminal.Open(error)) {
            std::fprintf(stderr, "rivu-bench floor: opened %llu of %llu pseudo-terminals: %s\n",
                         static_cast<unsigned long long>(i), static_cast<unsigned long long>(devices), error.c_str());
            return 4;
        }
        line->port = open(line->terminal.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (line->port < 0) {
            std::fprintf(stderr, "rivu-bench floor: cannot open %s: %s\n", line->terminal.SlavePath().c_str(),
                         std::strerror(errno));
            return 4;
        }
        line->firstOut.assign(rows, 0);
        floor.lines.push_back(std::move(line));
    }
    const Descriptor stop(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    const Descriptor data(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (stop.get() < 0 || data.get() < 0) {
        std::fprintf(stderr, "rivu-bench floor: cannot make the signals: %s\n", std::strerror(errno));
        return 4;
    }
    floor.stop = stop.get();
    floor.data = data.get();
    std::vector<std::thread> readers;
    for (const std::unique_ptr<Line>& line : floor.lines) readers.emplace_back(&Floor::Read, &floor, std::ref(*line));
    std::thread consumer(&Floor::Consume, &floor);
    for (const std::unique_ptr<Line>& line : floor.lines) {
        while (line->readerThread == 0) std::this_thread::yield();
    }

    // The instrument's rows, paced at the line rate on every line, the lines
    // spread evenly over a row's time; each row stamped as it is written.
    const sim::SimulatorConfig config = sim::SimulatorConfig::ForKind(sim::InstrumentKind::kRivu);
    const sim::DataModel model(config.channels, 0);
    std::vector<std::vector<std::int64_t>> stamps(devices, std::vector<std::int64_t>(rows, 0));
    std::uint64_t bytes = 0;
    const std::int64_t start = NowNanoseconds();
    const std::int64_t cpuStart = floor.ReaderCpu();
    CpuWindows windows;
    windows.Start(start, cpuStart);
    bool written = true;
    std::int64_t latest = 0;
    for (std::uint64_t row = 0; row < rows && written; ++row) {
        const std::string text = model.RowText(row, static_cast<std::int64_t>(row) * 5) + "\r\n";
        const std::int64_t rowNs = static_cast<std::int64_t>(text.size() * 1000000000 / kLineBytesPerSecond);
        for (std::uint64_t i = 0; i < devices && written; ++i) {
            const std::int64_t due = start + static_cast<std::int64_t>(bytes * 1000000000 / kLineBytesPerSecond) +
                                     rowNs * static_cast<std::int64_t>(i) / static_cast<std::int64_t>(devices);
            SleepUntil(due);
            const std::int64_t now = NowNanoseconds();
            latest = std::max(latest, now - due);
            stamps[i][row] = now;
            // The line never fills at this rate: a short write is a failure.
            written = floor.lines[i]->terminal.Write(text.data(), text.size()) == static_cast<ssize_t>(text.size());
        }
        bytes += text.size();
        windows.Sample(NowNanoseconds(), [&] { return floor.ReaderCpu(); });
    }
    const std::uint64_t expected = rows * devices;
    std::int64_t lastProgress = NowNanoseconds();
    for (std::uint64_t seen = 0; floor.rowsSeen < expected && NowNanoseconds() - lastProgress < kQuietLimitNs;) {
        if (floor.rowsSeen != seen) {
            seen = floor.rowsSeen;
            lastProgress = NowNanoseconds();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::int64_t end = NowNanoseconds();
    const std::int64_t readerCpu = floor.ReaderCpu() - cpuStart;
    floor.stopping = true;
    Signal(stop.get());
    for (std::thread& reader : readers) reader.join();
    consumer.join();

    RunFigures figures;
    figures.devices = devices;
    figures.rows = expected;
    figures.bytes = bytes * devices;
    figures.lost = (expected - floor.rowsSeen) * config.channels.size();
    figures.readerThreads = devices;
    figures.readerCpuPercent = CpuPercent(readerCpu, end - start);
    figures.readerCpuMedianPercent = windows.MedianPercent();
    std::vector<std::int64_t> allStamps, allOut;
    for (std::uint64_t i = 0; i < devices; ++i) {
        allStamps.insert(allStamps.end(), stamps[i].begin(), stamps[i].end());
        allOut.insert(allOut.end(), floor.lines[i]->firstOut.begin(), floor.lines[i]->firstOut.end());
    }
    SetDelays(figures, allStamps, allOut);
    PrintResult(figures);
    if (latest > kBehindLimitNs) {
        std::fprintf(stderr, "rivu-bench floor: a row went out %.0f ms late: the writer fell behind the line rate\n",
                     static_cast<double>(latest) / 1e6);
        return 1;
    }
    if (!written || figures.lost != 0) {
        std::fprintf(stderr, "rivu-bench floor: %llu of %llu rows reached the consumer\n",
                     static_cast<unsigned long long>(floor.rowsSeen.load()), static_cast<unsigned long long>(expected));
        return 1;
    }
    return 0;
}

}  // namespace rivu::bench
