// The exports of the built library with no instrument: the answers the host
// gets for devices that do not exist and for arguments it should not pass.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/enabler_under_test.h"

namespace rivu::test {
namespace {

constexpr unsigned int kNoDevice = 0xFFFFFFFFu;

TEST(EnablerExports, ClassInfoNamesTheDeviceClass) {
    RivuDeviceClassInfo info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(Enabler().GetDeviceClassInfo(&info), 1);
    EXPECT_EQ(sizeof info, 32u);
    EXPECT_EQ(info.classIdData1, 0xA440D267u);
    EXPECT_EQ(info.classIdData2, 0xD1C2);
    EXPECT_EQ(info.classIdData3, 0x4C34);
    const std::uint8_t tail[8] = {0x8E, 0xE8, 0xA6, 0x42, 0xEB, 0x10, 0xB7, 0x17};
    EXPECT_EQ(std::memcmp(info.classIdData4, tail, 8), 0);
    const char16_t expected[] = u"Rivu Device";
    ASSERT_NE(info.firstName, nullptr);
    EXPECT_EQ(std::memcmp(info.firstName, expected, sizeof expected), 0);
    EXPECT_EQ(info.secondName, info.firstName);
    EXPECT_EQ(Enabler().GetDeviceClassInfo(nullptr), 0);
}

TEST(EnablerExports, EveryDeviceExportAnswersNoDeviceForUnknownIndices) {
    host::EnablerLibrary& enabler = Enabler();
    ASSERT_EQ(enabler.CloseAll(), 1);
    ASSERT_EQ(enabler.CloseAll(), 1);  // an empty table closes again
    for (unsigned int index : {0u, 1u, 77u, kNoDevice}) {
        char buffer[64] = "intact";
        int id = 42;
        RivuCommandRecord record{};
        record.text = buffer;
        record.textSize = sizeof buffer;
        EXPECT_EQ(enabler.Initialise(index), 0);
        EXPECT_EQ(enabler.IsFailed(index), 1);
        EXPECT_EQ(enabler.CanUseBaudRate(index, 9600), 0);
        enabler.SetBaudRate(index, 9600);
        EXPECT_EQ(enabler.GetBaudRate(index), 0);
        EXPECT_EQ(enabler.ReadLine(index, buffer, sizeof buffer, 0), 0);
        enabler.FlushReadBuffer(index);
        EXPECT_EQ(enabler.GetUniqueID(index, &id), 0);
        EXPECT_EQ(id, 42);
        EXPECT_EQ(enabler.DeviceCommand(index, RIVU_CMD_DEVICE_NAME, &record), 0);
        EXPECT_EQ(enabler.SetControllingProxy(index, buffer), 0);
        if (index != kNoDevice) {
            EXPECT_EQ(enabler.GetLastErrorMsg(index, buffer), 0);
        }
        EXPECT_STREQ(buffer, "intact");
    }
    EXPECT_EQ(enabler.ReadBuffSize(), 0);
    EXPECT_EQ(enabler.ReadBuffer(), 0);
    EXPECT_EQ(enabler.WriteBuffer(), 0);
}

TEST(EnablerExports, ClockStartsAtTheFirstCallAndRuns) {
    host::EnablerLibrary& enabler = Enabler();
    const int first = enabler.InitOnMainThread();
    const int later = enabler.InitOnMainThread();
    EXPECT_GE(later, first);
    EXPECT_LT(later - first, 5000);
}

}  // namespace
}  // namespace rivu::test
