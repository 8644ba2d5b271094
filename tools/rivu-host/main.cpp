// rivu-host: a small host for the Rivu device enabler. It loads the enabler
// exactly as the host application does (by path, exports looked up by name),
// finds and initialises instruments, shows what they report, records from the
// first one to CSV (and EDF+) and prints the blood-pressure comments it receives.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "rivu-host/csv_export.h"
#include "rivu-host/device_json.h"
#include "rivu-host/device_report.h"
#include "rivu-host/edf_writer.h"
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
    kExitEdf = 11,
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
    // Recording files and reports beyond the CSV.
    std::string edf;
    bool json = false;
};

const char kHelp[] =
    "usage: rivu-host [options]\n"
    "  --library PATH     the enabler to load (default: librivu.so / rivu.dll next to\n"
    "                     this program, in its parent folder or, installed, in the\n"
    "                     library folder beside it)\n"
    "  --select TEXT      FindDevice selection: comma-separated tokens looked for in the\n"
    "                     port's serial number; empty (default) accepts every port\n"
    "  --seconds N        how long to record (default 10; Ctrl-C stops early)\n"
    "  --period-us N      sampling interval to select, in microseconds (default: the\n"
    "                     instrument's)\n"
    "  --csv FILE         where the samples go (default rivu-recording.csv)\n"
    "  --list             describe the instruments found, do not record\n"
    "  --log FILE         append the enabler's diagnostic lines to FILE\n"
    "  --simulate KIND    (Linux) record from a simulated instrument, rivu or coda\n"
    "  --edf FILE         also write the recording as EDF+: one signal per channel,\n"
    "                     the comments as annotations\n"
    "  --json             with --list: the device report as JSON on standard output\n"
    "  --version          print the version and exit\n";

#ifndef RIVU_HOST_VERSION
#define RIVU_HOST_VERSION "unknown"
#endif

// Where progress goes: standard output, or standard error while standard
// output carries the JSON report.
std::FILE* info = stdout;

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
        } else if (arg == "--edf") {
            if (!value(options.edf)) return false;
        } else if (arg == "--json") {
            options.json = true;
            info = stderr;
        } else if (arg == "--version") {
            std::printf("rivu-host %s\n", RIVU_HOST_VERSION);
            std::exit(kExitOk);
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
    if (options.json && !options.listOnly) {
        error = "--json goes with --list";
        return false;
    }
    return true;
}

std::u16string Widen(const std::string& text) {
    std::u16string wide;
    for (unsigned char c : text) wide += static_cast<char16_t>(c);
    return wide;
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
#if defined(RIVU_HOST_LIBDIR)
        // Installed: bin/rivu-host finds lib/librivu.so.
        candidates.push_back(folder + separator + ".." + separator + RIVU_HOST_LIBDIR + separator + file);
#endif
    }
    for (const std::string& candidate : candidates) {
        if (enabler.Load(Widen(candidate))) {
            std::fprintf(info, "Loaded %s\n", candidate.c_str());
            return true;
        }
    }
    std::fprintf(stderr, "rivu-host: cannot use the enabler %s: %s\n", candidates.front().c_str(),
                 enabler.Error().c_str());
    return false;
}

// The EDF+ file of a recording, fed with the samples and comments that have
// arrived since the last call.
class EdfOutput {
public:
    EdfOutput(const HostObjects& host, int samplePeriodUs) : host_(host), periodUs_(samplePeriodUs) {}

    // Writes the header with the current time as the start; the recording
    // starts right after.
    bool Open(const std::string& path, const DeviceReport& report) {
        const std::time_t now = std::time(nullptr);
        std::string error;
        if (!writer_.Open(path, report, *std::localtime(&now), error)) {
            std::fprintf(stderr, "rivu-host: cannot record EDF+ to %s: %s\n", path.c_str(), error.c_str());
            return false;
        }
        for (std::size_t c = 0; c < writer_.Signals().size(); ++c) {
            const std::string& note = writer_.Signals()[c].note;
            if (!note.empty()) std::fprintf(stderr, "rivu-host: EDF+ channel %zu: %s\n", c + 1, note.c_str());
        }
        taken_.assign(report.channels.size(), 0);
        return true;
    }

    void Take(const Recording& recording) {
        if (!writer_.IsOpen()) return;
        for (std::size_t c = 0; c < taken_.size() && c < recording.Channels(); ++c) {
            const auto& samples = recording.Samples(c);
            writer_.Append(c, samples.data() + taken_[c], samples.size() - taken_[c]);
            taken_[c] = samples.size();
        }
        // A comment's position counts sample periods (the document's time unit).
        const auto comments = host_.Comments();
        for (; comments_ < comments.size(); ++comments_) {
            const RecordedComment& comment = comments[comments_];
            const std::int64_t onsetUs = static_cast<std::int64_t>(comment.position) * periodUs_;
            writer_.Annotate(onsetUs, AnnotationText(comment.text));
            lastOnsetUs_ = std::max(lastOnsetUs_, onsetUs);
        }
    }

