#include "rivu-sim/exchange_log.h"

#include <cstdio>

namespace rivu::sim {

bool ExchangeLog::OpenFile(const std::string& path, std::string& error) {
    std::lock_guard lock(mutex_);
    file_.open(path, std::ios::out | std::ios::app | std::ios::binary);
    if (!file_) {
        error = "cannot open the log file " + path;
        return false;
    }
    return true;
}

void ExchangeLog::WriteFileLine(char direction, const std::string& text) {
    if (!file_.is_open()) return;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%03lld %c ", static_cast<long long>(elapsed.count() / 1000),
                  static_cast<long long>(elapsed.count() % 1000), direction);
    file_ << stamp << text << '\n';
    file_.flush();
}

void ExchangeLog::RecordReceived(const std::string& command) {
    {
        std::lock_guard lock(mutex_);
        received_.push_back(command);
        WriteFileLine('<', command);
    }
    changed_.notify_all();
}

void ExchangeLog::RecordSent(const std::string& line) {
    {
        std::lock_guard lock(mutex_);
        if (keepSent_) sent_.push_back(line);
        ++sentCount_;
        WriteFileLine('>', line);
    }
    changed_.notify_all();
}

void ExchangeLog::RecordNote(const std::string& note) {
    std::lock_guard lock(mutex_);
    WriteFileLine('!', note);
}

void ExchangeLog::MarkFinished() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
        file_.close();
    }
    changed_.notify_all();
}

std::vector<std::string> ExchangeLog::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ExchangeLog::Sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::uint64_t ExchangeLog::SentCount() const {
    std::lock_guard lock(mutex_);
    return sentCount_;
}

bool ExchangeLog::WaitUntil(const std::function<bool(const Exchange&)>& condition,
                            std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    while (true) {
        const bool met = condition(Exchange{received_, sent_, sentCount_, finished_});
        if (met || finished_) return met;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            return condition(Exchange{received_, sent_, sentCount_, finished_});
        }
    }
}

}  // namespace rivu::sim
