#include "platform/thread.h"

#include <windows.h>

namespace rivu::platform {

struct Thread::State {
    Routine routine = nullptr;
    void* argument = nullptr;
    HANDLE handle = nullptr;

    static DWORD WINAPI Run(LPVOID raw) {
        auto* state = static_cast<State*>(raw);
        state->routine(state->argument);
        return 0;
    }
};

Thread::~Thread() { Join(); }

bool Thread::Start(Routine routine, void* argument) {
    if (started_ || routine == nullptr) return false;
    auto* state = new State;
    state->routine = routine;
    state->argument = argument;
    state->handle = CreateThread(nullptr, 0, &State::Run, state, 0, nullptr);
    if (state->handle == nullptr) {
        delete state;
        return false;
    }
    state_ = state;
    started_ = true;
    return true;
}

void Thread::SetAboveNormalPriority() {
    if (started_) SetThreadPriority(state_->handle, THREAD_PRIORITY_ABOVE_NORMAL);
}

bool Thread::WaitFor(std::uint32_t timeoutMs) {
    return !started_ || WaitForSingleObject(state_->handle, timeoutMs) == WAIT_OBJECT_0;
}

void Thread::Join() {
    if (!started_) return;
    WaitForSingleObject(state_->handle, INFINITE);
    CloseHandle(state_->handle);
    delete state_;
    state_ = nullptr;
    started_ = false;
}

}  // namespace rivu::platform
