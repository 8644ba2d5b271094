#include "protocol/fields.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace rivu {
namespace {

using Fields = std::vector<std::u16string>;

TEST(SplitFields, CutsAtEveryCommaWithoutTrimming) {
    EXPECT_EQ(SplitFields(u"V,1,0,3,1"), (Fields{u"V", u"1", u"0", u"3", u"1"}));
    EXPECT_EQ(SplitFields(u" a , b"), (Fields{u" a ", u" b"}));
    EXPECT_EQ(SplitFields(u"12.5,,3"), (Fields{u"12.5", u"", u"3"}));
    EXPECT_EQ(SplitFields(u",a"), (Fields{u"", u"a"}));
}

TEST(SplitFields, FinalCommaAddsNoFieldAndEmptyLineHasNone) {
    EXPECT_EQ(SplitFields(u"a,b,"), (Fields{u"a", u"b"}));
    EXPECT_EQ(SplitFields(u","), (Fields{u""}));
    EXPECT_EQ(SplitFields(u",,"), (Fields{u"", u""}));
    EXPECT_TRUE(SplitFields(u"").empty());
    EXPECT_EQ(SplitFields(u"no commas"), (Fields{u"no commas"}));
}

TEST(SplitFields, CountFieldsCountsWhatSplitFieldsMakes) {
    for (std::u16string_view line : {u"", u",", u",,", u"a", u"a,b,", u",a", u"12.5,,3", u"a,,"}) {
        EXPECT_EQ(CountFields(line), SplitFields(line).size()) << std::string(line.begin(), line.end());
    }
}

TEST(ParseNumber, ReadsTheLeadingNumberAndIgnoresTheRest) {
    EXPECT_FLOAT_EQ(ParseNumber(u"1.5"), 1.5f);
    EXPECT_FLOAT_EQ(ParseNumber(u"  -0.25mmHg"), -0.25f);
    EXPECT_FLOAT_EQ(ParseNumber(u"+7"), 7.0f);
    EXPECT_FLOAT_EQ(ParseNumber(u"1e3"), 1000.0f);
    EXPECT_FLOAT_EQ(ParseNumber(u"2.5E-1x"), 0.25f);
    EXPECT_FLOAT_EQ(ParseNumber(u".5"), 0.5f);
    EXPECT_FLOAT_EQ(ParseNumber(u"5."), 5.0f);
    EXPECT_FLOAT_EQ(ParseNumber(u"1e"), 1.0f);
    EXPECT_FLOAT_EQ(ParseNumber(u"0x1p4"), 16.0f);
    EXPECT_EQ(ParseNumber(u"0.02"), 0.02f);  // the same float strtof gives
}

// Plain decimals are read without the general reader; at the edges of that
// (2^24, ten decimals, a minus zero, leading zeros, a point without digits)
// the float must still be strtof's, bit for bit.
TEST(ParseNumber, PlainDecimalsGiveStrtofsFloatAtEveryEdge) {
    for (const char* text : {"16777216", "16777217", "16777219", "-16777217", "1677721.7", "0.0000000001",
                             "0.00000000015", "1.0000000001", "99999999999", "-0", "-0.0", "007.50", "5.", "-5.",
                             "0.1", "0.3", "2.5", "-2.5", "123.456", "4294967296", "12.36"}) {
        const std::string narrow(text);
        const std::u16string wide(narrow.begin(), narrow.end());
        const float expected = std::strtof(text, nullptr);
        const float read = ParseNumber(wide);
        EXPECT_EQ(std::signbit(read), std::signbit(expected)) << text;
        EXPECT_EQ(read, expected) << text;
    }
}

TEST(ParseNumber, TextThatIsNotANumberReadsAsZero) {
    for (std::u16string_view text :
         {u"", u"*", u"EndOfCycle", u"--5", u"+-5", u"-", u".", u"e5", u"0x", u"0x-5", u"\u0661", u"\uFF11"}) {
        EXPECT_EQ(ParseNumber(text), 0.0f) << std::string(text.begin(), text.end());
    }
}

TEST(ParseNumber, SpecialValuesAndOutOfRange) {
    EXPECT_EQ(ParseNumber(u"inf"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(ParseNumber(u"-Infinity"), -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(ParseNumber(u"nan")));
    EXPECT_EQ(ParseNumber(u"1e39"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(ParseNumber(u"-1e400"), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(ParseNumber(u"1e-50"), 0.0f);
    EXPECT_EQ(ParseNumber(u"0.0000000000000000000000000000000000000000000000000000001"), 0.0f);
    EXPECT_EQ(ParseNumber(std::u16string(60, u'9')), std::numeric_limits<float>::infinity());
}

TEST(ParseNumber, IgnoresTheProcessLocale) {
    // A locale with a decimal comma, when the system has one.
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    bool switched = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE", "fr_FR.UTF-8", "German_Germany.1252"}) {
        if (std::setlocale(LC_NUMERIC, name)) {
            switched = true;
            break;
        }
    }
    EXPECT_FLOAT_EQ(ParseNumber(u"1.5"), 1.5f);
    EXPECT_FLOAT_EQ(ParseNumber(u"1,5"), 1.0f);
    std::setlocale(LC_NUMERIC, saved.c_str());
    if (!switched) GTEST_SKIP() << "no locale with a decimal comma installed";
}

TEST(ParseInteger, FollowsAtoi) {
    EXPECT_EQ(ParseInteger(std::string_view("1")), 1);
    EXPECT_EQ(ParseInteger(std::string_view(" \t-42abc")), -42);
    EXPECT_EQ(ParseInteger(std::string_view("+8")), 8);
    EXPECT_EQ(ParseInteger(std::string_view("2.9")), 2);
    EXPECT_EQ(ParseInteger(std::string_view("")), 0);
    EXPECT_EQ(ParseInteger(std::string_view("x1")), 0);
    EXPECT_EQ(ParseInteger(std::string_view("- 1")), 0);
    EXPECT_EQ(ParseInteger(u"  750"), 750);
    EXPECT_EQ(ParseInteger(u"\u0661"), 0);
}

TEST(ParseInteger, SaturatesInsteadOfOverflowing) {
    EXPECT_EQ(ParseInteger(std::string_view("2147483647")), 2147483647);
    EXPECT_EQ(ParseInteger(std::string_view("2147483648")), 2147483647);
    EXPECT_EQ(ParseInteger(std::string_view("-2147483648")), -2147483647 - 1);
    EXPECT_EQ(ParseInteger(std::string_view("-2147483649")), -2147483647 - 1);
    EXPECT_EQ(ParseInteger(u"99999999999999999999999999"), 2147483647);
    EXPECT_EQ(ParseInteger(u"-99999999999999999999999999"), -2147483647 - 1);
}

}  // namespace
}  // namespace rivu
