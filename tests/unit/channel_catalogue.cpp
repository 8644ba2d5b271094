#include "protocol/channel_catalogue.h"

#include <gtest/gtest.h>

#include <thread>

#include "serial/rivu_serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"

namespace rivu {
namespace {

// Log lines need a log service from the first one on.
[[maybe_unused]] const test::LogCapture& kLog = test::LogCapture::Instance();

class Catalogue : public ::testing::Test, protected test::MemoryDevice {
protected:
    void SetUp() override { test::LogCapture::Instance().Clear(); }

    bool Build(std::u16string_view names, std::u16string_view units, std::u16string_view maxima,
               std::u16string_view minima) {
        return test::Describe(device, names, units, maxima, minima);
    }

    ChannelRecord& Channel(std::int64_t number) {
        ChannelRecord* record = device.channels.ByNumber(number);
        EXPECT_NE(record, nullptr) << "channel " << number;
        return *record;
    }
};

TEST_F(Catalogue, BloodPressureMonitorWithTimeColumn) {
    device.samplePeriodUs.store(20000);
    ASSERT_TRUE(
        Build(u"Time,systol,diasto,mean B,HR", u"s,mmHg,mmHg,mmHg,bpm", u"1000,300,300,300,800", u"0,10,10,10,20"));
    EXPECT_TRUE(device.hasTimeColumn);
    ASSERT_EQ(device.channels.Count(), 4u);
    EXPECT_EQ(Channel(1).Name(), "Systolic BP");
    EXPECT_EQ(Channel(2).Name(), "Diastolic BP");
    EXPECT_EQ(Channel(3).Name(), "Mean BP");
    EXPECT_EQ(Channel(4).Name(), "Heart Rate");
    EXPECT_EQ(Channel(1).BaseScaling(), "0,0;500,500;mmHg;0;");
    EXPECT_EQ(Channel(3).BaseScaling(), "0,0;500,500;mmHg;0;");
    EXPECT_EQ(Channel(4).BaseScaling(), "0,0;1000,1000;bpm;0;");
    EXPECT_EQ(Channel(4).Period(), 20000);
    EXPECT_EQ(device.cuffChannel.load(), -1);

    // Each record is announced, numbered across the process.
    std::uint32_t last = ChannelLogCounter();
    std::vector<std::string> lines = test::LogCapture::Instance().Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "channel: " + std::to_string(last - 3) +
                            " | Systolic BP | gainlist: 0,500 | basescaling: 0,0;500,500;mmHg;0;");
    EXPECT_EQ(lines[3], "channel: " + std::to_string(last) +
                            " | Heart Rate | gainlist: 0,1000 | basescaling: 0,0;1000,1000;bpm;0;");
}

TEST_F(Catalogue, ZarvonicCodaGetsTheTwoWaveformChannels) {
    device.isZvcCoda = true;
    device.samplePeriodUs.store(20000);
    ASSERT_TRUE(Build(u"systol,diasto,HR", u"mmHg,mmHg,bpm", u"300,300,300", u"0,0,0"));
    ASSERT_EQ(device.channels.Count(), 5u);
    EXPECT_EQ(device.cuffChannel.load(), 3);
    EXPECT_EQ(device.vprChannel.load(), 4);
    EXPECT_EQ(Channel(4).Name(), "O-Cuff");
    EXPECT_EQ(Channel(5).Name(), "VPR");
    EXPECT_EQ(Channel(5).BaseScaling(), "0,0;300,300;mmHg;0;");
    EXPECT_EQ(Channel(5).Period(), 20000);
}

TEST_F(Catalogue, RespiratoryNamesUnitsAndRanges) {
    ASSERT_TRUE(Build(u"MeasRR,SetRR,HR,SpO2,Press,Tidal,Pad,InstCO,systolic,PEEP",
                      u"bpm,bpm,bpm,%,cmH20,ml,degC,mmHg,mmHg,CMH20", u"150,150,300,100.0,60,99.99,45.5,99,300,.5",
                      u"0,0,0,0,-5,0,20,0,0,0"));
    ASSERT_EQ(device.channels.Count(), 10u);
    EXPECT_EQ(Channel(1).Name(), "Resp. Rate");
    EXPECT_EQ(Channel(1).BaseScaling(), "0,0;500,500;breaths/min;0;");
    EXPECT_EQ(Channel(2).Name(), "Set Resp. Rate");
    EXPECT_EQ(Channel(2).BaseScaling(), "0,0;500,500;breaths/min;0;");
    EXPECT_EQ(Channel(3).BaseScaling(), "0,0;1000,1000;bpm;0;");
    // "SpO2" becomes the UTF-8 subscript two; 100.0 gives one decimal.
    EXPECT_EQ(Channel(4).Name(), "SpO\xE2\x82\x82");
    EXPECT_EQ(Channel(4).BaseScaling(), "0,0;1000,100;%;1;");
    // Pressure keeps the instrument's lower limit.
    EXPECT_EQ(Channel(5).Name(), "Pressure");
    EXPECT_EQ(Channel(5).BaseScaling(), "-5,-5;50,50;cmH\xE2\x82\x82O;0;");
    // Decimals come from the instrument's text even under a fixed range.
    EXPECT_EQ(Channel(6).BaseScaling(), "0,0;10000,100;mL;2;");
    EXPECT_EQ(Channel(7).BaseScaling(),
              "0,0;500,50;\xC2\xB0"
              "C;1;");
    EXPECT_EQ(Channel(8).Name(), "Instant' CO\xE2\x82\x82");
    // Unlisted names and units pass through with the instrument's limits.
    EXPECT_EQ(Channel(9).Name(), "systolic");
    EXPECT_EQ(Channel(9).BaseScaling(), "0,0;300,300;mmHg;0;");
    EXPECT_EQ(Channel(10).BaseScaling(), "0,0;500,50;CMH20;1;");
}

TEST_F(Catalogue, UnusableDescriptionsAppendNothing) {
    EXPECT_FALSE(Build(u"HR,systol,diasto,mean B", u"bpm,mmHg,mmHg", u"1,1,1,1", u"0,0,0,0"));
    EXPECT_FALSE(Build(u"HR", u"bpm", u"1", u""));
    EXPECT_FALSE(Build(u"", u"", u"", u""));
    EXPECT_FALSE(Build(u"HR,SpO2", u"bpm,%", u"1,1", u"0"));
    // One column more than the bound, "Time" included.
    std::u16string names = u"Time", units = u"s", limits = u"1";
    for (std::size_t i = 1; i <= kMaxDescriptionColumns; ++i) {
        names += u",HR";
        units += u",bpm";
        limits += u",1";
    }
    EXPECT_FALSE(Build(names, units, limits, limits));
    EXPECT_EQ(device.channels.Count(), 0u);
    EXPECT_FALSE(device.hasTimeColumn);
    EXPECT_TRUE(test::LogCapture::Instance().Lines().empty());
}

TEST_F(Catalogue, OnlyALeadingTimeIsTheTimeColumn) {
    ASSERT_TRUE(Build(u"HR,Time", u"bpm,s", u"1,1", u"0,0"));
    EXPECT_FALSE(device.hasTimeColumn);
    ASSERT_EQ(device.channels.Count(), 2u);
    EXPECT_EQ(Channel(2).Name(), "Time");
}

TEST_F(Catalogue, ASecondHandshakeKeepsTheFirstList) {
    ASSERT_TRUE(Build(u"Time,HR", u"s,bpm", u"1,300", u"0,0"));
    ChannelRecord* first = device.channels.ByNumber(1);
    ASSERT_TRUE(Build(u"Time,HR", u"s,bpm", u"1,300", u"0,0"));
    EXPECT_EQ(device.channels.Count(), 1u);
    EXPECT_EQ(device.channels.ByNumber(1), first);
    // A broken second description is still refused.
    EXPECT_FALSE(Build(u"Time,HR", u"s", u"1,300", u"0,0"));
}

TEST_F(Catalogue, HostThreadsSeeNoListOrTheWholeList) {
    device.isZvcCoda = true;
    std::atomic<bool> done{false};
    std::thread host([&] {
        while (!done.load()) {
            std::size_t count = device.channels.Count();
            ASSERT_TRUE(count == 0 || count == 12) << count;
        }
    });
    ASSERT_TRUE(Build(u"a,b,c,d,e,f,g,h,i,j", u"u,u,u,u,u,u,u,u,u,u", u"1,1,1,1,1,1,1,1,1,1", u"0,0,0,0,0,0,0,0,0,0"));
    done.store(true);
    host.join();
    EXPECT_EQ(device.channels.Count(), 12u);
}

TEST(CatalogueTables, NamesMatchWholeTextOnly) {
    EXPECT_EQ(MapChannelName("systol"), "Systolic BP");
    EXPECT_EQ(MapChannelName("Peak CO"), "Peak CO\xE2\x82\x82");
    EXPECT_EQ(MapChannelName("PeakCO"), "Peak CO\xE2\x82\x82");
    EXPECT_EQ(MapChannelName("RR"), "Set Resp. Rate");
    EXPECT_EQ(MapChannelName("InstVo"), "Instant' Volume");
    EXPECT_EQ(MapChannelName("%Anest"), "Anesthetic");
    EXPECT_EQ(MapChannelName("hr"), "hr");
    EXPECT_EQ(MapChannelName("HR "), "HR ");
    EXPECT_EQ(MapChannelName(""), "");
}

TEST(CatalogueTables, Units) {
    EXPECT_EQ(MapChannelUnit("bpm", "Heart Rate"), "bpm");
    EXPECT_EQ(MapChannelUnit("bpm", "Resp. Rate"), "breaths/min");
    EXPECT_EQ(MapChannelUnit("uliters", "x"), "\xC2\xB5L");
    EXPECT_EQ(MapChannelUnit("ml/min", "x"), "mL/min");
    EXPECT_EQ(MapChannelUnit("deg C", "x"),
              "\xC2\xB0"
              "C");
    EXPECT_EQ(MapChannelUnit("cmH2O", "x"), "cmH\xE2\x82\x82O");
    EXPECT_EQ(MapChannelUnit("ml", "x"), "mL");
    EXPECT_EQ(MapChannelUnit("mL", "x"), "mL");
    EXPECT_EQ(MapChannelUnit("mmHg", "x"), "mmHg");
}

TEST(CatalogueTables, DecimalsFromTheUpperLimitText) {
    EXPECT_EQ(DecimalsOf("100"), 0);
    EXPECT_EQ(DecimalsOf("99.9"), 1);
    EXPECT_EQ(DecimalsOf("0.25"), 2);
    EXPECT_EQ(DecimalsOf("250.00"), 2);
    EXPECT_EQ(DecimalsOf("1e3"), 0);
    EXPECT_EQ(DecimalsOf(".5"), 1);
    EXPECT_EQ(DecimalsOf("25."), 0);
    EXPECT_EQ(DecimalsOf("1.2.3"), 0);
    EXPECT_EQ(DecimalsOf("5.5."), 1);  // a final point starts no piece
    EXPECT_EQ(DecimalsOf("5.."), 0);
    EXPECT_EQ(DecimalsOf("."), 0);
    EXPECT_EQ(DecimalsOf(""), 0);
}

TEST(CatalogueTables, FixedRanges) {
    double upper = 60, lower = -5;
    FixedRangeFor("Peak Pressure", upper, lower);
    EXPECT_EQ(upper, 50);
    EXPECT_EQ(lower, -10);
    upper = 60, lower = -5;
    FixedRangeFor("Pressure", upper, lower);
    EXPECT_EQ(upper, 50);
    EXPECT_EQ(lower, -5);
    upper = 60, lower = -5;
    for (const char* name : {"O-Cuff", "VPR", "Systolic", "systol"}) {
        FixedRangeFor(name, upper, lower);
        EXPECT_EQ(upper, 60) << name;
        EXPECT_EQ(lower, -5) << name;
    }
    FixedRangeFor("Min CO\xE2\x82\x82", upper, lower);
    EXPECT_EQ(upper, 120);
    EXPECT_EQ(lower, 0);
}

}  // namespace
}  // namespace rivu
