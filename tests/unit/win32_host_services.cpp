// The host services against the real COM runtime. The test program plays the
// host: it registers its own log service (with the host clock) before the
// tests run. The activation start-up ends the process, so it is checked in
// child processes: this program copied into a fresh directory, with or
// without a Kofra.dll beside it, started with "--child <case>".
// clang-format off
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_com.h"
#include "plugin/host_services.h"
#include "support/com_call.h"
#include "support/zvc_string.h"
#include "tests/support/test_support.h"
#include "tools/host-objects/host_contract.h"

namespace {

using rivu::Guid;
using rivu::HResult;

// ---- The host side: a log service with the host clock -------------------

struct TestClock {
    explicit TestClock(const void* const* table) : vtable(table) {}
    const void* const* vtable;
    std::atomic<std::uint32_t> referenceTick{0};
    std::atomic<int> references{0};
};

struct TestLogService {
    TestLogService(const void* const* table, TestClock* hostClock) : vtable(table), clock(hostClock) {}
    const void* const* vtable;
    TestClock* clock;
    std::mutex mutex;
    std::vector<std::u16string> lines;
    std::vector<std::int32_t> reportedLengths;
    std::atomic<int> writersInside{0};
    std::atomic<bool> overlapped{false};
    // While set, a writer signals it is inside and waits for release.
    std::atomic<bool> holdWriters{false};
    HANDLE writerInside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE releaseWriters = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

bool Is(const Guid* iid, const Guid& expected) { return iid != nullptr && *iid == expected; }

HResult ClockQueryInterface(void* self, const Guid* iid, void** out) {
    if (Is(iid, rivu::host::kUnknown) || Is(iid, rivu::host::kClockInterface)) {
        ++static_cast<TestClock*>(self)->references;
        *out = self;
        return rivu::kOk;
    }
    *out = nullptr;
    return rivu::kNoInterface;
}
std::uint32_t ClockAddRef(void* self) { return ++static_cast<TestClock*>(self)->references; }
std::uint32_t ClockRelease(void* self) { return --static_cast<TestClock*>(self)->references; }
HResult ClockReferenceTick(void* self, std::uint32_t* tick) {
    *tick = static_cast<TestClock*>(self)->referenceTick.load();
    return rivu::kOk;
}

HResult ServiceQueryInterface(void* self, const Guid* iid, void** out) {
    auto* service = static_cast<TestLogService*>(self);
    if (Is(iid, rivu::host::kUnknown) || Is(iid, rivu::host::kLogServiceInterface)) {
        *out = self;
        return rivu::kOk;
    }
    if (Is(iid, rivu::host::kClockInterface)) return ClockQueryInterface(service->clock, iid, out);
    *out = nullptr;
    return rivu::kNoInterface;
}
std::uint32_t ServiceAddRef(void*) { return 2; }
std::uint32_t ServiceRelease(void*) { return 1; }
HResult ServiceWrite(void* self, void* line) {
    auto* service = static_cast<TestLogService*>(self);
    if (service->writersInside.fetch_add(1) != 0) service->overlapped = true;
    std::u16string text = rivu::host::ReadStringObject(line);
    Sleep(0);  // give a second writer the chance to overlap, were the lines not serialised
    if (service->holdWriters) {
        SetEvent(service->writerInside);
        WaitForSingleObject(service->releaseWriters, INFINITE);
    }
    {
        std::lock_guard lock(service->mutex);
        service->lines.push_back(text);
        service->reportedLengths.push_back(rivu::CallSlot<std::int32_t>(line, 3));
    }
    service->writersInside.fetch_sub(1);
    return rivu::kOk;
}

const void* const kClockTable[] = {
    reinterpret_cast<const void*>(&ClockQueryInterface), reinterpret_cast<const void*>(&ClockAddRef),
    reinterpret_cast<const void*>(&ClockRelease), reinterpret_cast<const void*>(&ClockReferenceTick)};
const void* const kServiceTable[] = {
    reinterpret_cast<const void*>(&ServiceQueryInterface), reinterpret_cast<const void*>(&ServiceAddRef),
    reinterpret_cast<const void*>(&ServiceRelease), reinterpret_cast<const void*>(&ServiceWrite)};

TestClock hostClock(kClockTable);
TestLogService hostLogService(kServiceTable, &hostClock);

class RegisteredLogService : public ::testing::Test {
protected:
    void SetUp() override {
        rivu::ShutdownHostServices();  // a fresh lookup and clock
        std::lock_guard lock(hostLogService.mutex);
        hostLogService.lines.clear();
        hostLogService.reportedLengths.clear();
        hostLogService.overlapped = false;
    }
    std::vector<std::u16string> Lines() {
        std::lock_guard lock(hostLogService.mutex);
        return hostLogService.lines;
    }
};

TEST_F(RegisteredLogService, LinesReachTheHostAsStringObjects) {
    rivu::LogLine(u"first line");
    rivu::LogLine(u"");
    rivu::LogLine(u"5 \u00B5L at 37 \u00B0C");
    EXPECT_EQ(Lines(), (std::vector<std::u16string>{u"first line", u"", u"5 \u00B5L at 37 \u00B0C"}));
    EXPECT_EQ(hostLogService.reportedLengths, (std::vector<std::int32_t>{10, 0, 13}));
    EXPECT_EQ(rivu::GetLogService(), &hostLogService);
}

TEST_F(RegisteredLogService, LinesFromTwoThreadsAreHandedOverOneAtATime) {
    ASSERT_EQ(rivu::GetLogService(), &hostLogService);  // looked up here, in the host's apartment
    constexpr int kLinesPerThread = 300;
    auto writer = [](char16_t mark) {
        for (int i = 0; i < kLinesPerThread; ++i) rivu::LogLine(std::u16string(100, mark));
    };
    std::thread a(writer, u'a');
    std::thread b(writer, u'b');
    a.join();
    b.join();
    std::vector<std::u16string> lines = Lines();
    EXPECT_EQ(lines.size(), 2u * kLinesPerThread);
    for (const auto& line : lines) {
        ASSERT_TRUE(line == std::u16string(100, u'a') || line == std::u16string(100, u'b'));
    }
    EXPECT_FALSE(hostLogService.overlapped);
}

TEST_F(RegisteredLogService, TheClockFollowsTheHostsReferenceTick) {
    hostClock.referenceTick = GetTickCount() - 100000;  // the host started 100 s ago
    std::int32_t first = rivu::HostMilliseconds();
    EXPECT_GE(first, 100000);
    EXPECT_LT(first, 100000 + 5000);
    EXPECT_EQ(hostClock.references.load(), 0);  // the clock interface was released
    Sleep(30);
    EXPECT_GE(rivu::HostMilliseconds() - first, 30);
}

TEST_F(RegisteredLogService, AReferenceTickAheadOrAcrossTheWrapGivesAWrappedClock) {
    hostClock.referenceTick = GetTickCount() + 60000;  // ahead of ours: the stamps are negative
    std::int32_t ahead = rivu::HostMilliseconds();
    EXPECT_LE(ahead, -60000 + 5000);
    EXPECT_GT(ahead, -60000 - 5000);

    rivu::ShutdownHostServices();
    // A reference taken just before our tick count wrapped past 2^32.
    hostClock.referenceTick = GetTickCount() - 0x80000010u;
    std::int32_t wrapped = rivu::HostMilliseconds();
    EXPECT_LT(wrapped, 0);  // more than 2^31 ms: wraps to negative like a 32-bit tick
    EXPECT_GE(static_cast<std::uint32_t>(wrapped), 0x80000010u);
    EXPECT_LT(static_cast<std::uint32_t>(wrapped), 0x80000010u + 5000);
}

TEST_F(RegisteredLogService, StampedEventsUseTheHostTimeLine) {
    hostClock.referenceTick = GetTickCount() - 12000;
    rivu::LogEvent("version: ", u"V,1,0,3,1");
    std::vector<std::u16string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with(u"12.") || lines[0].starts_with(u"13.") || lines[0].starts_with(u"14."));
    EXPECT_TRUE(lines[0].ends_with(u": version: V,1,0,3,1"));
}

TEST_F(RegisteredLogService, UnloadDoesNotWaitForAWriterThatNeverReturns) {
    // As at process exit, when a thread died inside the log service.
    ASSERT_EQ(rivu::GetLogService(), &hostLogService);
    hostLogService.holdWriters = true;
    std::thread stuck([] { rivu::LogLine(u"never finished"); });
    ASSERT_EQ(WaitForSingleObject(hostLogService.writerInside, 10000), WAIT_OBJECT_0);
    rivu::ShutdownHostServices();  // returns: teardown skipped, state kept
    EXPECT_EQ(rivu::GetLogService(), &hostLogService);
    hostLogService.holdWriters = false;
    SetEvent(hostLogService.releaseWriters);
    stuck.join();
    ResetEvent(hostLogService.writerInside);
    ResetEvent(hostLogService.releaseWriters);
    rivu::LogLine(u"after");
    EXPECT_EQ(Lines(), (std::vector<std::u16string>{u"never finished", u"after"}));
}

TEST(SystemString, IsABstrOfTheTextsLength) {
    ZVC::ZVCString text(u"bstr");
    auto bstr = static_cast<BSTR>(rivu::CallSlot<void*>(text.Object(), 6));
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringLen(bstr), 4u);
    EXPECT_EQ(std::wstring(bstr), L"bstr");
    SysFreeString(bstr);
}

