#include "protocol/reply_dispatcher.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/channel_catalogue.h"
#include "serial/rivu_serial.h"
#include "support/com_call.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"
#include "tests/support/test_support.h"
#include "tools/host-objects/test_host.h"

namespace rivu {
namespace {

// Log lines need a log service from the first one on.
[[maybe_unused]] const test::LogCapture& kLog = test::LogCapture::Instance();

using test::LogCapture;

// count copies of field, comma-separated.
std::string Columns(std::size_t count, std::string_view field) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) (list += i == 0 ? "" : ",") += field;
    return list;
}

// The test plays the instrument: its replies go straight to HandleReply, the
// device's commands to a recorder.
class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::Instance().Clear(); }

    HResult Reply(std::string_view line) { return HandleReply(device, line.data(), line.size()); }

    // The commands the device sent since the last look, as framed on the line.
    std::string SentNothing() { return memory.recorder.Take(); }
    void ExpectSent(const std::string& command) { EXPECT_EQ(memory.recorder.Take(), ":" + command + "\n"); }

    std::int32_t State() const { return device.protocolState.load(); }

    // From Idle through the version reply, for either kind.
    void RunToParams() {
        device.protocolState.store(kAwaitStopEcho);
        ASSERT_EQ(Reply("S"), kOk);
        if (device.isZvcCoda) {
            ExpectSent("WN5");
            ASSERT_EQ(Reply("WN5"), kOk);
        }
        ExpectSent("V");
        ASSERT_EQ(Reply(device.isZvcCoda ? "V,2,1,0,1,CODA,x,ZVC" : "V,1,0,3,1,SomeModel"), kOk);
        if (device.isZvcCoda) {
            ExpectSent("ZvC");
            ASSERT_EQ(Reply("A"), kOk);
        }
        ExpectSent("F");
        ASSERT_EQ(State(), kAwaitParams);
    }

    void RunToReady(std::u16string_view names = u"Time,HR,SpO2") {
        ASSERT_EQ(Describe("p,p,p", std::string(names.begin(), names.end()), "s,bpm,%", "1,300,100", "0,0,0"), kOk);
        ASSERT_EQ(State(), kReady);
    }

    // A whole handshake with this params line and channel description; the
    // answer to the minVals line.
    HResult Describe(const std::string& params, const std::string& names, const std::string& units,
                     const std::string& maxima, const std::string& minima) {
        RunToParams();
        EXPECT_EQ(Reply("F"), kOk);
        EXPECT_EQ(Reply(params), kOk);
        EXPECT_EQ(Reply("EndOfCycle,0.02,0.1"), kOk);
        ExpectSent("U" + std::string(device.paramCount, '1'));
        EXPECT_EQ(Reply("U"), kOk);
        ExpectSent("I");
        EXPECT_EQ(Reply("I"), kOk);
        EXPECT_EQ(Reply(names), kOk);
        EXPECT_EQ(Reply(units), kOk);
        EXPECT_EQ(Reply(maxima), kOk);
        return Reply(minima);
    }

    // A device refused for its description: the reason logged, the host told.
    void ExpectRefused(const std::string& why) {
        EXPECT_EQ(State(), kAwaitChannelMin);
        EXPECT_TRUE(device.failed.load());
        EXPECT_EQ(LogCapture::Instance().Lines().back(), "!!! channel description refused: " + why);
        const std::u16string message = u"The device's channel description cannot be used (" +
                                       std::u16string(why.begin(), why.end()) +
                                       u"). Please power cycle the device and restart Vexamora.";
        EXPECT_EQ(device.lastError.Get().View(), message);
    }

    host::HostObjects host{test::FailOnHostProblem};  // outlives the device, which releases its sampling reference
    test::MemoryDevice memory{u"test"};
    RivuSerial& device = memory.device;
};

