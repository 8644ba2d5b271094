#include "coda/upload_rates.h"

#include <gtest/gtest.h>

#include <map>

#include "serial/rivu_serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"

namespace rivu {
namespace {

// Log lines need a log service from the first one on.
[[maybe_unused]] const test::LogCapture& kLog = test::LogCapture::Instance();

using Rates = std::map<std::int32_t, std::int32_t>;

class UploadRates : public ::testing::Test, protected test::MemoryDevice {
protected:
    Rates Table() {
        std::lock_guard lock(device.uploadRatesMutex);
        return device.uploadRates;
    }
};

TEST_F(UploadRates, IntervalsBecomePeriodsWithTheirPositions) {
    EXPECT_TRUE(HandleUploadRates(device, u"0.1,0.02,EndOfCycle,0.005"));
    EXPECT_EQ(Table(), (Rates{{5000, 3}, {20000, 1}, {100000, 0}}));
    EXPECT_EQ(device.samplePeriodUs.load(), 20000);
}

TEST_F(UploadRates, PeriodsNextTo20msCountAs20ms) {
    EXPECT_TRUE(HandleUploadRates(device, u"0.019999,0.001,0.020001"));
    EXPECT_EQ(Table(), (Rates{{1000, 1}, {20000, 2}}));
}

TEST_F(UploadRates, NoUsableFieldLeavesEverythingAlone) {
    device.samplePeriodUs.store(5000);
    EXPECT_FALSE(HandleUploadRates(device, u""));
    EXPECT_FALSE(HandleUploadRates(device, u"EndOfCycle,EndOfCycle"));
    EXPECT_TRUE(Table().empty());
    EXPECT_EQ(device.samplePeriodUs.load(), 5000);
}

TEST_F(UploadRates, ALaterReplyAddsToTheTable) {
    EXPECT_TRUE(HandleUploadRates(device, u"0.1,0.05"));
    device.samplePeriodUs.store(100000);
    // Only EndOfCycle this time: the earlier keys still count.
    EXPECT_TRUE(HandleUploadRates(device, u"EndOfCycle"));
    EXPECT_EQ(device.samplePeriodUs.load(), 20000);
    EXPECT_TRUE(HandleUploadRates(device, u"0.05,0.1,0.1"));
    EXPECT_EQ(Table(), (Rates{{50000, 0}, {100000, 2}}));
}

TEST_F(UploadRates, AbsurdIntervalsSaturate) {
    EXPECT_TRUE(HandleUploadRates(device, u"1e30,-1e30,nan,abc"));
    EXPECT_EQ(Table(), (Rates{{-2147483647 - 1, 1}, {0, 3}, {2147483647, 0}}));
}

}  // namespace
}  // namespace rivu
