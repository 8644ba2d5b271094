#pragma once
#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace rivu::platform {

// Counts the operations that are using a port handle, so that Close never
// releases the handle (and lets the system reuse its number) while another
// thread still works with it. Operations are short (their time limit is a few
// milliseconds), so Close waits for them to leave, but only for a while: an
// operation whose thread was ended inside it (by process exit) never leaves.
class HandleUsers {
public:
    // False while the handle is being closed; the operation must not start.
    bool Enter() {
        users_.fetch_add(1);
        if (!closing_.load()) return true;
        users_.fetch_sub(1);
        return false;
    }
    void Leave() { users_.fetch_sub(1); }

    // Turns new operations away and waits up to limitMs for the running ones
    // to leave. False when one is still inside: the caller must then keep the
    // handle open rather than let its number be reused under that operation.
    bool BlockAndDrain(std::int64_t limitMs) {
        closing_.store(true);
        const std::int64_t deadline = SteadyMilliseconds() + limitMs;
        while (users_.load() != 0) {
            if (SteadyMilliseconds() >= deadline) return false;
            SleepMilliseconds(1);
        }
        return true;
    }
    void Unblock() { closing_.store(false); }

private:
    std::atomic<int> users_{0};
    std::atomic<bool> closing_{false};
};

// One operation's use of the handle, for the scope of the operation.
class HandleUse {
public:
    explicit HandleUse(HandleUsers& users) : users_(users), entered_(users.Enter()) {}
    ~HandleUse() {
        if (entered_) users_.Leave();
    }
    HandleUse(const HandleUse&) = delete;
    HandleUse& operator=(const HandleUse&) = delete;
    explicit operator bool() const { return entered_; }

private:
    HandleUsers& users_;
    bool entered_;
};

}  // namespace rivu::platform
