#include "plugin/unique_id.h"

#include <gtest/gtest.h>

namespace rivu {
namespace {

TEST(UniqueId, IsTheReversedLastFiveDigitsOfTheFnvHashOfThePath) {
    // Hashes computed independently over the UTF-16LE bytes of each path.
    EXPECT_EQ(HashDevicePath(u"\\\\?\\ftdibus#vid_0403+pid_6001+ksc01234a#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"),
              1134956365829773531ull);
    EXPECT_EQ(MakeUniqueId(u"\\\\?\\ftdibus#vid_0403+pid_6001+ksc01234a#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"),
              13537);
    EXPECT_EQ(MakeUniqueId(u"\\\\.\\COM5"), 59907);
    EXPECT_EQ(MakeUniqueId(u"A"), 42175);
}

TEST(UniqueId, HashesBothBytesOfEveryCodeUnit) {
    // U+00B5 and U+B500 differ only in which byte is set.
    EXPECT_EQ(MakeUniqueId(u"\u00B5"), 40384);
    EXPECT_NE(HashDevicePath(u"\u00B5"), HashDevicePath(u"\uB500"));
}

TEST(UniqueId, IsStableForOnePathAndRandomInItsRangeForNoPath) {
    const std::u16string path = u"/dev/ttyUSB0";
    EXPECT_EQ(MakeUniqueId(path), MakeUniqueId(path));
    for (int i = 0; i < 200; ++i) {
        const std::int32_t id = MakeUniqueId(u"");
        EXPECT_GE(id, 89999);
        EXPECT_LE(id, 99998);
    }
}

}  // namespace
}  // namespace rivu
