#include "coda/waveform_upload.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "coda/host_commands.h"
#include "protocol/channel_catalogue.h"
#include "protocol/reply_dispatcher.h"
#include "serial/receive_ring.h"
#include "serial/rivu_serial.h"
#include "support/com_call.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"
#include "tests/support/test_support.h"
#include "tools/host-objects/host_contract.h"
#include "tools/host-objects/test_host.h"

namespace rivu::host {

void PrintTo(const RecordedComment& c, std::ostream* out) {
    *out << "{channel " << c.channel << ", position " << c.position << ", record " << c.record << ", \""
         << std::string(c.text.begin(), c.text.end()) << "\"}";
}

}  // namespace rivu::host

namespace rivu {
namespace {

using host::RecordedComment;

// Log lines need a log service from the first one on.
[[maybe_unused]] const test::LogCapture& kLog = test::LogCapture::Instance();

// A Zarvonic CODA in the Running state with one instrument channel (HR) after
// the time column, then O-Cuff and VPR, recording into the host's document.
class Waveform : public ::testing::Test {
protected:
    void SetUp() override {
        device.isZvcCoda = true;
        device.samplePeriodUs.store(20000);
        device.paramCount = 2;
        ASSERT_TRUE(test::Describe(device, u"Time,HR", u"s,bpm", u"1,300", u"0,0"));
        device.protocolState.store(kRunning);
        device.waveformLength = 8;
        host.SetChannelTitles({u"Heart Rate", u"O-Cuff", u"VPR"});
        host.SetRecordCount(3);
        host.ExpectVprChannel(2);  // channels: HR, O-Cuff, VPR
        device.samplingInterface = host.NewSamplingReference();
    }

    // Through the dispatcher, as the reader thread hands lines over.
    HResult Line(std::string_view text) { return HandleReply(device, text.data(), text.size()); }

    std::vector<std::int32_t> Drain(std::int32_t index) {
        std::vector<std::int32_t> samples;
        std::int32_t sample;
        while (device.channels.ByNumber(index + 1)->TakeSample(sample)) samples.push_back(sample);
        return samples;
    }
    std::vector<std::int32_t> Cuff() { return Drain(device.cuffChannel.load()); }
    std::vector<std::int32_t> Vpr() { return Drain(device.vprChannel.load()); }

    // A result line: diastolic, systolic, error flag, diastolic and systolic points.
    static std::string Result(const std::string& dia, const std::string& sys, int error, int diaPoint, int sysPoint) {
        return "m,1,2,3,4,5," + dia + "," + sys + ",8,9,10,11," + std::to_string(error) + "," +
               std::to_string(diaPoint) + "," + std::to_string(sysPoint) + ",15";
    }

    // A chunk of count values from start (values start + 1, start + 2, ...).
    static std::string Chunk(int start, int count) {
        std::string line = "w5," + std::to_string(start);
        for (int v = 1; v <= count; ++v) line += "," + std::to_string(start + v);
        return line;
    }

    // Lines as one read of the reader thread brings them, at the clock time
    // readAt (the port seen drained then).
    void Read(std::int64_t readAt, std::initializer_list<std::string> lines) {
        memory.clock.now = readAt;
        NoteRead(device, readAt, true);
        for (const std::string& line : lines) ASSERT_EQ(Line(line), kOk) << line;
    }

    // Makes the last chunk look older than the upload time-out.
    void LetUploadStall() { device.uploadTimerStart -= device.uploadTimeout; }

