#include <windows.h>
// tlhelp32.h needs windows.h before it.
#include <tlhelp32.h>

#include "bench/bench_clock.h"

namespace rivu::bench {

std::int64_t NowNanoseconds() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return static_cast<std::int64_t>(value.QuadPart);
    }();
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const std::int64_t ticks = counter.QuadPart;
    return ticks / frequency * 1000000000 + ticks % frequency * 1000000000 / frequency;
}

std::vector<std::uint64_t> ProcessThreads() {
    std::vector<std::uint64_t> threads;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return threads;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) threads.push_back(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    return threads;
}

std::uint64_t CurrentThread() { return GetCurrentThreadId(); }

std::int64_t ThreadCpuNanoseconds(std::uint64_t thread) {
    HANDLE handle = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(thread));
    if (handle == nullptr) return -1;
    FILETIME created{}, exited{}, kernel{}, user{};
    const BOOL known = GetThreadTimes(handle, &created, &exited, &kernel, &user);
    CloseHandle(handle);
    if (!known) return -1;
    auto hundreds = [](const FILETIME& time) {
        return (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return (hundreds(kernel) + hundreds(user)) * 100;
}

}  // namespace rivu::bench
