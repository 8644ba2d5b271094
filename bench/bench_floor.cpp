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

struct Floor {
    int port = -1;
    int stop = -1;
    int data = -1;
    std::atomic<std::uint64_t> readerThread{0};
    std::atomic<std::uint64_t> rowsRead{0};  // line feeds the reader has read
    std::atomic<std::uint64_t> rowsSeen{0};  // rows the consumer has taken
    std::atomic<bool> stopping{false};
    std::vector<std::int64_t> firstOut;      // when each row reached the consumer

    // Wait, read, wake: the least a reader does for each row.
    void Read() {
        readerThread = CurrentThread();
        char buffer[16384];
        for (;;) {
            pollfd entries[2] = {{port, POLLIN, 0}, {stop, POLLIN, 0}};
            const int ready = poll(entries, 2, kCycleMs);
            if (ready < 0 && errno != EINTR) return;
            if (entries[1].revents != 0) return;
            if (ready <= 0 || (entries[0].revents & POLLIN) == 0) continue;
            const ssize_t count = read(port, buffer, sizeof buffer);
            if (count <= 0) continue;
            rowsRead += static_cast<std::uint64_t>(std::count(buffer, buffer + count, '\n'));
            Signal(data);
        }
    }

    // Waits like a host in ReadLine and stamps each row when it is woken for it.
    void Consume() {
        std::uint64_t seen = 0;
        while (seen < firstOut.size() && !stopping) {
            pollfd entry{data, POLLIN, 0};
            if (poll(&entry, 1, kConsumerWaitMs) <= 0) continue;
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t taken = read(data, &count, sizeof count);
            const std::int64_t now = NowNanoseconds();
            const std::uint64_t arrived = std::min<std::uint64_t>(rowsRead, firstOut.size());
            for (; seen < arrived; ++seen) firstOut[seen] = now;
            rowsSeen = seen;
        }
    }
};

}  // namespace

int RunFloor(std::uint64_t rows) {
    sim::PseudoTerminal terminal;
    std::string error;
    if (!terminal.Open(error)) {
        std::fprintf(stderr, "rivu-bench floor: %s\n", error.c_str());
        return 4;
    }
    const Descriptor port(open(terminal.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const Descriptor stop(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    const Descriptor data(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (port.get() < 0 || stop.get() < 0 || data.get() < 0) {
        std::fprintf(stderr, "rivu-bench floor: cannot open the port or make the signals: %s\n", std::strerror(errno));
        return 4;
    }
    Floor floor;
    floor.port = port.get();
    floor.stop = stop.get();
    floor.data = data.get();
    floor.firstOut.assign(rows, 0);
    std::thread reader(&Floor::Read, &floor);
    std::thread consumer(&Floor::Consume, &floor);
    while (floor.readerThread == 0) std::this_thread::yield();
    const std::uint64_t readerThread = floor.readerThread;

    // The instrument's rows, paced at the line rate; each stamped as it is written.
    const sim::SimulatorConfig config = sim::SimulatorConfig::ForKind(sim::InstrumentKind::kRivu);
    const sim::DataModel model(config.channels, 0);
    std::vector<std::int64_t> stamps(rows, 0);
    std::uint64_t bytes = 0;
    const std::int64_t start = NowNanoseconds();
    const std::int64_t cpuStart = ThreadCpuNanoseconds(readerThread);
    CpuWindows windows;
    windows.Start(start, cpuStart);
    bool written = true;
    for (std::uint64_t row = 0; row < rows && written; ++row) {
        SleepUntil(start + static_cast<std::int64_t>(bytes * 1000000000 / kLineBytesPerSecond));
        const std::string text = model.RowText(row, static_cast<std::int64_t>(row) * 5) + "\r\n";
        stamps[row] = NowNanoseconds();
        // The line never fills at this rate: a short write is a failure.
        written = terminal.Write(text.data(), text.size()) == static_cast<ssize_t>(text.size());
        bytes += text.size();
        windows.Sample(stamps[row], [&] { return ThreadCpuNanoseconds(readerThread); });
    }
    std::int64_t lastProgress = NowNanoseconds();
    for (std::uint64_t seen = 0; floor.rowsSeen < rows && NowNanoseconds() - lastProgress < kQuietLimitNs;) {
        if (floor.rowsSeen != seen) {
            seen = floor.rowsSeen;
            lastProgress = NowNanoseconds();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::int64_t end = NowNanoseconds();
    const std::int64_t readerCpu = ThreadCpuNanoseconds(readerThread) - cpuStart;
    floor.stopping = true;
    Signal(stop.get());
    reader.join();
    consumer.join();

    RunFigures figures;
    figures.rows = rows;
    figures.bytes = bytes;
    figures.lost = (rows - floor.rowsSeen) * config.channels.size();
    figures.readerThreads = 1;
    figures.readerCpuPercent = CpuPercent(readerCpu, end - start);
    figures.readerCpuMedianPercent = windows.MedianPercent();
    SetDelays(figures, stamps, floor.firstOut);
    PrintResult(figures);
    if (!written || figures.lost != 0) {
        std::fprintf(stderr, "rivu-bench floor: %llu of %llu rows reached the consumer\n",
                     static_cast<unsigned long long>(floor.rowsSeen.load()), static_cast<unsigned long long>(rows));
        return 1;
    }
    return 0;
}

}  // namespace rivu::bench
