#pragma once
// The record of what the simulator received and sent: kept in memory for
// tests (thread-safe, with waits) and optionally appended to a file.
// Portable.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace rivu::sim {

// A view of the record, handed to wait conditions.
struct Exchange {
    const std::vector<std::string>& received;  // commands, without ":" and LF
    const std::vector<std::string>& sent;      // lines, without CR LF
    std::uint64_t sentCount;                   // lines sent, also when not kept
    bool finished;                             // the simulator's thread has ended
};

class ExchangeLog {
public:
    explicit ExchangeLog(bool keepSentLines) : keepSent_(keepSentLines) {}

    // Appends to path from now on; false with error set when it cannot be opened.
    bool OpenFile(const std::string& path, std::string& error);

    // File lines: "<seconds since start> < <command>", "... > <line>" and
    // "... ! <note>".
    void RecordReceived(const std::string& command);
    void RecordSent(const std::string& line);
    void RecordNote(const std::string& note);
    // Wakes every waiter for good: nothing more will be recorded.
    void MarkFinished();

    std::vector<std::string> Received() const;
    std::vector<std::string> Sent() const;
    std::uint64_t SentCount() const;

    // Waits until condition holds (checked under the record's lock, so it
    // must not call back into the simulator) or the time-out passes; a
    // finished record is checked once more and not waited on. Returns the
    // last result of condition.
    bool WaitUntil(const std::function<bool(const Exchange&)>& condition, std::chrono::milliseconds timeout) const;

private:
    void WriteFileLine(char direction, const std::string& text);

    const bool keepSent_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> received_;
    std::vector<std::string> sent_;
    std::uint64_t sentCount_ = 0;
    bool finished_ = false;
    std::ofstream file_;
};

}  // namespace rivu::sim
