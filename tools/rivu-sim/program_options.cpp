#include "rivu-sim/program_options.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace rivu::sim {

namespace {

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = text.find(',', begin);
        items.push_back(text.substr(begin, comma - begin));
        if (comma == std::string::npos) return items;
        begin = comma + 1;
    }
}

bool ReadInt(const std::string& text, int& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end;
}

// The channel columns as four lists, so that each option can replace one.
struct ColumnLists {
    std::vector<std::string> names, units, maxTexts, minTexts;
};

}  // namespace

std::string ProgramHelp() {
    return "usage: rivu-sim --kind rivu|coda [options]\n"
           "Plays a Rivu monitor or a Zarvonic CODA on a pseudo-terminal and prints the\n"
           "port to open (or writes it to --port-file). Runs until SIGTERM or SIGINT.\n"
           "\n"
           "  --kind rivu|coda       the instrument (default rivu)\n"
           "  --port-file FILE       write the slave path to FILE instead of printing it\n"
           "  --log FILE             append received commands (<) and sent lines (>)\n"
           "  --period-ms N          data row period in ms (default 20)\n"
           "  --fixed-period         ignore P<n> rate commands\n"
           "  --repeat-every N       a \"*\" field every N rows (default 0: never)\n"
           "  --cycle-s S            CODA measurement cycle period in seconds (default 10)\n"
           "  --cycle-delay-ms N     first cycle this long after WA5 (default 500)\n"
           "  --waveform-length N    values per cycle upload, even (default 160)\n"
           "  --chunk-values N       values per waveform line, even (default 16; fewer when\n"
           "                         paced at a slow rate)\n"
           "  --chunk-ms N           time between waveform lines, 1-449 (default 0: in step\n"
           "                         with the rows, chunk values x period, at most 400)\n"
           "  --channels A,B,...     channel names (default: the kind's, Time first)\n"
           "  --units A,B,...        units, one per channel\n"
           "  --max A,B,...          upper limit texts, one per channel\n"
           "  --min A,B,...          lower limit texts, one per channel\n"
           "  --firmware A.B.C       version fields 1-3\n"
           "  --interface N          version field 4 (default 1)\n"
           "  --model TEXT           version field 5 (default RV-2000; CODA: CODA)\n"
           "  --field6 TEXT          version field 6 (default 1)\n"
           "  --mark TEXT            version field 7 (default none; CODA: ZVC)\n"
           "  --no-mark              leave version field 7 out\n"
           "  --params TEXT          the params line (default: the channel names)\n"
           "  --upload-rates TEXT    the upload-rates line (default 0.1,0.05,0.02,0.01,0.005,\n"
           "                         then EndOfCycle, one field per channel)\n"
           "  --fault NAME[,NAME]    silent, rivu-coda, rivu-coda-zvc, wrong-interface,\n"
           "                         garbage, overlong-line, stalled-upload, early-result,\n"
           "                         error-flag, hang-up (repeatable)\n"
           "  --fault-after N        lines before overlong-line and hang-up act (default 20)\n"
           "  --overlong-bytes N     length of the overlong run (default 9000)\n"
           "  --version              print the version and exit\n"
           "  --help, -h             this list\n";
}

