#pragma once
#include <string>

namespace rivu::platform {

// The Windows system directory (SHGetFolderPathW with CSIDL_SYSTEM), with
// PathAppendW of name. False when the folder cannot be obtained. On POSIX
// there is no system directory for drivers: always false.
bool SystemDirectoryFile(const std::u16string& name, std::u16string& path);

// Full path of the executable that started the process (GetModuleFileNameW).
std::u16string HostExecutablePath();

// An environment variable as UTF-16 (empty when unset).
std::u16string EnvironmentVariable(const char* name);

}  // namespace rivu::platform
