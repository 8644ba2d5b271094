#include "rivu-host/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rivu::host {

#if !defined(O_CLOEXEC)
#define O_CLOEXEC 0
#endif
#if !defined(O_BINARY)
#define O_BINARY 0
#endif

OutputFile::~OutputFile() {
    std::string ignored;
    if (stream_ != nullptr) Close(ignored);
}

bool OutputFile::Open(const std::string& path, bool overwrite, std::string& error, bool binary) {
    path_ = path;
    if (IsStandardOutput()) {
        stream_ = stdout;
        return true;
    }
    // Created here only if it did not exist, so that a file someone else
    // made meanwhile is never taken over without being asked.
    const int mode = binary ? O_BINARY : 0;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | mode, 0644);
    if (fd >= 0) {
        created_ = true;
    } else if (errno == EEXIST) {
        struct stat status = {};
        if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            error = "cannot write " + path + ": " + std::strerror(EISDIR);
            return false;
        }
        if (!overwrite) {
            error = path + " exists; give --force to overwrite it";
            return false;
        }
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | mode);
    }
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    stream_ = ::fdopen(fd, binary ? "wb" : "w");
    if (stream_ == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::close(fd);
        Discard();
        return false;
    }
    return true;
}

bool OutputFile::Begin() {
    begun_ = true;
    if (stream_ == nullptr || IsStandardOutput() || created_) return stream_ != nullptr;
    // Only a regular file is emptied (a device such as /dev/null has nothing to cut).
    struct stat status = {};
    if (::fstat(::fileno(stream_), &status) != 0 || !S_ISREG(status.st_mode)) return true;
    if (::ftruncate(::fileno(stream_), 0) != 0) {
        writeError_ = errno;
        return false;
    }
    return true;
}

void OutputFile::Write(const std::string& text) {
    if (stream_ == nullptr || writeError_ != 0) return;
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size()) writeError_ = errno != 0 ? errno : EIO;
}

bool OutputFile::Flush(std::string& error) {
    if (stream_ != nullptr && writeError_ == 0 && std::fflush(stream_) != 0) writeError_ = errno != 0 ? errno : EIO;
    if (writeError_ == 0) return true;
    error = "cannot write " + (IsStandardOutput() ? std::string("standard output") : path_) + ": " +
            std::strerror(writeError_);
    return false;
}

bool OutputFile::Close(std::string& error) {
    if (stream_ == nullptr) return true;
    bool written = Flush(error);
    if (!IsStandardOutput() && std::fclose(stream_) != 0 && written) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        written = false;
    }
    stream_ = nullptr;
    return written;
}

std::FILE* OutputFile::Release() {
    std::FILE* stream = stream_;
    stream_ = nullptr;
    return stream;
}

void OutputFile::CloseAtLastLine() {
    if (IsStandardOutput() || path_.empty()) return;
    if (stream_ != nullptr) std::fclose(stream_);  // what stdio still holds may or may not reach the file
    stream_ = nullptr;
    const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | O_BINARY);
    if (fd < 0) return;
    // The end of the file is read back until a line feed is found.
    off_t end = ::lseek(fd, 0, SEEK_END);
    char chunk[4096];
    while (end > 0) {
        const off_t from = end > static_cast<off_t>(sizeof chunk) ? end - static_cast<off_t>(sizeof chunk) : 0;
        const auto wanted = static_cast<std::size_t>(end - from);
        if (::lseek(fd, from, SEEK_SET) != from || ::read(fd, chunk, wanted) != static_cast<ssize_t>(wanted)) break;
        std::size_t i = wanted;
        while (i > 0 && chunk[i - 1] != '\n') --i;
        if (i > 0) {
            end = from + static_cast<off_t>(i);
            break;
        }
        end = from;
    }
    if (::ftruncate(fd, end) != 0) {
        // The file stays as the system left it; the write error was reported.
    }
    ::close(fd);
}

void OutputFile::Discard() {
    if (stream_ != nullptr && !IsStandardOutput()) std::fclose(stream_);
    stream_ = nullptr;
    if (created_) ::unlink(path_.c_str());
    created_ = false;
}

}  // namespace rivu::host