// ---- Activation start-up in a child process ----------------------------

std::wstring ThisProgram() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

// A path the build wrote on the machine it ran on: under Wine, a Unix path is on drive Z:.
std::wstring BuildPath(const char* path) {
    std::wstring wide;
    for (const char* p = path; *p != '\0'; ++p) wide += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    return path[0] == '/' ? L"Z:" + wide : wide;
}

struct ChildResult {
    DWORD exitCode = 0;
    bool timedOut = false;
    std::wstring messageCaption;  // of a message box the child showed, when one could be seen
    std::wstring messageText;
    std::string log;  // lines the Kofra log service wrote
};

BOOL CALLBACK ReadStaticText(HWND child, LPARAM found) {
    wchar_t className[32] = {};
    GetClassNameW(child, className, 32);
    if (lstrcmpiW(className, L"Static") == 0 && GetWindowTextLengthW(child) > 0) {
        wchar_t text[1024] = {};
        GetWindowTextW(child, text, 1024);
        *reinterpret_cast<std::wstring*>(found) = text;
    }
    return TRUE;
}

// The message box of the child, closed so that the child goes on.
void CloseMessageBoxOf(DWORD processId, ChildResult& result) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, nullptr, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != processId || !IsWindowVisible(window)) continue;
        wchar_t caption[256] = {};
        GetWindowTextW(window, caption, 256);
        result.messageCaption = caption;
        EnumChildWindows(window, ReadStaticText, reinterpret_cast<LPARAM>(&result.messageText));
        PostMessageW(window, WM_COMMAND, IDOK, 0);
    }
}

