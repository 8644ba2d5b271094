#pragma once
// Command line of the rivu-sim program. Portable.
//
//   rivu-sim --kind rivu|coda [options]
//
// The program opens a pseudo-terminal, prints its slave path on a line of its
// own (or, with --port-file, writes it to that file, replacing it atomically,
// and prints nothing), then plays the instrument until SIGTERM or SIGINT and
// exits with 0. Exit code 2: bad options; 1: the simulator could not start.
//
// Options (each takes its value as the next argument or after "="):
//   --kind rivu|coda       the instrument (default rivu)
//   --port-file FILE       write the slave path to FILE instead of printing it
//   --log FILE             append received commands ("<") and sent lines (">")
//   --period-ms N          data row period in ms (default 20)
//   --fixed-period         ignore P<n> rate commands
//   --repeat-every N       a "*" field every N rows (default 0: never)
//   --cycle-s S            CODA measurement cycle period in seconds, decimals
//                          allowed (default 10)
//   --cycle-delay-ms N     first cycle this long after WA5 (default 500)
//   --waveform-length N    values per cycle upload, even (default 160)
//   --chunk-values N       values per waveform line, even (default 16)
//   --chunk-ms N           time between waveform lines, 1-449 (default 0: in
//                          step with the rows, chunk values x period, <= 400)
//   --channels A,B,...     channel names (default: the kind's, "Time" first)
//   --units A,B,...        units, one per channel
//   --max A,B,...          upper limit texts, one per channel
//   --min A,B,...          lower limit texts, one per channel
//   --firmware A.B.C       version fields 1-3
//   --interface N          version field 4 (default 1)
//   --model TEXT           version field 5 (default RV-2000; CODA: CODA)
//   --field6 TEXT          version field 6 (default 1)
//   --mark TEXT            version field 7 (default: none; CODA: ZVC)
//   --no-mark              leave version field 7 out
//   --params TEXT          the params line (default: the channel names)
//   --upload-rates TEXT    the upload-rates line
//   --fault NAME[,NAME]    silent, rivu-coda, rivu-coda-zvc, wrong-interface,
//                          garbage, overlong-line, stalled-upload,
//                          early-result, error-flag, hang-up (repeatable)
//   --fault-after N        lines before overlong-line and hang-up act (default 20)
//   --overlong-bytes N     length of the overlong run (default 9000)
//   --help, -h             list the options
#include <string>
#include <vector>

#include "rivu-sim/simulator_config.h"

namespace rivu::sim {

struct ProgramOptions {
    SimulatorConfig config;
    std::string portFile;
    bool help = false;
};

// Reads the arguments after the program name. "" on success, else a message
// naming the bad option. The result is checked with ValidateConfig as well.
std::string ParseProgramOptions(const std::vector<std::string>& arguments, ProgramOptions& options);

// The option list printed by --help.
std::string ProgramHelp();

}  // namespace rivu::sim
