#include "tests/support/port_pair.h"

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <cstdlib>

#include "platform/serial_port.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace rivu::test {
namespace {

using Clock = std::chrono::steady_clock;

std::u16string Widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

#ifdef _WIN32

struct PortPair::Peer {
    platform::SerialPort port;
};

PortPair::PortPair() {
    const char* deviceEnd = std::getenv("RIVU_TEST_PORT_A");
    const char* peerEnd = std::getenv("RIVU_TEST_PORT_B");
    if (deviceEnd == nullptr || peerEnd == nullptr || *deviceEnd == '\0' || *peerEnd == '\0') {
        problem_ =
            "RIVU_TEST_PORT_A and RIVU_TEST_PORT_B must name two connected COM ports (for example \\\\.\\COM5 and "
            "\\\\.\\COM6, a socat-linked pseudo-terminal pair mapped in the Wine prefix; tools/wine-tests.sh does it)";
        return;
    }
    devicePath_ = Widen(deviceEnd);
    peer_ = std::make_unique<Peer>();
    if (!peer_->port.Open(Widen(peerEnd)) || !peer_->port.ApplyLineSettings(115200, platform::kRtsControlEnable) ||
        !peer_->port.ApplyTimeouts()) {
        problem_ = std::string("cannot open the peer port RIVU_TEST_PORT_B=") + peerEnd;
        peer_.reset();
        return;
    }
    // Whatever an earlier test left on the line, in both directions.
    Drain(50);
    platform::SerialPort deviceSide;
    if (deviceSide.Open(devicePath_) && deviceSide.ApplyTimeouts()) {
        // Read until the line has been quiet for 50 ms (at most two seconds).
        std::uint8_t buffer[512];
        const auto start = Clock::now();
        auto lastData = start;
        while (Clock::now() - lastData < std::chrono::milliseconds(50) &&
               Clock::now() - start < std::chrono::seconds(2)) {
            if (deviceSide.ReadAvailable(buffer, sizeof buffer) > 0) {
                lastData = Clock::now();
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
}

PortPair::~PortPair() = default;

bool PortPair::Send(std::string_view bytes) {
    if (!peer_) return false;
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 256);
        if (!peer_->port.Write(bytes.data() + done, chunk)) return false;
        done += chunk;
    }
    return true;
}

std::string PortPair::Receive(std::size_t count, int timeoutMs) {
    std::string received;
    if (!peer_) return received;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t buffer[512];
    while (received.size() < count) {
        const std::size_t got = peer_->port.ReadAvailable(buffer, std::min(sizeof buffer, count - received.size()));
        received.append(reinterpret_cast<const char*>(buffer), got);
        if (got == 0) {
            if (Clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return received;
}

bool PortPair::ClosePeer() { return false; }

#else

struct PortPair::Peer {
    int master = -1;
    int slave = -1;  // held so that the line stays up while the device end is closed
    ~Peer() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

PortPair::PortPair() {
    peer_ = std::make_unique<Peer>();
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    if (openpty(&peer_->master, &peer_->slave, name, &raw, nullptr) != 0) {
        problem_ = std::string("openpty failed: errno ") + std::to_string(errno);
        peer_.reset();
        return;
    }
    fcntl(peer_->master, F_SETFL, fcntl(peer_->master, F_GETFL) | O_NONBLOCK);
    devicePath_ = Widen(name);
}

PortPair::~PortPair() = default;

bool PortPair::Send(std::string_view bytes) {
    if (!peer_ || peer_->master < 0) return false;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t written = write(peer_->master, bytes.data() + done, bytes.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            if (Clock::now() >= deadline) return false;
            pollfd entry{peer_->master, POLLOUT, 0};
            poll(&entry, 1, 10);
        }
    }
    return true;
}

std::string PortPair::Receive(std::size_t count, int timeoutMs) {
    std::string received;
    if (!peer_ || peer_->master < 0) return received;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[512];
    while (received.size() < count) {
        const ssize_t got = read(peer_->master, buffer, std::min(sizeof buffer, count - received.size()));
        if (got > 0) {
            received.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd entry{peer_->master, POLLIN, 0};
        poll(&entry, 1, static_cast<int>(left));
    }
    return received;
}

bool PortPair::ClosePeer() {
    if (!peer_) return false;
    if (peer_->slave >= 0) close(peer_->slave);
    if (peer_->master >= 0) close(peer_->master);
    peer_->slave = peer_->master = -1;
    return true;
}

#endif

std::string PortPair::Drain(int waitMs) { return Receive(static_cast<std::size_t>(-1), waitMs); }

}  // namespace rivu::test
