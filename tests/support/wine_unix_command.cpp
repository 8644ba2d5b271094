#include "tests/support/wine_unix_command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace rivu::test {

std::wstring WinePathOf(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return path;
}

#ifdef _WIN32

bool RunUnixScript(const std::string& script, int timeoutMs) {
    static int serial = 0;
    const std::string base =
        "/tmp/rivu-unix-script-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
    const std::string scriptPath = base + ".sh";
    const std::string statusPath = base + ".status";
    {
        // Output goes to a file: a program the script leaves running must not
        // hold the test's own output open.
        std::ofstream out(std::filesystem::path(WinePathOf(scriptPath)), std::ios::binary);
        out << "(\n"
            << script << "\n) </dev/null >'" << base << ".log' 2>&1\n"
            << "echo $? > '" << statusPath << ".part'\nmv '" << statusPath << ".part' '" << statusPath << "'\n";
        if (!out) return false;
    }

    // Wine runs a Unix executable without giving back a process handle: the
    // script's end is seen by its status file.
    std::wstring commandLine = L"/bin/sh " + std::wstring(scriptPath.begin(), scriptPath.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    if (process.hThread != nullptr) CloseHandle(process.hThread);
    if (process.hProcess != nullptr) CloseHandle(process.hProcess);

    const std::wstring status = WinePathOf(statusPath);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int exitStatus = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in{std::filesystem::path(status)};
        if (in >> exitStatus) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (const std::string& file : {statusPath, scriptPath, base + ".log"}) DeleteFileW(WinePathOf(file).c_str());
    return exitStatus == 0;
}

#else

bool RunUnixScript(const std::string& script, int) {
    const std::string command = "/bin/sh -c '" + [&] {
        std::string quoted;
        for (char c : script) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted;
    }() + "' </dev/null";
    return std::system(command.c_str()) == 0;
}

#endif

}  // namespace rivu::test
