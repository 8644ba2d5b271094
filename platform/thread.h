#pragma once
#include <cstdint>

#include "platform/native_handle.h"

namespace rivu::platform {

// One operating-system thread (CreateThread on Windows, pthreads on POSIX).
// The owner starts it once, may wait for it with a time limit, and must
// Join() it before the object is destroyed if it was started. On Windows a
// running thread holds a reference on the module of its code, so a library
// is not unloaded under it.
class Thread {
public:
    using Routine = void (*)(void* argument);

    Thread() = default;
    ~Thread();  // joins a thread that is still running
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool Start(Routine routine, void* argument);
    bool Started() const { return started_; }
    // Best effort: THREAD_PRIORITY_ABOVE_NORMAL on Windows, a nice value one
    // step above normal on POSIX where the process may raise it.
    void SetAboveNormalPriority();
    // True when the thread has ended within timeoutMs (or was never started).
    bool WaitFor(std::uint32_t timeoutMs);
    // Waits without limit and releases the thread; the object can start again.
    void Join();

private:
    struct State;
    State* state_ = nullptr;
    bool started_ = false;
};

}  // namespace rivu::platform
