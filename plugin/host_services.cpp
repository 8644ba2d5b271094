#include "plugin/host_services.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "platform/host_com.h"
#include "platform/system_error.h"
#include "platform/system_paths.h"
#include "support/com_call.h"
#include "support/errors.h"
#include "support/host_interface.h"
#include "support/log_format.h"
#include "support/never_destroyed.h"
#include "support/zvc_string.h"

namespace rivu {
namespace {

using DllGetClassObjectFunction = HResult (*)(const Guid* clsid, const Guid* iid, void** out);

constexpr std::u16string_view kActivationLibraryName = u"Kofra.dll";
constexpr std::u16string_view kLoadFailurePrefix = u"Velmar failed to load ";
constexpr std::u16string_view kLoadFailureCaption = u"Velmar load failed";
constexpr std::size_t kLoadFailureBuffer = 512;  // characters, NUL included
constexpr int kShutdownLockAttempts = 50;
constexpr std::uint32_t kShutdownLockRetryMs = 2;

// Process-wide state. Locks are taken in the order: log or clock, lookup,
// activation. Never destroyed: ShutdownHostServices tears it down at unload,
// and nothing may run COM calls from a static destructor afterwards.
struct HostServicesState {
    std::mutex logMutex;  // one line at a time on the log service

    // Weak pointer to the log service: the host's class object keeps it alive.
    std::atomic<void*> logService{nullptr};
    // Set while the library unloads: the loader's lock may be held, so the
    // service is not looked up (which may load libraries) any more.
    std::atomic<bool> lookupsStopped{false};
    std::mutex lookupMutex;

    std::mutex clockMutex;  // taken only while the clock starts
    std::atomic<bool> clockStarted{false};
    std::atomic<std::int64_t> clockBase{0};
    std::atomic<std::int32_t> clockOffset{0};

