// rivu-host: a small host for the Rivu device enabler. It loads the enabler
// exactly as the host application does (by path, exports looked up by name),
// finds and initialises instruments, shows what they report, and records from
// the first one: samples and blood-pressure comments are written to their
// files (CSV, and EDF+ if asked for) as they arrive, so a recording that ends
// early (Ctrl-C, kill, a closed terminal, a port that vanished) keeps
// everything recorded until then.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "platform/clock.h"
#include "rivu-host/csv_export.h"
#include "rivu-host/device_json.h"
#include "rivu-host/device_report.h"
#include "rivu-host/edf_sink.h"
#include "rivu-host/enabler_log.h"
#include "rivu-host/recorder.h"
#include "rivu-host/simulated_instrument.h"
#include "tools/host-objects/enabler_library.h"
#include "tools/host-objects/host_log_service.h"
#include "tools/host-objects/test_host.h"

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
    kExitOutput = 9,
    kExitSimulator = 10,
    kExitPortFailed = 11,
    kExitInterrupted = 12,
    kExitExists = 13,
};

struct Options {
    std::string library;
    std::string selection;
    double seconds = 10;
    int periodUs = 0;
    std::string csv = "rivu-recording.csv";
    std::string comments;  // "" : next to the CSV
    std::string edf;       // "" : none
    bool force = false;
    std::vector<std::string> ports;
    std::string simulate;
    std::string log;
    bool listOnly = false;
    bool json = false;  // with listOnly: the report as JSON on standard output
};

#ifndef RIVU_HOST_VERSION
#define RIVU_HOST_VERSION "unknown"
#endif

const char kHelp[] =
    "usage: rivu-host [options]\n"
    "  --library PATH     the enabler to load (default: librivu.so / rivu.dll next to\n"
    "                     this program, in its parent folder or, installed, in the\n"
    "                     library folder beside it)\n"
    "  --select TEXT      FindDevice selection: comma-separated tokens looked for in the\n"
    "                     port's serial number; empty (default) accepts every port\n"
    "  --port PATH[=ID]   (Linux) offer this serial port to the enabler, before those of\n"
    "                     RIVU_SERIAL_PORTS and the USB ports; ID is the port's FTDI\n"
    "                     serial (ZVCCODA0001A marks a Zarvonic CODA, KSC01234A a\n"
    "                     monitor) or a whole instance id; repeatable\n"
    "  --seconds N        how long to record (default 10; Ctrl-C stops early)\n"
    "  --period-us N      sampling interval to select, in microseconds (default: the\n"
    "                     instrument's; the device report lists those offered)\n"
    "  --csv FILE         where the samples go (default rivu-recording.csv; - for\n"
    "                     standard output, messages then go to standard error)\n"
    "  --comments FILE    where blood-pressure results, notes and errors go (default:\n"
    "                     the CSV's name with -comments.csv; none with --csv -)\n"
    "  --edf FILE         also write the recording as EDF+: one signal per channel,\n"
    "                     the comments as annotations\n"
    "  --force            overwrite existing output files\n"
    "  --list             describe the instruments found, do not record\n"
    "  --json             with --list: the device report as JSON on standard output\n"
    "  --log FILE         append the enabler's diagnostic lines to FILE\n"
    "  --simulate KIND[,FAULT...]\n"
    "                     (Linux) record from a simulated instrument, rivu or coda,\n"
    "                     with rivu-sim's faults if any (coda,hang-up; see rivu-sim --help)\n"
    "  --version          print the version and exit\n"
    "\n"
    "Outputs are opened before the instrument starts and written as samples arrive\n"
    "(flushed every second). Ctrl-C, SIGTERM and SIGHUP end a recording early and\n"
    "close the files whole.\n"
    "\n"
    "exit codes:\n"
    "   0  recorded (for the time asked or until stopped), or listed\n"
    "   2  bad options\n"
    "   3  the enabler cannot be loaded\n"
    "   4  no instrument found\n"
    "   5  an instrument cannot be used (the message says why)\n"
    "   6  an instrument did not describe itself\n"
    "   7  the sampling interval asked for is not offered\n"
    "   8  the instrument did not start sampling\n"
    "   9  an output file cannot be written (CSV, comments or EDF+)\n"
    "  10  the simulated instrument did not start\n"
    "  11  the instrument's port failed during the recording (what was recorded is kept)\n"
    "  12  stopped by a signal before the recording began\n"
    "  13  an output file exists and --force was not given\n";

