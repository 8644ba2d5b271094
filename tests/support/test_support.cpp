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

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields;
    for (std::size_t begin = 0;;) {
        const std::size_t comma = line.find(',', begin);
        fields.push_back(line.substr(begin, comma - begin));
        if (comma == std::string::npos) return fields;
        begin = comma + 1;
    }
}

bool TakeDelivery(const char* text, Samples& samples) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 2 || line[0] != '+') return false;
        std::istringstream fields(line.substr(1));
        std::string field;
        std::getline(fields, field, ',');
        auto& channel = samples[std::stoi(field)];
        while (std::getline(fields, field, ',')) channel.push_back(std::stoi(field));
    }
    return true;
}

void FailOnHostProblem(const std::string& problem) { ADD_FAILURE() << "host objects: " << problem; }

}  // namespace rivu::test
