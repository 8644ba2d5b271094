#include "discovery/identification.h"

#include <gtest/gtest.h>

#include <string>

namespace rivu {
namespace {

constexpr char16_t kFtdiPath[] =
    u"\\\\?\\ftdibus#vid_0403+pid_6001+ksc01234a#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

TEST(SerialNumberFromPath, TakesTheWholeDigitRunAfterThePrefix) {
    EXPECT_EQ(ExtractSerialNumber(kFtdiPath), "01234");  // leading zero kept, trailing letter dropped
    EXPECT_EQ(ExtractSerialNumber(u"a8000042"), "0042");
    EXPECT_EQ(ExtractSerialNumber(u"xx#zvccoda0001a#yy"), "0001");
}

TEST(SerialNumberFromPath, PrefixesAreTriedInOrderWhereverTheyStand) {
    EXPECT_EQ(ExtractSerialNumber(u"ksc111#a800222"), "222");     // a800 first, though it stands later
    EXPECT_EQ(ExtractSerialNumber(u"zvccoda9#ksc333"), "333");    // ksc before zvccoda
    EXPECT_EQ(ExtractSerialNumber(u"a800x#ksc44#a80055"), "55");  // a800 without digits is passed over
    EXPECT_EQ(ExtractSerialNumber(u"a800abc#ksc77"), "77");
}

TEST(SerialNumberFromPath, EmptyWithoutALowerCasePrefixFollowedByDigits) {
    EXPECT_EQ(ExtractSerialNumber(u"\\\\.\\COM5"), "");
    EXPECT_EQ(ExtractSerialNumber(u"KSC01234"), "");  // case-sensitive
    EXPECT_EQ(ExtractSerialNumber(u"ksc"), "");
    EXPECT_EQ(ExtractSerialNumber(u""), "");
}

TEST(SerialNumberFromPath, ReadsOnlyTheLowByteOfEachCodeUnit) {
    // U+016B narrows to 'k' (0x6B); U+0130 narrows to '0' (0x30).
    EXPECT_EQ(ExtractSerialNumber(u"\u016Bsc12"), "12");
    EXPECT_EQ(ExtractSerialNumber(u"ksc1\u01302"), "102");
}

TEST(SerialNumberFromPath, AVeryLongDigitRunDoesNotExhaustTheStack) {
    const std::u16string digits(200000, u'7');
    EXPECT_EQ(ExtractSerialNumber(u"ksc" + digits + u"#"), std::string(200000, '7'));
}

TEST(ZvcCodaMark, OnlyTheUpperCaseMarkAnywhereInTheIdentity) {
    EXPECT_TRUE(IsZvcCodaIdentity(u"ZVCCODA0001A"));
    EXPECT_TRUE(IsZvcCodaIdentity(u"xxZVCCODA"));
    EXPECT_FALSE(IsZvcCodaIdentity(u"zvccoda0001a"));
    EXPECT_FALSE(IsZvcCodaIdentity(u"ZVCCOD"));
    EXPECT_FALSE(IsZvcCodaIdentity(u""));
}

}  // namespace
}  // namespace rivu
