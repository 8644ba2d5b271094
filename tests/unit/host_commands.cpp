#include "coda/host_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial/rivu_serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"
#include "tests/support/test_support.h"
#include "tools/host-objects/test_host.h"

namespace rivu {
namespace {

[[maybe_unused]] const test::LogCapture& kLog = test::LogCapture::Instance();

// A device whose handshake has described three channels, in memory: the
// commands it sends are recorded, its waits run on the test's clock.
class HostCommands : public ::testing::Test {
protected:
    explicit HostCommands(const char16_t* identity = u"KSC01234A") : memory(identity) {}

    void SetUp() override {
        device.modelName = "SomeModel";
        device.firmwareVersion = "1.0.3.1";
        device.samplePeriodUs = 20000;
        device.uploadRates = {{5000, 3}, {20000, 1}, {100000, 0}};
        ASSERT_TRUE(test::Describe(device, u"HR,SpO2,MinVol", u"bpm,%,ml", u"1000,100.0,2000", u"0,0.0,0"));
    }

    std::int64_t Now() const { return memory.clock.now; }

    bool Command(int code, int argument = 0) {
        std::memset(text, 'x', sizeof text);
        text[sizeof text - 1] = '\0';
        record = RivuCommandRecord{};
        record.text = text;
        record.textSize = sizeof text;
        record.argument = argument;
        record.value = -12345;
        return HandleHostCommand(device, code, &record);
    }

    std::string Sent() { return memory.recorder.Take(); }