    host::HostObjects host{test::FailOnHostProblem};  // outlives the device, which releases its sampling reference
    test::MemoryDevice memory{u"test"};
    RivuSerial& device = memory.device;
};

TEST_F(Waveform, WaveformChannelsTrailDataRowsByAtMostTwenty) {
    for (int i = 0; i < 25; ++i) ASSERT_EQ(Line("0.1,60"), kOk);
    EXPECT_EQ(device.rowsAhead, 21);
    EXPECT_EQ(device.rowCount, 4);
    EXPECT_EQ(Cuff(), (std::vector<std::int32_t>{0, 0, 0, 0}));
    EXPECT_EQ(Vpr(), (std::vector<std::int32_t>{0, 0, 0, 0}));
    EXPECT_EQ(Drain(0).size(), 25u);
}

TEST_F(Waveform, EachValueTakesTwoRowsOfItsChannel) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Line("0.1,60"), kOk);
    device.rowCount = 7;
    ASSERT_EQ(Line("w5,0,100,50,101,51"), kOk);
    EXPECT_EQ(device.cycleStartRow, 7);
    EXPECT_TRUE(device.cycleStartSeen);
    EXPECT_TRUE(device.uploadPending);
    EXPECT_EQ(device.rowCount, 11);
    EXPECT_EQ(device.rowsAhead, -1);
    EXPECT_EQ(Cuff(), (std::vector<std::int32_t>{100, 100, 101, 101}));
    EXPECT_EQ(Vpr(), (std::vector<std::int32_t>{50, 50, 51, 51}));
    // Values are clamped to the waveform channels' 0 to 300 mmHg.
    ASSERT_EQ(Line("w5,4,400,-3"), kOk);
    EXPECT_EQ(Cuff(), (std::vector<std::int32_t>{300, 300}));
    EXPECT_EQ(Vpr(), (std::vector<std::int32_t>{0, 0}));
}

TEST_F(Waveform, TheChunkEndingAtTheExpectedLengthCompletesTheUpload) {
    ASSERT_EQ(Line("w5,0,1,2,3,4"), kOk);
    EXPECT_TRUE(device.uploadPending);
    ASSERT_EQ(Line("w5,4,5,6,7,8"), kOk);
    EXPECT_FALSE(device.uploadPending);
    EXPECT_EQ(device.waveformLength, 8);

    ASSERT_EQ(Line("w5,0,1,2,3,4"), kOk);
    ASSERT_EQ(Line("w5,8,5,6,7,8"), kOk);  // past the expected end
    EXPECT_TRUE(device.uploadPending);
    EXPECT_EQ(device.waveformLength, 1000);

    // A first chunk is never the last, even when it carries everything.
    device.waveformLength = 2;
    device.uploadPending = false;
    ASSERT_EQ(Line("w5,0,1,2"), kOk);
    EXPECT_TRUE(device.uploadPending);
}

TEST_F(Waveform, AChunkWithoutStartIndexIsDropped) {
    ASSERT_EQ(Line("w5"), kOk);
    EXPECT_FALSE(device.uploadPending);
    EXPECT_FALSE(device.cycleStartSeen);
    EXPECT_EQ(device.rowCount, 0);
}

TEST_F(Waveform, ResultsArePlacedAtTheirPointsInHostTimeUnits) {
    device.rowCount = 30;
    device.waveformLength = 100;
    ASSERT_EQ(Line(Chunk(0, 50)), kOk);
    ASSERT_EQ(Line(Chunk(50, 50)), kOk);
    ASSERT_FALSE(device.uploadPending);
    ASSERT_EQ(Line(Result("80", "120", 0, 40, 35)), kOk);
    // Rows 30 + 70 and 30 + 80 at 20 ms a row and 1 ms a host unit; record 3 - 1.
    EXPECT_EQ(host.Comments(), (std::vector<RecordedComment>{{2, 2000, 2, u"Systolic BP = 120 mmHg"},
                                                             {2, 2200, 2, u"Diastolic BP = 80 mmHg"}}));

    // The texts are carried as received; the time unit comes from the host.
    host.ClearComments();
    host.SetSecondsPerUnit(0.02);
    ASSERT_EQ(Line(Result(" 79.5", "", 0, 0, 1)), kOk);
    EXPECT_EQ(host.Comments(), (std::vector<RecordedComment>{{2, 32, 2, u"Systolic BP =  mmHg"},
                                                             {2, 30, 2, u"Diastolic BP =  79.5 mmHg"}}));

    // A point before the cycle or past its 100 rows posts nothing, with a line.
    host.ClearComments();
    test::LogCapture& log = test::LogCapture::Instance();
    log.Clear();
    ASSERT_EQ(Line(Result("80", "120", 0, -1, 35)), kOk);
    ASSERT_EQ(Line(Result("80", "120", 0, 40, 50)), kOk);
    EXPECT_TRUE(host.Comments().empty());
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{
                  "!!! blood-pressure result dropped: a point lies outside its cycle of 100 rows (diastolic point -1, "
                  "systolic point 35)",
                  "!!! blood-pressure result dropped: a point lies outside its cycle of 100 rows (diastolic point 40, "
                  "systolic point 50)"}));
}

