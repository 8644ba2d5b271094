#include "bench/bench_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "bench/bench_clock.h"
#include "bench/bench_figures.h"
#include "rivu-sim/signal_model.h"
#include "rivu-sim/simulator_config.h"
#include "platform/clock.h"
#include "tools/host-objects/enabler_library.h"
#include "tools/host-objects/host_log_service.h"
#ifdef _WIN32
#include "tests/support/wine_com_ports.h"
#endif

namespace rivu::bench {
namespace {

constexpr unsigned int kNoDevice = 0xFFFFFFFFu;
// Silence after which the host stops waiting for further samples.
constexpr std::int64_t kQuietLimitNs = 3'000'000'000;
constexpr std::int64_t kFirstSampleLimitNs = 15'000'000'000;

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The samples of every channel as they left ReadLine and the time each row
// first left it. Values are checked against what the instrument sent only
// after the run, so that draining stays as quick as a host's.
class Tally {
public:
    // streaming: the instrument goes on sending the model's rows after the
    // counted ones, so later samples are checked against the model too;
    // otherwise any sample beyond the counted rows is wrong.
    Tally(std::size_t channels, std::uint64_t rows, bool streaming)
        : samples_(channels), firstOut_(rows, 0), streaming_(streaming) {
        for (std::vector<std::int32_t>& channel : samples_) channel.reserve(rows);
    }

    // Takes one delivery ("+c,v,v...\n" lines) returned at time now.
    void Take(const char* text, std::int64_t now) {
        while (*text == '+') {
            const std::int64_t channel = Number(++text);
            const bool known = channel >= 1 && static_cast<std::size_t>(channel) <= samples_.size();
            std::vector<std::int32_t>* values = known ? &samples_[static_cast<std::size_t>(channel - 1)] : nullptr;
            while (*text == ',') {
                const std::int64_t value = Number(++text);
                if (values == nullptr) {
                    ++malformed_;
                    continue;
                }
                if (values->size() < firstOut_.size() && firstOut_[values->size()] == 0) {
                    firstOut_[values->size()] = now;
                }
                values->push_back(static_cast<std::int32_t>(value));
            }
            if (*text == '\n') ++text;
        }
        if (*text != '\0') ++malformed_;
    }

    bool Complete() const {
        return std::all_of(samples_.begin(), samples_.end(),
                           [&](const std::vector<std::int32_t>& channel) { return channel.size() >= firstOut_.size(); });
    }
    std::uint64_t Delivered() const {
        std::uint64_t total = 0;
        for (const auto& channel : samples_) total += std::min<std::uint64_t>(channel.size(), firstOut_.size());
        return total;
    }
    std::uint64_t Expected() const { return samples_.size() * firstOut_.size(); }
    // Samples that differ from the instrument's values, or that it never sent.
    std::uint64_t Wrong() const {
        const sim::DataModel model(sim::SimulatorConfig::ForKind(sim::InstrumentKind::kRivu).channels, 0);
        std::uint64_t wrong = malformed_;
        for (std::size_t c = 0; c < samples_.size(); ++c) {
            for (std::size_t row = 0; row < samples_[c].size(); ++row) {
                const bool counted = row < firstOut_.size() || streaming_;
                if (!counted || samples_[c][row] != model.Ticks(c + 1, row)) ++wrong;
            }
        }
        return wrong;
    }
    const std::vector<std::int64_t>& FirstOut() const { return firstOut_; }

private:
    // A decimal number with an optional minus sign; text moves past it.
    static std::int64_t Number(const char*& text) {
        const bool negative = *text == '-';
        if (negative) ++text;
        std::int64_t value = 0;
        while (*text >= '0' && *text <= '9') value = value * 10 + (*text++ - '0');
        return negative ? -value : value;
    }

