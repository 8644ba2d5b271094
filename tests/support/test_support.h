#pragma once
#include <string>

namespace rivu::test {

// The whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);

}  // namespace rivu::test
