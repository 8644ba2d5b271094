#include <windows.h>

#include <string>

#include "platform/clock.h"
#include "tests/support/child_host.h"
#include "tests/support/test_support.h"

namespace rivu::test {

ChildHostRun RunWithOutputFile(std::wstring commandLine, const std::wstring& outputPath, int timeoutMs) {
    ChildHostRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return run;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    const bool started =
        CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(out);
    if (started) {
        run.ended = WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
        run.endedAtMs = platform::SteadyMilliseconds();
        if (!run.ended) TerminateProcess(process.hProcess, 99);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        run.exitCode = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    run.output = ReadWholeFile(std::string(outputPath.begin(), outputPath.end()));
    return run;
}

ChildHostRun RunChildHost(const std::string& ending) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t directory[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, directory);
    const std::wstring outputPath =
        std::wstring(directory) + L"rivu-child-host-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    const std::string arguments = std::string(kChildHostFlag) + " " + ending;
    ChildHostRun run = RunWithOutputFile(
        L"\"" + std::wstring(self) + L"\" " + std::wstring(arguments.begin(), arguments.end()), outputPath, 30000);
    DeleteFileW(outputPath.c_str());
    return run;
}

}  // namespace rivu::test