    std::vector<std::vector<std::int32_t>> samples_;
    std::vector<std::int64_t> firstOut_;
    bool streaming_;
    std::uint64_t malformed_ = 0;
};

std::int64_t CpuOf(const std::vector<std::uint64_t>& threads) {
    std::int64_t total = 0;
    for (const std::uint64_t thread : threads) total += std::max<std::int64_t>(0, ThreadCpuNanoseconds(thread));
    return total;
}

}  // namespace

int RunHost(const HostOptions& options) {
    // Like the host application, offer the log service and the host clock
    // before the enabler needs them.
    host::HostLogService logService;
    logService.SetReferenceTick(platform::TickCount());
    if (!logService.Register()) {
        std::fprintf(stderr, "rivu-bench: cannot register the log service\n");
        return 3;
    }
    host::EnablerLibrary enabler;
    if (!enabler.Load(Widen(options.library))) {
        std::fprintf(stderr, "rivu-bench: cannot use the enabler %s: %s\n", options.library.c_str(),
                     enabler.Error().c_str());
        return 3;
    }
#ifdef _WIN32
    // The port as the enabler finds it on Windows: a present FTDI device whose
    // interface path the caller has mapped to the instrument's terminal.
    test::WineComPorts ports;
    if (options.registerWinePort && ports.Add(L"FTDIBUS\\VID_0403+PID_6001+KSC01234A\\0000", L"COM40").empty()) {
        std::fprintf(stderr, "rivu-bench: cannot register the port with the setup API\n");
        return 4;
    }
#endif
    enabler.InitOnMainThread();
    const std::size_t wanted = options.devices == 0 ? 1 : static_cast<std::size_t>(options.devices);
    std::vector<unsigned int> devices;
    for (int index = -1; devices.size() < wanted && enabler.FindDevice(&index, options.selection.c_str()) == 1;) {
        devices.push_back(static_cast<unsigned int>(index));
    }
    if (devices.size() < wanted) {
        std::fprintf(stderr, "rivu-bench: %zu of %zu instruments found: %s\n", devices.size(), wanted,
                     enabler.LastError(kNoDevice).c_str());
        enabler.CloseAll();
        return 4;
    }
    const std::vector<std::uint64_t> before = ProcessThreads();
    for (const unsigned int device : devices) {
        if (enabler.Initialise(device) != 1) {
            std::fprintf(stderr, "rivu-bench: instrument %u cannot be used: %s\n", device,
                         enabler.LastError(device).c_str());
            enabler.CloseAll();
            return 4;
        }
    }
    // The threads the enabler started: a reader per instrument.
    std::vector<std::uint64_t> libraryThreads;
    const std::set<std::uint64_t> known(before.begin(), before.end());
    for (const std::uint64_t thread : ProcessThreads()) {
        if (!known.contains(thread)) libraryThreads.push_back(thread);
    }
    std::vector<Tally> tallies;
    for (const unsigned int device : devices) {
        RivuCommandRecord record{};
        if (enabler.DeviceCommand(device, RIVU_CMD_CHANNEL_COUNT, &record) != 1 || record.value <= 0) {
            std::fprintf(stderr, "rivu-bench: instrument %u reports no channels\n", device);
            enabler.CloseAll();
            return 4;
        }
        tallies.emplace_back(static_cast<std::size_t>(record.value), options.rows, options.devices != 0);
    }
    for (const unsigned int device : devices) {
        if (enabler.DeviceCommand(device, RIVU_CMD_START_SAMPLING, nullptr) != 1) {
            std::fprintf(stderr, "rivu-bench: instrument %u did not start: %s\n", device,
                         enabler.LastError(device).c_str());
            enabler.CloseAll();
            return 4;
        }
    }
    // Costs are counted from here: the start-up (channel catalogue included)
    // is behind, the rows are what remains.
    const std::uint64_t hostThread = CurrentThread();
    const std::int64_t libraryCpuStart = CpuOf(libraryThreads);
    const std::int64_t hostCpuStart = ThreadCpuNanoseconds(hostThread);
    const std::int64_t start = NowNanoseconds();
    CpuWindows libraryWindows;
    libraryWindows.Start(start, libraryCpuStart);
    static char buffer[65536];
    std::int64_t lastSample = 0;
    // One thread drains every instrument in turn, as a host does: each device
    // until it has nothing, then the next. After a round that found nothing
    // the first call waits for data (the given time-out with one instrument,
    // 1 ms with several, so that no device waits long behind another).
    const int idleWaitMs = devices.size() == 1 ? options.readTimeoutMs : 1;
    bool idle = false;
    const auto complete = [&] {
        return std::all_of(tallies.begin(), tallies.end(), [](const Tally& tally) { return tally.Complete(); });
    };
    while (!complete()) {
        const std::int64_t now = NowNanoseconds();
        libraryWindows.Sample(now, [&] { return CpuOf(libraryThreads); });
        if (now - (lastSample != 0 ? lastSample : start) > (lastSample != 0 ? kQuietLimitNs : kFirstSampleLimitNs)) {
            break;
        }
        bool delivered = false;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            int waitMs = idle && i == 0 ? idleWaitMs : 0;
            while (enabler.ReadLine(devices[i], buffer, sizeof buffer, waitMs) == 1) {
                lastSample = NowNanoseconds();
                tallies[i].Take(buffer, lastSample);
                delivered = true;
                waitMs = 0;
            }
        }
        idle = !delivered;
    }
    const std::int64_t end = NowNanoseconds();
    const std::int64_t libraryCpu = CpuOf(libraryThreads) - libraryCpuStart;
    const std::int64_t hostCpu = ThreadCpuNanoseconds(hostThread) - hostCpuStart;
    // One instrument is stopped before it is closed; several are closed while
    // they still stream, as a host closes a rack, and the close is timed.
    if (options.devices == 0) {
        RivuCommandRecord stop{};
        enabler.DeviceCommand(devices[0], RIVU_CMD_STOP_SAMPLING, &stop);
    }
    const std::int64_t closeStart = NowNanoseconds();
    enabler.CloseAll();
    const std::int64_t closeNs = NowNanoseconds() - closeStart;

