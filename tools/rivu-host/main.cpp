// rivu-host: a small host for the Rivu device enabler. It loads the enabler
// exactly as the host application does (by path, exports looked up by name),
// finds and initialises instruments, shows what they report, records from the
// first one to CSV and prints the blood-pressure comments it receives.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rivu-host/csv_export.h"
#include "rivu-host/device_report.h"
#include "rivu-host/recorder.h"
#include "rivu-host/simulated_instrument.h"
#include "platform/clock.h"
#include "tools/host-objects/enabler_library.h"
#include "tools/host-objects/host_log_service.h"
#include "tools/host-objects/host_objects.h"

namespace {

using namespace rivu::host;

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 2,
    kExitLibrary = 3,
    kExitNoDevice = 4,
    kExitInitialise = 5,
    kExitQuery = 6,
    kExitRate = 7,
    kExitStart = 8,
    kExitCsv = 9,
    kExitSimulator = 10,
};

struct Options {
    std::string library;
    std::string selection;
    double seconds = 10;
    int periodUs = 0;
    std::string csv = "rivu-recording.csv";
    std::string simulate;
    std::string log;
    bool listOnly = false;
};

const char kHelp[] =
    "usage: rivu-host [options]\n"
    "  --library PATH     the enabler to load (default: librivu.so / rivu.dll next to\n"
    "                     this program or in its parent folder)\n"
    "  --select TEXT      FindDevice selection: comma-separated tokens looked for in the\n"
    "                     port's serial number; empty (default) accepts every port\n"
    "  --seconds N        how long to record (default 10; Ctrl-C stops early)\n"
    "  --period-us N      sampling interval to select, in microseconds (default: the\n"
    "                     instrument's)\n"
    "  --csv FILE         where the samples go (default rivu-recording.csv)\n"
    "  --list             describe the instruments found, do not record\n"
    "  --log FILE         append the enabler's diagnostic lines to FILE\n"
    "  --simulate KIND    (Linux) record from a simulated instrument, rivu or coda\n";

std::atomic<bool> interrupted{false};
void OnInterrupt(int) { interrupted.store(true); }

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            std::exit(kExitOk);
        } else if (arg == "--library") {
            if (!value(options.library)) return false;
        } else if (arg == "--select") {
            if (!value(options.selection)) return false;
        } else if (arg == "--csv") {
            if (!value(options.csv)) return false;
        } else if (arg == "--simulate") {
            if (!value(options.simulate)) return false;
        } else if (arg == "--log") {
            if (!value(options.log)) return false;
        } else if (arg == "--list") {
            options.listOnly = true;
        } else if (arg == "--seconds" || arg == "--period-us") {
            if (!value(text)) return false;
            char* end = nullptr;
            const double number = std::strtod(text.c_str(), &end);
            if (*end != '\0' || number <= 0 || number > 1e7) {
                error = arg + " needs a positive number, not \"" + text + "\"";
                return false;
            }
            if (arg == "--seconds") {
                options.seconds = number;
            } else {
                options.periodUs = static_cast<int>(number);
            }
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

std::u16string Widen(const std::string& text) {
    std::u16string wide;
    for (unsigned char c : text) wide += static_cast<char16_t>(c);
    return wide;
}

std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t c : text) narrow += c < 0x100 ? static_cast<char>(c) : '?';
    return narrow;
}

bool LoadEnabler(EnablerLibrary& enabler, const Options& options, const char* argv0) {
#if defined(_WIN32)
    const std::string file = "rivu.dll";
    const char separator = '\\';
#else
    const std::string file = "librivu.so";
    const char separator = '/';
#endif
    std::vector<std::string> candidates;
    if (!options.library.empty()) {
        candidates.push_back(options.library);
    } else {
        std::string program = argv0;
        const std::size_t slash = program.find_last_of("/\\");
        const std::string folder = slash == std::string::npos ? std::string(".") : program.substr(0, slash);
        candidates = {folder + separator + file, folder + separator + ".." + separator + file};
    }
    for (const std::string& candidate : candidates) {
        if (enabler.Load(Widen(candidate))) {
            std::printf("Loaded %s\n", candidate.c_str());
            return true;
        }
    }
    std::fprintf(stderr, "rivu-host: cannot use the enabler %s: %s\n", candidates.front().c_str(),
                 enabler.Error().c_str());
    return false;
}

