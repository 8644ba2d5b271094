#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/dev_reg_enum.h"
#include "discovery/port_discovery.h"

namespace rivu {
namespace {

using Tokens = std::vector<std::string>;

TEST(SelectionTokens, CommaSeparatedPiecesWithEmptyOnesKept) {
    EXPECT_EQ(SplitSelection("KSC,A800"), (Tokens{"KSC", "A800"}));
    EXPECT_EQ(SplitSelection("KSC,,A800"), (Tokens{"KSC", "", "A800"}));
    EXPECT_EQ(SplitSelection(",KSC"), (Tokens{"", "KSC"}));
    EXPECT_EQ(SplitSelection("KSC,"), (Tokens{"KSC"}));  // a final comma adds nothing
    EXPECT_EQ(SplitSelection(","), (Tokens{""}));
    EXPECT_EQ(SplitSelection(" KSC , A"), (Tokens{" KSC ", " A"}));  // spaces stay
}

TEST(SelectionTokens, EmptyTextIsOneEmptyToken) { EXPECT_EQ(SplitSelection(""), (Tokens{""})); }

TEST(TokenMatching, SubstringCaseSensitive) {
    EXPECT_TRUE(MatchesAnyToken({"KSC"}, u"KSC01234A"));
    EXPECT_TRUE(MatchesAnyToken({"A800", "234A"}, u"KSC01234A"));
    EXPECT_FALSE(MatchesAnyToken({"ksc"}, u"KSC01234A"));
    EXPECT_FALSE(MatchesAnyToken({" KSC"}, u"KSC01234A"));
    EXPECT_FALSE(MatchesAnyToken({"KSC01234AB"}, u"KSC01234A"));
}

TEST(TokenMatching, AnEmptyTokenMatchesEveryIdentityEvenAnEmptyOne) {
    EXPECT_TRUE(MatchesAnyToken(SplitSelection(""), u""));
    EXPECT_TRUE(MatchesAnyToken(SplitSelection("KSC,,A800"), u"XYZ"));
    EXPECT_FALSE(MatchesAnyToken(SplitSelection("KSC"), u""));
}

TEST(TokenMatching, IdentityIsNarrowedToLowBytes) {
    EXPECT_TRUE(MatchesAnyToken({"K"}, u"\u014B"));  // U+014B narrows to 'K'
    EXPECT_TRUE(MatchesAnyToken({"\xE9"}, u"caf\u00E9"));
}

class StripToSerialTest : public ::testing::Test {
protected:
    std::u16string Strip(std::u16string text) {
        walker_.StripToSerial(text, u'+');
        return text;
    }
    DevRegEnum walker_{nullptr};
};

TEST_F(StripToSerialTest, PartAfterLastPlusThenBeforeFirstBackslash) {
    EXPECT_EQ(Strip(u"FTDIBUS\\VID_0403+PID_6001+KSC01234A\\0000"), u"KSC01234A");
    EXPECT_EQ(Strip(u"ACPI\\PNP0501\\1"), u"ACPI");  // no plus sign
    EXPECT_EQ(Strip(u"FTDIBUS\\VID_0403+PID_6001+\\0000"), u"");
    EXPECT_EQ(Strip(u"A+B+"), u"");  // plus as the last character
    EXPECT_EQ(Strip(u"KSC01234A"), u"KSC01234A");
    EXPECT_EQ(Strip(u""), u"");
}

}  // namespace
}  // namespace rivu
