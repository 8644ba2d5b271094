#include "platform/thread.h"

#include <windows.h>

namespace rivu::platform {

struct Thread::State {
    Routine routine = nullptr;
    void* argument = nullptr;
    HANDLE handle = nullptr;
    HMODULE module = nullptr;  // the reference the thread holds on its own code

    // The thread keeps the module that holds this code loaded for as long as
    // it runs (a GetModuleHandleExW reference) and ends with
    // FreeLibraryAndExitThread, which exists so that a thread running in a
    // DLL can release it without the library being unmapped before
    // ExitThread. So the host's FreeLibrary never unloads the library under
    // one of its threads, and DllMain never waits for a thread under the
    // loader lock ("Dynamic-Link Library Best Practices").
    static DWORD WINAPI Run(LPVOID raw) {
        auto* state = static_cast<State*>(raw);
        const HMODULE module = state->module;
        state->routine(state->argument);
        if (module != nullptr) FreeLibraryAndExitThread(module, 0);
        return 0;
    }
};

Thread::~Thread() { Join(); }

bool Thread::Start(Routine routine, void* argument) {
    if (started_ || routine == nullptr) return false;
    auto* state = new State;
    state->routine = routine;
    state->argument = argument;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&State::Run),
                            &state->module)) {
        delete state;
        return false;
    }
    state->handle = CreateThread(nullptr, 0, &State::Run, state, 0, nullptr);
    if (state->handle == nullptr) {
        FreeLibrary(state->module);
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