TEST_F(Waveform, ResultsWithoutACycleStartOrWithAnErrorPostOnlyANote) {
    device.rowCount = 12;
    ASSERT_EQ(Line(Result("80", "120", 0, 40, 35)), kOk);
    EXPECT_EQ(host.Comments(),
              (std::vector<RecordedComment>{{2, 240, 2, u"note: waveform cycle started prior to sampling"}}));

    host.ClearComments();
    ASSERT_EQ(Line("w5,0,1,2,3,4"), kOk);
    ASSERT_EQ(Line("w5,4,5,6,7,8"), kOk);
    ASSERT_EQ(Line(Result("80", "120", 1, 40, 35)), kOk);
    EXPECT_EQ(host.Comments(), (std::vector<RecordedComment>{{2, 240, 2, u"error: failed to calcuate BP values"}}));

    host.ClearComments();
    EXPECT_EQ(Line("m,1,2,3,4,5,80,120,8,9,10,11,0,40,35"), kFail);  // 15 fields
    EXPECT_TRUE(host.Comments().empty());
}

TEST_F(Waveform, AStalledUploadIsReportedOnceByTheNextLine) {
    ASSERT_EQ(Line("w5,0,1,2,3,4"), kOk);
    ASSERT_EQ(Line("0.1,60"), kOk);  // the upload is alive: no report
    EXPECT_TRUE(host.Comments().empty());
    LetUploadStall();
    ASSERT_EQ(Line("0.1,60"), kOk);
    ASSERT_EQ(Line("0.1,60"), kOk);
    EXPECT_FALSE(device.uploadPending);
    EXPECT_EQ(host.Comments(), (std::vector<RecordedComment>{{2, 0, 2, u"error: incomplete waveform upload"}}));

    // When the late line is the result, the error comes first, then the result.
    host.ClearComments();
    ASSERT_EQ(Line("w5,0,1,2,3,4"), kOk);
    LetUploadStall();
    ASSERT_EQ(Line(Result("80", "120", 0, 1, 2)), kOk);
    EXPECT_EQ(device.waveformLength, 8);
    std::vector<RecordedComment> comments = host.Comments();
    ASSERT_EQ(comments.size(), 3u);
    EXPECT_EQ(comments[0].text, u"error: incomplete waveform upload");
    EXPECT_EQ(comments[1].text, u"Systolic BP = 120 mmHg");
}

// The time-out is judged by when a line can have arrived (after the port was
// last seen without it), not by when the reader gets round to it: a reader
// that got no processor finds the next chunk right behind the last one.
TEST_F(Waveform, AnUploadIsJudgedByWhenItsLinesArrivedNotWhenTheyAreHandled) {
    // Chunk 0 is read at 1000 ms; the reader then gets no processor for 700 ms
    // while the rest of the cycle arrives: all of it comes in one read.
    Read(1000, {"w5,0,1,2,3,4"});
    Read(1700, {"0.1,60", "w5,4,5,6,7,8", Result("80", "120", 0, 1, 2)});
    EXPECT_EQ(host.Comments(), (std::vector<RecordedComment>{{2, 80, 2, u"Systolic BP = 120 mmHg"},
                                                             {2, 40, 2, u"Diastolic BP = 80 mmHg"}}));
    EXPECT_EQ(Cuff(), (std::vector<std::int32_t>{1, 1, 3, 3, 5, 5, 7, 7}));  // no zero rows in the middle

    // A real stall: the reader's waits found the port quiet up to 2440 ms;
    // a line read at 2450 may have arrived just after 2440, less than 450 ms
    // after the chunk: still alive. The next one arrived after 2450: stalled,
    // reported once at the cycle start, and the waveform channels are filled.
    host.ClearComments();
    device.rowCount = 30;
    Read(2000, {"w5,0,1,2,3,4"});
    for (std::int64_t now = 2020; now <= 2440; now += 20) NotePortQuiet(device, now);
    Read(2450, {"0.1,60"});
    EXPECT_TRUE(device.uploadPending);
    Read(2470, {"0.1,60", "0.1,60"});
    EXPECT_FALSE(device.uploadPending);
    EXPECT_EQ(host.Comments(), (std::vector<RecordedComment>{{2, 600, 2, u"error: incomplete waveform upload"}}));
}

