#include "rivu-sim/pseudo_terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rivu::sim {

namespace {

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool PseudoTerminal::Open(std::string& error) {
    Close();
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0) {
        error = SystemError("posix_openpt");
        return false;
    }
    char path[128] = {};
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, path, sizeof path) != 0) {
        error = SystemError("pseudo-terminal slave");
        Close();
        return false;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    slavePath_ = path;
    slaveHold_ = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (slaveHold_ < 0 || tcgetattr(slaveHold_, &settings) != 0) {
        error = SystemError("pseudo-terminal slave");
        Close();
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    if (tcsetattr(slaveHold_, TCSANOW, &settings) != 0) {
        error = SystemError("raw mode");
        Close();
        return false;
    }
    return true;
}

void PseudoTerminal::Close() {
    if (master_ >= 0) close(master_);
    if (slaveHold_ >= 0) close(slaveHold_);
    master_ = -1;
    slaveHold_ = -1;
}

std::size_t PseudoTerminal::PendingForSlave() const {
    int pending = 0;
    if (slaveHold_ < 0 || ioctl(slaveHold_, FIONREAD, &pending) != 0 || pending < 0) return 0;
    return static_cast<std::size_t>(pending);
}

ssize_t PseudoTerminal::Read(char* buffer, std::size_t size) { return read(master_, buffer, size); }

ssize_t PseudoTerminal::Write(const char* bytes, std::size_t size) { return write(master_, bytes, size); }

}  // namespace rivu::sim