TEST_F(Dispatcher, RivuHandshakeFromStopEchoToReady) {
    device.protocolState.store(kAwaitStopEcho);
    EXPECT_EQ(Reply("X"), kOk);  // not the echo: dropped
    EXPECT_EQ(State(), kAwaitStopEcho);
    EXPECT_EQ(Reply("S"), kOk);
    ExpectSent("V");
    EXPECT_EQ(State(), kAwaitVersion);

    EXPECT_EQ(Reply("V,1,0,3,1,SomeModel"), kOk);
    EXPECT_EQ(device.firmwareVersion, "1.0.3.1");
    EXPECT_EQ(device.interfaceVersion, "1");
    EXPECT_EQ(device.modelName, "SomeModel");
    ExpectSent("F");
    EXPECT_EQ(State(), kAwaitParams);

    EXPECT_EQ(Reply("x,y"), kOk);  // before the echo: dropped
    EXPECT_EQ(Reply("F"), kOk);
    EXPECT_EQ(Reply("F"), kOk);
    EXPECT_EQ(State(), kAwaitParams);
    EXPECT_EQ(Reply("Time,a,b,c"), kOk);
    EXPECT_EQ(device.paramCount, 4u);
    EXPECT_FALSE(device.echoSeen);
    EXPECT_EQ(State(), kAwaitUploadRates);

    EXPECT_EQ(Reply("EndOfCycle,0.02,0.1,0.005"), kOk);
    ExpectSent("U1111");
    EXPECT_EQ(device.samplePeriodUs.load(), 20000);
    EXPECT_EQ(State(), kAwaitUploadEcho);

    EXPECT_EQ(Reply("U"), kOk);
    ExpectSent("I");
    EXPECT_EQ(Reply("I"), kOk);
    EXPECT_EQ(Reply("I"), kOk);  // a second echo changes nothing
    EXPECT_EQ(State(), kAwaitChannelNames);
    EXPECT_EQ(Reply("Time,HR,SpO2,Tidal"), kOk);
    EXPECT_EQ(Reply("s,bpm,%,ml"), kOk);
    EXPECT_EQ(Reply("1,300,100,99.99"), kOk);
    EXPECT_EQ(State(), kAwaitChannelMin);
    EXPECT_TRUE(device.channelMinReply.IsEmpty());
    EXPECT_EQ(Reply("0,0,0,0"), kOk);
    EXPECT_EQ(State(), kReady);
    EXPECT_EQ(device.channelNamesReply.Get().View(), u"Time,HR,SpO2,Tidal");
    EXPECT_EQ(device.channelMinReply.Get().View(), u"0,0,0,0");
    EXPECT_EQ(device.channels.Count(), 3u);
    EXPECT_EQ(SentNothing(), "");

    std::vector<std::string> lines = LogCapture::Instance().Lines();
    std::vector<std::string> replies;
    for (const std::string& line : lines) {
        if (line.rfind("channel: ", 0) != 0) replies.push_back(line);
    }
    EXPECT_EQ(replies, (std::vector<std::string>{"version: V,1,0,3,1,SomeModel", "params: Time,a,b,c",
                                                 "upload rates: EndOfCycle,0.02,0.1,0.005",
                                                 "channel names: Time,HR,SpO2,Tidal", "channel units: s,bpm,%,ml",
                                                 "channel maxVals: 1,300,100,99.99", "channel minVals: 0,0,0,0"}));
    // Time stamps: seconds with three decimals.
    std::string raw = LogCapture::Instance().RawLines().front();
    std::size_t point = raw.find('.');
    ASSERT_NE(point, std::string::npos);
    EXPECT_EQ(raw.substr(point + 4, 11), ": version: ");
}

TEST_F(Dispatcher, ZarvonicCodaHandshakeAddsItsSteps) {
    device.isZvcCoda = true;
    device.protocolState.store(kAwaitStopEcho);
    EXPECT_EQ(Reply("S"), kOk);
    ExpectSent("WN5");
    EXPECT_EQ(State(), kAwaitWaveStopEcho);
    EXPECT_EQ(Reply("WN"), kOk);  // too short to be the echo
    EXPECT_EQ(Reply("WN5,0"), kOk);
    ExpectSent("V");
    EXPECT_EQ(Reply("V,2,1,0,1,CODA,x,ZVC"), kOk);
    EXPECT_EQ(device.modelName, "Zarvonic CODA");
    EXPECT_TRUE(device.lastError.IsEmpty());
    ExpectSent("ZvC");
    EXPECT_EQ(State(), kAwaitIdentEcho);
    EXPECT_EQ(Reply("B"), kOk);
    EXPECT_EQ(Reply("A"), kOk);
    ExpectSent("F");
    EXPECT_EQ(State(), kAwaitParams);
}