// Results are placed with the sampling period of the run, whatever period the
// VPR channel was built with (the handshake builds it at 20 000 us).
TEST_F(Waveform, ResultsArePlacedWithThePeriodSelectedForTheRun) {
    device.uploadRates = {{5000, 4}, {10000, 3}, {20000, 2}, {50000, 1}, {100000, 0}};
    device.controllingProxy = host.ControllingProxy();
    memory.clock.onSleep = [&](std::int64_t) {
        if (device.protocolState == kAwaitWaveInfo) device.protocolState = kRunning;
    };
    for (const std::int32_t period : {5000, 10000, 20000, 50000, 100000}) {
        SCOPED_TRACE(period);
        device.protocolState = kReady;
        RivuCommandRecord select{};
        select.argument = period;
        ASSERT_TRUE(HandleHostCommand(device, RIVU_CMD_SET_SAMPLE_PERIOD, &select));
        ASSERT_TRUE(HandleHostCommand(device, RIVU_CMD_START_SAMPLING, nullptr));
        device.waveformLength = 100;
        host.ClearComments();
        ASSERT_EQ(Line(Chunk(0, 50)), kOk);
        ASSERT_EQ(Line(Chunk(50, 50)), kOk);
        ASSERT_EQ(Line(Result("80", "120", 0, 40, 35)), kOk);
        // Rows 70 and 80 at the run's period, in host units of 1 ms.
        EXPECT_EQ(host.Comments(), (std::vector<RecordedComment>{{2, 70 * period / 1000, 2, u"Systolic BP = 120 mmHg"},
                                                                 {2, 80 * period / 1000, 2, u"Diastolic BP = 80 mmHg"}}));
    }
}

TEST_F(Waveform, APrematureResultShortensTheUploadOnce) {
    ASSERT_EQ(Line("w5,0,1,2,3,4"), kOk);
    ASSERT_EQ(Line(Result("80", "120", 0, 1, 2)), kOk);
    EXPECT_FALSE(device.uploadPending);
    EXPECT_EQ(device.waveformLength, 750);
    EXPECT_EQ(host.Comments().size(), 2u);

    test::LogCapture& log = test::LogCapture::Instance();
    log.Clear();
    ASSERT_EQ(Line("w5,0,1,2,3,4"), kOk);
    ASSERT_EQ(Line(Result("80", "120", 0, 1, 2)), kOk);
    EXPECT_FALSE(device.uploadPending);
    EXPECT_EQ(host.Comments().size(), 2u);  // dropped

    // Uploads of 8 values never complete at 750 again: every later result is
    // dropped, which is said once.
    ASSERT_EQ(Line("w5,0,1,2,3,4"), kOk);
    ASSERT_EQ(Line("w5,4,5,6,7,8"), kOk);
    ASSERT_EQ(Line(Result("80", "120", 0, 1, 2)), kOk);
    EXPECT_EQ(host.Comments().size(), 2u);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"!!! blood-pressure result dropped: its waveform upload did not "
                                                     "complete at length 750; later results like it are dropped too"}));
}

TEST_F(Waveform, CommentsNeedTheVprChannelAndTheHost) {
    // The title is matched whole; without a match the channel is -1.
    host.SetChannelTitles({u"vpr", u"VPR "});
    ReportCycleMessage(device, 5, u"unmatched");
    host.FailStep(host::Step::ChannelTitle);
    ReportCycleMessage(device, 5, u"no titles");
    host.FailStep(host::Step::None);
    EXPECT_EQ(host.Comments(), (std::vector<RecordedComment>{{-1, 100, 2, u"unmatched"}, {-1, 100, 2, u"no titles"}}));

    host.ClearComments();
    for (host::Step step : {host::Step::Document, host::Step::Comments}) {
        host.FailStep(step);
        ReportCycleMessage(device, 0, u"lost");
    }
    host.FailStep(host::Step::None);
    device.channels.ByNumber(device.vprChannel.load() + 1)->SetEnabled(false);
    ReportCycleMessage(device, 0, u"switched off");
    device.channels.ByNumber(device.vprChannel.load() + 1)->SetEnabled(true);
    void* sampling = device.samplingInterface;
    device.samplingInterface = nullptr;
    ReportCycleMessage(device, 0, u"no sampling");
    device.samplingInterface = sampling;
    EXPECT_TRUE(host.Comments().empty());

    // Every reference taken on the way was given back (the device holds one).
    EXPECT_EQ(host.OutstandingReferences(), 1);
    EXPECT_EQ(host.References(host::Counted::Sampling), 1);
}

