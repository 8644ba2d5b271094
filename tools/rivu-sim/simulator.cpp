#include "rivu-sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "rivu-sim/command_framer.h"
#include "rivu-sim/instrument.h"
#include "rivu-sim/line_output.h"

namespace rivu::sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Before a hang-up, the port gets this long to read the lines already sent.
constexpr milliseconds kHangUpDrainLimit{2000};
constexpr milliseconds kHangUpCheck{10};

std::string Describe(const OutputPiece& piece) {
    return std::to_string(piece.bytes.size()) +
           (piece.kind == OutputPiece::Kind::kNoise ? " bytes of noise" : " bytes without a line feed");
}

}  // namespace

Simulator::Simulator(SimulatorConfig config) : config_(std::move(config)), log_(config_.keepSentLines) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start() {
    if (started_) {
        Fail("the simulator was already started");
        return false;
    }
    started_ = true;
    std::string error = ValidateConfig(config_);
    if (error.empty() && !config_.logPath.empty()) log_.OpenFile(config_.logPath, error);
    if (error.empty()) terminal_.Open(error);
    int wake[2] = {-1, -1};
    if (error.empty() && pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) error = std::string("pipe: ") + std::strerror(errno);
    if (!error.empty()) {
        Fail(error);
        terminal_.Close();
        log_.MarkFinished();
        return false;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    slavePath_ = terminal_.SlavePath();
    running_ = true;
    thread_ = std::thread(&Simulator::Run, this);
    return true;
}

void Simulator::Stop() {
    stopRequested_ = true;
    if (wakeWrite_ >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(wakeWrite_, &byte, 1);
    }
    if (thread_.joinable()) thread_.join();
    terminal_.Close();
    for (int* fd : {&wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    log_.MarkFinished();
    running_ = false;
}

std::string Simulator::LastError() const {
    std::lock_guard lock(errorMutex_);
    return lastError_;
}

void Simulator::Fail(const std::string& error) {
    std::lock_guard lock(errorMutex_);
    lastError_ = error;
}

std::vector<std::string> Simulator::Received() const { return log_.Received(); }
std::vector<std::string> Simulator::Sent() const { return log_.Sent(); }
std::uint64_t Simulator::SentCount() const { return log_.SentCount(); }

bool Simulator::WaitForCommand(std::string_view command, milliseconds timeout, std::size_t occurrences) const {
    return log_.WaitUntil(
        [&](const Exchange& exchange) {
            return static_cast<std::size_t>(std::count(exchange.received.begin(), exchange.received.end(), command)) >=
                   occurrences;
        },
        timeout);
}

bool Simulator::WaitForSent(std::string_view prefix, milliseconds timeout, std::size_t occurrences) const {
    return log_.WaitUntil(
        [&](const Exchange& exchange) {
            const auto matches = std::count_if(exchange.sent.begin(), exchange.sent.end(),
                                               [&](const std::string& line) { return line.starts_with(prefix); });
            return static_cast<std::size_t>(matches) >= occurrences;
        },
        timeout);
}

bool Simulator::WaitUntil(const std::function<bool(const Exchange&)>& condition, milliseconds timeout) const {
    return log_.WaitUntil(condition, timeout);
}

void Simulator::Run() {
    Instrument instrument(config_);
    LineOutput output(config_);
    CommandFramer framer;
    std::deque<OutputPiece> queue;
    std::size_t queuedBytes = 0;
    std::size_t frontOffset = 0;
    std::uint64_t lostLines = 0;
    std::vector<std::string> lines;
    std::vector<std::string> commands;
    std::vector<OutputPiece> pieces;
    bool hangingUp = false;
    Clock::time_point hangUpSince;
    bool quiet = false;  // the slave's queue is empty since quietSince
    Clock::time_point quietSince{};

    auto enqueue = [&] {
        for (const std::string& line : lines) {
            pieces.clear();
            output.Frame(line, pieces);
            std::size_t bytes = 0;
            for (const OutputPiece& piece : pieces) bytes += piece.bytes.size();
            if (!queue.empty() && queuedBytes + bytes > config_.maxQueuedBytes) {
                if (lostLines++ == 0) log_.RecordNote("port not reading: lines are lost from " + line);
                continue;
            }
            if (lostLines > 0) {
                log_.RecordNote("port reading again after " + std::to_string(lostLines) + " lost lines");
                lostLines = 0;
            }
            // Recorded before any byte is written, so a line the port side
            // has read is always in the record already.
            queuedBytes += bytes;
            for (OutputPiece& piece : pieces) {
                if (piece.kind == OutputPiece::Kind::kLine) {
                    log_.RecordSent(piece.line);
                } else {
                    log_.RecordNote(Describe(piece));
                }
                queue.push_back(std::move(piece));
            }
        }
        lines.clear();
    };

    // Writes as much as the line takes now; false when the master failed.
    auto flush = [&] {
        while (!queue.empty()) {
            const std::string& bytes = queue.front().bytes;
            const ssize_t written = terminal_.Write(bytes.data() + frontOffset, bytes.size() - frontOffset);
            if (written < 0) {
                if (errno == EAGAIN || errno == EINTR) return true;
                Fail(std::string("writing to the pseudo-terminal: ") + std::strerror(errno));
                return false;
            }
            frontOffset += static_cast<std::size_t>(written);
            queuedBytes -= static_cast<std::size_t>(written);
            if (frontOffset < bytes.size()) continue;
            queue.pop_front();
            frontOffset = 0;
        }
        return true;
    };

    while (!stopRequested_) {
        Clock::time_point now = Clock::now();
        if (!hangingUp) {
            instrument.OnTime(now, lines);
            enqueue();
            rowsSent_ = instrument.RowsSent();
        }
        if (!flush()) break;

        if (!hangingUp && output.HangUpReached() && queue.empty()) {
            hangingUp = true;
            hangUpSince = now;
        }
        if (hangingUp) {
            // The last bytes may take a moment to reach the slave's queue, so
            // it must stay empty for a while before the line goes dead.
            if (terminal_.PendingForSlave() > 0) {
                quiet = false;
            } else if (!quiet) {
                quiet = true;
                quietSince = now;
            }
            if ((quiet && now - quietSince >= kHangUpCheck) || now - hangUpSince > kHangUpDrainLimit) {
                log_.RecordNote("hanging up");
                terminal_.Close();
                hungUp_ = true;
                break;
            }
        }

        int timeoutMs = 1000;
        if (hangingUp) {
            timeoutMs = static_cast<int>(kHangUpCheck.count());
        } else if (const auto deadline = instrument.NextDeadline()) {
            const auto wait = std::chrono::ceil<milliseconds>(*deadline - now).count();
            timeoutMs = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, 1000));
        }
        pollfd fds[2] = {{wakeRead_, POLLIN, 0},
                         {terminal_.MasterFd(), static_cast<short>(POLLIN | (queue.empty() ? 0 : POLLOUT)), 0}};
        if (poll(fds, 2, timeoutMs) < 0) {
            if (errno == EINTR) continue;
            Fail(std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) break;
        if (fds[1].revents & (POLLERR | POLLNVAL)) {
            Fail("the pseudo-terminal failed");
            break;
        }
        if (fds[1].revents & POLLIN) {
            char buffer[4096];
            ssize_t count;
            while ((count = terminal_.Read(buffer, sizeof buffer)) > 0) {
                framer.Feed(std::string_view(buffer, static_cast<std::size_t>(count)), commands);
            }
            now = Clock::now();
            for (const std::string& command : commands) {
                log_.RecordReceived(command);
                if (!hangingUp) instrument.OnCommand(command, now, lines);
            }
            commands.clear();
            enqueue();
            rowsSent_ = instrument.RowsSent();
        } else if (fds[1].revents & POLLHUP) {
            // No slave end at all (cannot happen while the terminal holds one):
            // do not spin on the condition.
            poll(fds, 1, static_cast<int>(kHangUpCheck.count()));
        }
    }
    running_ = false;
    log_.MarkFinished();
}

}  // namespace rivu::sim