TEST_F(Dispatcher, ShortVersionReplyIsRefused) {
    device.protocolState.store(kAwaitVersion);
    EXPECT_EQ(Reply("V,1,0,3"), kFail);
    EXPECT_EQ(State(), kAwaitVersion);
    EXPECT_EQ(SentNothing(), "");
    EXPECT_EQ(LogCapture::Instance().Lines(),
              (std::vector<std::string>{"version: V,1,0,3", "!!! version reply smaller than expected, bailing..."}));

    EXPECT_EQ(Reply("V,1,0,3,2"), kOk);
    EXPECT_EQ(device.modelName, "Unknown Rivu Device");
    EXPECT_EQ(device.interfaceVersion, "2");
    ExpectSent("F");
}

TEST_F(Dispatcher, RivuCodaIsRefusedWithItsMessage) {
    device.protocolState.store(kAwaitVersion);
    EXPECT_EQ(Reply("V,1,0,3,1,CODA"), kFail);
    EXPECT_EQ(device.lastError.Get().View(), u"Rivu CODA Monitor is not supported by Vexamora.");
    EXPECT_EQ(Reply("V,1,0,3,1,CODA,x,ZVC"), kFail);
    EXPECT_EQ(device.lastError.Get().View(),
              u"Rivu CODA reported as Zarvonic CODA. Rivu CODA is not supported by Vexamora.");
    EXPECT_EQ(LogCapture::Instance().Lines().back(),
              "!!! Rivu CODA reported as Zarvonic CODA. Rivu CODA is not supported by Vexamora.");
    EXPECT_EQ(Reply("V,1,0,3,1,CODA,x,zvc"), kFail);
    EXPECT_EQ(device.lastError.Get().View(), u"Rivu CODA Monitor is not supported by Vexamora.");
    EXPECT_EQ(State(), kAwaitVersion);
    EXPECT_EQ(SentNothing(), "");

    EXPECT_EQ(Reply("V,1,0,3,1,coda"), kOk);  // any other spelling is an ordinary monitor
    EXPECT_EQ(device.modelName, "coda");
    ExpectSent("F");
}

TEST_F(Dispatcher, UnmarkedZarvonicCodaIsNotedAndAccepted) {
    device.isZvcCoda = true;
    device.protocolState.store(kAwaitVersion);
    EXPECT_EQ(Reply("V,1,0,3,1,CODA"), kOk);
    EXPECT_EQ(device.lastError.Get().View(), u"Zarvonic CODA failed to report itself as an Zarvonic CODA.");
    EXPECT_EQ(LogCapture::Instance().Lines().back(), "!!! Zarvonic CODA failed to report itself as an Zarvonic CODA.");
    EXPECT_EQ(device.modelName, "Zarvonic CODA");
    ExpectSent("ZvC");
    EXPECT_EQ(State(), kAwaitIdentEcho);
}

