#include "platform/event.h"

#include <windows.h>

namespace rivu::platform {
namespace {

HANDLE Win(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

Event::Event() {
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event != nullptr) handle_ = reinterpret_cast<NativeHandle>(event);
}

Event::~Event() {
    if (Valid()) CloseHandle(Win(handle_));
}

void Event::Set() {
    if (Valid()) SetEvent(Win(handle_));
}

void Event::Reset() {
    if (Valid()) ResetEvent(Win(handle_));
}

bool Event::Wait(std::uint32_t timeoutMs) {
    return Valid() && WaitForSingleObject(Win(handle_), timeoutMs) == WAIT_OBJECT_0;
}

int WaitForEither(Event& first, Event& second, std::uint32_t timeoutMs) {
    if (!first.Valid() || !second.Valid()) return kWaitFailed;
    const HANDLE events[2] = {Win(first.Native()), Win(second.Native())};
    switch (WaitForMultipleObjects(2, events, FALSE, timeoutMs)) {
        case WAIT_OBJECT_0:
            return 0;
        case WAIT_OBJECT_0 + 1:
            return 1;
        case WAIT_TIMEOUT:
            return kWaitTimedOut;
        default:
            return kWaitFailed;
    }
}

}  // namespace rivu::platform
