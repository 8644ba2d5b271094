#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace rivu::test {

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void FailOnHostProblem(const std::string& problem) { ADD_FAILURE() << "host objects: " << problem; }

}  // namespace rivu::test