std::atomic<int> stopSignal{0};
extern "C" void OnStopSignal(int number) { stopSignal.store(number); }

// Ctrl-C, kill (TERM) and a closed terminal or dropped connection (HUP) all
// ask for the same orderly end. A reader of standard output that went away
// shows up as a write error instead of ending the process.
void InstallSignalHandlers() {
#if defined(_WIN32)
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGBREAK, OnStopSignal);
#else
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

std::string SignalName(int number) {
    switch (number) {
        case SIGINT:
            return "Ctrl-C (SIGINT)";
        case SIGTERM:
            return "SIGTERM";
#if !defined(_WIN32)
        case SIGHUP:
            return "SIGHUP";
#endif
        default:
            return "signal " + std::to_string(number);
    }
}

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
        } else if (arg == "--comments") {
            if (!value(options.comments)) return false;
        } else if (arg == "--port") {
            if (!value(text)) return false;
            if (text.empty() || text.front() == '=' || text.find(';') != std::string::npos) {
                error = "--port needs PATH or PATH=ID (without ';'), not \"" + text + "\"";
                return false;
            }
            options.ports.push_back(text);
        } else if (arg == "--force") {
            options.force = true;
        } else if (arg == "--simulate") {
            if (!value(options.simulate)) return false;
        } else if (arg == "--log") {
            if (!value(options.log)) return false;
        } else if (arg == "--edf") {
            if (!value(options.edf)) return false;
        } else if (arg == "--list") {
            options.listOnly = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--version") {
            std::printf("rivu-host %s\n", RIVU_HOST_VERSION);
            std::exit(kExitOk);
        } else if (arg == "--seconds" || arg == "--period-us") {
            if (!value(text)) return false;
            char* end = nullptr;
            const double number = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(number > 0) || number > 1e7) {
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
    if (options.csv.empty() || options.comments == "-") {
        error = options.csv.empty() ? "--csv needs a file name or -" : "--comments needs a file name";
        return false;
    }
    if (options.comments == options.csv) {
        error = "--comments needs a file other than the samples' (" + options.csv + ")";
        return false;
    }
    if (options.edf == "-") {
        error = "--edf needs a file name (EDF+ cannot go to standard output)";
        return false;
    }
    const std::string comments = options.comments.empty() ? CommentsPathFor(options.csv) : options.comments;
    if (!options.edf.empty() && (options.edf == options.csv || options.edf == comments)) {
        error = "--edf needs a file other than the CSV's and the comments' (" + options.edf + ")";
        return false;
    }
    if (options.json && !options.listOnly) {
        error = "--json goes with --list";
        return false;
    }
    return true;
}

// A --port entry for RIVU_SERIAL_PORTS: an ID without a backslash is an FTDI
// serial, given the instance id the FTDI driver would give it.
std::string PortEntry(const std::string& option) {
    const std::size_t equals = option.find('=');
    if (equals == std::string::npos) return option;
    const std::string id = option.substr(equals + 1);
    if (id.find('\\') != std::string::npos) return option;
    return option.substr(0, equals) + "=FTDIBUS\\VID_0403+PID_6001+" + id + "\\0000";
}

std::u16string Widen(const std::string& text) {
    std::u16string wide;
    for (unsigned char c : text) wide += static_cast<char16_t>(c);
    return wide;
}