    test::MemoryDevice memory;
    RivuSerial& device = memory.device;
    RivuCommandRecord record{};
    char text[64];
};

TEST_F(HostCommands, AnswerDeviceQueriesAsTextOrValue) {
    EXPECT_TRUE(Command(RIVU_CMD_DEVICE_NAME));
    EXPECT_STREQ(text, "SomeModel");
    EXPECT_TRUE(Command(RIVU_CMD_VENDOR_NAME));
    EXPECT_STREQ(text, "Rivu Scientific");
    EXPECT_TRUE(Command(RIVU_CMD_FIRMWARE_VERSION));
    EXPECT_STREQ(text, "1.0.3.1");
    EXPECT_TRUE(Command(RIVU_CMD_DATA_FORMAT));
    EXPECT_STREQ(text, "text");
    EXPECT_TRUE(Command(RIVU_CMD_MAX_LINE_LENGTH));
    EXPECT_EQ(record.value, 2048);
    EXPECT_TRUE(Command(RIVU_CMD_CHANNEL_COUNT));
    EXPECT_EQ(record.value, 3);
    EXPECT_TRUE(Command(RIVU_CMD_SAMPLE_PERIOD));
    EXPECT_EQ(record.value, 20000);
    EXPECT_TRUE(Command(RIVU_CMD_SAMPLE_PERIOD_2));
    EXPECT_EQ(record.value, 20000);
    // Value replies leave the text alone, and the reverse.
    EXPECT_TRUE(Command(RIVU_CMD_CAPABILITY_56));
    EXPECT_EQ(record.value, 1);
    EXPECT_EQ(text[0], 'x');
    EXPECT_TRUE(Command(RIVU_CMD_FIRMWARE_VERSION));
    EXPECT_EQ(record.value, -12345);
}

TEST_F(HostCommands, EmptyTextsLeaveTheBufferUntouched) {
    device.firmwareVersion.clear();
    EXPECT_TRUE(Command(RIVU_CMD_FIRMWARE_VERSION));
    EXPECT_EQ(text[0], 'x');
    EXPECT_TRUE(Command(RIVU_CMD_SERIAL_NUMBER));  // the path has no serial prefix
    EXPECT_EQ(text[0], 'x');
}

TEST_F(HostCommands, AnswerChannelQueriesByNumberFromOne) {
    EXPECT_TRUE(Command(RIVU_CMD_CHANNEL_NAME, 2));
    EXPECT_STREQ(text, "SpO\xE2\x82\x82");
    EXPECT_TRUE(Command(RIVU_CMD_CHANNEL_TITLE, 3));
    EXPECT_STREQ(text, "Minute Volume");
    EXPECT_TRUE(Command(RIVU_CMD_CHANNEL_SCALING, 1));
    EXPECT_STREQ(text, "0,0;1000,1000;bpm;0;");

    EXPECT_TRUE(Command(RIVU_CMD_DISABLE_CHANNEL, 2));
    EXPECT_FALSE(Command(RIVU_CMD_IS_CHANNEL_ENABLED, 2));
    EXPECT_TRUE(Command(RIVU_CMD_IS_CHANNEL_ENABLED, 1));
    EXPECT_TRUE(Command(RIVU_CMD_ENABLE_CHANNEL, 2));
    EXPECT_TRUE(Command(RIVU_CMD_IS_CHANNEL_ENABLED, 2));

    // Numbers outside 1..3 name no channel: refused, nothing written.
    for (int number : {0, 4, -1, 1 << 30}) {
        EXPECT_FALSE(Command(RIVU_CMD_CHANNEL_NAME, number)) << number;
        EXPECT_FALSE(Command(RIVU_CMD_DISABLE_CHANNEL, number)) << number;
        EXPECT_FALSE(Command(RIVU_CMD_IS_CHANNEL_ENABLED, number)) << number;
        EXPECT_EQ(text[0], 'x');
    }
}

TEST_F(HostCommands, TextsThatDoNotFitAreNotWrittenAndFail) {
    char small[5] = "abcd";
    RivuCommandRecord tight{};
    tight.text = small;
    tight.textSize = 5;
    tight.argument = 3;
    EXPECT_FALSE(HandleHostCommand(device, RIVU_CMD_CHANNEL_TITLE, &tight));  // "Minute Volume"
    EXPECT_STREQ(small, "abcd");
    tight.textSize = 0;
    EXPECT_FALSE(HandleHostCommand(device, RIVU_CMD_DATA_FORMAT, &tight));
    EXPECT_STREQ(small, "abcd");
    tight.textSize = 5;
    EXPECT_TRUE(HandleHostCommand(device, RIVU_CMD_DATA_FORMAT, &tight));  // "text" and its NUL fit exactly
    EXPECT_STREQ(small, "text");
}

TEST_F(HostCommands, UnsupportedCodesAnswerTheRefusalText) {
    for (int code : {5, 7, 10, 12, 22, 33, 36, 40, 44, 55, 57, 61, 1000, -1}) {
        EXPECT_FALSE(Command(code)) << code;
        EXPECT_STREQ(text, "^Unsupported HPX command") << code;
    }
    RivuCommandRecord noBuffer{};
    EXPECT_FALSE(HandleHostCommand(device, 7, &noBuffer));
    EXPECT_FALSE(HandleHostCommand(device, 7, nullptr));
    // A null record still acts; only its replies are lost.
    EXPECT_TRUE(HandleHostCommand(device, RIVU_CMD_DEVICE_NAME, nullptr));
}

TEST_F(HostCommands, RateSelectionSendsThePositionOfTheInterval) {
    EXPECT_TRUE(Command(RIVU_CMD_SET_SAMPLE_PERIOD, 5000));
    EXPECT_EQ(Sent(), ":P3\n");
    EXPECT_EQ(device.samplePeriodUs.load(), 5000);

    EXPECT_FALSE(Command(RIVU_CMD_SET_SAMPLE_PERIOD, 4000));
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(device.samplePeriodUs.load(), 5000);

    device.samplePeriodUs = 20000;
    EXPECT_TRUE(Command(RIVU_CMD_SAMPLE_PERIOD_TEXT));
    EXPECT_STREQ(text, "20000");
    EXPECT_EQ(Sent(), ":P1\n");

    // A position that does not fit the two digits of the command is refused.
    device.uploadRates[7000] = 100;
    EXPECT_FALSE(Command(RIVU_CMD_SET_SAMPLE_PERIOD, 7000));
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(device.samplePeriodUs.load(), 20000);
}

TEST_F(HostCommands, StopSendsTheStopCommandAndSetsItsState) {
    device.protocolState = kRunning;
    EXPECT_TRUE(Command(RIVU_CMD_STOP_SAMPLING));
    EXPECT_EQ(device.protocolState.load(), kAwaitStopEcho2);
    EXPECT_EQ(Sent(), ":S\n");
}

TEST_F(HostCommands, StartWaitsForTheRunningStateAndFetchesTheSamplingInterface) {
    host::HostObjects hostObjects{test::FailOnHostProblem};
    device.controllingProxy = hostObjects.ControllingProxy();
    device.rowCount = device.rowsAhead = device.cycleStartRow = 9;
    device.currentChannel = 2;
    // The instrument's echo arrives after 3 ms (the reader then moves the
    // state to Running): the start returns within a millisecond, so the rows
    // the instrument streams from then on do not wait for the host.
    const std::int64_t start = Now();
    memory.clock.onSleep = [&](std::int64_t now) {
        if (now >= start + 3) device.protocolState = kRunning;
    };
    EXPECT_TRUE(HandleHostCommand(device, RIVU_CMD_START_SAMPLING, nullptr));
    EXPECT_EQ(Now() - start, 3);
    EXPECT_EQ(Sent(), ":B\n");
    EXPECT_NE(device.samplingInterface, nullptr);
    EXPECT_EQ(device.rowCount + device.rowsAhead + device.cycleStartRow, 0);
    EXPECT_EQ(device.currentChannel.load(), 0u);

    // The next start replaces the interface; without a proxy none is kept,
    // and the start still starts.
    EXPECT_EQ(hostObjects.References(host::Counted::Sampling), 1);
    EXPECT_EQ(hostObjects.OutstandingReferences(), 1);
    device.controllingProxy = nullptr;
    RefreshSamplingInterface(device);
    EXPECT_EQ(device.samplingInterface, nullptr);
    EXPECT_EQ(hostObjects.OutstandingReferences(), 0);
    device.protocolState = kReady;  // stopped in between
    memory.clock.onSleep = [&](std::int64_t) { device.protocolState = kRunning; };
    EXPECT_TRUE(HandleHostCommand(device, RIVU_CMD_START_SAMPLING, nullptr));
    EXPECT_EQ(device.samplingInterface, nullptr);
}

class CodaHostCommands : public HostCommands {
protected:
    CodaHostCommands() : HostCommands(u"ZVCCODA0001A") {}
};

TEST_F(CodaHostCommands, AnswerTheBrandAndTheWaveformChannels) {
    EXPECT_TRUE(Command(RIVU_CMD_VENDOR_NAME));
    EXPECT_STREQ(text, "Zarvonic NZ Ltd.");
    EXPECT_TRUE(Command(RIVU_CMD_CHANNEL_COUNT));
    EXPECT_EQ(record.value, 5);
    EXPECT_TRUE(Command(RIVU_CMD_CHANNEL_NAME, 5));
    EXPECT_STREQ(text, "VPR");
}

TEST_F(CodaHostCommands, StartAndStopUseTheWaveformCommands) {
    // No echo: the start gives up after about 5 s with the state where it was.
    const std::int64_t start = Now();
    EXPECT_FALSE(HandleHostCommand(device, RIVU_CMD_START_SAMPLING, nullptr));
    EXPECT_GE(Now() - start, 5000);
    EXPECT_LT(Now() - start, 5100);
    EXPECT_EQ(device.protocolState.load(), kAwaitWaveInfo);
    EXPECT_EQ(Sent(), ":WI5\n");

    EXPECT_TRUE(Command(RIVU_CMD_STOP_SAMPLING));
    EXPECT_EQ(device.protocolState.load(), kAwaitWaveStopEcho2);
    EXPECT_EQ(Sent(), ":WN5\n");
}

// A start while sampling runs succeeds at once: the host asked for sampling
// and has it. A start that finds a stop under way waits for its echoes; a stop
// whose echo was lost is sent once more (a CODA's, whose echo reports a
// pending upload) and then ended by the start itself: the device never stays
// unable to start.
TEST_F(CodaHostCommands, StartSucceedsWhileRunningAndEndsAStopThatNeverEchoed) {
    test::LogCapture& log = test::LogCapture::Instance();
    log.Clear();
    device.protocolState = kRunning;
    device.rowCount = 7;
    EXPECT_TRUE(HandleHostCommand(device, RIVU_CMD_START_SAMPLING, nullptr));
    EXPECT_EQ(device.protocolState.load(), kRunning);
    EXPECT_EQ(device.rowCount, 7);  // the run goes on untouched
    EXPECT_EQ(Sent(), "");

    // The stop's echoes arrive after 200 ms; then the start goes on, and the
    // instrument answers it.
    device.protocolState = kAwaitWaveStopEcho2;
    std::int64_t start = Now();
    memory.clock.onSleep = [&](std::int64_t now) {
        if (now >= start + 200 && device.protocolState == kAwaitWaveStopEcho2) device.protocolState = kReady;
        if (device.protocolState == kAwaitWaveInfo) device.protocolState = kRunning;
    };
    EXPECT_TRUE(HandleHostCommand(device, RIVU_CMD_START_SAMPLING, nullptr));
    EXPECT_EQ(Now() - start, 201);  // 200 ms, then the start's first look
    EXPECT_EQ(Sent(), ":WI5\n");

    // The final "S" echo never came: after 2 s the start takes the device to
    // Ready and starts.
    device.protocolState = kAwaitStopEcho2;
    start = Now();
    EXPECT_TRUE(HandleHostCommand(device, RIVU_CMD_START_SAMPLING, nullptr));
    EXPECT_EQ(Now() - start, 2000 + 1);
    EXPECT_EQ(Sent(), ":WI5\n");

    // The "WN5" echo was lost: the stop is sent again and its echoes come.
    device.protocolState = kAwaitWaveStopEcho2;
    memory.clock.onSleep = [&](std::int64_t) {
        if (memory.recorder.Take() == ":WN5\n") device.protocolState = kReady;  // the instrument answers the resend
        if (device.protocolState == kAwaitWaveInfo) device.protocolState = kRunning;
    };
    start = Now();
    EXPECT_TRUE(HandleHostCommand(device, RIVU_CMD_START_SAMPLING, nullptr));
    EXPECT_EQ(Now() - start, 2000 + 20 + 1);

    // An instrument that answers neither: the start ends the stop itself,
    // abandons the upload still pending, resets the run and starts.
    memory.clock.onSleep = nullptr;
    Sent();
    device.protocolState = kAwaitWaveStopEcho2;
    device.uploadPending = true;
    device.rowCount = 9;
    start = Now();
    EXPECT_FALSE(HandleHostCommand(device, RIVU_CMD_START_SAMPLING, nullptr));  // no answer to WI5 either
    EXPECT_EQ(Now() - start, 2000 + 2000 + 251 * 20);
    EXPECT_EQ(Sent(), ":WN5\n:WI5\n");
    EXPECT_FALSE(device.uploadPending);
    EXPECT_EQ(device.rowCount, 0);
    EXPECT_EQ(device.protocolState.load(), kAwaitWaveInfo);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "start: sampling is already running",
                               "!!! start: the instrument did not finish stopping; taken back to Ready",
                               "!!! start: the instrument did not echo the stop; sending it again",
                               "!!! start: the instrument did not echo the stop; sending it again",
                               "!!! start: the instrument did not finish stopping; taken back to Ready"}));
}

