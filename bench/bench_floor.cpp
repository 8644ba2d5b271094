#include "bench/bench_floor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"
#include "bench/bench_figures.h"
#include "rivu-sim/simulator_config.h"

namespace rivu::bench {
namespace {

constexpr int kCycleMs = 20;
constexpr int kConsumerWaitMs = 50;
constexpr std::int64_t kQuietLimitNs = 3'000'000'000;
constexpr std::int64_t kFirstRowLimitNs = 15'000'000'000;

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

// Puts a command frame on the line whole; false when the line refuses it.
bool SendFrame(int port, const char* frame) {
    const std::size_t length = std::strlen(frame);
    return write(port, frame, length) == static_cast<ssize_t>(length);
}

// One instrument's line: the port its reader reads and what that reader has
// seen.
struct Line {
    ~Line() {
        if (port >= 0) close(port);
    }
    int port = -1;
    std::atomic<std::uint64_t> readerThread{0};
    std::atomic<std::uint64_t> lineFeeds{0};  // line feeds the reader has read
    std::vector<std::int64_t> firstOut;       // when each row reached the consumer
    std::uint64_t seen = 0;                   // rows the consumer has taken
};

struct Floor {
    std::vector<std::unique_ptr<Line>> lines;
    int stop = -1;
    int data = -1;
    CpuWindows windows;

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
            line.lineFeeds += static_cast<std::uint64_t>(std::count(buffer, buffer + count, '\n'));
            Signal(data);
        }
    }

    // Waits like a host in ReadLine (one consumer for every line), stamps
    // each row when it is woken for it and, as the host does, closes the CPU
    // windows between wakes. The first line an instrument sends is the echo
    // of the start; its rows follow. Ends when every row was seen or the
    // lines fell silent.
    void Consume(std::int64_t start) {
        const std::uint64_t expected = lines.size() * lines.front()->firstOut.size();
        std::uint64_t seenTotal = 0;
        std::int64_t lastProgress = 0;
        while (seenTotal < expected) {
            const std::int64_t now = NowNanoseconds();
            windows.Sample(now, [&] { return ReaderCpu(); });
            if (now - (lastProgress != 0 ? lastProgress : start) > (lastProgress != 0 ? kQuietLimitNs : kFirstRowLimitNs)) {
                return;
            }
            pollfd entry{data, POLLIN, 0};
            if (poll(&entry, 1, kConsumerWaitMs) <= 0) continue;
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t taken = read(data, &count, sizeof count);
            const std::int64_t woken = NowNanoseconds();
            std::uint64_t total = 0;
            for (const std::unique_ptr<Line>& line : lines) {
                const std::uint64_t feeds = line->lineFeeds;
                const std::uint64_t arrived = std::min<std::uint64_t>(feeds > 0 ? feeds - 1 : 0, line->firstOut.size());
                for (; line->seen < arrived; ++line->seen) line->firstOut[line->seen] = woken;
                total += line->seen;
            }
            if (total != seenTotal) lastProgress = woken;
            seenTotal = total;
        }
    }

    std::int64_t ReaderCpu() const {
        std::int64_t total = 0;
        for (const std::unique_ptr<Line>& line : lines) total += std::max<std::int64_t>(0, ThreadCpuNanoseconds(line->readerThread));
        return total;
    }
};

// The terminals the instrument process writes its rows to, one path a line.
std::vector<std::string> ReadPorts(const std::string& path) {
    std::vector<std::string> ports;
    std::ifstream in(path);
    for (std::string port; std::getline(in, port);) {
        if (!port.empty()) ports.push_back(port);
    }
    return ports;
}

}  // namespace

int RunFloor(const std::string& portFile, const std::string& timesFile, std::uint64_t rows, std::uint64_t rack) {
    const std::uint64_t devices = std::max<std::uint64_t>(rack, 1);
    const std::vector<std::string> ports = ReadPorts(portFile);
    if (ports.size() != devices) {
        std::fprintf(stderr, "rivu-bench floor: %s names %zu terminals, not %llu\n", portFile.c_str(), ports.size(),
                     static_cast<unsigned long long>(devices));
        return 4;
    }
    Floor floor;
    for (const std::string& path : ports) {
        auto line = std::make_unique<Line>();
        // Opened and set up as the enabler opens a port: raw, reads that never wait.
        line->port = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios settings{};
        if (line->port < 0 || tcgetattr(line->port, &settings) != 0) {
            std::fprintf(stderr, "rivu-bench floor: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
            return 4;
        }
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        if (tcsetattr(line->port, TCSANOW, &settings) != 0) {
            std::fprintf(stderr, "rivu-bench floor: cannot set up %s: %s\n", path.c_str(), std::strerror(errno));
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
    for (const std::unique_ptr<Line>& line : floor.lines) {
        while (line->readerThread == 0) std::this_thread::yield();
    }

    // The start frame: each instrument echoes it and sends its rows, paced at
    // the line rate (several go on streaming until they are closed).
    const std::int64_t start = NowNanoseconds();
    floor.windows.Start(start, floor.ReaderCpu());
    bool started = true;
    for (const std::unique_ptr<Line>& line : floor.lines) started = SendFrame(line->port, ":B\n") && started;
    const std::int64_t cpuStart = floor.ReaderCpu();
    if (started) floor.Consume(start);
    const std::int64_t end = NowNanoseconds();
    const std::int64_t readerCpu = floor.ReaderCpu() - cpuStart;
    Signal(stop.get());
    for (std::thread& reader : readers) reader.join();
    // Closed as the host closes a device: the instrument process then ends.
    for (const std::unique_ptr<Line>& line : floor.lines) SendFrame(line->port, ":X\n");

    std::vector<std::int64_t> stamps, firstOut;
    std::uint64_t bytes = 0, seen = 0;
    for (std::size_t i = 0; i < floor.lines.size(); ++i) {
        const std::string path = rack == 0 ? timesFile : timesFile + "." + std::to_string(i);
        std::vector<std::int64_t> own;
        std::uint64_t ownBytes = 0;
        if (!ReadInstrumentTimes(path, own, ownBytes) || own.size() != rows) {
            std::fprintf(stderr, "rivu-bench floor: the instrument's times (%s) cannot be read\n", path.c_str());
            return 4;
        }
        stamps.insert(stamps.end(), own.begin(), own.end());
        firstOut.insert(firstOut.end(), floor.lines[i]->firstOut.begin(), floor.lines[i]->firstOut.end());
        bytes += ownBytes;
        seen += floor.lines[i]->seen;
    }
    const sim::SimulatorConfig config = sim::SimulatorConfig::ForKind(sim::InstrumentKind::kRivu);
    const std::uint64_t expected = rows * devices;
    RunFigures figures;
    figures.devices = devices;
    figures.rows = expected;
    figures.bytes = bytes;
    figures.lost = (expected - seen) * config.channels.size();
    figures.readerThreads = devices;
    figures.readerCpuPercent = CpuPercent(readerCpu, end - start);
    figures.readerCpuMedianPercent = floor.windows.MedianPercent();
    SetDelays(figures, stamps, firstOut, start);
    PrintResult(figures);
    if (!started || figures.lost != 0) {
        std::fprintf(stderr, "rivu-bench floor: %llu of %llu rows reached the consumer\n",
                     static_cast<unsigned long long>(seen), static_cast<unsigned long long>(expected));
        return 1;
    }
    return 0;
}

}  // namespace rivu::bench
