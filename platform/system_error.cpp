#include "platform/system_error.h"

#include <algorithm>
#include <cstring>

namespace rivu::platform {
namespace {

// Plain data only: a thread-local with a destructor would run code of this
// library at the exit of a host thread, also after the library was unloaded.
struct RecordedFailure {
    char call[96];
    char explanation[160];
    std::uint32_t code;
    bool present;
    bool hasCode;
};
thread_local RecordedFailure recorded = {};

template <std::size_t N>
void CopyInto(char (&target)[N], std::string_view text) {
    const std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

void AppendAscii(std::u16string& out, std::string_view text) {
    for (char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
}

}  // namespace

bool RecordFailure(std::string_view call) { return RecordFailure(call, CurrentErrorCode()); }

bool RecordFailure(std::string_view call, std::uint32_t code) {
    CopyInto(recorded.call, call);
    recorded.explanation[0] = '\0';
    recorded.code = code;
    recorded.hasCode = true;
    recorded.present = true;
    return false;
}

bool RecordFailure(std::string_view call, std::string_view explanation) {
    CopyInto(recorded.call, call);
    CopyInto(recorded.explanation, explanation);
    recorded.code = 0;
    recorded.hasCode = false;
    recorded.present = true;
    return false;
}

bool FailureRecorded() { return recorded.present; }

SystemFailure TakeFailure() {
    SystemFailure failure;
    if (!recorded.present) return failure;
    failure.call = recorded.call;
    failure.code = recorded.code;
    failure.hasCode = recorded.hasCode;
    if (recorded.hasCode) {
        failure.text = SystemErrorText(recorded.code);
    } else {
        AppendAscii(failure.text, recorded.explanation);
    }
    ClearFailure();
    return failure;
}

void ClearFailure() { recorded.present = false; }

std::u16string DescribeFailure(const SystemFailure& failure) {
    std::u16string description;
    if (failure.call.empty()) {
        AppendAscii(description, "no system error recorded");
        return description;
    }
    AppendAscii(description, failure.call);
    AppendAscii(description, " failed: ");
    if (failure.hasCode) {
        AppendAscii(description, "error " + std::to_string(failure.code) + " (");
        description += failure.text;
        description += u')';
    } else {
        description += failure.text;
    }
    return description;
}

}  // namespace rivu::platform
