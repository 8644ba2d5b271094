// Draining the channels' sample rings into the host's text lines.
#include "serial/sample_delivery.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/channel_record.h"
#include "serial/rivu_serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"

namespace rivu {
namespace {

class SampleDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::unique_ptr<ChannelRecord>> batch;
        for (int i = 0; i < 3; ++i) batch.push_back(std::make_unique<ChannelRecord>("C", 1000, -1000, 20000, "mL", 0));
        device.channels.Append(std::move(batch));
        device.protocolState.store(kRunning);
    }

    ChannelRecord& Channel(int number) { return *device.channels.ByNumber(number); }

    // One delivery into a buffer of size bytes; checks nothing is written past it.
    bool Take(std::string& text, int size = 100) {
        std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '#');
        const bool delivered = TakeSampleLines(device, buffer.data(), size);
        EXPECT_EQ(buffer[static_cast<std::size_t>(size)], '#');
        text = buffer.data();
        return delivered;
    }

    // Every sample value of lines "+<channel>,v,v...\n" from one channel.
    static std::vector<std::int32_t> Values(const std::string& text, int channel) {
        std::vector<std::int32_t> values;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string field;
            std::getline(fields, field, ',');
            EXPECT_EQ(field, "+" + std::to_string(channel));
            while (std::getline(fields, field, ',')) values.push_back(std::stoi(field));
        }
        return values;
    }

    test::LogCapture& log = test::LogCapture::Instance();  // before the device logs its creation
    test::MemoryDevice memory{u""};
    RivuSerial& device = memory.device;
};