// Host commands wait up to 15 s for the description: one that arrives in time
// is used, otherwise the device is not responding and nothing is written.
TEST(HostCommandsBeforeTheHandshake, WaitForTheChannelDescriptionThenGiveUp) {
    test::MemoryDevice memory;
    RivuSerial& device = memory.device;
    device.channelNamesReply.Set(u"HR");
    char text[8] = "intact";
    RivuCommandRecord record{};
    record.text = text;
    record.textSize = sizeof text;
    std::int64_t start = memory.clock.now;
    EXPECT_FALSE(HandleHostCommand(device, RIVU_CMD_DATA_FORMAT, &record));
    EXPECT_EQ(memory.clock.now - start, 15000);
    EXPECT_TRUE(device.notResponding.load());
    EXPECT_STREQ(text, "intact");

    device.notResponding = false;
    device.channelNamesReply.Take();
    memory.clock.onSleep = [&](std::int64_t now) {
        if (now - start >= 3000) test::Describe(device, u"HR", u"bpm", u"300", u"0");
    };
    start = memory.clock.now;
    EXPECT_TRUE(HandleHostCommand(device, RIVU_CMD_DATA_FORMAT, &record));
    EXPECT_EQ(memory.clock.now - start, 3000);
    EXPECT_FALSE(device.notResponding.load());
    EXPECT_STREQ(text, "text");
}

}  // namespace
}  // namespace rivu