TEST_F(Dispatcher, LongParamsRepliesAreAcknowledgedWholeOrRefused) {
    RunToParams();
    ASSERT_EQ(Reply("F"), kOk);
    std::string thirty(29, ',');
    ASSERT_EQ(Reply(thirty), kOk);
    EXPECT_EQ(device.paramCount, 30u);
    ASSERT_EQ(Reply("rates"), kOk);
    ExpectSent("U" + std::string(30, '1'));

    // 508 parameters fill the longest frame; 509 cannot be acknowledged, and
    // the host learns it at once instead of waiting for a catalogue.
    device.protocolState.store(kAwaitParams);
    ASSERT_EQ(Reply("F"), kOk);
    EXPECT_FALSE(device.failed.load());
    EXPECT_EQ(Reply(std::string(508, ',')), kFail);
    EXPECT_EQ(State(), kAwaitParams);
    EXPECT_EQ(device.paramCount, 30u);
    EXPECT_EQ(LogCapture::Instance().Lines().back(),
              "!!! params reply has 509 fields, more than 508 cannot be acknowledged");
    EXPECT_TRUE(device.failed.load());
    EXPECT_EQ(device.lastError.Get().View(),
              u"The device reports 509 parameters, more than the 508 that can be used. Please contact support.");
    EXPECT_EQ(Reply("after the refusal, without an echo"), kOk);
    EXPECT_EQ(State(), kAwaitParams);

    ASSERT_EQ(Reply("F"), kOk);
    ASSERT_EQ(Reply(std::string(507, ',')), kOk);
    EXPECT_EQ(device.paramCount, 508u);
    ASSERT_EQ(Reply("rates"), kOk);
    ExpectSent("U" + std::string(508, '1'));
}

TEST_F(Dispatcher, UnusableChannelDescriptionWaitsForAnotherMinValsLine) {
    EXPECT_EQ(Describe("a,b", "HR,SpO2", "bpm,%", "300,100", "0"), kFail);
    ExpectRefused("its lists differ in length: 2 names, 2 units, 2 upper and 1 lower limits");
    EXPECT_EQ(device.channels.Count(), 0u);
    EXPECT_EQ(Reply(""), kFail);
    ExpectRefused("a list is empty");
    EXPECT_EQ(Reply("0,0"), kOk);
    EXPECT_EQ(State(), kReady);
    EXPECT_EQ(device.channels.Count(), 2u);
    EXPECT_TRUE(device.failed.load());  // the flag is never cleared
}

// A description may list at most kMaxDescriptionColumns columns, and no more
// than the params reply announced: beyond that nothing is built for it.
TEST_F(Dispatcher, TheLargestDescriptionIsAccepted) {
    constexpr std::size_t kMost = kMaxDescriptionColumns;
    device.isZvcCoda = true;  // the most records a device can have: its columns and the two waveform channels
    EXPECT_EQ(Describe(Columns(kMost, "x"), Columns(kMost, "HR"), Columns(kMost, "bpm"), Columns(kMost, "300"),
                       Columns(kMost, "0")),
              kOk);
    EXPECT_EQ(State(), kReady);
    EXPECT_EQ(device.channels.Count(), kMost + 2);
    EXPECT_FALSE(device.failed.load());
}

TEST_F(Dispatcher, LargerDescriptionsAreRefusedEveryTime) {
    constexpr std::size_t kMost = kMaxDescriptionColumns;
    const std::string params = Columns(kMost + 1, "x");
    EXPECT_EQ(Describe(params, Columns(kMost + 1, "HR"), Columns(kMost + 1, "bpm"), Columns(kMost + 1, "300"),
                       Columns(kMost + 1, "0")),
              kFail);
    ExpectRefused("65 columns, more than the 64 that can be used");
    EXPECT_EQ(device.channels.Count(), 0u);

    // A second handshake is refused again (the host has taken the first
    // message), whichever bound the description breaks.
    device.lastError.Take();
    EXPECT_EQ(Describe(params, Columns(4095, "H"), Columns(4095, "u"), Columns(4095, "1"), Columns(4095, "0")), kFail);
    ExpectRefused("4095 columns, more than the 64 that can be used");
    EXPECT_EQ(Describe("a,b,c", "Time,HR,SpO2,Tidal", "s,bpm,%,ml", "1,300,100,10", "0,0,0,0"), kFail);
    ExpectRefused("4 columns, but the params reply announced 3");
    EXPECT_EQ(device.channels.Count(), 0u);

    // A usable description still builds; the device stays marked failed.
    EXPECT_EQ(Describe("a,b,c", "Time,HR,SpO2", "s,bpm,%", "1,300,100", "0,0,0"), kOk);
    EXPECT_EQ(device.channels.Count(), 2u);
    EXPECT_TRUE(device.failed.load());
}

