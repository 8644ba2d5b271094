// rivu-host: a small host for the Rivu device enabler. It loads the enabler
// exactly as the host application does (by path, exports looked up by name),
// finds and initialises instruments, shows what they report, and records from
// the first one: samples and blood-pressure comments are written to their
// files (CSV, and EDF+ if asked for) as they arrive, so a recording that ends
// early (Ctrl-C, kill, a closed terminal, a port that vanished) keeps
// everything recorded until then.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
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
    std::string csv;  // "": rivu-YYYYMMDD-HHMMSS.csv, the local time of the run
    std::string comments;  // "" : next to the CSV
    std::string edf;       // "" : none
    bool force = false;
    std::vector<std::string> ports;
    std::string simulate;
    std::string log;
    bool listOnly = false;
    bool json = false;  // with listOnly: the report as JSON on standard output
    int device = -1;    // --device: the instrument to record from; -1 the first usable one
    bool quiet = false;  // only errors and warnings
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
    "  --seconds N        how long to record (default 10, at most 10000000, about\n"
    "                     115 days; Ctrl-C stops early)\n"
    "  --period-us N      sampling interval to select, in microseconds (default: the\n"
    "                     instrument's; the device report lists those offered)\n"
    "  --csv FILE         where the samples go (default rivu-YYYYMMDD-HHMMSS.csv at\n"
    "                     the local start time; - for standard output, messages\n"
    "                     then go to standard error)\n"
    "  --comments FILE    where blood-pressure results, notes and errors go (default:\n"
    "                     the CSV's name with -comments.csv; none with --csv -)\n"
    "  --edf FILE         also write the recording as EDF+: one signal per channel,\n"
    "                     the comments as annotations\n"
    "  --force            overwrite existing output files\n"
    "  --device N         record from instrument N of the report (default: the\n"
    "                     first one that can be used)\n"
    "  --list             describe the instruments found, do not record\n"
    "  --json             with --list: the device report as JSON on standard output\n"
    "  --log FILE         append the enabler's diagnostic lines to FILE\n"
    "  -q, --quiet        print only errors and warnings\n"
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

