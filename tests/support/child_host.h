#pragma once
#include <string>

namespace rivu::test {

// A host that leaves the monitor streaming and ends without CloseAll, played
// by the test program itself in a child process (its main hands over when it
// is started with kChildHostFlag and an ending).
inline constexpr const char* kChildHostFlag = "--child-host";

// Child side: finds the monitor ("KSC"), initialises it, starts sampling and
// reads until samples arrive; prints "leaving T" (T: the steady clock in ms,
// shared by every process on the machine), then ends as `ending` says:
// "return" returns from main with the device open, "unload" first unloads the
// enabler and prints "unloaded T". "unload-busy" (POSIX) does not wait for
// samples: the log is held (HoldLogLines) when sampling starts, so the reader
// blocks in its first log line (an instrument whose rows the enabler drops)
// and is still there when the unload has waited its bounds; the child lives on
// until the log has been released for a while, so a reader that returned into
// unloaded code would crash it. Returns the process exit code.
int PlayChildHost(const std::string& ending);

#ifndef _WIN32
// Makes every log line block for holdMs from now: RIVU_LOG_FILE names a pipe
// that is full until a thread of this process empties it. Returns the steady
// clock reading at which the lines are released.
long long HoldLogLines(int holdMs);
#endif

struct ChildHostRun {
    bool ended = false;  // within the generous limit of RunChildHost
    int exitCode = -1;
    long long endedAtMs = 0;  // the steady clock when the parent saw the end
    std::string output;       // what the child printed
};

// Parent side: runs this test program as the child host (30 s at most).
ChildHostRun RunChildHost(const std::string& ending);

#ifdef _WIN32
// Runs a command line with its standard output and error going to outputPath,
// ended after timeoutMs: whether it ended by itself, its exit code, when the
// end was seen and what it wrote.
ChildHostRun RunWithOutputFile(std::wstring commandLine, const std::wstring& outputPath, int timeoutMs);
#endif

// Checks that the child ended within 2 s of leaving and, when it unloaded the
// enabler, that the unload returned within 2 s.
void ExpectChildHostEndedAtOnce(const ChildHostRun& run);

}  // namespace rivu::test