    // Closes the file and says what it holds; false when it is not usable.
    bool Close(const std::string& path) {
        std::string error;
        const bool closed = writer_.Close(error);
        if (!closed) {
            std::fprintf(stderr, "rivu-host: EDF+ file %s: %s\n", path.c_str(), error.c_str());
            return false;
        }
        const auto& plan = writer_.Plan();
        std::printf("EDF+ written to %s: %zu signals, %lld data records of %s s (%d samples each)\n", path.c_str(),
                    writer_.Signals().size(), static_cast<long long>(writer_.Records()),
                    EdfSeconds(plan.durationUs).c_str(), plan.samplesPerRecord);
        if (writer_.DroppedSamples() > 0) {
            std::printf("  the last %zu samples did not fill a data record: they are in the CSV only\n",
                        writer_.DroppedSamples());
        }
        const std::int64_t endUs = writer_.Records() * plan.durationUs;
        if (lastOnsetUs_ >= endUs) {
            std::printf(
                "  comments after %s s, where the data records end, are in the file; some readers leave them out\n",
                EdfSeconds(endUs).c_str());
        }
        if (writer_.ClippedSamples() > 0) {
            std::fprintf(stderr,
                         "rivu-host: EDF+: %zu samples outside their calibration points were stored at the limit\n",
                         writer_.ClippedSamples());
        }
        if (writer_.DroppedAnnotations() > 0) {
            std::fprintf(stderr, "rivu-host: EDF+: %zu comments did not fit the last data record and are missing\n",
                         writer_.DroppedAnnotations());
            return false;
        }
        return true;
    }

private:
    const HostObjects& host_;
    const int periodUs_;
    EdfWriter writer_;
    std::vector<std::size_t> taken_;
    std::size_t comments_ = 0;
    std::int64_t lastOnsetUs_ = -1;
};

// A stop during a measurement cycle leaves its upload incomplete: the enabler
// posts its error comment as it does for any unfinished upload; say plainly
// that the stop caused it.
void StoppedDuringCycle(const std::vector<RecordedComment>& comments, std::size_t beforeStop) {
    for (std::size_t i = beforeStop; i < comments.size(); ++i) {
        if (comments[i].text == u"error: incomplete waveform upload") {
            std::printf(
                "The recording stopped during a measurement cycle: that cycle has no result, and the enabler\n"
                "marks its upload as incomplete (the error comment above).\n");
            return;
        }
    }
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
    std::fprintf(info, "Found %zu instrument(s)\n", devices.size());

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
        if (!options.json) PrintReport(report, index);
        reports.push_back(report);
    }
    if (options.listOnly) {
        if (options.json) std::fputs(DevicesJson(reports, devices).c_str(), stdout);
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

    EdfOutput edf(host, report.samplePeriodUs);
    if (!options.edf.empty() && !edf.Open(options.edf, report)) {
        enabler.CloseAll();
        return kExitEdf;
    }
    if (!enabler.DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr)) {
        std::fprintf(stderr, "rivu-host: the instrument did not start sampling.\n%s\n",
                     enabler.LastError(0xFFFFFFFFu).c_str());
        enabler.CloseAll();
        return kExitStart;
    }
    std::printf("Recording instrument %u for %.1f s (samples per channel):\n", index, options.seconds);
    Recording recording(report.channels.size());
    RecordFor(enabler, index, options.seconds, recording, interrupted, true, [&] { edf.Take(recording); });
    const std::size_t commentsBeforeStop = host.Comments().size();
    RivuCommandRecord stop{};
    enabler.DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop);
    const bool failed = enabler.IsFailed(index) == 1;
    enabler.CloseAll();
    edf.Take(recording);

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
                    channel.c_str(), comment.record, AnnotationText(comment.text).c_str());
    }
    StoppedDuringCycle(comments, commentsBeforeStop);
    if (recording.MalformedLines() > 0) {
        std::fprintf(stderr, "rivu-host: %zu malformed lines from ReadLine\n", recording.MalformedLines());
    }
    if (!WriteCsv(options.csv, report, recording)) {
        std::fprintf(stderr, "rivu-host: cannot write %s\n", options.csv.c_str());
        return kExitCsv;
    }
    std::printf("Samples written to %s\n", options.csv.c_str());
    if (!options.edf.empty() && !edf.Close(options.edf)) return kExitEdf;
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
    std::signal(SIGTERM, OnInterrupt);

    std::unique_ptr<SimulatedInstrument> instrument;
    if (!options.simulate.empty()) {
        instrument = SimulatedInstrument::Start(options.simulate, error);
        if (!instrument) {
            std::fprintf(stderr, "rivu-host: %s\n", error.c_str());
            return kExitSimulator;
        }
        std::fprintf(info, "Simulated %s instrument on %s\n", options.simulate.c_str(),
                     instrument->Description().c_str());
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