TEST_F(SampleDeliveryTest, ChannelsAreServedInTurnOneLineEach) {
    Channel(1).AppendSample(5);
    Channel(1).AppendSample(6);
    Channel(2).AppendSample(7);
    Channel(3).AppendSample(INT_MIN);
    Channel(3).AppendSample(-7);
    Channel(3).AppendSample(INT_MAX);
    std::string text;
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(text, "+1,5,6\n");
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(text, "+2,7\n");
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(text, "+3,-2147483648,-7,2147483647\n");
    EXPECT_FALSE(Take(text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(device.currentChannel.load(), 0u);
}

TEST_F(SampleDeliveryTest, EmptyCurrentChannelHoldsTheOthersBackOnlyFor20Samples) {
    Channel(2).AppendSample(1);
    std::string text;
    EXPECT_FALSE(Take(text));
    EXPECT_EQ(device.currentChannel.load(), 0u);
    Channel(1).AppendSample(2);
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(text, "+1,2\n");
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(text, "+2,1\n");

    // Channel 1 stays empty: channel 3 is waited for up to 20 samples, then
    // it and channel 2 are served, and channel 1 is waited for again.
    EXPECT_EQ(device.currentChannel.load(), 2u);
    EXPECT_FALSE(Take(text));
    for (std::int32_t v = 0; v < 20; ++v) Channel(3).AppendSample(v);
    Channel(2).AppendSample(9);
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(Values(text, 3).size(), 20u);
    EXPECT_FALSE(Take(text));
    EXPECT_EQ(device.currentChannel.load(), 0u);
    for (std::int32_t v = 0; v < 21; ++v) Channel(3).AppendSample(v);
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(text, "+2,9\n");
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(Values(text, 3).size(), 21u);
    EXPECT_FALSE(Take(text));
    EXPECT_EQ(device.currentChannel.load(), 0u);
}

TEST_F(SampleDeliveryTest, NothingIsDeliveredUnlessRunning) {
    Channel(1).AppendSample(1);
    std::string text;
    device.protocolState.store(kReady);
    EXPECT_FALSE(Take(text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(Channel(1).SamplesHeld(), 1u);

    device.protocolState.store(kRunning);
    test::MemoryDevice bare{u""};
    bare.device.protocolState.store(kRunning);
    char buffer[64];
    EXPECT_FALSE(TakeSampleLines(bare.device, buffer, sizeof buffer));  // no channels yet
}

TEST_F(SampleDeliveryTest, SmallBuffersReceiveNothingAndMoveOn) {
    Channel(1).AppendSample(1);
    Channel(2).AppendSample(2);
    char untouched = '#';
    EXPECT_TRUE(TakeSampleLines(device, &untouched, 0));
    EXPECT_TRUE(TakeSampleLines(device, &untouched, -5));
    EXPECT_EQ(untouched, '#');
    EXPECT_EQ(device.currentChannel.load(), 0u);

    std::string text;
    EXPECT_TRUE(Take(text, 16));
    EXPECT_EQ(text, "");
    EXPECT_EQ(device.currentChannel.load(), 1u);
    EXPECT_EQ(Channel(1).SamplesHeld(), 1u);
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(text, "+2,2\n");
}

TEST_F(SampleDeliveryTest, LinesRespectTheBufferAndTheLineBoundAndKeepRingOrder) {
    for (std::int32_t v = 0; v < 3000; ++v) Channel(1).AppendSample(-v * 1000);

    // A tight buffer: never written past its size, nothing lost between calls.
    std::vector<std::int32_t> seen;
    std::string text;
    for (int calls = 0; calls < 10; ++calls) {
        ASSERT_TRUE(Take(text, 40));
        ASSERT_LT(text.size(), 40u);
        for (std::int32_t v : Values(text, 1)) seen.push_back(v);
        device.currentChannel.store(0);
    }

    // A large buffer takes several lines of one channel, each under the bound.
    ASSERT_TRUE(Take(text, 20000));
    std::istringstream lines(text);
    std::string line;
    int lineCount = 0;
    while (std::getline(lines, line)) {
        EXPECT_LT(static_cast<std::int32_t>(line.size()) + 1, device.maxLineLength);
        ++lineCount;
    }
    EXPECT_GT(lineCount, 1);
    for (std::int32_t v : Values(text, 1)) seen.push_back(v);
    for (;;) {
        device.currentChannel.store(0);  // the other channels are empty
        if (!Take(text, 20000)) break;
        for (std::int32_t v : Values(text, 1)) seen.push_back(v);
    }

    ASSERT_EQ(seen.size(), 3000u);
    for (std::int32_t v = 0; v < 3000; ++v) ASSERT_EQ(seen[v], -v * 1000);
}

TEST_F(SampleDeliveryTest, FullRingDeliversWhatItHolds) {
    for (std::int32_t v = 0; v < 40000; ++v) Channel(1).AppendSample(v);
    EXPECT_EQ(Channel(1).SamplesHeld(), ChannelRecord::kRingSize - 1);
    std::vector<std::int32_t> seen;
    std::vector<char> buffer(400000);
    ASSERT_TRUE(TakeSampleLines(device, buffer.data(), static_cast<int>(buffer.size())));
    seen = Values(buffer.data(), 1);
    ASSERT_EQ(seen.size(), ChannelRecord::kRingSize - 1);
    EXPECT_EQ(seen.front(), 0);
    EXPECT_EQ(seen.back(), static_cast<std::int32_t>(ChannelRecord::kRingSize - 2));
}

TEST_F(SampleDeliveryTest, FlushDiscardsEveryQueuedSample) {
    Channel(1).AppendSample(1);
    Channel(3).AppendSample(3);
    FlushSamples(device);
    std::string text;
    EXPECT_FALSE(Take(text));
    device.currentChannel.store(2);
    EXPECT_FALSE(Take(text));

    Channel(3).AppendSample(4);
    EXPECT_TRUE(Take(text));
    EXPECT_EQ(text, "+3,4\n");
}

TEST_F(SampleDeliveryTest, ConcurrentProducerLosesNothing) {
    constexpr std::int32_t kCount = 200000;
    std::thread producer([&] {
        for (std::int32_t v = 0; v < kCount; ++v) {
            while (Channel(1).SamplesHeld() >= ChannelRecord::kRingSize - 1) std::this_thread::yield();
            Channel(1).AppendSample(v);
        }
    });
    std::vector<std::int32_t> seen;
    std::vector<char> buffer(8192);
    while (static_cast<std::int32_t>(seen.size()) < kCount) {
        device.currentChannel.store(0);
        if (TakeSampleLines(device, buffer.data(), static_cast<int>(buffer.size()))) {
            for (std::int32_t v : Values(buffer.data(), 1)) seen.push_back(v);
        }
    }
    producer.join();
    for (std::int32_t v = 0; v < kCount; ++v) ASSERT_EQ(seen[v], v);
}

}  // namespace
}  // namespace rivu
