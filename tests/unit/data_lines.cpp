#include "coda/data_lines.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "serial/rivu_serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"

namespace rivu {
namespace {

// Log lines need a log service from the first one on.
[[maybe_unused]] const test::LogCapture& kLog = test::LogCapture::Instance();

class DataLines : public ::testing::Test, protected test::MemoryDevice {
protected:
    // Channels with the given limits, all without decimals.
    void AddChannels(std::size_t count, double upper = 100, double lower = 0) {
        std::vector<std::unique_ptr<ChannelRecord>> batch;
        for (std::size_t i = 0; i < count; ++i) {
            batch.push_back(std::make_unique<ChannelRecord>("C" + std::to_string(i), upper, lower, 20000, "u", 0));
        }
        device.channels.Append(std::move(batch));
    }

    std::vector<std::int32_t> Drain(std::int64_t number) {
        std::vector<std::int32_t> samples;
        std::int32_t sample;
        while (device.channels.ByNumber(number)->TakeSample(sample)) samples.push_back(sample);
        return samples;
    }
};

TEST_F(DataLines, StoresRepeatsAndClampsEachColumn) {
    device.paramCount = 3;
    // A row before the catalogue feeds nothing; the rows after it feed the
    // channels it brought (the reader's copy of the list follows it).
    EXPECT_EQ(HandleDataLine(device, u"1,2,3"), kOk);
    AddChannels(3);
    EXPECT_EQ(HandleDataLine(device, u"12.5,*,3"), kOk);
    EXPECT_EQ(device.rowsAhead, 2);
    EXPECT_EQ(HandleDataLine(device, u"250,7,-4"), kOk);
    EXPECT_EQ(HandleDataLine(device, u"x,*,*"), kOk);
    EXPECT_EQ(device.rowsAhead, 4);
    EXPECT_EQ(Drain(1), (std::vector<std::int32_t>{13, 100, 0}));
    EXPECT_EQ(Drain(2), (std::vector<std::int32_t>{0, 7, 7}));
    EXPECT_EQ(Drain(3), (std::vector<std::int32_t>{3, 0, 0}));
}

TEST_F(DataLines, TheTimeColumnFeedsNoChannel) {
    AddChannels(2);
    device.hasTimeColumn = true;
    device.paramCount = 3;
    EXPECT_EQ(HandleDataLine(device, u"17.25,40,60"), kOk);
    EXPECT_EQ(Drain(1), (std::vector<std::int32_t>{40}));
    EXPECT_EQ(Drain(2), (std::vector<std::int32_t>{60}));
}

TEST_F(DataLines, LinesWithAnotherFieldCountChangeNothing) {
    AddChannels(3);
    device.paramCount = 3;
    for (std::u16string_view line : {u"1,2", u"1,2,3,4", u"", u"1,2,,3"}) {
        EXPECT_EQ(HandleDataLine(device, line), kOk);
    }
    EXPECT_EQ(device.rowsAhead, 0);
    EXPECT_EQ(device.channels.ByNumber(1)->SamplesHeld(), 0u);
}

TEST_F(DataLines, EmptyFieldsReadAsZeroAndAFinalCommaAddsNoField) {
    AddChannels(3);
    device.paramCount = 3;
    EXPECT_EQ(HandleDataLine(device, u"5,,7,"), kOk);   // three fields
    EXPECT_EQ(HandleDataLine(device, u"6,,8,,"), kOk);  // four: dropped
    EXPECT_EQ(HandleDataLine(device, u",9,"), kOk);     // two: dropped
    EXPECT_EQ(device.rowsAhead, 1);
    EXPECT_EQ(Drain(1), (std::vector<std::int32_t>{5}));
    EXPECT_EQ(Drain(2), (std::vector<std::int32_t>{0}));
    EXPECT_EQ(Drain(3), (std::vector<std::int32_t>{7}));
}

TEST_F(DataLines, MoreColumnsThanChannelsStayInsideTheList) {
    AddChannels(2);
    device.paramCount = 5;
    EXPECT_EQ(HandleDataLine(device, u"1,2,3,4,5"), kOk);
    EXPECT_EQ(device.rowsAhead, 1);
    EXPECT_EQ(Drain(1), (std::vector<std::int32_t>{1}));
    EXPECT_EQ(Drain(2), (std::vector<std::int32_t>{2}));

    // Before any catalogue there is nothing to feed, and nothing breaks.
    test::MemoryDevice other{u"test"};
    RivuSerial& empty = other.device;
    empty.paramCount = 2;
    EXPECT_EQ(HandleDataLine(empty, u"1,2"), kOk);
    EXPECT_EQ(empty.rowsAhead, 1);
}

TEST_F(DataLines, WaveformChannelsAreNeverFedFromADataLine) {
    AddChannels(3, 300);  // two instrument channels, then O-Cuff
    AddChannels(1, 300);  // VPR
    device.cuffChannel.store(2);
    device.vprChannel.store(3);
    device.paramCount = 4;
    EXPECT_EQ(HandleDataLine(device, u"1,2,3,4"), kOk);
    EXPECT_EQ(Drain(2), (std::vector<std::int32_t>{2}));
    EXPECT_EQ(device.channels.ByNumber(3)->SamplesHeld(), 0u);
    EXPECT_EQ(device.channels.ByNumber(4)->SamplesHeld(), 0u);
}

TEST_F(DataLines, AFullRingKeepsTheDroppedValueForTheNextRepeat) {
    AddChannels(1, 100000);
    device.paramCount = 1;
    ChannelRecord& record = *device.channels.ByNumber(1);
    for (int i = 0; i < 32767; ++i) record.AppendSample(1);
    EXPECT_EQ(HandleDataLine(device, u"42"), kOk);
    EXPECT_EQ(record.LastSample(), 42);
    EXPECT_EQ(record.SamplesHeld(), 32767u);
    std::int32_t sample;
    ASSERT_TRUE(record.TakeSample(sample));
    EXPECT_EQ(HandleDataLine(device, u"*"), kOk);
    std::vector<std::int32_t> samples = Drain(1);
    ASSERT_EQ(samples.size(), 32767u);
    EXPECT_EQ(samples.back(), 42);
}

// The host lines channels up by position: when one channel's ring is full,
// the row is dropped on every channel, counted, and the overflow logged when
// it begins and, with its count, when rows are stored again.
TEST_F(DataLines, ARowIsStoredOnEveryChannelOrOnNone) {
    AddChannels(2);
    device.paramCount = 2;
    ChannelRecord& first = *device.channels.ByNumber(1);
    for (int i = 0; i < 32766; ++i) first.AppendSample(1);  // one slot left on channel 1 only
    test::LogCapture& log = test::LogCapture::Instance();
    log.Clear();
    EXPECT_EQ(HandleDataLine(device, u"10,20"), kOk);  // fits
    EXPECT_EQ(HandleDataLine(device, u"11,21"), kOk);  // channel 1 full: dropped on both
    EXPECT_EQ(HandleDataLine(device, u"12,*"), kOk);
    EXPECT_EQ(device.rowsAhead, 3);  // still counted as rows for the waveform trail
    EXPECT_EQ(device.channels.ByNumber(2)->SamplesHeld(), 1u);
    std::int32_t sample;
    ASSERT_TRUE(first.TakeSample(sample));
    EXPECT_EQ(HandleDataLine(device, u"13,*"), kOk);
    EXPECT_EQ(Drain(2), (std::vector<std::int32_t>{20, 21}));  // "*" repeats the value of the dropped row
    const std::vector<std::int32_t> firstSamples = Drain(1);
    EXPECT_EQ(std::vector<std::int32_t>(firstSamples.end() - 2, firstSamples.end()), (std::vector<std::int32_t>{10, 13}));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "!!! data rows dropped: the host has not taken the samples and the channels' rings "
                               "are full",
                               "!!! data rows dropped while the rings were full: 2"}));
}

}  // namespace
}  // namespace rivu