std::string UtcText(std::time_t moment) {
    char text[32] = {};
    if (const std::tm* utc = std::gmtime(&moment)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

// What opening the port says when the enabler could not use it: "" when the
// port opens (the enabler's message stands), else the system's reason.
std::string PortProblem(const std::string& path) {
#if defined(_WIN32)
    (void)path;
    return {};
#else
    if (path.empty()) return {};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    const int error = errno;
    std::string text = "cannot open " + path + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM) {
        text +=
            " (permission denied: add your user to the group that owns the port, usually dialout, and log in "
            "again)";
    } else if (error == EBUSY) {
        text += " (the port is busy: another program has it open)";
    } else if (error == ENOENT || error == ENXIO || error == ENODEV) {
        text += " (the port is gone: check the cable)";
    }
    return text;
#endif
}

bool LoadEnabler(EnablerLibrary& enabler, const Options& options, const char* argv0, std::FILE* info) {
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

// One run of rivu-host: its outputs, the simulated instrument and the enabler.
class Session {
public:
    Session(const Options& options, std::FILE* info) : options_(options), info_(info) {}

    // Opens every output; an exit code when one cannot be used.
    int OpenOutputs();
    int Run(const char* argv0);

private:
    int Record(EnablerLibrary& enabler, EnablerLog& log);
    int InitialiseFailed(EnablerLibrary& enabler, EnablerLog& log, unsigned int index, bool refusalShown);
    // Runs a step that may block for long (Initialise waits up to 16 s for an
    // instrument that does not answer) on a thread of its own, says once a
    // second what it waits for, and ends the run when a stop signal arrives.
    // tick runs every few milliseconds while the step is under way.
    void RunStep(const std::function<void()>& step, const std::string& waitingFor,
                 const std::function<void()>& tick = {});
    // Ends the run before anything was recorded: the outputs this run made
    // are removed, the simulated instrument is stopped. The enabler may still
    // be inside an export on another thread, so the process ends without
    // unloading it; the system closes its port.
    [[noreturn]] void Abandon(int code);
    bool TakeComments(HostObjects& host, double period);
    void StoppedDuringCycle(const HostObjects& host, std::size_t beforeStop) const;
    void AccountForRows(const RecordingOutcome& outcome, std::size_t rows, double period) const;
    bool Flush();
    void DiscardOutputs();

    const Options& options_;
    std::FILE* info_;
    std::vector<std::unique_ptr<RecordingSink>> sinks_;
    std::unique_ptr<SimulatedInstrument> instrument_;
    std::size_t commentsTaken_ = 0;
    std::size_t results_ = 0, notes_ = 0;
};

int Session::OpenOutputs() {
    std::string error;
    if (auto samples = CsvSampleSink::Open(options_.csv, options_.force, error)) {
        sinks_.push_back(std::move(samples));
        const std::string path = options_.comments.empty() ? CommentsPathFor(options_.csv) : options_.comments;
        if (!path.empty()) {
            if (auto comments = CsvCommentSink::Open(path, options_.force, error))
                sinks_.push_back(std::move(comments));
        }
        if (error.empty() && !options_.edf.empty()) {
            if (auto edf = EdfSink::Open(options_.edf, options_.force, error)) sinks_.push_back(std::move(edf));
        }
    }
    if (error.empty()) return kExitOk;
    std::fprintf(stderr, "rivu-host: %s\n", error.c_str());
    DiscardOutputs();
    return error.find(" exists;") != std::string::npos ? kExitExists : kExitOutput;
}

void Session::DiscardOutputs() {
    for (auto& sink : sinks_) sink->Discard();
    sinks_.clear();
}

void Session::Abandon(int code) {
    DiscardOutputs();
    instrument_.reset();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

void Session::RunStep(const std::function<void()>& step, const std::string& waitingFor,
                      const std::function<void()>& tick) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread worker([step, done] {
        step();
        done->store(true);
    });
    const auto start = std::chrono::steady_clock::now();
    auto nextNotice = start + std::chrono::seconds(1);
    while (!done->load()) {
        if (const int signal = stopSignal.load()) {
            std::fprintf(stderr, "rivu-host: stopped by %s while waiting for %s; nothing was recorded\n",
                         SignalName(signal).c_str(), waitingFor.c_str());
            worker.detach();
            Abandon(kExitInterrupted);
        }
        if (tick) tick();
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextNotice) {
            nextNotice += std::chrono::seconds(1);
            std::fprintf(info_, "  waiting for %s: %.0f s (Ctrl-C stops)\n", waitingFor.c_str(),
                         std::chrono::duration<double>(now - start).count());
            std::fflush(info_);
        }
        // Short pauses: the step's end (an instrument that started sampling)
        // is seen within a few milliseconds.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    worker.join();
}

int Session::Run(const char* argv0) {
    std::string error;
    if (!options_.simulate.empty()) {
        instrument_ = SimulatedInstrument::Start(options_.simulate, error);
        if (!instrument_) {
            std::fprintf(stderr, "rivu-host: %s\n", error.c_str());
            DiscardOutputs();
            return kExitSimulator;
        }
        std::fprintf(info_, "Simulated instrument %s on %s\n", options_.simulate.c_str(),
                     instrument_->Description().c_str());
    }
    // The ports named here come first in the enabler's walk, then those of
    // RIVU_SERIAL_PORTS.
    std::string ports;
    if (instrument_) ports = instrument_->PortEntry();
    for (const std::string& port : options_.ports) ports += (ports.empty() ? "" : ";") + PortEntry(port);
    if (!ports.empty()) {
        if (const char* configured = std::getenv("RIVU_SERIAL_PORTS"); configured != nullptr && *configured != '\0') {
            ports += std::string(";") + configured;
        }
#if !defined(_WIN32)
        ::setenv("RIVU_SERIAL_PORTS", ports.c_str(), 1);
#else
        std::fprintf(stderr, "rivu-host: --port is for Linux; on Windows the enabler finds the FTDI ports itself\n");
        DiscardOutputs();
        return kExitUsage;
#endif
    }

    // Like the host application, offer the log service and the host clock
    // before the enabler needs them.
    HostLogService logService(options_.log);
    logService.SetReferenceTick(rivu::platform::TickCount());
    if (!logService.Register()) {
        std::fprintf(stderr, "rivu-host: cannot register the log service\n");
        DiscardOutputs();
        return kExitLibrary;
    }
    EnablerLog log(logService, options_.log);
    EnablerLibrary enabler;
    if (!LoadEnabler(enabler, options_, argv0, info_)) {
        DiscardOutputs();
        return kExitLibrary;
    }
    const int result = Record(enabler, log);
    enabler.Unload();
    return result;
}

int Session::InitialiseFailed(EnablerLibrary& enabler, EnablerLog& log, unsigned int index, bool refusalShown) {
    // The one message that applies: the device's own (an instrument that is
    // refused; already shown if it came while Initialise waited), else what
    // opening the port says, else the enabler's general message.
    const std::string own = enabler.LastError(index);
    const std::string general = enabler.LastError(0xFFFFFFFFu);
    log.Sync();
    const std::vector<std::string> paths = log.DevicePaths();
    const std::string port = index < paths.size() ? PortProblem(paths[index]) : std::string();
    if (refusalShown && own.empty()) {
        std::fprintf(stderr, "rivu-host: instrument %u cannot be used.\n", index);
    } else {
        const std::string& why = !own.empty() ? own : !port.empty() ? port : general;
        std::fprintf(stderr, "rivu-host: instrument %u cannot be used.\n%s\n", index, why.c_str());
    }
    enabler.CloseAll();
    DiscardOutputs();
    return kExitInitialise;
}

bool Session::Flush() {
    bool written = true;
    for (auto& sink : sinks_) {
        if (!sink->Flush()) {
            std::fprintf(stderr, "rivu-host: %s\n", sink->Error().c_str());
            written = false;
        }
    }
    return written;
}

// Hands the comments the enabler added since the last call to the outputs
// and shows them. The recording's time unit is the sample period, so a
// comment's position is the index of its row.
bool Session::TakeComments(HostObjects& host, double period) {
    const std::vector<RecordedComment> comments = host.Comments();
    for (; commentsTaken_ < comments.size(); ++commentsTaken_) {
        const RecordedComment& comment = comments[commentsTaken_];
        CommentEntry entry;
        entry.seconds = comment.position * period;
        entry.sample = comment.position;
        entry.channel = comment.channel >= 0 ? comment.channel + 1 : 0;
        entry.text = AnnotationText(comment.text);
        if (comment.text.starts_with(u"Systolic BP = ")) ++results_;
        if (comment.text.starts_with(u"note: ") || comment.text.starts_with(u"error: ")) ++notes_;
        const std::string channel =
            entry.channel > 0 ? "channel " + std::to_string(entry.channel) : std::string("no channel");
        std::fprintf(info_, "  at %.3f s (sample %d, %s, record %d): %s\n", entry.seconds, entry.sample,
                     channel.c_str(), comment.record, entry.text.c_str());
        for (auto& sink : sinks_) sink->Comment(entry);
    }
    return true;
}

// A stop during a measurement cycle leaves its upload incomplete: the enabler
// posts its error comment as it does for any unfinished upload; say plainly
// that the stop caused it.
void Session::StoppedDuringCycle(const HostObjects& host, std::size_t beforeStop) const {
    const std::vector<RecordedComment> comments = host.Comments();
    for (std::size_t i = beforeStop; i < comments.size(); ++i) {
        if (comments[i].text == u"error: incomplete waveform upload") {
            std::fprintf(info_,
                         "The recording stopped during a measurement cycle: that cycle has no result, and the "
                         "enabler\nmarks its upload as incomplete (the error comment above).\n");
            return;
        }
    }
}

// Says whether every row the instrument sent before the stop is in the
// files. A simulated instrument counts what it sent; of a real one the host
// knows the rows due by the sampling interval.
void Session::AccountForRows(const RecordingOutcome& outcome, std::size_t rows, double period) const {
    if (outcome.end == RecordingEnd::kPortFailed || outcome.end == RecordingEnd::kOutputFailed) return;
    if (!outcome.caughtUp && outcome.rowsDue > rows) {
        std::fprintf(stderr,
                     "rivu-host: %zu of the %zu rows due in %.1f s at %.0f us had not reached rivu-host %.0f s after "
                     "the stop and are missing\n",
                     outcome.rowsDue - rows, outcome.rowsDue, outcome.seconds, period * 1e6, kCatchUpSeconds);
    }
    if (!instrument_) return;
    const std::uint64_t sent = instrument_->RowsSent();
    if (sent > rows) {
        std::fprintf(info_,
                     "The simulated instrument sent %llu rows; the last %llu came while the stop was on its way and "
                     "are not in the files\n(the enabler discards rows once it has asked the instrument to stop).\n",
                     static_cast<unsigned long long>(sent), static_cast<unsigned long long>(sent - rows));
    } else {
        std::fprintf(info_, "Every row the simulated instrument sent (%llu) is in the files.\n",
                     static_cast<unsigned long long>(sent));
    }
}

int Session::Record(EnablerLibrary& enabler, EnablerLog& log) {
    enabler.InitOnMainThread();

    std::vector<unsigned int> devices;
    for (int index = -1; enabler.FindDevice(&index, options_.selection.c_str()) == 1;) {
        devices.push_back(static_cast<unsigned int>(index));
    }
    if (devices.empty()) {
        std::fprintf(stderr, "rivu-host: no instrument found.\n%s\n", enabler.LastError(0xFFFFFFFFu).c_str());
        DiscardOutputs();
        return kExitNoDevice;
    }
    std::fprintf(info_, "Found %zu instrument(s)\n", devices.size());

    std::vector<DeviceReport> reports;
    for (unsigned int index : devices) {
        int initialised = 0;
        bool refusalShown = false;
        // What the enabler has to say of the instrument (a refusal, or a
        // warning) is shown at once, while Initialise still waits out its time.
        auto watchRefusal = [&] {
            if (enabler.GetLastErrorMsg(index, nullptr) <= 1) return;
            refusalShown = true;
            std::fprintf(stderr, "rivu-host: instrument %u: %s\n", index, enabler.LastError(index).c_str());
        };
        RunStep([&] { initialised = enabler.Initialise(index); },
                "instrument " + std::to_string(index) + " to answer (at most 16 s)", watchRefusal);
        if (!initialised) return InitialiseFailed(enabler, log, index, refusalShown);

        DeviceReport report;
        std::string error;
        bool described = false;
        RunStep([&] { described = QueryDevice(enabler, index, report, error); },
                "instrument " + std::to_string(index) + " to describe its channels");
        if (!described) {
            std::fprintf(stderr, "rivu-host: instrument %u: %s\n", index, error.c_str());
            enabler.CloseAll();
            DiscardOutputs();
            return kExitQuery;
        }
        // The channel description follows the upload rates in the handshake,
        // so the instrument's rates are in the log by now.
        log.Sync();
        report.offeredPeriodsUs = OfferedPeriods(log.TakeUploadRates());
        if (!options_.json) PrintReport(report, index, info_);
        reports.push_back(report);
    }
    if (options_.listOnly) {
        if (options_.json) std::fputs(DevicesJson(reports, devices).c_str(), stdout);
        enabler.CloseAll();
        return kExitOk;
    }

    const unsigned int index = devices.front();
    DeviceReport& report = reports.front();
    if (options_.periodUs > 0) {
        RivuCommandRecord record{};
        record.argument = options_.periodUs;
        if (!enabler.DeviceCommand(index, RIVU_CMD_SET_SAMPLE_PERIOD, &record)) {
            std::fprintf(stderr,
                         "rivu-host: the instrument does not offer a sampling interval of %d us (offered: %s)\n",
                         options_.periodUs, PeriodList(report.offeredPeriodsUs).c_str());
            enabler.CloseAll();
            DiscardOutputs();
            return kExitRate;
        }
        CommandValue(enabler, index, RIVU_CMD_SAMPLE_PERIOD, report.samplePeriodUs);
    }

    // The recording's document numbers time in sample periods, so a
    // comment's position is the index of the sample it belongs to.
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

    for (auto& sink : sinks_) {
        if (!sink->Accepts(report)) {
            std::fprintf(stderr, "rivu-host: %s\n", sink->Error().c_str());
            enabler.CloseAll();
            DiscardOutputs();
            return kExitOutput;
        }
    }
    bool started = false;
    RecordingFacts facts;
    facts.device = &report;
    facts.started = std::time(nullptr);
    facts.startTime = UtcText(facts.started);
    RunStep([&] { started = enabler.DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr) == 1; },
            "instrument " + std::to_string(index) + " to start sampling");
    if (!started) {
        std::fprintf(stderr, "rivu-host: the instrument did not start sampling.\n%s\n",
                     enabler.LastError(0xFFFFFFFFu).c_str());
        enabler.CloseAll();
        DiscardOutputs();
        return kExitStart;
    }
    bool written = true;
    for (auto& sink : sinks_) written = sink->Begin(facts) && written;
    if (!written) Flush();

    std::fprintf(info_, "Recording instrument %u for %.1f s (samples per channel):\n", index, options_.seconds);
    const double period = report.samplePeriodUs / 1e6;
    RowAssembler rows(report.channels.size(), [&](std::size_t row, const auto& samples) {
        for (auto& sink : sinks_) sink->Row(row, samples);
    });
    RecordingOutcome outcome;
    if (!written) {
        outcome.end = RecordingEnd::kOutputFailed;
    } else {
        outcome = RecordFor({enabler, index, options_.seconds, rows, [&] { return TakeComments(host, period); },
                             [&] { return Flush(); }, stopSignal, info_, period});
    }
    const RecordingEnd end = outcome.end;
    const double recorded = outcome.seconds;
    const std::size_t commentsBeforeStop = host.Comments().size();
    RivuCommandRecord stop{};
    enabler.DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop);
    enabler.CloseAll();

    // Every row still held goes out, then comments posted while stopping,
    // then the files are closed whole.
    rows.Finish();
    TakeComments(host, period);
    StoppedDuringCycle(host, commentsBeforeStop);
    for (auto& sink : sinks_) {
        if (!sink->End()) {
            std::fprintf(stderr, "rivu-host: %s\n", sink->Error().c_str());
            written = false;
        }
    }
    std::fprintf(info_, "Blood-pressure results: %zu, notes and errors: %zu\n", results_, notes_);
    if (rows.MalformedLines() > 0) {
        std::fprintf(stderr, "rivu-host: %zu malformed lines from ReadLine\n", rows.MalformedLines());
    }
    if (rows.LateSamples() > 0) {
        std::fprintf(stderr, "rivu-host: %zu samples came after their row was written and were left out\n",
                     rows.LateSamples());
    }
    if (written) {
        for (auto& sink : sinks_) {
            std::fprintf(info_, "Written: %s\n", sink->Where().c_str());
            for (const std::string& remark : sink->Remarks()) std::fprintf(info_, "  %s\n", remark.c_str());
        }
        std::fprintf(info_, "%zu rows, %.1f s\n", rows.Rows(), rows.Rows() * period);
    }
    AccountForRows(outcome, rows.Rows(), period);
    if (end == RecordingEnd::kStopped) {
        std::fprintf(stderr, "rivu-host: stopped by %s after %.1f s; the files are complete\n",
                     SignalName(stopSignal.load()).c_str(), recorded);
    }
    if (end == RecordingEnd::kPortFailed) {
        log.Sync();
        const std::vector<std::string> paths = log.DevicePaths();
        const std::string port = index < paths.size() ? PortProblem(paths[index]) : std::string();
        std::fprintf(stderr, "rivu-host: the instrument's port failed after %.1f s of recording%s%s\n", recorded,
                     port.empty() ? "" : ": ", port.c_str());
        for (const std::string& problem : log.TakeProblems()) std::fprintf(stderr, "  enabler: %s\n", problem.c_str());
        std::fprintf(stderr, "rivu-host: what was recorded until then is kept\n");
        return written ? kExitPortFailed : kExitOutput;
    }
    return written && end != RecordingEnd::kOutputFailed ? kExitOk : kExitOutput;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "rivu-host: %s\n%s", error.c_str(), kHelp);
        return kExitUsage;
    }
    InstallSignalHandlers();
    // With the samples on standard output, everything else goes to standard
    // error.
    // With the JSON report on standard output, too.
    std::FILE* info = options.listOnly ? (options.json ? stderr : stdout) : (options.csv == "-" ? stderr : stdout);
    Session session(options, info);
    if (!options.listOnly) {
        if (const int result = session.OpenOutputs(); result != kExitOk) return result;
    }
    return session.Run(argv[0]);
}
