#include "tests/support/child_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "platform/clock.h"
#include "tests/support/enabler_under_test.h"

namespace rivu::test {
namespace {

constexpr long long kEndLimitMs = 2000;

void Say(const char* what) {
    std::printf("%s %lld\n", what, static_cast<long long>(platform::SteadyMilliseconds()));
    std::fflush(stdout);
}

// The clock reading printed after `what`, or -1.
long long Reading(const std::string& output, const std::string& what) {
    std::istringstream lines(output);
    for (std::string word; lines >> word;) {
        long long value = -1;
        if (word == what && lines >> value) return value;
    }
    return -1;
}

}  // namespace

int PlayChildHost(const std::string& ending) {
    host::EnablerLibrary& enabler = Enabler();
    int index = -1;
    if (enabler.FindDevice == nullptr || enabler.FindDevice(&index, "KSC") != 1) return 3;
    if (enabler.Initialise(index) != 1) return 4;
#ifndef _WIN32
    if (ending == "unload-busy") {
        // Released well after the unload's bounded waits (500 ms, then up to
        // 1 s for the port) would have given up on the reader.
        const long long releasedAt = HoldLogLines(1800);
        if (enabler.DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr) != 1) return 5;
        platform::SleepMilliseconds(200);  // the first dropped row is logged: the reader blocks
        Say("leaving");
        enabler.Unload();
        Say("unloaded");
        const long long lingerUntil = releasedAt + 300;
        while (platform::SteadyMilliseconds() < lingerUntil) platform::SleepMilliseconds(10);
        return 0;
    }
#endif
    if (enabler.DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr) != 1) return 5;
    static char buffer[32768];
    bool delivered = false;
    const long long deadline = platform::SteadyMilliseconds() + 10000;
    while (!delivered && platform::SteadyMilliseconds() < deadline) {
        delivered = enabler.ReadLine(index, buffer, sizeof buffer, 20) == 1;
    }
    if (!delivered) return 6;
    Say("leaving");
    if (ending == "unload") {
        enabler.Unload();
        Say("unloaded");
    }
    return 0;
}

void ExpectChildHostEndedAtOnce(const ChildHostRun& run) {
    const long long leaving = Reading(run.output, "leaving");
    ASSERT_GE(leaving, 0) << run.output;
    const long long unloaded = Reading(run.output, "unloaded");
    if (run.output.find("unloaded") != std::string::npos) {
        EXPECT_LE(unloaded - leaving, kEndLimitMs) << run.output;
        EXPECT_LE(run.endedAtMs - unloaded, kEndLimitMs) << run.output;
    } else {
        EXPECT_LE(run.endedAtMs - leaving, kEndLimitMs) << run.output;
    }
}

}  // namespace rivu::test
