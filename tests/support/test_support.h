#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rivu::test {

// The whole content of a file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);

// The comma-separated fields of a line, empty ones included ("" gives one).
std::vector<std::string> Split(const std::string& line);

// Samples per host channel (from 1), as ReadLine delivered them.
using Samples = std::map<int, std::vector<std::int32_t>>;

// Adds the samples of a ReadLine delivery ("+N,v,v...\n" lines); false when
// a line is not of that form.
bool TakeDelivery(const char* text, Samples& samples);

// The problem handler of the test host's objects: fails the running test.
void FailOnHostProblem(const std::string& problem);

}  // namespace rivu::test