// A params line with a final comma counts one parameter more than its rows
// have fields: the rows are dropped, the first of each run with a log line.
TEST_F(Dispatcher, DroppedDataRowsAreLoggedOncePerRun) {
    ASSERT_EQ(Describe("Time,HR,SpO2,", "Time,HR,SpO2", "s,bpm,%", "1,300,100", "0,0,0"), kOk);
    EXPECT_EQ(device.paramCount, 4u);
    device.protocolState.store(kAwaitStartEcho);
    ASSERT_EQ(Reply("B"), kOk);
    LogCapture::Instance().Clear();

    const std::string dropped = "!!! data rows dropped: 3 fields, the params reply announced 4; the first: ";
    EXPECT_EQ(Reply("0.5,60,98"), kOk);
    EXPECT_EQ(Reply("1.0,61,97"), kOk);
    EXPECT_EQ(Reply("1.5,62,96,"), kOk);  // the final comma adds no field
    EXPECT_EQ(device.rowsAhead, 0);
    EXPECT_EQ(LogCapture::Instance().Lines(), std::vector<std::string>{dropped + "0.5,60,98"});

    // A row that is taken ends the run; the next dropped one is logged again,
    // and so is the first of a new sampling run.
    EXPECT_EQ(Reply("2.0,63,95,x"), kOk);
    EXPECT_EQ(device.rowsAhead, 1);
    EXPECT_EQ(Reply("2.5,64"), kOk);
    EXPECT_EQ(Reply("3.0,65"), kOk);
    device.protocolState.store(kAwaitStartEcho);
    ASSERT_EQ(Reply("B"), kOk);
    EXPECT_EQ(Reply("3.5,66,94"), kOk);
    EXPECT_EQ(
        LogCapture::Instance().Lines(),
        (std::vector<std::string>{dropped + "0.5,60,98",
                                  "!!! data rows dropped: 2 fields, the params reply announced 4; the first: 2.5,64",
                                  dropped + "3.5,66,94"}));
}

TEST_F(Dispatcher, StartAndStopOfARivuInstrument) {
    RunToReady();
    EXPECT_EQ(Reply("B"), kOk);  // Ready drops everything
    EXPECT_EQ(State(), kReady);
    device.protocolState.store(kAwaitStartEcho);
    EXPECT_EQ(Reply("B"), kOk);
    EXPECT_EQ(State(), kRunning);
    EXPECT_EQ(SentNothing(), "");

    EXPECT_EQ(Reply("0.5,60,98"), kOk);
    EXPECT_EQ(device.rowsAhead, 1);
    EXPECT_EQ(Reply("m,1,2"), kOk);  // a measurement line only means something on a CODA
    EXPECT_EQ(Reply("w5,0,1,2"), kOk);
    EXPECT_EQ(device.rowsAhead, 1);
    EXPECT_EQ(device.channels.ByNumber(1)->SamplesHeld(), 1u);

    device.protocolState.store(kAwaitStopEcho2);
    EXPECT_EQ(Reply("0.5,60,98"), kOk);
    EXPECT_EQ(Reply("S"), kOk);
    EXPECT_EQ(State(), kReady);
    EXPECT_EQ(device.rowsAhead, 1);
}