std::string ParseProgramOptions(const std::vector<std::string>& arguments, ProgramOptions& options) {
    options = ProgramOptions{};
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            return "";
        }
    }
    // The kind sets the defaults every other option changes, so it goes first.
    InstrumentKind kind = InstrumentKind::kRivu;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string value;
        if (arguments[i] == "--kind" && i + 1 < arguments.size()) {
            value = arguments[i + 1];
        } else if (arguments[i].starts_with("--kind=")) {
            value = arguments[i].substr(7);
        } else {
            continue;
        }
        if (value == "rivu") {
            kind = InstrumentKind::kRivu;
        } else if (value == "coda") {
            kind = InstrumentKind::kCoda;
        } else {
            return "--kind takes rivu or coda, not \"" + value + "\"";
        }
    }
    options.config = SimulatorConfig::ForKind(kind);
    SimulatorConfig& config = options.config;
    ColumnLists columns;
    for (const ChannelDescription& channel : config.channels) {
        columns.names.push_back(channel.name);
        columns.units.push_back(channel.unit);
        columns.maxTexts.push_back(channel.maxText);
        columns.minTexts.push_back(channel.minText);
    }

    using Setter = std::function<std::string(const std::string&)>;
    auto integer = [](int& target, const char* name) -> Setter {
        return [&target, name](const std::string& text) {
            return ReadInt(text, target) ? "" : std::string(name) + " takes a whole number, not \"" + text + "\"";
        };
    };
    auto text = [](std::string& target) -> Setter {
        return [&target](const std::string& value) {
            target = value;
            return std::string();
        };
    };
    auto list = [](std::vector<std::string>& target) -> Setter {
        return [&target](const std::string& value) {
            target = SplitList(value);
            return std::string();
        };
    };
    const std::map<std::string, Setter, std::less<>> withValue = {
        {"--kind", [](const std::string&) { return std::string(); }},
        {"--port-file", text(options.portFile)},
        {"--log", text(config.logPath)},
        {"--period-ms", integer(config.periodMs, "--period-ms")},
        {"--repeat-every", integer(config.repeatEvery, "--repeat-every")},
        {"--cycle-delay-ms", integer(config.cycleDelayMs, "--cycle-delay-ms")},
        {"--waveform-length", integer(config.waveformLength, "--waveform-length")},
        {"--chunk-values", integer(config.chunkValues, "--chunk-values")},
        {"--chunk-ms", integer(config.chunkIntervalMs, "--chunk-ms")},
        {"--fault-after", integer(config.faultAfterLines, "--fault-after")},
        {"--overlong-bytes", integer(config.overlongBytes, "--overlong-bytes")},
        {"--channels", list(columns.names)},
        {"--units", list(columns.units)},
        {"--max", list(columns.maxTexts)},
        {"--min", list(columns.minTexts)},
        {"--interface", text(config.interfaceVersion)},
        {"--model", text(config.model)},
        {"--field6", text(config.versionField6)},
        {"--mark", text(config.versionMark)},
        {"--params", text(config.paramsText)},
        {"--upload-rates", text(config.uploadRates)},
        {"--cycle-s",
         [&config](const std::string& value) {
             double seconds = 0;
             const char* end = value.data() + value.size();
             const auto [stop, error] = std::from_chars(value.data(), end, seconds);
             if (error != std::errc() || stop != end || !(seconds > 0) || seconds > 3600) {
                 return "--cycle-s takes a number of seconds, not \"" + value + "\"";
             }
             config.cyclePeriodMs = static_cast<int>(std::lround(seconds * 1000));
             return std::string();
         }},
        {"--firmware",
         [&config](const std::string& value) {
             std::vector<std::string> numbers;
             std::size_t begin = 0;
             while (true) {
                 const std::size_t dot = value.find('.', begin);
                 numbers.push_back(value.substr(begin, dot - begin));
                 if (dot == std::string::npos) break;
                 begin = dot + 1;
             }
             if (numbers.size() != 3) return "--firmware takes three numbers A.B.C, not \"" + value + "\"";
             for (std::size_t i = 0; i < 3; ++i) config.firmware[i] = numbers[i];
             return std::string();
         }},
        {"--fault",
         [&config](const std::string& value) {
             for (const std::string& name : SplitList(value)) {
                 const std::optional<Fault> fault = FaultByName(name);
                 if (!fault) return "unknown fault \"" + name + "\" (see --help)";
                 config.faults.Set(*fault);
             }
             return std::string();
         }},
    };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--no-mark") {
            config.versionMark.clear();
            continue;
        }
        if (argument == "--fixed-period") {
            config.followRateCommands = false;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const auto option = withValue.find(name);
        if (option == withValue.end()) return "unknown option \"" + argument + "\" (see --help)";
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            return name + " needs a value";
        }
        const std::string error = option->second(value);
        if (!error.empty()) return error;
    }

    const std::size_t count = columns.names.size();
    if (columns.units.size() != count || columns.maxTexts.size() != count || columns.minTexts.size() != count) {
        return "--channels, --units, --max and --min must list the same number of channels";
    }
    config.channels.clear();
    for (std::size_t i = 0; i < count; ++i) {
        config.channels.push_back({columns.names[i], columns.units[i], columns.maxTexts[i], columns.minTexts[i]});
    }
    return ValidateConfig(config);
}

}  // namespace rivu::sim
