#include "bench/bench_instrument.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"
#include "rivu-sim/command_framer.h"
#include "rivu-sim/instrument.h"
#include "rivu-sim/pseudo_terminal.h"
#include "rivu-sim/signal_model.h"

namespace rivu::bench {
namespace {

// A counted row later than this behind its time: the instrument fell behind.
constexpr std::int64_t kBehindLimitNs = 100'000'000;

volatile sig_atomic_t terminated = 0;
void OnTerminate(int) { terminated = 1; }

// Writes a file whole: readers never see it half written.
bool WriteWhole(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << text;
        if (!out.flush()) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// Puts all bytes on the line, waiting while the terminal's queue is full.
bool WriteAll(sim::PseudoTerminal& terminal, const char* bytes, std::size_t size) {
    while (size > 0 && !terminated) {
        const ssize_t written = terminal.Write(bytes, size);
        if (written > 0) {
            bytes += written;
            size -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        pollfd entry{terminal.MasterFd(), POLLOUT, 0};
        poll(&entry, 1, 100);
    }
    return size == 0;
}

class BenchInstrument {
public:
    explicit BenchInstrument(const InstrumentOptions& options)
        : options_(options),
          config_(sim::SimulatorConfig::ForKind(sim::InstrumentKind::kRivu)),
          instrument_(config_),
          model_(config_.channels, 0) {}

    // Opens the terminal; false (with the reason printed) when it cannot.
    bool Open() {
        std::string error;
        if (terminal_.Open(error)) return true;
        std::fprintf(stderr, "rivu-bench instrument: cannot open a pseudo-terminal: %s\n", error.c_str());
        return false;
    }
    const std::string& Path() const { return terminal_.SlavePath(); }

    // Serves commands until the rows were sent and the host closed the
    // instrument (X), or until it is told to end. Returns the exit status.
    int Run() {
        bool rowsSent = false;
        for (;;) {
            if (terminated) return rowsSent && !behind_ ? 0 : 1;
            std::vector<std::string> commands;
            if (!ReadCommands(commands, 200)) return 1;
            for (const std::string& command : commands) {
                if (!Answer(command)) return 1;
                if (command == "B" && !rowsSent) {
                    if (!SendRows()) return 1;
                    rowsSent = true;
                    if (options_.stream && !Stream()) return 1;
                    if (closed_) return behind_ ? 1 : 0;
                }
                if (command == "X" && rowsSent) return behind_ ? 1 : 0;
            }
        }
    }

private:
    bool ReadCommands(std::vector<std::string>& commands, int timeoutMs) {
        pollfd entry{terminal_.MasterFd(), POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0) return true;
        char bytes[1024];
        const ssize_t count = terminal_.Read(bytes, sizeof bytes);
        if (count < 0 && errno == EIO) hungUp_ = true;
        // EIO: nobody holds the slave open for the moment; not an error here.
        if (count > 0) framer_.Feed(std::string_view(bytes, static_cast<std::size_t>(count)), commands);
        return true;
    }

    bool Answer(const std::string& command) {
        std::vector<std::string> replies;
        instrument_.OnCommand(command, sim::Instrument::Clock::now(), replies);
        if (command == "X") closed_ = true;
        return Send(replies);
    }

    bool Send(const std::vector<std::string>& lines) {
        std::string bytes;
        for (const std::string& line : lines) bytes += line + "\r\n";
        return WriteAll(terminal_, bytes.data(), bytes.size());
    }

    // Rows 0 .. rows-1 of the data model, each stamped with the time just
    // before its first byte was written; the stamps go to the times file.
    bool SendRows() {
        std::vector<std::int64_t> stamps(options_.rows);
        std::uint64_t totalBytes = 0;
        const std::int64_t start = NowNanoseconds();
        if (options_.paced) {
            // 10 bits per byte at 115200 baud: 11520 bytes a second.
            for (std::uint64_t row = 0; row < options_.rows && !terminated; ++row) {
                const std::int64_t due = start + static_cast<std::int64_t>(totalBytes * 1000000000 / kLineBytesPerSecond);
                while (!SleepUntil(due) && !terminated) {
                }
                const std::string text = model_.RowText(row, static_cast<std::int64_t>(row) * 5) + "\r\n";
                stamps[row] = NowNanoseconds();
                NoteLateness(stamps[row] - due, row);
                if (!WriteAll(terminal_, text.data(), text.size())) return false;
                totalBytes += text.size();
            }
            nextRow_ = options_.rows;
            nextDue_ = start + static_cast<std::int64_t>(totalBytes * 1000000000 / kLineBytesPerSecond);
        } else {
            // As fast as the line takes them: rows go out in blocks of a few
            // kilobytes, each row stamped when its block is written.
            std::string block;
            std::uint64_t blockFirst = 0;
            for (std::uint64_t row = 0; row < options_.rows && !terminated; ++row) {
                block += model_.RowText(row, static_cast<std::int64_t>(row) * 5) + "\r\n";
                if (block.size() >= 4000 || row + 1 == options_.rows) {
                    const std::int64_t now = NowNanoseconds();
                    for (std::uint64_t r = blockFirst; r <= row; ++r) stamps[r] = now;
                    if (!WriteAll(terminal_, block.data(), block.size())) return false;
                    totalBytes += block.size();
                    block.clear();
                    blockFirst = row + 1;
                }
            }
        }
        std::string text = std::to_string(options_.rows) + " " + std::to_string(totalBytes) + "\n";
        for (const std::int64_t stamp : stamps) text += std::to_string(stamp) + "\n";
        return WriteWhole(options_.timesFile, text);
    }

    // After the counted rows, further rows at the line rate until the host
    // closes the instrument (X) or the line: the host closes devices that
    // are still streaming.
    bool Stream() {
        for (std::uint64_t row = nextRow_; !terminated && !closed_; ++row) {
            std::vector<std::string> commands;
            const std::int64_t wait = nextDue_ - NowNanoseconds();
            if (!ReadCommands(commands, wait > 0 ? static_cast<int>(wait / 1000000) : 0)) return false;
            for (const std::string& command : commands) {
                if (!Answer(command)) return !closed_;
            }
            if (closed_ || hungUp_) return true;
            if (!SleepUntil(nextDue_)) continue;
            const std::string text = model_.RowText(row, static_cast<std::int64_t>(row) * 5) + "\r\n";
            if (terminal_.Write(text.data(), text.size()) < 0 && errno != EAGAIN) return true;  // the host is gone
            nextDue_ += static_cast<std::int64_t>(text.size() * 1000000000 / kLineBytesPerSecond);
        }
        return true;
    }

    // A counted row written this late means the instrument could not keep
    // the line rate: its figures would flatter the host.
    void NoteLateness(std::int64_t lateNs, std::uint64_t row) {
        if (lateNs <= kBehindLimitNs || behind_) return;
        behind_ = true;
        std::fprintf(stderr, "rivu-bench instrument %s: row %llu went out %.0f ms late: fell behind the line rate\n",
                     terminal_.SlavePath().c_str(), static_cast<unsigned long long>(row), lateNs / 1e6);
    }

    const InstrumentOptions options_;
    const sim::SimulatorConfig config_;
    sim::Instrument instrument_;
    const sim::DataModel model_;
    sim::PseudoTerminal terminal_;
    sim::CommandFramer framer_;
    bool closed_ = false;  // X arrived
    bool hungUp_ = false;  // nobody holds the line open
    bool behind_ = false;
    std::uint64_t nextRow_ = 0;
    std::int64_t nextDue_ = 0;
};

}  // namespace

int RunInstrument(const InstrumentOptions& options) {
    struct sigaction action{};
    action.sa_handler = OnTerminate;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    if (options.devices == 0) {
        BenchInstrument instrument(options);
        if (!instrument.Open()) return 1;
        if (!WriteWhole(options.portFile, instrument.Path() + "\n")) {
            std::fprintf(stderr, "rivu-bench instrument: cannot write %s\n", options.portFile.c_str());
            return 1;
        }
        return instrument.Run();
    }
    // Several instruments, each on its own terminal and thread, each streaming
    // after its counted rows; device i's times go to timesFile.i.
    std::vector<std::unique_ptr<BenchInstrument>> instruments;
    std::string paths;
    for (std::uint64_t i = 0; i < options.devices; ++i) {
        InstrumentOptions own = options;
        own.timesFile = options.timesFile + "." + std::to_string(i);
        own.stream = true;
        instruments.push_back(std::make_unique<BenchInstrument>(own));
        if (!instruments.back()->Open()) {
            std::fprintf(stderr, "rivu-bench instrument: opened %llu of %llu pseudo-terminals\n",
                         static_cast<unsigned long long>(i), static_cast<unsigned long long>(options.devices));
            return 4;
        }
        paths += instruments.back()->Path() + "\n";
    }
    if (!WriteWhole(options.portFile, paths)) {
        std::fprintf(stderr, "rivu-bench instrument: cannot write %s\n", options.portFile.c_str());
        return 1;
    }
    std::vector<int> statuses(instruments.size(), 1);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        threads.emplace_back([&, i] { statuses[i] = instruments[i]->Run(); });
    }
    for (std::thread& thread : threads) thread.join();
    for (const int status : statuses) {
        if (status != 0) return status;
    }
    return 0;
}

}  // namespace rivu::bench