// Runs this program as "--child <scenario>" from a fresh directory that
// holds it and, when given, a copy of kofra as Kofra.dll.
ChildResult RunChild(const wchar_t* scenario, const std::wstring& kofra, bool kofraFails = false) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring directory =
        std::wstring(temp) + L"rivu-host-services-" + std::to_wstring(GetCurrentProcessId()) + L"-" + scenario;
    CreateDirectoryW(directory.c_str(), nullptr);
    std::wstring program = directory + L"\\host.exe";
    std::wstring library = directory + L"\\Kofra.dll";
    std::wstring log = directory + L"\\kofra.log";
    DeleteFileW(log.c_str());
    DeleteFileW(library.c_str());
    EXPECT_TRUE(CopyFileW(ThisProgram().c_str(), program.c_str(), FALSE));
    if (!kofra.empty()) {
        EXPECT_TRUE(CopyFileW(kofra.c_str(), library.c_str(), FALSE));
    }

    SetEnvironmentVariableW(L"RIVU_TEST_KOFRA_LOG", log.c_str());
    SetEnvironmentVariableW(L"RIVU_TEST_KOFRA_FAIL", kofraFails ? L"1" : nullptr);
    std::wstring commandLine = L"\"" + program + L"\" --child " + scenario;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ChildResult result;
    BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  directory.c_str(), &startup, &process);
    SetEnvironmentVariableW(L"RIVU_TEST_KOFRA_LOG", nullptr);
    SetEnvironmentVariableW(L"RIVU_TEST_KOFRA_FAIL", nullptr);
    EXPECT_TRUE(started);
    if (started) {
        // With a display the message box waits for the user: close it. Without
        // one (headless Wine) it returns at once. Never wait forever.
        DWORD waited = 0;
        while (WaitForSingleObject(process.hProcess, 100) == WAIT_TIMEOUT) {
            CloseMessageBoxOf(process.dwProcessId, result);
            if ((waited += 100) >= 60000) {
                result.timedOut = true;
                TerminateProcess(process.hProcess, 99);
                WaitForSingleObject(process.hProcess, INFINITE);
                break;
            }
        }
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    std::string logPath;
    for (wchar_t c : log) logPath += static_cast<char>(c);
    result.log = rivu::test::ReadWholeFile(logPath);
    DeleteFileW(log.c_str());
    DeleteFileW(library.c_str());
    DeleteFileW(program.c_str());
    RemoveDirectoryW(directory.c_str());
    return result;
}

