#include "platform/host_com.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/utf8_text.h"
#include "support/com_call.h"
#include "support/host_interface.h"
#include "support/system_string.h"
#include "support/zvc_string.h"

namespace rivu::platform {
namespace {

// The log service of a process without the host: each line is appended as
// UTF-8, with a line feed, to the file named by RIVU_LOG_FILE at the time of
// the line; without the variable the line is dropped. One write per line
// with O_APPEND keeps lines whole even across processes.
void AppendToLogFile(const std::string& line) {
    const char* path = std::getenv("RIVU_LOG_FILE");
    if (path == nullptr || *path == '\0') return;
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    ::close(fd);
}

HResult SinkQueryInterface(void* self, const Guid* iid, void** out) {
    if (out == nullptr) return kPointer;
    if (iid != nullptr && (*iid == kIID_IUnknown || *iid == kIID_HostLogService)) {
        *out = self;
        return kOk;
    }
    *out = nullptr;  // no host clock here
    return kNoInterface;
}

// The sink is a static object: counting is not needed.
std::uint32_t SinkAddRef(void*) { return 2; }
std::uint32_t SinkRelease(void*) { return 1; }

HResult SinkWrite(void*, void* lineObject) {
    try {
        AppendToLogFile(posix::ToUtf8(ZVC::ZVCString::ReadHostString(lineObject)) + '\n');
        return kOk;
    } catch (...) {
        return kFail;
    }
}

struct FileSink {
    const void* const* vtable;
};

const void* const kSinkOperations[] = {
    reinterpret_cast<const void*>(&SinkQueryInterface),
    reinterpret_cast<const void*>(&SinkAddRef),
    reinterpret_cast<const void*>(&SinkRelease),
    reinterpret_cast<const void*>(&SinkWrite),
};

FileSink fileSink{kSinkOperations};

}  // namespace

HResult GetClassObject(const Guid& clsid, const Guid& iid, void** out) {
    if (out == nullptr) return kPointer;
    *out = nullptr;
    if (!(clsid == kCLSID_HostLogService)) return kClassNotAvailable;
    return SinkQueryInterface(&fileSink, &iid, out);
}

HResult InitializeOle() { return kOk; }

void UninitializeOle() {}

HResult RegisterClassObject(const Guid&, void*, std::uint32_t& cookie) {
    cookie = 1;
    return kOk;
}

void RevokeClassObject(std::uint32_t) {}

void ShowMessageBox(const std::u16string& text, const std::u16string& caption) {
    std::string line = posix::ToUtf8(caption) + ": " + posix::ToUtf8(text) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void ExitProcessWith(int exitCode) { ::_exit(exitCode); }

}  // namespace rivu::platform

namespace rivu {

void* AllocateSystemString(const char16_t* text, std::uint32_t length) {
    auto* copy = static_cast<char16_t*>(std::malloc((std::size_t{length} + 1) * sizeof(char16_t)));
    if (copy == nullptr) return nullptr;
    if (length > 0) std::memcpy(copy, text, length * sizeof(char16_t));
    copy[length] = u'\0';
    return copy;
}

void FreeSystemString(void* text) { std::free(text); }

}  // namespace rivu
