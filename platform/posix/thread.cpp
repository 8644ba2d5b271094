#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace rivu::platform {

struct Thread::State {
    Routine routine = nullptr;
    void* argument = nullptr;
    pthread_t id{};
    std::mutex mutex;
    std::condition_variable changed;
    pid_t kernelId = 0;  // published by the thread itself, for its nice value
    bool ended = false;

    static void* Run(void* raw);
};

void* Thread::State::Run(void* raw) {
    auto* state = static_cast<State*>(raw);
    {
        std::lock_guard lock(state->mutex);
        state->kernelId = gettid();
    }
    state->changed.notify_all();
    state->routine(state->argument);
    {
        std::lock_guard lock(state->mutex);
        state->ended = true;
    }
    state->changed.notify_all();
    return nullptr;
}

Thread::~Thread() { Join(); }

bool Thread::Start(Routine routine, void* argument) {
    if (started_ || routine == nullptr) return false;
    auto* state = new State;
    state->routine = routine;
    state->argument = argument;
    if (pthread_create(&state->id, nullptr, &State::Run, state) != 0) {
        delete state;
        return false;
    }
    state_ = state;
    started_ = true;
    return true;
}

void Thread::SetAboveNormalPriority() {
    if (!started_) return;
    pid_t kernelId = 0;
    {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [this] { return state_->kernelId != 0 || state_->ended; });
        if (state_->ended) return;
        kernelId = state_->kernelId;
    }
    // Linux keeps a nice value per thread. Lowering it needs privilege; without
    // it the thread simply stays at normal priority.
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(kernelId));
    if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(kernelId), current - 1);
}

bool Thread::WaitFor(std::uint32_t timeoutMs) {
    if (!started_) return true;
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return state_->ended; });
}

void Thread::Join() {
    if (!started_) return;
    pthread_join(state_->id, nullptr);
    delete state_;
    state_ = nullptr;
    started_ = false;
}

}  // namespace rivu::platform