    std::mutex activationMutex;
    bool oleDone = false;      // OleInitialize succeeded (it is undone at unload)
    bool libraryDone = false;  // Kofra.dll loaded and its class registered
    platform::DynamicLibrary activationLibrary;
    std::uint32_t activationCookie = 0;
};

HostServicesState& State() {
    static NeverDestroyed<HostServicesState> state;
    return state.Get();
}

// Loads Kofra.dll from beside the host executable and registers its
// activation class. Ends the process when the library has no class factory.
void LoadActivationLibrary(HostServicesState& state) {
    std::u16string path = ActivationLibraryPath(platform::HostExecutablePath());
    state.activationLibrary.Load(path);  // frees a library left by an earlier failed attempt
    auto entry = reinterpret_cast<DllGetClassObjectFunction>(state.activationLibrary.Resolve("DllGetClassObject"));
    if (entry == nullptr) {
        platform::ShowMessageBox(ActivationFailureMessage(path), std::u16string(kLoadFailureCaption));
        platform::ExitProcessWith(-1);
    }
    void* factory = nullptr;
    HResult hr = entry(&kCLSID_HostActivation, &kIID_IUnknown, &factory);
    if (Failed(hr)) throw ZVC::XHResult(hr);
    if (factory == nullptr) throw ZVC::XHResult(kPointer);
    std::uint32_t cookie = 0;
    hr = platform::RegisterClassObject(kCLSID_HostActivation, factory, cookie);
    if (Failed(hr)) {
        Release(factory);
        throw ZVC::XHResult(hr);
    }
    state.activationCookie = cookie;
    Release(factory);  // the registration holds its own reference
}

// First call of the clock: the host offset, then the base. The started flag
// is published after both, so no other thread reads a half-set clock.
void StartClock(HostServicesState& state) {
    std::lock_guard lock(state.clockMutex);
    if (state.clockStarted.load(std::memory_order_relaxed)) return;
    std::int32_t offset = 0;
    if (void* service = GetLogService()) {
        void* clock = nullptr;
        if (Succeeded(QueryInterface(service, kIID_HostClock, &clock)) && clock != nullptr) {
            // Preset to now: a clock that writes nothing leaves the offset at 0.
            std::uint32_t referenceTick = platform::TickCount();
            CallSlot<HResult>(clock, kHostClockTickSlot, &referenceTick);
            offset = HostClockOffset(platform::TickCount(), referenceTick);
            Release(clock);
        }
    }
    state.clockOffset.store(offset, std::memory_order_relaxed);
    state.clockBase.store(platform::SteadyMilliseconds(), std::memory_order_relaxed);
    state.clockStarted.store(true, std::memory_order_release);
}

}  // namespace

void LogLine(std::u16string_view text) {
    // Nothing may escape to the caller (a reader thread or an export): a line
    // that cannot be built or written is dropped.
    try {
        ZVC::ZVCString line(text);
        HostServicesState& state = State();
        std::lock_guard lock(state.logMutex);
        if (void* service = GetLogService()) CallSlot<HResult>(service, kLogServiceWriteSlot, line.Object());
    } catch (...) {
    }
}

void* GetLogService() {
    HostServicesState& state = State();
    if (void* cached = state.logService.load(std::memory_order_acquire)) return cached;
    if (state.lookupsStopped.load()) return nullptr;
    try {
        std::lock_guard lock(state.lookupMutex);
        void* service = state.logService.load(std::memory_order_relaxed);
        if (service != nullptr) return service;
        if (Failed(
                platform::GetClassObject(kCLSID_HostLogService, kIID_HostLogService, &service))) {
            service = nullptr;
            EnsureHostActivation();
            if (Failed(platform::GetClassObject(kCLSID_HostLogService, kIID_HostLogService,
                                                &service))) {
                service = nullptr;
            }
        }
        if (service != nullptr) {
            Release(service);
            state.logService.store(service, std::memory_order_release);
        }
        return service;
    } catch (...) {
        // A start-up error (XZVC, XHResult) ends here: without a log service
        // lines are dropped and the clock runs without the host offset. The
        // next lookup tries again.
        return nullptr;
    }
}

std::int32_t HostMilliseconds() {
    HostServicesState& state = State();
    if (!state.clockStarted.load(std::memory_order_acquire)) {
        try {
            StartClock(state);
        } catch (...) {
            // Only the clock lock can fail here; count from now without a host offset.
            std::int64_t expected = 0;
            state.clockBase.compare_exchange_strong(expected, platform::SteadyMilliseconds());
        }
    }
    return HostClockValue(platform::SteadyMilliseconds(), state.clockBase.load(std::memory_order_relaxed),
                          state.clockOffset.load(std::memory_order_relaxed));
}

void EnsureHostActivation() {
    void* factory = nullptr;
    if (Succeeded(platform::GetClassObject(kCLSID_HostActivation, kIID_IUnknown, &factory))) {
        if (factory != nullptr) Release(factory);
        return;
    }
    HostServicesState& state = State();
    std::lock_guard lock(state.activationMutex);
    // Each step counts as done only when it succeeded, so a failed step is
    // tried again by the next lookup.
    if (!state.oleDone) {
        HResult hr = platform::InitializeOle();
        if (hr != kOk) throw ZVC::XZVC(hr);
        state.oleDone = true;
    }
    if (!state.libraryDone) {
        LoadActivationLibrary(state);
        state.libraryDone = true;
    }
}

void LogEvent(std::string_view label, std::u16string_view text) {
    try {
        LogLine(FormatLogLine(static_cast<std::uint32_t>(HostMilliseconds()), label, text));
    } catch (...) {
    }
}

void LogEvent(std::string_view label, std::string_view asciiText) {
    try {
        LogEvent(label, Widen(asciiText));
    } catch (...) {
    }
}

bool LogSystemFailure(std::u16string_view what) {
    const platform::SystemFailure failure = platform::TakeFailure();
    if (failure.call.empty()) return false;
    try {
        LogEvent("!!! ", std::u16string(what) + u": " + platform::DescribeFailure(failure));
    } catch (...) {
    }
    return true;
}

void StopHostServiceLookups(bool stopped) { State().lookupsStopped.store(stopped); }

void ShutdownHostServices() {
    HostServicesState& state = State();
    try {
        // At process exit Windows ends the other threads before the library
        // is detached, and one may have died holding a lock: teardown is then
        // skipped rather than waited for forever (the process is ending).
        std::unique_lock log(state.logMutex, std::defer_lock);
        std::unique_lock clock(state.clockMutex, std::defer_lock);
        std::unique_lock lookup(state.lookupMutex, std::defer_lock);
        std::unique_lock activation(state.activationMutex, std::defer_lock);
        bool locked = std::try_lock(log, clock, lookup, activation) == -1;
        for (int attempt = 1; !locked && attempt < kShutdownLockAttempts; ++attempt) {
            platform::SleepMilliseconds(kShutdownLockRetryMs);
            locked = std::try_lock(log, clock, lookup, activation) == -1;
        }
        if (!locked) return;

        // Reverse order of start-up: the activation class and its library,
        // then OLE, then the cached service and the clock.
        if (state.activationCookie != 0) {
            platform::RevokeClassObject(state.activationCookie);
            state.activationCookie = 0;
        }
        state.activationLibrary.Free();
        state.libraryDone = false;
        if (state.oleDone) {
            platform::UninitializeOle();
            state.oleDone = false;
        }
        state.logService.store(nullptr, std::memory_order_release);
        state.clockStarted.store(false, std::memory_order_relaxed);
        state.clockBase.store(0, std::memory_order_relaxed);
        state.clockOffset.store(0, std::memory_order_relaxed);
    } catch (...) {
    }
}

std::int32_t HostClockValue(std::int64_t steadyMs, std::int64_t baseMs, std::int32_t offsetMs) {
    std::uint32_t value = static_cast<std::uint32_t>(steadyMs) - static_cast<std::uint32_t>(baseMs) +
                          static_cast<std::uint32_t>(offsetMs);
    return static_cast<std::int32_t>(value);
}

std::int32_t HostClockOffset(std::uint32_t tickCount, std::uint32_t referenceTick) {
    return static_cast<std::int32_t>(tickCount - referenceTick);
}

std::u16string ActivationLibraryPath(std::u16string_view hostExecutable) {
    auto isSeparator = [](char16_t c) { return c == u'\\' || c == u'/'; };
    std::size_t nameStart = hostExecutable.find_last_of(u"\\/");
    std::u16string path(hostExecutable.substr(0, nameStart == std::u16string_view::npos ? 0 : nameStart + 1));
    path += kActivationLibraryName;

    // Resolve "." and ".." segments; the root (leading separators, a drive)
    // is never climbed out of.
    char16_t separator = path.find(u'\\') != std::u16string::npos ? u'\\' : u'/';
    std::size_t rootEnd = 0;
    while (rootEnd < path.size() && isSeparator(path[rootEnd])) ++rootEnd;
    std::u16string root = path.substr(0, rootEnd);
    std::vector<std::u16string> segments;
    std::size_t fixedSegments = 0;
    for (std::size_t start = rootEnd; start <= path.size();) {
        std::size_t end = start;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        std::u16string segment = path.substr(start, end - start);
        if (segment == u"..") {
            if (segments.size() > fixedSegments) segments.pop_back();
        } else if (!segment.empty() && segment != u".") {
            segments.push_back(segment);
            if (segments.size() == 1 && segment.back() == u':' && root.empty()) fixedSegments = 1;  // "C:"
        }
        start = end + 1;
    }
    std::u16string result = root;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) result += separator;
        result += segments[i];
    }
    return result;
}

std::u16string ActivationFailureMessage(std::u16string_view libraryPath) {
    std::u16string message(kLoadFailurePrefix);
    std::size_t room = kLoadFailureBuffer - 1 - message.size();
    message += libraryPath.substr(0, room);
    return message;
}

}  // namespace rivu
