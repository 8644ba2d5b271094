#include "rivu-host/enabler_log.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <utility>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <thread>
#endif

namespace rivu::host {

namespace {

// A log line is "<seconds>: <label><text>"; the text after the first ": ".
bool AfterLabel(const std::string& line, const std::string& label, std::string& text) {
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos || line.compare(colon + 2, label.size(), label) != 0) return false;
    text = line.substr(colon + 2 + label.size());
    return true;
}

// What a problem line says about lines the instrument sent and the enabler
// dropped; nothing for any other problem.
std::optional<LineDrop> DroppedLines(const std::string& problem) {
    using Kind = LineDrop::Kind;
    auto startsWith = [&](const char* prefix) { return problem.rfind(prefix, 0) == 0; };
    if (startsWith("line longer than the receive ring dropped")) return LineDrop{Kind::kOverlongLine, 1};
    // Logged when the rings fill; the count follows once they have room again.
    if (startsWith("data rows dropped: the host has not taken the samples")) return LineDrop{Kind::kRingsFull, 0};
    const char kWhileFull[] = "data rows dropped while the rings were full: ";
    if (startsWith(kWhileFull)) {
        const char* count = problem.c_str() + sizeof kWhileFull - 1;
        return LineDrop{Kind::kRingsFullCount, static_cast<std::size_t>(std::strtoull(count, nullptr, 10))};
    }
    if (startsWith("data rows dropped: ")) return LineDrop{Kind::kWrongFields, 1};
    return std::nullopt;
}

// Written by Sync into the pipe and never by the enabler.
constexpr char kSyncMark[] = "\x01sync";

}  // namespace

#if defined(_WIN32)

struct EnablerLog::Pipe {};

EnablerLog::EnablerLog(HostLogService& service, const std::string&) {
    service.SetLineWatcher([this](const std::string& line) { Take(line); });
}
EnablerLog::~EnablerLog() = default;
void EnablerLog::Sync() {}

#else

struct EnablerLog::Pipe {
    int readEnd = -1, writeEnd = -1;
    std::string path;
    std::thread reader;
    std::mutex mutex;
    std::condition_variable synced;
    unsigned long long syncsSent = 0, syncsSeen = 0;
};

EnablerLog::EnablerLog(HostLogService&, const std::string& path) : pipe_(std::make_unique<Pipe>()) {
    // A log file named in the environment still gets the lines.
    const char* configured = std::getenv("RIVU_LOG_FILE");
    const std::string file = !path.empty() ? path : configured != nullptr ? configured : "";
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        // Without a pipe the lines still reach the file; nothing is watched.
        if (!file.empty()) ::setenv("RIVU_LOG_FILE", file.c_str(), 1);
        pipe_.reset();
        return;
    }
    pipe_->readEnd = ends[0];
    pipe_->writeEnd = ends[1];
    pipe_->path = file;
    ::setenv("RIVU_LOG_FILE", ("/proc/self/fd/" + std::to_string(ends[1])).c_str(), 1);
    pipe_->reader = std::thread([this] {
        std::ofstream file;
        if (!pipe_->path.empty()) file.open(pipe_->path, std::ios::app | std::ios::binary);
        std::string pending;
        char chunk[4096];
        for (;;) {
            const ssize_t count = ::read(pipe_->readEnd, chunk, sizeof chunk);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) break;
            pending.append(chunk, static_cast<std::size_t>(count));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                const std::string line = pending.substr(0, end);
                if (line == kSyncMark) {
                    std::lock_guard lock(pipe_->mutex);
                    ++pipe_->syncsSeen;
                    pipe_->synced.notify_all();
                    continue;
                }
                if (file.is_open()) file << line << '\n' << std::flush;
                Take(line);
            }
        }
    });
}

EnablerLog::~EnablerLog() {
    if (!pipe_) return;
    ::unsetenv("RIVU_LOG_FILE");
    ::close(pipe_->writeEnd);
    pipe_->reader.join();
    ::close(pipe_->readEnd);
}

void EnablerLog::Sync() {
    if (!pipe_) return;
    std::unique_lock lock(pipe_->mutex);
    const unsigned long long mark = ++pipe_->syncsSent;
    const std::string line = std::string(kSyncMark) + "\n";
    if (::write(pipe_->writeEnd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return;
    pipe_->synced.wait_for(lock, std::chrono::seconds(2), [&] { return pipe_->syncsSeen >= mark; });
}

#endif

void EnablerLog::Take(const std::string& line) {
    std::string text;
    std::lock_guard lock(mutex_);
    if (AfterLabel(line, "devicePath: ", text)) {
        devicePaths_.push_back(text);
        deviceIdentities_.push_back(text);
    } else if (AfterLabel(line, "interfacePath: ", text)) {
        if (!deviceIdentities_.empty()) deviceIdentities_.back() = text;
    } else if (AfterLabel(line, "upload rates: ", text)) {
        uploadRates_ = text;
    } else if (const std::size_t mark = line.find(": !!! "); mark != std::string::npos) {
        problems_.push_back(line.substr(mark + 6));
        if (const std::optional<LineDrop> drop = DroppedLines(problems_.back())) {
            drops_.push_back({problems_.back(), *drop});
        }
    }
}

std::vector<std::string> EnablerLog::DevicePaths() const {
    std::lock_guard lock(mutex_);
    return devicePaths_;
}

std::vector<std::string> EnablerLog::DeviceIdentities() const {
    std::lock_guard lock(mutex_);
    return deviceIdentities_;
}

std::string EnablerLog::TakeUploadRates() {
    std::lock_guard lock(mutex_);
    return std::exchange(uploadRates_, {});
}

std::vector<std::string> EnablerLog::TakeProblems() {
    std::lock_guard lock(mutex_);
    return std::exchange(problems_, {});
}

std::vector<LoggedDrop> EnablerLog::TakeDrops() {
    std::lock_guard lock(mutex_);
    return std::exchange(drops_, {});
}

std::vector<int> OfferedPeriods(const std::string& uploadRates) {
    std::vector<int> periods;
    std::istringstream fields(uploadRates);
    for (std::string field; std::getline(fields, field, ',');) {
        while (!field.empty() && (field.back() == '\r' || field.back() == ' ')) field.pop_back();
        if (field == "EndOfCycle") continue;
        char* end = nullptr;
        const double seconds = std::strtod(field.c_str(), &end);
        if (end == field.c_str()) continue;
        int key = static_cast<int>(static_cast<float>(seconds) * 1000000.0f);
        if (key >= 19999 && key <= 20001) key = 20000;
        if (key > 0) periods.push_back(key);
    }
    std::sort(periods.begin(), periods.end());
    periods.erase(std::unique(periods.begin(), periods.end()), periods.end());
    return periods;
}

}  // namespace rivu::host