constexpr DWORD kExitMinusOne = static_cast<DWORD>(-1);

void ExpectLoadFailureMessage(const ChildResult& child) {
    EXPECT_FALSE(child.timedOut);
    EXPECT_EQ(child.exitCode, kExitMinusOne);
    if (child.messageCaption.empty()) return;  // only seen where Wine has a display
    EXPECT_EQ(child.messageCaption, L"Velmar load failed");
    EXPECT_TRUE(child.messageText.starts_with(L"Velmar failed to load "));
    EXPECT_TRUE(child.messageText.ends_with(L"\\Kofra.dll"));
}

TEST(ActivationStartUp, WithoutLogServiceOrKofraTheProcessEndsWithMinusOne) {
    ChildResult child = RunChild(L"log", std::wstring());
    ExpectLoadFailureMessage(child);
}

TEST(ActivationStartUp, KofraWithoutItsClassFactoryEndsTheProcessWithMinusOne) {
    ChildResult child = RunChild(L"log", BuildPath(RIVU_TEST_KOFRA_NO_ENTRY));
    ExpectLoadFailureMessage(child);
}

TEST(ActivationStartUp, KofraBringsTheLogServiceUp) {
    ChildResult child = RunChild(L"log", BuildPath(RIVU_TEST_KOFRA));
    EXPECT_FALSE(child.timedOut);
    EXPECT_EQ(child.exitCode, 0u);
    EXPECT_EQ(child.log, "line through Kofra\nsecond line\n");
}

TEST(ActivationStartUp, AFailingClassFactoryLeavesLinesDroppedAndTheProcessRunning) {
    ChildResult child = RunChild(L"no-service", BuildPath(RIVU_TEST_KOFRA), /*kofraFails=*/true);
    EXPECT_FALSE(child.timedOut);
    EXPECT_EQ(child.exitCode, 0u);
    EXPECT_EQ(child.log, "");
}

// The child: logs with no log service registered, OLE not initialised.
// Exit codes: 0 as expected, 2 a service where none should be, 3 none where one should be.
int RunChildScenario(const std::string& scenario) {
    rivu::LogLine(u"line through Kofra");
    rivu::LogLine(u"second line");
    void* service = rivu::GetLogService();
    rivu::HostMilliseconds();
    if (scenario == "no-service") return service == nullptr ? 0 : 2;
    return service != nullptr ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return RunChildScenario(argv[2]);

    ::testing::InitGoogleTest(&argc, argv);
    // The host: OLE on its main thread and its log service registered.
    if (OleInitialize(nullptr) != S_OK) return 10;
    std::uint32_t cookie = 0;
    if (rivu::platform::RegisterClassObject(rivu::host::kLogServiceClass, &hostLogService, cookie) != 0) {
        return 11;
    }
    int result = RUN_ALL_TESTS();
    rivu::ShutdownHostServices();
    rivu::platform::RevokeClassObject(cookie);
    OleUninitialize();
    return result;
}
