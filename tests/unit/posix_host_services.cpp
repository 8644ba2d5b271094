#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_com.h"
#include "plugin/host_services.h"
#include "support/com_call.h"
#include "tests/support/test_support.h"
#include "tools/host-objects/host_contract.h"

namespace {

// Without the host, the log service is the file named by RIVU_LOG_FILE.
class FileLogService : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "rivu-host-services-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(path_.c_str());
        ::setenv("RIVU_LOG_FILE", path_.c_str(), 1);
        rivu::ShutdownHostServices();  // a fresh clock and lookup for every test
    }
    void TearDown() override {
        ::unsetenv("RIVU_LOG_FILE");
        std::remove(path_.c_str());
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(rivu::test::ReadWholeFile(path_));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::string path_;
};

TEST_F(FileLogService, EachLineIsAppendedAsUtf8WithALineFeed) {
    rivu::LogLine(u"first");
    rivu::LogLine(u"");
    rivu::LogLine(u"37 \u00B0C, 5 \u00B5L, \u20AC, \U0001F600, lone \xD800 surrogate");
    EXPECT_EQ(rivu::test::ReadWholeFile(path_),
              "first\n\n37 \xC2\xB0"
              "C, 5 \xC2\xB5L, \xE2\x82\xAC, \xF0\x9F\x98\x80, lone \xEF\xBF\xBD surrogate\n");
}

TEST_F(FileLogService, LinesWithoutAFileAreDroppedAndTheNextFileIsUsed) {
    ::unsetenv("RIVU_LOG_FILE");
    rivu::LogLine(u"dropped");
    ::setenv("RIVU_LOG_FILE", "/nonexistent-directory/rivu.log", 1);
    rivu::LogLine(u"dropped as well");
    ::setenv("RIVU_LOG_FILE", path_.c_str(), 1);
    rivu::LogLine(u"kept");
    EXPECT_EQ(Lines(), std::vector<std::string>{"kept"});
}

TEST_F(FileLogService, ConcurrentLinesStayWhole) {
    constexpr int kLinesPerThread = 500;
    auto writer = [](char16_t mark) {
        for (int i = 0; i < kLinesPerThread; ++i) rivu::LogLine(std::u16string(300, mark) + u" end");
    };
    std::thread a(writer, u'a');
    std::thread b(writer, u'b');
    a.join();
    b.join();
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u * kLinesPerThread);
    std::set<std::string> distinct(lines.begin(), lines.end());
    const std::string end = " end";
    EXPECT_EQ(distinct, (std::set<std::string>{std::string(300, 'a') + end, std::string(300, 'b') + end}));
}

TEST_F(FileLogService, TheServiceIsCachedAndOffersNoHostClock) {
    void* service = rivu::GetLogService();
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(rivu::GetLogService(), service);
    void* clock = &service;
    EXPECT_EQ(rivu::QueryInterface(service, rivu::host::kClockInterface, &clock), rivu::kNoInterface);
    EXPECT_EQ(clock, nullptr);
    void* other = nullptr;
    EXPECT_EQ(rivu::platform::GetClassObject(rivu::host::kActivationClass, rivu::host::kUnknown, &other),
              rivu::kClassNotAvailable);
    EXPECT_EQ(other, nullptr);
}

TEST_F(FileLogService, TheClockStartsAtZeroAndCountsRealMilliseconds) {
    std::int32_t first = rivu::HostMilliseconds();
    EXPECT_GE(first, 0);
    EXPECT_LT(first, 1000);  // counted from the first call, not from boot: no host offset
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    std::int32_t later = rivu::HostMilliseconds();
    EXPECT_GE(later - first, 60);
    EXPECT_GE(rivu::HostMilliseconds(), later);
}

TEST_F(FileLogService, EventsAreStampedWithTheClock) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    rivu::HostMilliseconds();
    rivu::LogEvent("version: ", u"V,1,0,3,1");
    rivu::LogEvent("!!! ", std::string_view("no reply"));
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    // The clock started with the first reading, so both stamps are small.
    EXPECT_TRUE(lines[0].starts_with("0.0")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(": version: V,1,0,3,1")) << lines[0];
    EXPECT_EQ(lines[0].size(), std::string("0.000: version: V,1,0,3,1").size());
    EXPECT_TRUE(lines[1].ends_with(": !!! no reply")) << lines[1];
}

}  // namespace
