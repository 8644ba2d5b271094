#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/host-objects/host_log_service.h"

namespace rivu::host {

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

private:
    void Take(const std::string& line);

    struct Pipe;
    std::unique_ptr<Pipe> pipe_;
    mutable std::mutex mutex_;
    std::vector<std::string> devicePaths_;
    std::vector<std::string> deviceIdentities_;
    std::string uploadRates_;
    std::vector<std::string> problems_;
};

// The sampling intervals, in microseconds, that an upload-rates line offers,
// worked out as the enabler does (each field in seconds, "EndOfCycle"
// skipped), ascending and without repeats.
std::vector<int> OfferedPeriods(const std::string& uploadRates);

}  // namespace rivu::host