TEST_F(Waveform, AbsurdHostAnswersGiveDefinedPositions) {
    host.SetSecondsPerUnit(0.0);
    host.SetRecordCount(-2147483647 - 1);
    ReportCycleMessage(device, 10, u"a");
    device.cycleStartRow = 2147483647;
    host.SetSecondsPerUnit(1e-12);
    ReportCycleMessage(device, 2147483647, u"b");
    std::vector<RecordedComment> comments = host.Comments();
    ASSERT_EQ(comments.size(), 2u);
    EXPECT_EQ(comments[0].position, 2147483647);
    EXPECT_EQ(comments[0].record, -2147483647 - 1);
    EXPECT_EQ(comments[1].position, 2147483647);
}

TEST_F(Waveform, TheSamplingInterfaceComesFromTheControllingProxy) {
    Release(device.samplingInterface);
    device.samplingInterface = nullptr;
    device.controllingProxy = host.ControllingProxy();
    RefreshSamplingInterface(device);
    ASSERT_NE(device.samplingInterface, nullptr);
    EXPECT_EQ(host.References(host::Counted::Sampling), 1);
    EXPECT_EQ(host.OutstandingReferences(), 1);
    ReportCycleMessage(device, 1, u"through the proxy");
    EXPECT_EQ(host.Comments(), (std::vector<RecordedComment>{{2, 20, 2, u"through the proxy"}}));

    for (host::Step step :
         {host::Step::ProxyObject, host::Step::Session, host::Step::SamplingObject, host::Step::Sampling}) {
        host.FailStep(step);
        RefreshSamplingInterface(device);
        EXPECT_EQ(device.samplingInterface, nullptr);
        EXPECT_EQ(host.OutstandingReferences(), 0);
    }
}

// The test host itself: each object counts on its own, and what it is given
// wrongly is reported rather than passed over.
TEST(TestHost, ReportsArgumentsOutOfPlaceAndMiscountedReferences) {
    std::vector<std::string> problems;
    {
        host::HostObjects host([&](const std::string& problem) { problems.push_back(problem); });
        host.SetChannelTitles({u"VPR"});
        host.ExpectVprChannel(4);
        void* sampling = host.NewSamplingReference();
        void* document = nullptr;
        CallSlot<HResult>(sampling, host::slot::kSamplingDocument, std::int32_t{1}, &document, std::int32_t{3});
        ASSERT_NE(document, nullptr);
        double secondsPerUnit = 0.5;
        CallSlot<HResult>(document, host::slot::kDocumentTimeUnit, std::int32_t{0}, std::int32_t{2}, &secondsPerUnit);
        void* title = nullptr;
        CallSlot<HResult>(document, host::slot::kDocumentChannelTitle, std::uint32_t{host::kChannelTitleFlags},
                          std::int32_t{0}, std::int32_t{0}, &title);
        EXPECT_EQ(host::ReadStringObject(title), u"VPR");
        Release(document);
        Release(document);
        EXPECT_EQ(host.OutstandingReferences(), 1);  // the leak and the over-release cancel out here...
    }
    // ...but not object by object.
    EXPECT_EQ(problems, (std::vector<std::string>{"sampling slot 54: argument 1 is 1",
                                                  "sampling slot 54: the VPR channel index is 3",
                                                  "document slot 19: argument 2 is 2",
                                                  "document slot 19: the value passed in is 0.500000",
                                                  "document released once too often",
                                                  "sampling: 1 references left",
                                                  "document: -1 references left",
                                                  "channel title \"VPR\": 1 references left"}));
}

TEST_F(Waveform, RivuInstrumentsHaveNoUploadToCheck) {
    test::MemoryDevice other{u"test"};
    RivuSerial& rivu = other.device;
    rivu.rowsAhead = 30;
    rivu.uploadPending = true;
    rivu.uploadTimerStart = 0;
    CheckUploadTimeout(rivu);
    EXPECT_EQ(rivu.rowsAhead, 30);
    EXPECT_TRUE(rivu.uploadPending);
}

}  // namespace
}  // namespace rivu
