#pragma once
#include <atomic>
#include <cstdint>

#include "platform/clock.h"
#include "platform/native_handle.h"

namespace rivu::platform {

// Counts the operations that are using a port handle, so that Close never
// releases the handle (and lets the system reuse its number) while another
// thread still works with it. Operations are short (their time limit is a few
// milliseconds), so Close waits for them to leave, but only for a while. A
// handle whose users did not leave in time is detached: the last user to
// leave closes it, so a merely slow operation does not keep the port locked
// for good, and one whose thread was ended inside it (process exit) never
// sees its handle closed under it.
class HandleUsers {
public:
    using Closer = void (*)(NativeHandle);

    // False while the handle is being closed; the operation must not start.
    bool Enter() {
        users_.fetch_add(1);
        if (!closing_.load()) return true;
        users_.fetch_sub(1);
        return false;
    }
    void Leave() {
        if (users_.fetch_sub(1) == 1) CloseDetached();
    }

    // Turns new operations away and waits up to limitMs for the running ones
    // to leave. False when one is still inside: the caller must then Detach
    // the handle rather than let its number be reused under that operation.
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

    // Hands the handle to the operations still inside: the last one to leave
    // closes it with closer (at once when they have all left meanwhile). One
    // handle waits at a time; a second is left open, never reused. False when
    // the handle was left open.
    bool Detach(NativeHandle handle, Closer closer) {
        NativeHandle none = kInvalidHandle;
        if (!detached_.compare_exchange_strong(none, handle)) return false;
        closer_.store(closer);
        detachedReady_.store(true);
        if (users_.load() == 0) CloseDetached();
        return true;
    }
    bool HasDetached() const { return detached_.load() != kInvalidHandle; }

private:
    void CloseDetached() {
        if (!detachedReady_.exchange(false)) return;
        const NativeHandle handle = detached_.load();
        const Closer closer = closer_.load();
        detached_.store(kInvalidHandle);
        if (handle != kInvalidHandle && closer != nullptr) closer(handle);
    }

    std::atomic<int> users_{0};
    std::atomic<bool> closing_{false};
    std::atomic<NativeHandle> detached_{kInvalidHandle};
    std::atomic<Closer> closer_{nullptr};
    std::atomic<bool> detachedReady_{false};  // detached_ and closer_ are set; taken by the one who closes
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
