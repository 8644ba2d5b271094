#include "support/log_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <locale>

namespace {

using rivu::FormatLogLine;

TEST(LogLineFormat, SecondsWithThreeDecimalsThenLabelAndText) {
    EXPECT_EQ(FormatLogLine(12345, "version: ", u"V,1,0,3,1"), u"12.345: version: V,1,0,3,1");
    EXPECT_EQ(FormatLogLine(0, "", u""), u"0.000: ");
    EXPECT_EQ(FormatLogLine(7, "!!! ", u"no reply"), u"0.007: !!! no reply");
    EXPECT_EQ(FormatLogLine(999, "a", u"b"), u"0.999: ab");
    EXPECT_EQ(FormatLogLine(1000, "a", u"b"), u"1.000: ab");
    EXPECT_EQ(FormatLogLine(60010, "", u"x"), u"60.010: x");
}

TEST(LogLineFormat, TheWholeUnsignedRangeIsWrittenExactly) {
    // A negative clock reading is taken as its unsigned 32-bit value.
    EXPECT_EQ(FormatLogLine(0xFFFFFFFFu, "", u""), u"4294967.295: ");
    EXPECT_EQ(FormatLogLine(static_cast<std::uint32_t>(-1000), "", u""), u"4294966.296: ");
    EXPECT_EQ(FormatLogLine(2147483648u, "", u""), u"2147483.648: ");
}

// A locale that writes numbers the continental way.
struct CommaPunctuation : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(LogLineFormat, TheProcessLocaleDoesNotChangeTheNumber) {
    std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaPunctuation));
    const char* cLocale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // absent on many systems: then a no-op
    std::u16string line = FormatLogLine(1234567, "params: ", u"1,2");
    if (cLocale != nullptr) std::setlocale(LC_NUMERIC, "C");
    std::locale::global(previous);
    EXPECT_EQ(line, u"1234.567: params: 1,2");
}

TEST(LogLineFormat, LabelsAndTextKeepEveryCodeUnit) {
    EXPECT_EQ(rivu::Widen("\xB5L \xFF"), u"\u00B5L \u00FF");
    EXPECT_EQ(rivu::Widen(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
    EXPECT_EQ(FormatLogLine(1,
                            "\xB0"
                            "C: ",
                            u"37 \u20AC \U0001F600"),
              u"0.001: \u00B0C: 37 \u20AC \U0001F600");
}

}  // namespace