    std::vector<std::int64_t> stamps, firstOut;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const std::string path = options.devices == 0 ? options.timesFile : options.timesFile + "." + std::to_string(i);
        std::vector<std::int64_t> own;
        std::uint64_t ownBytes = 0;
        if (!ReadInstrumentTimes(path, own, ownBytes) || own.size() != options.rows || own.empty()) {
            std::fprintf(stderr, "rivu-bench: the instrument's times (%s) cannot be read\n", path.c_str());
            return 4;
        }
        stamps.insert(stamps.end(), own.begin(), own.end());
        firstOut.insert(firstOut.end(), tallies[i].FirstOut().begin(), tallies[i].FirstOut().end());
        bytes += ownBytes;
    }
    RunFigures figures;
    figures.devices = devices.size();
    figures.rows = options.rows * devices.size();
    figures.bytes = bytes;
    std::uint64_t expected = 0;
    for (const Tally& tally : tallies) {
        expected += tally.Expected();
        figures.lost += tally.Expected() - tally.Delivered();
        figures.wrong += tally.Wrong();
    }
    figures.readerThreads = libraryThreads.size();
    figures.readerCpuPercent = CpuPercent(libraryCpu, end - start);
    figures.readerCpuMedianPercent = libraryWindows.MedianPercent();
    figures.hostCpuPercent = CpuPercent(hostCpu, end - start);
    figures.closeMs = static_cast<double>(closeNs) / 1e6;
    // Delay of each row: from its write to its first sample leaving ReadLine.
    SetDelays(figures, stamps, firstOut, start);
    PrintResult(figures);
    if (figures.lost != 0 || figures.wrong != 0) {
        std::fprintf(stderr, "rivu-bench: %llu of %llu samples lost, %llu wrong\n",
                     static_cast<unsigned long long>(figures.lost), static_cast<unsigned long long>(expected),
                     static_cast<unsigned long long>(figures.wrong));
        return 1;
    }
    return 0;
}

}  // namespace rivu::bench
