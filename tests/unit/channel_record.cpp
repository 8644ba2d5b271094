#include "protocol/channel_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/log_capture.h"

namespace rivu {
namespace {

// Log lines need a log service from the first one on.
[[maybe_unused]] const test::LogCapture& kLog = test::LogCapture::Instance();

std::unique_ptr<ChannelRecord> MakeRecord(double upper, double lower, std::int32_t decimals,
                                          const std::string& unit = "mL") {
    return std::make_unique<ChannelRecord>("Test", upper, lower, 20000, unit, decimals);
}

TEST(ChannelRecordTexts, WholeLimits) {
    ChannelRecord systolic("Systolic BP", 500, 0, 20000, "mmHg", 0);
    EXPECT_EQ(systolic.Name(), "Systolic BP");
    EXPECT_EQ(systolic.Title(), "Systolic BP");
    EXPECT_EQ(systolic.Period(), 20000);
    EXPECT_TRUE(systolic.IsEnabled());
    EXPECT_EQ(systolic.GainList(), "0,500");
    EXPECT_EQ(systolic.BaseScaling(), "0,0;500,500;mmHg;0;");

    ChannelRecord tidal("Tidal Volume", 100, 0, 20000, "mL", 2);
    EXPECT_EQ(tidal.Decimals(), 2);
    EXPECT_EQ(tidal.BaseScaling(), "0,0;10000,100;mL;2;");

    ChannelRecord pressure("Pressure", 50, -5, 20000, "cmH\xE2\x82\x82O", 0);
    EXPECT_EQ(pressure.GainList(), "-5,50");
    EXPECT_EQ(pressure.BaseScaling(), "-5,-5;50,50;cmH\xE2\x82\x82O;0;");
}

TEST(ChannelRecordTexts, FractionalLimitsAreCutFixedText) {
    EXPECT_EQ(MakeRecord(0.5, 0, 1)->BaseScaling(), "0,0;5,0.5;mL;1;");
    EXPECT_EQ(MakeRecord(0.5, 0, 0)->GainList(), "0,0.");
    EXPECT_EQ(MakeRecord(1, -0.25, 1)->GainList(), "-0.,1");
    EXPECT_EQ(MakeRecord(0.25, 0, 6)->GainList(), "0,0.250000");    // shorter than d + 2: all of it
    EXPECT_EQ(MakeRecord(0.99995, 0.00005, 2)->GainList(), "0,0.99");  // outside the open interval
}

// A limit of magnitude 1 or more with a fractional part is written as the
// value its point's raw sample stands for, so that the host's two-point
// calibration reads every sample exactly (the integer part put 2.5 at 25 = 2).
TEST(ChannelRecordTexts, FractionalLimitsAboveOneMakeExactCalibrationPoints) {
    auto flow = MakeRecord(2.5, -2.5, 1, "L/s");
    EXPECT_EQ(flow->BaseScaling(), "-25,-2.5;25,2.5;L/s;1;");
    EXPECT_EQ(flow->GainList(), "-2.5,2.5");
    EXPECT_EQ(MakeRecord(-1.75, -3.9, 1)->GainList(), "-3.9,-1.7");       // the raw points -39 and -17
    EXPECT_EQ(MakeRecord(10.125, 0, 3)->BaseScaling(), "0,0;10125,10.125;mL;3;");
    EXPECT_EQ(MakeRecord(1.05, 0, 2)->BaseScaling(), "0,0;105,1.05;mL;2;");  // leading zeros of the fraction
    EXPECT_EQ(MakeRecord(2.5, 0, 0)->BaseScaling(), "0,0;2,2;mL;0;");        // no decimals: the point is 2
    EXPECT_EQ(MakeRecord(4000.5, 0, 2)->BaseScaling(), "0,0;4000,4000;mL;0;");  // decimals reduced first

    // Every point stands for its text: raw = text x 10^decimals.
    for (double limit : {1.5, 2.25, 99.9, 123.45, 0.9999, 7.001}) {
        for (std::int32_t decimals = 1; decimals <= 3; ++decimals) {
            auto record = MakeRecord(limit, 0, decimals);
            const std::string& text = record->BaseScaling();
            const std::size_t point = text.find(';') + 1;
            const std::size_t comma = text.find(',', point);
            const double raw = std::stod(text.substr(point, comma - point));
            const double value = std::stod(text.substr(comma + 1, text.find(';', comma) - comma - 1));
            EXPECT_EQ(raw, std::round(value * std::pow(10.0, record->Decimals()))) << text;
        }
    }
}

TEST(ChannelRecordTexts, DecimalsAreReducedUntilTheRangeFits) {
    auto large = MakeRecord(5000, 0, 3);
    EXPECT_EQ(large->Decimals(), 0);
    EXPECT_EQ(large->BaseScaling(), "0,0;5000,5000;mL;0;");

    auto huge = MakeRecord(100000, 0, 2);
    EXPECT_EQ(huge->Decimals(), 0);
    EXPECT_EQ(huge->ScaleSample(12345.6), 12346);

    // The lower limit counts too, and 32000 itself still fits.
    EXPECT_EQ(MakeRecord(1, -3200, 1)->Decimals(), 1);
    EXPECT_EQ(MakeRecord(1, -3201, 1)->Decimals(), 0);
}

TEST(ChannelRecordTexts, LimitsBeyond32BitsSaturate) {
    auto huge = MakeRecord(5e9, -5e9, 0);
    EXPECT_EQ(huge->GainList(), "-2147483648,2147483647");
    EXPECT_EQ(huge->BaseScaling(), "-2147483648,-2147483648;2147483647,2147483647;mL;0;");
    EXPECT_EQ(huge->ScaleSample(4e9), 2147483647);

    double nan = std::numeric_limits<double>::quiet_NaN();
    auto undefined = MakeRecord(nan, nan, 2);
    EXPECT_EQ(undefined->BaseScaling(), "0,0;0,0;mL;2;");
    EXPECT_EQ(undefined->ScaleSample(1.0), 0);
}

TEST(ChannelRecordScaling, ClampsAndRoundsHalfUp) {
    auto record = MakeRecord(10, -10, 0);
    EXPECT_EQ(record->ScaleSample(2.5), 3);
    EXPECT_EQ(record->ScaleSample(-2.5), -2);
    EXPECT_EQ(record->ScaleSample(11), 10);
    EXPECT_EQ(record->ScaleSample(-11), -10);
    EXPECT_EQ(record->ScaleSample(std::numeric_limits<double>::infinity()), 10);
    EXPECT_EQ(record->ScaleSample(std::numeric_limits<double>::quiet_NaN()), -10);
}

TEST(ChannelRecordScaling, WithDecimalsRoundsAtTwiceThePlacesThenCuts) {
    auto record = MakeRecord(50, 0, 1);
    EXPECT_EQ(record->ScaleSample(static_cast<double>(12.36f)), 123);
    EXPECT_EQ(record->ScaleSample(static_cast<double>(12.35f)), 123);
    EXPECT_EQ(record->ScaleSample(60), 500);
    EXPECT_EQ(record->ScaleSample(-1), 0);

    auto twoPlaces = MakeRecord(100, 0, 2);
    EXPECT_EQ(twoPlaces->ScaleSample(static_cast<double>(99.999f)), 9999);
    EXPECT_EQ(twoPlaces->ScaleSample(100), 10000);
}

TEST(ChannelRecordRing, FullRingDropsNewSamplesButKeepsTheLastValue) {
    auto record = MakeRecord(100000, 0, 0);
    for (std::int32_t i = 0; i < 32767; ++i) record->StoreValue(i);
    EXPECT_EQ(record->SamplesHeld(), 32767u);

    record->StoreValue(99999);
    EXPECT_EQ(record->LastSample(), 99999);
    EXPECT_EQ(record->SampleWrite(), 32767u);
    record->RepeatValue();
    EXPECT_EQ(record->SamplesHeld(), 32767u);

    // Once the consumer made room, a repeat appends the value that was dropped.
    std::int32_t sample = -1;
    ASSERT_TRUE(record->TakeSample(sample));
    EXPECT_EQ(sample, 0);
    record->RepeatValue();
    EXPECT_EQ(record->SamplesHeld(), 32767u);
    for (std::int32_t expected = 1; expected < 32767; ++expected) {
        ASSERT_TRUE(record->TakeSample(sample));
        ASSERT_EQ(sample, expected);
    }
    ASSERT_TRUE(record->TakeSample(sample));
    EXPECT_EQ(sample, 99999);
    EXPECT_FALSE(record->TakeSample(sample));
}

TEST(ChannelRecordRing, RecordsSharingABlockKeepTheirOwnSamples) {
    const auto rings = std::make_shared<SampleRings>(3);
    std::vector<std::unique_ptr<ChannelRecord>> records;
    for (std::size_t i = 0; i < 4; ++i) {  // the fourth names a ring the block has not: it gets its own
        records.push_back(std::make_unique<ChannelRecord>("C", 1e6, -1e6, 20000, "u", 0, rings, i));
    }
    // Channel 0 fills its ring and wraps; channel 1 moves at its own pace; 2 stays empty.
    for (std::int32_t i = 0; i < 40000; ++i) records[0]->AppendSample(i);
    for (std::int32_t i = 0; i < 5; ++i) records[1]->AppendSample(-i);
    for (std::int32_t i = 0; i < 32767; ++i) records[3]->AppendSample(7);
    std::int32_t sample = 0;
    for (std::int32_t expected = 0; expected < 32767; ++expected) {
        ASSERT_TRUE(records[0]->TakeSample(sample));
        ASSERT_EQ(sample, expected);
    }
    for (std::int32_t i = 40000; i < 40010; ++i) records[0]->AppendSample(i);  // written over the wrap
    for (std::int32_t expected = 40000; expected < 40010; ++expected) {
        ASSERT_TRUE(records[0]->TakeSample(sample));
        EXPECT_EQ(sample, expected);
    }
    for (std::int32_t expected = 0; expected > -5; --expected) {
        ASSERT_TRUE(records[1]->TakeSample(sample));
        EXPECT_EQ(sample, expected);
    }
    EXPECT_FALSE(records[1]->TakeSample(sample));
    EXPECT_FALSE(records[2]->TakeSample(sample));
    EXPECT_EQ(records[3]->SamplesHeld(), 32767u);
}

TEST(ChannelRecordRing, FlushEmptiesWithoutMovingTheWriter) {
    auto record = MakeRecord(10, 0, 0);
    for (int i = 0; i < 40000; ++i) record->AppendSample(i);
    std::uint32_t write = record->SampleWrite();
    record->Flush();
    EXPECT_EQ(record->SampleWrite(), write);
    EXPECT_EQ(record->SampleRead(), write);
    EXPECT_EQ(record->SamplesHeld(), 0u);
    std::int32_t sample;
    EXPECT_FALSE(record->TakeSample(sample));

    // The indices wrap around the ring in order.
    for (int i = 0; i < 3; ++i) record->AppendSample(100 + i);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(record->TakeSample(sample));
        EXPECT_EQ(sample, 100 + i);
    }
}

TEST(ChannelRecordRing, OneProducerOneConsumerKeepOrder) {
    auto record = MakeRecord(10, 0, 0);
    constexpr std::int32_t kCount = 200000;
    std::thread producer([&] {
        for (std::int32_t i = 0; i < kCount;) {
            if (record->SamplesHeld() < ChannelRecord::kRingSize - 1)
                record->AppendSample(i++);
            else
                std::this_thread::yield();
        }
    });
    std::int32_t expected = 0;
    std::int32_t sample;
    while (expected < kCount) {
        if (record->TakeSample(sample)) {
            ASSERT_EQ(sample, expected);
            ++expected;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
}

TEST(ChannelRecordLog, EveryRecordIsAnnouncedWithTheNextNumber) {
    test::LogCapture::Instance().Clear();
    std::uint32_t before = ChannelLogCounter();
    ChannelRecord systolic("Systolic BP", 500, 0, 20000, "mmHg", 0);
    // Fixed display names are UTF-8; an instrument's own name is in the ANSI code page.
    ChannelRecord oxygen("SpO\xE2\x82\x82", 100, 0, 20000, "%", 0);
    ChannelRecord probe("T\xB0", 50, 0, 20000,
                        "\xC2\xB0"
                        "C",
                        1);
    EXPECT_EQ(ChannelLogCounter(), before + 3);
    EXPECT_EQ(test::LogCapture::Instance().Lines(),
              (std::vector<std::string>{"channel: " + std::to_string(before + 1) +
                                            " | Systolic BP | gainlist: 0,500 | basescaling: 0,0;500,500;mmHg;0;",
                                        "channel: " + std::to_string(before + 2) +
                                            " | SpO\xE2\x82\x82 | gainlist: 0,100 | basescaling: 0,0;100,100;%;0;",
                                        "channel: " + std::to_string(before + 3) +
                                            " | T\xC2\xB0 | gainlist: 0,50 | basescaling: 0,0;500,50;\xC2\xB0"
                                            "C;1;"}));
}

}  // namespace
}  // namespace rivu