int Record(EnablerLibrary& enabler, const Options& options) {
    enabler.InitOnMainThread();

    std::vector<unsigned int> devices;
    for (int index = -1; enabler.FindDevice(&index, options.selection.c_str()) == 1;) {
        devices.push_back(static_cast<unsigned int>(index));
    }
    if (devices.empty()) {
        std::fprintf(stderr, "rivu-host: no instrument found.\n%s\n", enabler.LastError(0xFFFFFFFFu).c_str());
        return kExitNoDevice;
    }
    std::printf("Found %zu instrument(s)\n", devices.size());

    std::vector<DeviceReport> reports;
    for (unsigned int index : devices) {
        if (!enabler.Initialise(index)) {
            const std::string own = enabler.LastError(index);
            std::fprintf(stderr, "rivu-host: instrument %u cannot be used.\n%s\n", index,
                         enabler.LastError(0xFFFFFFFFu).c_str());
            if (!own.empty()) std::fprintf(stderr, "%s\n", own.c_str());
            enabler.CloseAll();
            return kExitInitialise;
        }
        DeviceReport report;
        std::string error;
        if (!QueryDevice(enabler, index, report, error)) {
            std::fprintf(stderr, "rivu-host: instrument %u: %s\n", index, error.c_str());
            enabler.CloseAll();
            return kExitQuery;
        }
        PrintReport(report, index);
        reports.push_back(report);
    }
    if (options.listOnly) {
        enabler.CloseAll();
        return kExitOk;
    }

    const unsigned int index = devices.front();
    DeviceReport& report = reports.front();
    if (options.periodUs > 0) {
        RivuCommandRecord record{};
        record.argument = options.periodUs;
        if (!enabler.DeviceCommand(index, RIVU_CMD_SET_SAMPLE_PERIOD, &record)) {
            std::fprintf(stderr, "rivu-host: the instrument does not offer a sampling interval of %d us\n",
                         options.periodUs);
            enabler.CloseAll();
            return kExitRate;
        }
        CommandValue(enabler, index, RIVU_CMD_SAMPLE_PERIOD, report.samplePeriodUs);
    }

    // The recording's document numbers time in sample periods, so a comment's
    // position is the index of the sample it belongs to.
    HostObjects host;
    std::vector<std::u16string> titles;
    for (const ChannelInfo& channel : report.channels) titles.push_back(Widen(channel.title));
    host.SetChannelTitles(titles);
    host.SetSecondsPerUnit(report.samplePeriodUs > 0 ? report.samplePeriodUs / 1e6 : 0.001);
    host.SetRecordCount(1);
    for (std::size_t c = 0; c < report.channels.size(); ++c) {
        if (report.channels[c].name == "VPR") host.ExpectVprChannel(static_cast<std::int32_t>(c));
    }
    enabler.SetControllingProxy(index, host.ControllingProxy());

    if (!enabler.DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr)) {
        std::fprintf(stderr, "rivu-host: the instrument did not start sampling.\n%s\n",
                     enabler.LastError(0xFFFFFFFFu).c_str());
        enabler.CloseAll();
        return kExitStart;
    }
    std::printf("Recording instrument %u for %.1f s (samples per channel):\n", index, options.seconds);
    Recording recording(report.channels.size());
    RecordFor(enabler, index, options.seconds, recording, interrupted, true);
    RivuCommandRecord stop{};
    enabler.DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop);
    const bool failed = enabler.IsFailed(index) == 1;
    enabler.CloseAll();

    // Channels are shown counted from 1, as in the channel table; results
    // (a systolic and a diastolic comment each) apart from notes and errors.
    const double period = report.samplePeriodUs / 1e6;
    const auto comments = host.Comments();
    std::size_t results = 0, notes = 0;
    for (const RecordedComment& comment : comments) {
        if (comment.text.starts_with(u"Systolic BP = ")) ++results;
        if (comment.text.starts_with(u"note: ") || comment.text.starts_with(u"error: ")) ++notes;
    }
    std::printf("Blood-pressure results: %zu, notes and errors: %zu\n", results, notes);
    for (const RecordedComment& comment : comments) {
        const std::string channel = comment.channel >= 0 ? "channel " + std::to_string(comment.channel + 1)
                                                         : std::string("no channel");
        std::printf("  at %.3f s (sample %d, %s, record %d): %s\n", comment.position * period, comment.position,
                    channel.c_str(), comment.record, Narrow(comment.text).c_str());
    }
    if (recording.MalformedLines() > 0) {
        std::fprintf(stderr, "rivu-host: %zu malformed lines from ReadLine\n", recording.MalformedLines());
    }
    if (!WriteCsv(options.csv, report, recording)) {
        std::fprintf(stderr, "rivu-host: cannot write %s\n", options.csv.c_str());
        return kExitCsv;
    }
    std::printf("Samples written to %s\n", options.csv.c_str());
    if (failed) {
        std::fprintf(stderr, "rivu-host: the instrument's port failed during the recording\n");
        return kExitStart;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "rivu-host: %s\n%s", error.c_str(), kHelp);
        return kExitUsage;
    }
    std::signal(SIGINT, OnInterrupt);

    std::unique_ptr<SimulatedInstrument> instrument;
    if (!options.simulate.empty()) {
        instrument = SimulatedInstrument::Start(options.simulate, error);
        if (!instrument) {
            std::fprintf(stderr, "rivu-host: %s\n", error.c_str());
            return kExitSimulator;
        }
        std::printf("Simulated %s instrument on %s\n", options.simulate.c_str(), instrument->Description().c_str());
    }

    // Like the host application, offer the log service and the host clock
    // before the enabler needs them.
    HostLogService logService(options.log);
    logService.SetReferenceTick(rivu::platform::TickCount());
    if (!logService.Register()) {
        std::fprintf(stderr, "rivu-host: cannot register the log service\n");
        return kExitLibrary;
    }

    EnablerLibrary enabler;
    if (!LoadEnabler(enabler, options, argv[0])) return kExitLibrary;
    const int result = Record(enabler, options);
    enabler.Unload();
    return result;
}
