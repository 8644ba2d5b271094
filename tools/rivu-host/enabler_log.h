#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/host-objects/host_log_service.h"

namespace rivu::host {

// What a problem line of the enabler says about lines the instrument sent
// and it dropped (an overlong line, rows with the wrong field count, rows
// dropped at full rings). Every dropped data row makes the rows after it one sample
// period early.
struct LineDrop {
    enum class Kind {
        kOverlongLine,   // one line up to its line feed
        kWrongFields,    // the first of a run of rows with the wrong field count
        kRingsFull,      // the first of a run of rows dropped while the rings are full
        kRingsFullCount  // the end of that run, with its count
    };
    Kind kind = Kind::kOverlongLine;
    std::size_t lines = 0;  // at least this many
};

// A problem line of that kind, as logged, and what it says.
struct LoggedDrop {
    std::string text;
    LineDrop drop;
};

// The enabler's diagnostic lines as rivu-host reads them: appended to the
// --log file when one is given, and watched for what the host cannot ask the
// exports (the port a device opens, the sampling intervals the instrument
// offers, the problem lines). On Windows the lines arrive through the log
// service; on Linux, where the enabler appends them to the file named by
// RIVU_LOG_FILE, that variable names a pipe this object reads.
class EnablerLog {
public:
    // Set up before the enabler is loaded; destroyed after it is unloaded.
    EnablerLog(HostLogService& service, const std::string& path);
    ~EnablerLog();
    EnablerLog(const EnablerLog&) = delete;
    EnablerLog& operator=(const EnablerLog&) = delete;

    // Waits until every line the enabler has written so far was read.
    void Sync();

    // Ports opened, in the order the devices were found ("devicePath: ").
    std::vector<std::string> DevicePaths() const;
    // Each found device's instance id ("interfacePath: "), in the same order;
    // the port path when the enabler logged none.
    std::vector<std::string> DeviceIdentities() const;
    // The last upload-rates line since the previous call ("" none).
    std::string TakeUploadRates();
    // Problem lines ("!!! ...", without the time and marker) since the
    // previous call.
    std::vector<std::string> TakeProblems();
    // The problem lines that say the enabler dropped lines the instrument
    // sent, since the previous call; TakeProblems still gets them too.
    std::vector<LoggedDrop> TakeDrops();

private:
    void Take(const std::string& line);

    struct Pipe;
    std::unique_ptr<Pipe> pipe_;
    mutable std::mutex mutex_;
    std::vector<std::string> devicePaths_;
    std::vector<std::string> deviceIdentities_;
    std::string uploadRates_;
    std::vector<std::string> problems_;
    std::vector<LoggedDrop> drops_;
};


// The sampling intervals, in microseconds, that an upload-rates line offers,
// worked out as the enabler does (each field in seconds, "EndOfCycle"
// skipped), ascending and without repeats.
std::vector<int> OfferedPeriods(const std::string& uploadRates);

}  // namespace rivu::host
