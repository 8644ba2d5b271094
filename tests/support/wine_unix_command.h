#pragma once
#include <string>

namespace rivu::test {

// Windows test programs under Wine: runs a POSIX shell script on the Unix side
// (Wine starts a Unix program named by its Z: path) and waits up to timeoutMs
// for it to end. True when it ended with status 0. Linux: runs it directly.
// The script runs with the Unix environment of the test, WINEPREFIX included.
bool RunUnixScript(const std::string& script, int timeoutMs = 15000);

// A Unix path as Wine names it (Z: maps the Unix root): /tmp/x -> Z:\tmp\x.
std::wstring WinePathOf(const std::string& unixPath);

}  // namespace rivu::test
