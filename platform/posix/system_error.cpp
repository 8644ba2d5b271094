#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

#include "platform/posix/utf8_text.h"

namespace rivu::platform {
namespace {

// strerror_r comes in two forms (XSI returns a status, GNU a text pointer).
[[maybe_unused]] const char* ErrorText(int status, const char* buffer) { return status == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* ErrorText(const char* text, const char*) { return text; }

}  // namespace

std::uint32_t CurrentErrorCode() { return static_cast<std::uint32_t>(errno); }

std::u16string SystemErrorText(std::uint32_t code) {
    char buffer[256] = {};
    const char* text = ErrorText(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
    return posix::FromUtf8(text != nullptr ? text : "unknown error");
}

}  // namespace rivu::platform