// Two names of one existing file ("a.csv", "./a.csv").
bool SameFile(const std::string& a, const std::string& b) {
#if defined(_WIN32)
    return a == b;
#else
    struct stat first = {}, second = {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
#endif
}

// rivu-YYYYMMDD-HHMMSS.csv at the local time: a second run does not meet
// the first one's file.
std::string DefaultCsvName() {
    const std::time_t now = std::time(nullptr);
    char name[64] = "rivu-recording.csv";
    if (const std::tm* local = std::localtime(&now)) std::strftime(name, sizeof name, "rivu-%Y%m%d-%H%M%S.csv", local);
    return name;
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // A value that looks like an option ("--csv --edf x") is a
        // forgotten value, not a file name.
        auto value = [&](std::string& out) {
            if (i + 1 >= argc || (std::strncmp(argv[i + 1], "--", 2) == 0)) {
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
        } else if (arg == "--device") {
            if (!value(text)) return false;
            char* end = nullptr;
            const long number = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || number < 0 || number > 1000) {
                error = "--device needs an instrument's number (0, 1, ...), not \"" + text + "\"";
                return false;
            }
            options.device = static_cast<int>(number);
        } else if (arg == "--list") {
            options.listOnly = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
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
                error = arg + " needs a positive number up to 10000000, not \"" + text + "\"";
                return false;
            }
            if (arg == "--period-us" && number != static_cast<int>(number)) {
                error = "--period-us needs a whole number of microseconds, not \"" + text + "\"";
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
    if (options.csv.empty()) options.csv = DefaultCsvName();
    if (options.comments == "-") {
        error = options.csv.empty() ? "--csv needs a file name or -" : "--comments needs a file name";
        return false;
    }
    if (options.comments == options.csv || (!options.comments.empty() && SameFile(options.comments, options.csv))) {
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

// UTC with milliseconds: 2026-12-08T13:45:00.125Z.
std::string UtcText(std::chrono::system_clock::time_point moment) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(moment);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(moment.time_since_epoch()).count() % 1000;
    char text[32] = {};
    if (const std::tm* utc = std::gmtime(&seconds)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
    char whole[48];
    std::snprintf(whole, sizeof whole, "%s.%03dZ", text, static_cast<int>(milliseconds));
    return whole;
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
    // Initialises and describes every instrument found, reporting each;
    // the reports of those that cannot be used say why (problem).
    DeviceReport Describe(EnablerLibrary& enabler, EnablerLog& log, unsigned int index, int& code);
    std::string InitialiseProblem(EnablerLibrary& enabler, EnablerLog& log, unsigned int index,
                                  const std::vector<std::string>& logged);
    // Runs a step that may block for long (Initialise waits up to 16 s for an
    // instrument that does not answer) on a thread of its own, says once a
    // second what it waits for, and ends the run when a stop signal arrives.
    // tick runs every few milliseconds while the step is under way.
    // tick may end the wait early (true): the step then goes on by itself,
    // and RunStep returns false.
    bool RunStep(const std::function<void()>& step, const std::string& waitingFor,
                 const std::function<bool()>& tick = {});
    // An Initialise whose wait was ended early has not returned yet: the
    // enabler is then neither closed nor unloaded, the process just ends.
    bool Unfinished() const;
    void CloseAll(EnablerLibrary& enabler);
    // Ends the run before anything was recorded: the outputs this run made
    // are removed, the simulated instrument is stopped. The enabler may still
    // be inside an export on another thread, so the process ends without
    // unloading it; the system closes its port.
    [[noreturn]] void Abandon(int code);
    bool TakeComments(HostObjects& host, double period);
    void StoppedDuringCycle(const HostObjects& host, std::size_t beforeStop) const;
    void AccountForRows(const RecordingOutcome& outcome, std::size_t rows, double period) const;
    // Lines the enabler dropped while recording: each is a comment at the
    // row where it was noticed (the rows the enabler had delivered by then),
    // and the end of the run counts them.
    void NoticeDrops(EnablerLog& log);
    void PlaceDrops(std::size_t row, double period);
    std::size_t LinesDropped(bool& atLeast) const;
    void ReportDrops() const;
    bool Flush();
    // Says once per output why it could not be written.
    void ReportFailure(std::size_t sink);
    void DiscardOutputs();

    const Options& options_;
    std::FILE* info_;
    std::vector<std::unique_ptr<RecordingSink>> sinks_;
    std::vector<bool> reported_;  // each output's failure was told
    std::unique_ptr<SimulatedInstrument> instrument_;
    std::vector<std::shared_ptr<std::atomic<bool>>> unfinished_;
    std::size_t commentsTaken_ = 0;
    std::size_t results_ = 0, notes_ = 0;
    std::vector<LoggedDrop> dropsNoticed_;  // logged, not yet placed at a row
    struct PlacedDrop {
        std::size_t row;
        LineDrop drop;
    };
    std::vector<PlacedDrop> drops_;
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

bool Session::RunStep(const std::function<void()>& step, const std::string& waitingFor,
                      const std::function<bool()>& tick) {
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
        if (tick && tick()) {
            // The step goes on by itself; the enabler must stay loaded and
            // untouched by CloseAll until it returns (see Unfinished).
            worker.detach();
            unfinished_.push_back(done);
            return false;
        }
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
    return true;
}

bool Session::Unfinished() const {
    return std::any_of(unfinished_.begin(), unfinished_.end(), [](const auto& done) { return !done->load(); });
}

void Session::CloseAll(EnablerLibrary& enabler) {
    if (Unfinished()) return;  // the process ends without it (Run)
    enabler.CloseAll();
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
    if (Unfinished()) {
        // An Initialise still runs inside the enabler: leave it loaded and
        // let the system close its ports.
        instrument_.reset();
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(result);
    }
    enabler.Unload();
    return result;
}

// The identity FindDevice matches, from the enabler's interface path: the
// serial-number part after the last '+' ("\\?\ftdibus#vid_0403+pid_6001+
// ksc01234a#0000#{...}" gives KSC01234A); "" for a port named without one.
std::string PortIdentity(const std::string& interfacePath) {
    const std::size_t plus = interfacePath.rfind('+');
    if (plus == std::string::npos) return {};
    std::string identity = interfacePath.substr(plus + 1, interfacePath.find_first_of("#\\", plus) - plus - 1);
    for (char& c : identity) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return identity;
}

// What the system said of a port the enabler could not open (a log line
// "port P not opened: CALL failed: error N (TEXT)"), with what to do.
std::string PortLogProblem(const std::vector<std::string>& logged) {
    for (const std::string& line : logged) {
        if (line.rfind("port ", 0) != 0 || line.find(" not opened: ") == std::string::npos) continue;
        std::string text = line;
        if (line.find("isatty failed") != std::string::npos) {
            text += " (not a serial port: name the instrument's port, /dev/ttyUSB0 or the like)";
        } else if (line.find("flock failed") != std::string::npos) {
            text += " (the port is busy: another program, perhaps another rivu-host, has it open)";
        }
        return text;
    }
    return {};
}

// The one reason that applies, most particular first: the instrument's own
// refusal, else what the system said of its port (opening it here, or the
// enabler's log), else the enabler's general message. The enabler's own text
// (the one the host application shows) follows when it is not the reason.
std::string Session::InitialiseProblem(EnablerLibrary& enabler, EnablerLog& log, unsigned int index,
                                       const std::vector<std::string>& logged) {
    const std::string own = enabler.LastError(index);
    const std::string general = enabler.LastError(0xFFFFFFFFu);
    log.Sync();
    const std::vector<std::string> paths = log.DevicePaths();
    const std::vector<std::string> identities = log.DeviceIdentities();
    const std::string path = index < paths.size() ? paths[index] : std::string();
    std::string why = own;
    if (why.empty()) why = PortProblem(path);
    if (why.empty()) why = PortLogProblem(logged);
    if (why.empty()) return general.empty() ? "the instrument did not initialise" : general;
    if (own.empty() && !general.empty()) why += "\n  the enabler's message: " + general;
    // A CODA on a port named without its id is taken for a Rivu CODA: the
    // enabler knows a Zarvonic CODA by the ZVCCODA in its port's identity.
    const std::string identity = index < identities.size() ? identities[index] : std::string();
    if (own.find("Rivu CODA") != std::string::npos && identity.find("ZVCCODA") == std::string::npos) {
        why += "\n  if it is a Zarvonic CODA on a port named with --port, give the port its id: --port " +
               (path.empty() ? std::string("PATH") : path) + "=ZVCCODA0001A";
    }
    return why;
}

DeviceReport Session::Describe(EnablerLibrary& enabler, EnablerLog& log, unsigned int index, int& code) {
    DeviceReport report;
    log.Sync();
    log.TakeProblems();
    // A refusal the enabler stores at once (a Rivu CODA, wrong firmware)
    // leaves Initialise waiting out its 16 s: a per-device message that is
    // not followed by the end of Initialise within kRefusalGrace ends the
    // wait, and the instrument counts as refused. (A warning, such as a CODA
    // without its brand mark, is followed by the rest of the handshake and
    // Initialise returns well within that time.)
    constexpr auto kRefusalGrace = std::chrono::seconds(2);
    auto initialised = std::make_shared<std::atomic<int>>(0);
    std::optional<std::chrono::steady_clock::time_point> messageAt;
    auto watchRefusal = [&] {
        if (!messageAt) {
            if (enabler.GetLastErrorMsg(index, nullptr) <= 1) return false;
            messageAt = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - *messageAt >= kRefusalGrace;
    };
    EnablerLibrary* library = &enabler;
    const bool returned = RunStep([library, index, initialised] { initialised->store(library->Initialise(index)); },
                                  "instrument " + std::to_string(index) + " to answer (at most 16 s)", watchRefusal);
    log.Sync();
    const std::vector<std::string> logged = log.TakeProblems();
    const std::vector<std::string> paths = log.DevicePaths();
    const std::vector<std::string> identities = log.DeviceIdentities();
    if (index < paths.size()) report.port = paths[index];
    if (index < identities.size()) report.identity = PortIdentity(identities[index]);
    if (!returned || initialised->load() == 0) {
        code = kExitInitialise;
        report.problem = InitialiseProblem(enabler, log, index, logged);
        return report;
    }
    // What the enabler says of an instrument it initialised: a warning (it
    // is used all the same), or why its channel description was refused.
    const std::string message = enabler.LastError(index);

    std::string error;
    bool described = false;
    RunStep([&] { described = QueryDevice(enabler, index, report, error); },
            "instrument " + std::to_string(index) + " to describe its channels");
    // An instrument whose channel description the enabler refused has no
    // channels and is failed; its message says why.
    if (described && (enabler.IsFailed(index) == 1 || report.channels.empty())) {
        described = false;
        error = !message.empty() ? message : "the instrument has no channels";
    }
    if (!described) {
        code = kExitQuery;
        report.problem = "it did not describe its channels: " + error;
        return report;
    }
    if (!message.empty()) std::fprintf(stderr, "rivu-host: instrument %u: %s\n", index, message.c_str());
    // The channel description follows the upload rates in the handshake,
    // so the instrument's rates are in the log by now.
    report.offeredPeriodsUs = OfferedPeriods(log.TakeUploadRates());
    code = kExitOk;
    return report;
}

bool Session::Flush() {
    bool written = true;
    for (std::size_t i = 0; i < sinks_.size(); ++i) {
        if (!sinks_[i]->Flush()) {
            ReportFailure(i);
            written = false;
        }
    }
    return written;
}

void Session::ReportFailure(std::size_t sink) {
    if (sink < reported_.size() && reported_[sink]) return;
    if (sink < reported_.size()) reported_[sink] = true;
    std::fprintf(stderr, "rivu-host: %s\n", sinks_[sink]->Error().c_str());
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
        std::fprintf(info_, "  at %.3f s (sample %d, %s): %s\n", entry.seconds, entry.sample, channel.c_str(),
                     entry.text.c_str());
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

void Session::NoticeDrops(EnablerLog& log) {
    for (LoggedDrop& drop : log.TakeDrops()) dropsNoticed_.push_back(std::move(drop));
}

void Session::PlaceDrops(std::size_t row, double period) {
    using Kind = LineDrop::Kind;
    for (const LoggedDrop& logged : dropsNoticed_) {
        const LineDrop& drop = logged.drop;
        CommentEntry entry;
        entry.sample = static_cast<std::int32_t>(row);
        entry.seconds = static_cast<double>(row) * period;
        entry.text = "enabler: " + logged.text;
        switch (drop.kind) {
            case Kind::kOverlongLine:
                entry.text += "; later rows are one sample period early";
                break;
            case Kind::kWrongFields:
                entry.text += "; later rows are one sample period early for each row dropped";
                break;
            case Kind::kRingsFull:
                entry.text += "; later rows are early by the rows dropped";
                break;
            case Kind::kRingsFullCount:
                entry.text += "; later rows are " + std::to_string(drop.lines) + " sample periods early";
                break;
        }
        std::fprintf(info_, "  at %.3f s (sample %d, no channel): %s\n", entry.seconds, entry.sample,
                     entry.text.c_str());
        for (auto& sink : sinks_) sink->Comment(entry);
        drops_.push_back({row, drop});
    }
    dropsNoticed_.clear();
}

// A run of rows with the wrong field count is logged once, at its first row,
// and a run of rows dropped at full rings without its count when the
// recording ended within it: then there were at least that many.
std::size_t Session::LinesDropped(bool& atLeast) const {
    using Kind = LineDrop::Kind;
    std::size_t lines = 0;
    bool fullRun = false;
    atLeast = false;
    for (const PlacedDrop& placed : drops_) {
        lines += placed.drop.lines;
        if (placed.drop.kind == Kind::kWrongFields) atLeast = true;
        if (placed.drop.kind == Kind::kRingsFull) fullRun = true;
        if (placed.drop.kind == Kind::kRingsFullCount) fullRun = false;
    }
    if (fullRun) {
        atLeast = true;
        lines = std::max<std::size_t>(lines, 1);
    }
    return lines;
}

void Session::ReportDrops() const {
    if (drops_.empty()) return;
    bool atLeast = false;
    const std::size_t lines = LinesDropped(atLeast);
    std::string rows;
    for (std::size_t i = 0; i < drops_.size(); ++i) {
        if (i == 10) {
            rows += ", ...";
            break;
        }
        rows += (i == 0 ? "" : ", ") + std::to_string(drops_[i].row);
    }
    std::fprintf(stderr,
                 "rivu-host: %s%zu line%s the instrument sent %s dropped by the enabler; later rows are shifted one "
                 "sample period earlier for each (noticed at row%s %s, marked there among the comments)\n",
                 atLeast ? "at least " : "", lines, lines == 1 ? "" : "s", lines == 1 && !atLeast ? "was" : "were",
                 drops_.size() == 1 ? "" : "s", rows.c_str());
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
    // Of the rows sent but not in the files, those the enabler dropped are
    // reported above; the rest came while the stop was on its way.
    const std::uint64_t sent = instrument_->RowsSent();
    bool atLeast = false;
    const std::uint64_t missing = sent > rows ? sent - rows : 0;
    const std::uint64_t dropped = std::min<std::uint64_t>(LinesDropped(atLeast), missing);
    const std::uint64_t late = missing - dropped;
    if (missing == 0) {
        std::fprintf(info_, "Every row the simulated instrument sent (%llu) is in the files.\n",
                     static_cast<unsigned long long>(sent));
        return;
    }
    std::fprintf(info_, "The simulated instrument sent %llu rows", static_cast<unsigned long long>(sent));
    if (dropped > 0) {
        std::fprintf(info_, "; the enabler dropped %llu of them (see above)", static_cast<unsigned long long>(dropped));
    }
    if (late > 0) {
        std::fprintf(info_,
                     "; the last %llu came while the stop was on its way and are not in the files\n(the enabler "
                     "discards rows once it has asked the instrument to stop).\n",
                     static_cast<unsigned long long>(late));
    } else {
        std::fprintf(info_, "; every other one is in the files.\n");
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
        if (options_.json) std::fputs("[]\n", stdout);
        DiscardOutputs();
        return kExitNoDevice;
    }
    std::fprintf(info_, "Found %zu instrument(s)\n", devices.size());

    std::vector<DeviceReport> reports;
    std::vector<int> codes;
    for (unsigned int index : devices) {
        int code = kExitOk;
        reports.push_back(Describe(enabler, log, index, code));
        codes.push_back(code);
        if (!options_.json) PrintReport(reports.back(), index, info_);
    }
    // The instrument to record from: the one asked for, else the first
    // that can be used.
    std::size_t chosen = devices.size();
    if (options_.device >= 0) {
        for (std::size_t d = 0; d < devices.size(); ++d) {
            if (devices[d] == static_cast<unsigned int>(options_.device)) chosen = d;
        }
        if (chosen == devices.size()) {
            std::fprintf(stderr, "rivu-host: there is no instrument %d (found: %zu, numbered from 0)\n",
                         options_.device, devices.size());
            CloseAll(enabler);
            DiscardOutputs();
            return kExitNoDevice;
        }
    } else {
        for (std::size_t d = 0; d < devices.size() && chosen == devices.size(); ++d) {
            if (codes[d] == kExitOk) chosen = d;
        }
    }
    // The reasons of instruments that cannot be used are in the report; an
    // error line names the one that stops the run.
    auto refuse = [&](std::size_t d) {
        std::fprintf(stderr, "rivu-host: instrument %u cannot be used: %s\n", devices[d], reports[d].problem.c_str());
        return codes[d];
    };
    if (options_.listOnly) {
        if (options_.json) std::fputs(DevicesJson(reports, devices).c_str(), stdout);
        CloseAll(enabler);
        if (options_.device >= 0) return codes[chosen] == kExitOk ? kExitOk : refuse(chosen);
        return chosen < devices.size() ? kExitOk : refuse(0);
    }
    if (chosen == devices.size() || codes[chosen] != kExitOk) {
        CloseAll(enabler);
        DiscardOutputs();
        return refuse(chosen == devices.size() ? 0 : chosen);
    }

    const unsigned int index = devices[chosen];
    DeviceReport& report = reports[chosen];
    if (options_.periodUs > 0) {
        RivuCommandRecord record{};
        record.argument = options_.periodUs;
        if (!enabler.DeviceCommand(index, RIVU_CMD_SET_SAMPLE_PERIOD, &record)) {
            std::fprintf(stderr,
                         "rivu-host: the instrument does not offer a sampling interval of %d us (offered: %s)\n",
                         options_.periodUs, PeriodList(report.offeredPeriodsUs).c_str());
            CloseAll(enabler);
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
            CloseAll(enabler);
            DiscardOutputs();
            return kExitOutput;
        }
    }
    // The outputs begin (their facts and headers written) before the
    // instrument starts, so that a disk that is full from the start is
    // found before anything is recorded.
    RecordingFacts facts;
    facts.device = &report;
    const auto now = std::chrono::system_clock::now();
    facts.started = std::chrono::system_clock::to_time_t(now);
    facts.startTime = UtcText(now);
    reported_.assign(sinks_.size(), false);
    bool written = true;
    for (auto& sink : sinks_) written = sink->Begin(facts) && written;
    if (!written || !Flush()) {
        for (std::size_t i = 0; i < sinks_.size(); ++i) {
            if (!sinks_[i]->Error().empty()) ReportFailure(i);
        }
        std::fprintf(stderr, "rivu-host: the instrument was not started\n");
        CloseAll(enabler);
        DiscardOutputs();
        return kExitOutput;
    }
    // Lines dropped until now were not data rows.
    log.Sync();
    log.TakeDrops();
    bool started = false;
    RunStep([&] { started = enabler.DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr) == 1; },
            "instrument " + std::to_string(index) + " to start sampling");
    if (!started) {
        std::fprintf(stderr, "rivu-host: the instrument did not start sampling.\n%s\n",
                     enabler.LastError(0xFFFFFFFFu).c_str());
        CloseAll(enabler);
        DiscardOutputs();
        return kExitStart;
    }

    std::fprintf(info_, "Recording instrument %u for %.1f s (samples per channel):\n", index, options_.seconds);
    const double period = report.samplePeriodUs / 1e6;
    RowAssembler rows(report.channels.size(), [&](std::size_t row, const auto& samples) {
        for (auto& sink : sinks_) sink->Row(row, samples);
    });
    RecordingOutcome outcome;
    if (!written) {
        outcome.end = RecordingEnd::kOutputFailed;
    } else {
        // A drop is logged after the rows stored before it, so once a round
        // that began after its notice has emptied the enabler, every row the
        // instrument sent before the dropped line has been delivered.
        RecordingLoop loop{enabler, index, options_.seconds, rows, [&] { return TakeComments(host, period); },
                           [&] { return Flush(); }, stopSignal, info_, period};
        loop.beforeDrain = [&] {
            log.Sync();
            NoticeDrops(log);
        };
        loop.afterDrain = [&](bool emptied) {
            if (emptied) PlaceDrops(rows.RowsHeld(), period);
        };
        outcome = RecordFor(loop);
        // The last lines the enabler logged before the stop.
        log.Sync();
        NoticeDrops(log);
        PlaceDrops(rows.RowsHeld(), period);
    }
    const RecordingEnd end = outcome.end;
    const double recorded = outcome.seconds;
    const std::size_t commentsBeforeStop = host.Comments().size();
    RivuCommandRecord stop{};
    enabler.DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop);
    // An instrument refused early may still be inside Initialise (at most
    // its 16 s): CloseAll waits for it.
    for (int waited = 0; Unfinished() && waited < 170; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    CloseAll(enabler);

    // Every row still held goes out, then comments posted while stopping,
    // then the files are closed whole.
    rows.Finish();
    TakeComments(host, period);
    StoppedDuringCycle(host, commentsBeforeStop);
    for (std::size_t i = 0; i < sinks_.size(); ++i) {
        if (!sinks_[i]->End()) {
            ReportFailure(i);
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
    // Every output is listed: whole, or whole up to its write failure.
    for (std::size_t i = 0; i < sinks_.size(); ++i) {
        const RecordingSink& sink = *sinks_[i];
        if (!sink.Kept()) continue;
        const bool whole = !reported_[i];
        std::fprintf(info_, "%s %s\n", whole ? "Written:" : "Written up to the write failure:", sink.Where().c_str());
        if (whole) {
            for (const std::string& remark : sink.Remarks()) std::fprintf(info_, "  %s\n", remark.c_str());
        }
    }
    std::fprintf(info_, "%zu rows, %.1f s\n", rows.Rows(), rows.Rows() * period);
    ReportDrops();
    AccountForRows(outcome, rows.Rows(), period);
    if (end == RecordingEnd::kStopped) {
        std::fprintf(stderr, "rivu-host: stopped by %s after %.1f s%s\n", SignalName(stopSignal.load()).c_str(),
                     recorded, written ? "; the files are complete" : "");
    }
    if (end == RecordingEnd::kOutputFailed) {
        std::fprintf(stderr, "rivu-host: the recording stopped at the first write failure, after %.1f s\n", recorded);
    }
    if (end == RecordingEnd::kPortFailed) {
        log.Sync();
        const std::vector<std::string> paths = log.DevicePaths();
        const std::string port = index < paths.size() ? PortProblem(paths[index]) : std::string();
        std::fprintf(stderr, "rivu-host: the instrument's port failed after %.1f s of recording%s%s\n", recorded,
                     port.empty() ? "" : ": ", port.c_str());
        for (const std::string& problem : log.TakeProblems()) std::fprintf(stderr, "  enabler: %s\n", problem.c_str());
        std::fprintf(stderr, "rivu-host: what was recorded until then is kept\n");
        return kExitPortFailed;
    }
    return written && end != RecordingEnd::kOutputFailed ? kExitOk : kExitOutput;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "rivu-host: %s (see rivu-host --help)\n", error.c_str());
        return kExitUsage;
    }
    InstallSignalHandlers();
    // With the samples on standard output, everything else goes to standard
    // error.
    // With the JSON report on standard output, too.
    std::FILE* info = options.listOnly ? (options.json ? stderr : stdout) : (options.csv == "-" ? stderr : stdout);
    // Messages on standard output go out line by line, so that they stay in
    // order with standard error when both go to one file.
    if (info == stdout) std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
    if (options.quiet) {
#if defined(_WIN32)
        info = std::fopen("NUL", "w");
#else
        info = std::fopen("/dev/null", "w");
#endif
        if (info == nullptr) info = stderr;
    }
    Session session(options, info);
    if (!options.listOnly) {
        if (const int result = session.OpenOutputs(); result != kExitOk) return result;
    }
    return session.Run(argv[0]);
}
