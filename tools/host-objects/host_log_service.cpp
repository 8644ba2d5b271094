#include "tools/host-objects/host_log_service.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/host_com.h"
#include "support/com_call.h"
#include "tools/host-objects/host_contract.h"

namespace rivu::host {
namespace {

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
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

}  // namespace

// Two interfaces on one object: the log service (table 0) and the clock
// (table 1, reached by QueryInterface; its object pointer is the second word).
struct HostLogService::Object {
    const void* const* logTable;
    const void* const* clockTable;
    HostLogService* owner;
};

struct LogServiceCalls {
    static HostLogService::Object* FromLog(void* self) { return static_cast<HostLogService::Object*>(self); }
    static HostLogService::Object* FromClock(void* self) {
        return reinterpret_cast<HostLogService::Object*>(static_cast<const void* const**>(self) - 1);
    }

    static HResult LogQueryInterface(void* self, const Guid* iid, void** out) {
        if (out == nullptr) return kPointer;
        HostLogService::Object* object = FromLog(self);
        if (iid != nullptr && (*iid == kUnknown || *iid == kLogServiceInterface)) {
            *out = object;
            return kOk;
        }
        if (iid != nullptr && *iid == kClockInterface && object->owner->clockOffered_) {
            *out = &object->clockTable;
            return kOk;
        }
        *out = nullptr;
        return kNoInterface;
    }
    static HResult ClockQueryInterface(void* self, const Guid* iid, void** out) {
        return LogQueryInterface(FromClock(self), iid, out);
    }
    // The object lives as long as its HostLogService; counting is not needed.
    static std::uint32_t AddRef(void*) { return 2; }
    static std::uint32_t Release(void*) { return 1; }
    static HResult Write(void* self, void* line) {
        if (line != nullptr) FromLog(self)->owner->Write(ReadStringObject(line));
        return kOk;
    }
    static HResult ReferenceTick(void* self, std::uint32_t* tick) {
        if (tick == nullptr) return kPointer;
        *tick = FromClock(self)->owner->referenceTick_;
        return kOk;
    }
};

namespace {

const void* const kLogTable[] = {reinterpret_cast<const void*>(&LogServiceCalls::LogQueryInterface),
                                 reinterpret_cast<const void*>(&LogServiceCalls::AddRef),
                                 reinterpret_cast<const void*>(&LogServiceCalls::Release),
                                 reinterpret_cast<const void*>(&LogServiceCalls::Write)};
const void* const kClockTable[] = {reinterpret_cast<const void*>(&LogServiceCalls::ClockQueryInterface),
                                   reinterpret_cast<const void*>(&LogServiceCalls::AddRef),
                                   reinterpret_cast<const void*>(&LogServiceCalls::Release),
                                   reinterpret_cast<const void*>(&LogServiceCalls::ReferenceTick)};
static_assert(std::size(kLogTable) == slot::kLogWrite + 1 && std::size(kClockTable) == slot::kClockTick + 1,
              "each table ends with its one operation");

}  // namespace

HostLogService::HostLogService(std::string path)
    : object_(new Object{kLogTable, kClockTable, this}), path_(std::move(path)) {}

HostLogService::~HostLogService() {
    if (cookie_ != 0) platform::RevokeClassObject(cookie_);
    delete object_;
}

bool HostLogService::Register() {
#if defined(_WIN32)
    platform::InitializeOle();
    return Succeeded(platform::RegisterClassObject(kLogServiceClass, object_, cookie_));
#else
    if (!path_.empty()) ::setenv("RIVU_LOG_FILE", path_.c_str(), 1);
    return true;
#endif
}

void HostLogService::Write(const std::u16string& line) {
    std::string text = ToUtf8(line);
    if (watcher_) watcher_(text);
    std::lock_guard lock(mutex_);
    if (!path_.empty()) std::ofstream(path_, std::ios::app | std::ios::binary) << text << '\n';
    lines_.push_back(std::move(text));
}

void HostLogService::Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

std::vector<std::string> HostLogService::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

}  // namespace rivu::host
