#pragma once
#include <string>

namespace rivu::test {

// The whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);

// The problem handler of the test host's objects: fails the running test.
void FailOnHostProblem(const std::string& problem);

}  // namespace rivu::test
