#include "platform/system_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/posix/utf8_text.h"

namespace rivu::platform {

bool SystemDirectoryFile(const std::u16string& name, std::u16string& path) { return false; }

std::u16string HostExecutablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return posix::FromUtf8(std::string_view(buffer.data(), static_cast<std::size_t>(length)));
        }
        buffer.resize(buffer.size() * 2);  // the link may have been cut short
    }
}

std::u16string EnvironmentVariable(const char* name) {
    if (name == nullptr) return {};
    const char* value = std::getenv(name);
    return value != nullptr ? posix::FromUtf8(value) : std::u16string();
}

}  // namespace rivu::platform
