#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace rivu::platform {
namespace {

int Fd(NativeHandle handle) { return static_cast<int>(handle); }

// Takes the signal if it is still there; false when another waiter took it.
bool Consume(NativeHandle handle) {
    std::uint64_t count = 0;
    return read(Fd(handle), &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds left for poll, -1 without a limit.
int Remaining(std::uint32_t timeoutMs, std::int64_t start) {
    if (timeoutMs == kWaitForever) return -1;
    const std::int64_t left = static_cast<std::int64_t>(timeoutMs) - (NowMs() - start);
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

Event::Event() {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0) handle_ = fd;
}

Event::~Event() {
    if (Valid()) close(Fd(handle_));
}

void Event::Set() {
    if (!Valid()) return;
    const std::uint64_t one = 1;
    // The counter only saturates after 2^64 - 2 signals; EAGAIN cannot happen in practice.
    [[maybe_unused]] const ssize_t written = write(Fd(handle_), &one, sizeof one);
}

void Event::Reset() {
    if (Valid()) Consume(handle_);
}

bool Event::Wait(std::uint32_t timeoutMs) {
    if (!Valid()) return false;
    const std::int64_t start = NowMs();
    for (;;) {
        pollfd entry{Fd(handle_), POLLIN, 0};
        const int ready = poll(&entry, 1, Remaining(timeoutMs, start));
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0) return false;
        if (ready > 0) {
            if ((entry.revents & POLLIN) && Consume(handle_)) return true;
            // A descriptor that poll reports as invalid or failed never becomes
            // readable: the wait fails instead of spinning past its limit.
            if (entry.revents & (POLLERR | POLLNVAL)) return false;
        }
    }
}

int WaitForEither(Event& first, Event& second, std::uint32_t timeoutMs) {
    if (!first.Valid() || !second.Valid()) return kWaitFailed;
    const std::int64_t start = NowMs();
    for (;;) {
        pollfd entries[2] = {{Fd(first.Native()), POLLIN, 0}, {Fd(second.Native()), POLLIN, 0}};
        const int ready = poll(entries, 2, Remaining(timeoutMs, start));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return kWaitFailed;
        }
        if (ready == 0) return kWaitTimedOut;
        // Like WaitForMultipleObjects, the first signalled event wins.
        if ((entries[0].revents & POLLIN) && Consume(first.Native())) return 0;
        if ((entries[1].revents & POLLIN) && Consume(second.Native())) return 1;
        if ((entries[0].revents | entries[1].revents) & (POLLERR | POLLNVAL)) return kWaitFailed;
    }
}

}  // namespace rivu::platform
