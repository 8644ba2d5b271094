// Text at the POSIX edges: Latin-1 for the instrument and error texts, UTF-8
// for file names and the environment.
#include <gtest/gtest.h>

#include "platform/code_pages.h"
#include "platform/posix/utf8_text.h"

namespace rivu::platform {
namespace {

TEST(Latin1, BytesMapToCodeUnitsAndBackWithQuestionMarksForTheRest) {
    EXPECT_EQ(AnsiToWide("V,\260C\377", 5), u"V,\u00B0C\u00FF");
    EXPECT_EQ(AnsiToWide("V,1\0tail", 8), u"V,1");  // ends at a NUL
    EXPECT_EQ(AnsiToWide(nullptr, 3), u"");
    EXPECT_EQ(WideToAnsi(u"\u00B5L \u2082"), "\xB5L ?");
    EXPECT_EQ(WideToOem(u"caf\u00E9"), "caf\xE9");
}

TEST(Utf8, RoundTripsEveryPlane) {
    const std::u16string text = u"/dev/ttyUSB0 \u00E9\u20AC\U0001F600";
    EXPECT_EQ(posix::ToUtf8(text), "/dev/ttyUSB0 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(posix::FromUtf8(posix::ToUtf8(text)), text);
}

TEST(Utf8, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(posix::FromUtf8("a\377b"), u"a\uFFFDb");
    EXPECT_EQ(posix::FromUtf8("a\xE2\x82"), u"a\uFFFD");      // cut short at the end
    EXPECT_EQ(posix::FromUtf8("\342\202b"), u"\uFFFDb");      // cut short before ASCII
    EXPECT_EQ(posix::FromUtf8("\xC0\xAF"), u"\uFFFD");        // overlong
    EXPECT_EQ(posix::FromUtf8("\xED\xA0\x80"), u"\uFFFD");    // encoded surrogate
    EXPECT_EQ(posix::ToUtf8(u"x\xD800y"), "x\xEF\xBF\xBDy");  // lone surrogate
}

}  // namespace
}  // namespace rivu::platform