TEST_F(Dispatcher, StartAndStopOfAZarvonicCoda) {
    device.isZvcCoda = true;
    RunToReady(u"Time,HR,SpO2");
    device.protocolState.store(kAwaitWaveInfo);
    EXPECT_EQ(Reply("WI5,1,2,3,4,5,6,7,8,9,10"), kFail);  // 11 fields
    EXPECT_EQ(State(), kAwaitWaveInfo);
    EXPECT_EQ(SentNothing(), "");
    EXPECT_EQ(Reply("WI5,1,500,3,4,5,6,7,8,9,10,11"), kOk);
    EXPECT_EQ(device.waveformLength, 500);
    ExpectSent("B");
    EXPECT_EQ(State(), kAwaitStartEcho);
    EXPECT_EQ(Reply("B"), kOk);
    ExpectSent("WA5");
    EXPECT_EQ(State(), kAwaitWaveArmEcho);
    EXPECT_EQ(Reply("WA"), kOk);
    EXPECT_EQ(State(), kAwaitWaveArmEcho);
    EXPECT_EQ(Reply("WA5"), kOk);
    EXPECT_EQ(State(), kRunning);

    // "w" alone is a data line (of one field: dropped by its count); "w5" is a chunk.
    EXPECT_EQ(Reply("w"), kOk);
    EXPECT_EQ(device.rowsAhead, 0);
    EXPECT_EQ(Reply("w5,0,10,20"), kOk);
    EXPECT_EQ(device.rowCount, 2);
    EXPECT_TRUE(device.uploadPending);
    EXPECT_EQ(Reply("m,short"), kFail);  // the measurement handler's answer
    EXPECT_FALSE(device.uploadPending);
    EXPECT_EQ(Reply("w5,2,11,21"), kOk);
    EXPECT_TRUE(device.uploadPending);

    host.SetChannelTitles({u"HR", u"VPR"});
    device.samplingInterface = host.NewSamplingReference();
    device.protocolState.store(kAwaitWaveStopEcho2);
    EXPECT_EQ(Reply("WN5"), kOk);
    ExpectSent("S");
    EXPECT_EQ(State(), kAwaitStopEcho2);
    std::vector<host::RecordedComment> comments = host.Comments();
    ASSERT_EQ(comments.size(), 1u);
    EXPECT_EQ(comments[0].text, u"error: incomplete waveform upload");
    EXPECT_EQ(comments[0].channel, 1);
    EXPECT_EQ(Reply("S"), kOk);
    EXPECT_EQ(State(), kReady);
    // A second stop does not report the same upload again.
    device.protocolState.store(kAwaitWaveStopEcho2);
    EXPECT_EQ(Reply("WN5"), kOk);
    ExpectSent("S");
    EXPECT_EQ(host.Comments().size(), 1u);

    Release(device.samplingInterface);
    device.samplingInterface = nullptr;
    EXPECT_EQ(host.OutstandingReferences(), 0);
}

TEST_F(Dispatcher, IdleAndUnknownStatesDropEverything) {
    for (std::int32_t state : {0, 12, 16, 17, 21, -1}) {
        device.protocolState.store(state);
        for (std::string_view line : {"S", "V,1,0,3,1", "F", "I", "B", "WN5", "1,2,3"}) {
            EXPECT_EQ(Reply(line), kOk);
            EXPECT_EQ(State(), state);
        }
    }
    EXPECT_EQ(SentNothing(), "");
    EXPECT_TRUE(LogCapture::Instance().Lines().empty());
    EXPECT_TRUE(device.modelName.empty());
}

TEST_F(Dispatcher, LinesAreDecodedUpToTheirLengthOrANul) {
    device.protocolState.store(kAwaitVersion);
    const char bytes[] = "V,1,0,3,1,Model\0,x,ZVC";
    EXPECT_EQ(HandleReply(device, bytes, sizeof bytes - 1), kOk);
    EXPECT_EQ(device.modelName, "Model");
    device.protocolState.store(kAwaitVersion);
    EXPECT_EQ(HandleReply(device, "V,1,0,3,1,ModelXYZ", 13), kOk);
    EXPECT_EQ(device.modelName, "Mod");
}

TEST_F(Dispatcher, LongLinesAndBytesBeyondAsciiAreDecodedWhole) {
    device.protocolState.store(kAwaitVersion);
    EXPECT_EQ(Reply("V,1,0,3,1,Mod\xB5l"), kOk);
    EXPECT_EQ(device.modelName, "Mod\xB5l");
    const std::string longModel(600, 'M');
    device.protocolState.store(kAwaitVersion);
    EXPECT_EQ(Reply("V,1,0,3,1," + longModel), kOk);
    EXPECT_EQ(device.modelName, longModel);
}

}  // namespace
}  // namespace rivu
