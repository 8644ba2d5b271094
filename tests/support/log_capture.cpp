#include "tests/support/log_capture.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/host_com.h"
#include "plugin/host_services.h"
#include "support/com_call.h"
#include "support/zvc_string.h"
#include "tools/host-objects/host_log_service.h"

namespace rivu::test {
namespace {

#ifdef _WIN32
// The host's log service, as the host application offers it.
host::HostLogService& Service() {
    static auto* service = new host::HostLogService();
    return *service;
}
#endif

std::string WithoutTimeStamp(const std::string& line) {
    std::size_t separator = line.find(": ");
    return separator == std::string::npos ? line : line.substr(separator + 2);
}

}  // namespace

LogCapture& LogCapture::Instance() {
    static LogCapture capture;
    return capture;
}

LogCapture::LogCapture() {
#ifdef _WIN32
    Service().Register();
    GetLogService();  // cached from here on, for every thread
#else
    // Test programs run side by side, several from one program: the name is this process's.
    const std::string name = "rivu-test-log-" + std::to_string(::getpid()) + ".log";
    path_ = (std::filesystem::temp_directory_path() / name).string();
    ::setenv("RIVU_LOG_FILE", path_.c_str(), 1);
#endif
}

LogCapture::~LogCapture() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
}

std::vector<std::string> LogCapture::RawLines() const {
#ifdef _WIN32
    return Service().Lines();
#else
    std::vector<std::string> lines;
    std::ifstream in(path_, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
#endif
}

std::vector<std::string> LogCapture::Lines() const {
    std::vector<std::string> lines = RawLines();
    for (std::string& line : lines) line = WithoutTimeStamp(line);
    return lines;
}

void LogCapture::Clear() {
#ifdef _WIN32
    Service().Clear();
#else
    std::ofstream(path_, std::ios::binary | std::ios::trunc);
#endif
}

}  // namespace rivu::test
