#include "tests/support/log_capture.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/host_com.h"
#include "plugin/host_services.h"
#include "support/com_call.h"
#include "support/zvc_string.h"

namespace rivu::test {
namespace {

#ifdef _WIN32
std::string ToUtf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A log service in COM layout that keeps its lines in memory.
struct MemoryLogService {
    const void* const* vtable;
    std::mutex mutex;
    std::vector<std::string> lines;
};

HResult ServiceQueryInterface(void* self, const Guid* iid, void** out) {
    if (iid != nullptr && (*iid == kIID_IUnknown || *iid == platform::kIID_HostLogService)) {
        *out = self;
        return kOk;
    }
    *out = nullptr;  // no host clock
    return kNoInterface;
}
std::uint32_t ServiceAddRef(void*) { return 2; }
std::uint32_t ServiceRelease(void*) { return 1; }
HResult ServiceWrite(void* self, void* line) {
    auto* service = static_cast<MemoryLogService*>(self);
    std::string text = ToUtf8(ZVC::ZVCString::ReadHostString(line));
    std::lock_guard lock(service->mutex);
    service->lines.push_back(std::move(text));
    return kOk;
}

const void* const kServiceTable[] = {
    reinterpret_cast<const void*>(&ServiceQueryInterface), reinterpret_cast<const void*>(&ServiceAddRef),
    reinterpret_cast<const void*>(&ServiceRelease), reinterpret_cast<const void*>(&ServiceWrite)};

MemoryLogService memoryLog{kServiceTable};
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
    platform::InitializeOle();
    std::uint32_t cookie = 0;
    platform::RegisterClassObject(platform::kCLSID_HostLogService, &memoryLog, cookie);
    GetLogService();  // cached from here on, for every thread
#else
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = (std::filesystem::temp_directory_path() / ("rivu-test-log-" + std::to_string(stamp) + ".log")).string();
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
    std::lock_guard lock(memoryLog.mutex);
    return memoryLog.lines;
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
    std::lock_guard lock(memoryLog.mutex);
    memoryLog.lines.clear();
#else
    std::ofstream(path_, std::ios::binary | std::ios::trunc);
#endif
}

}  // namespace rivu::test
