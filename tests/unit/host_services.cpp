#include "plugin/host_services.h"

#include <gtest/gtest.h>

#include <iostream>
#include <limits>
#include <sstream>

#include "support/errors.h"

namespace {

TEST(HostClockArithmetic, OffsetWrapsLikeTheTickCount) {
    EXPECT_EQ(rivu::HostClockOffset(1000, 400), 600);
    EXPECT_EQ(rivu::HostClockOffset(400, 1000), -600);     // host reference ahead of our tick
    EXPECT_EQ(rivu::HostClockOffset(5, 0xFFFFFFF0u), 21);  // the tick count wrapped since
    EXPECT_EQ(rivu::HostClockOffset(0x80000000u, 0), std::numeric_limits<std::int32_t>::min());
}

TEST(HostClockArithmetic, ValueUsesTheLow32BitsAndWraps) {
    EXPECT_EQ(rivu::HostClockValue(5000, 5000, 0), 0);
    EXPECT_EQ(rivu::HostClockValue(5250, 5000, 100), 350);
    EXPECT_EQ(rivu::HostClockValue(5000, 5000, -100), -100);
    // Only the low words of the 64-bit readings count.
    EXPECT_EQ(rivu::HostClockValue(0x100000005LL, 0xFFFFFFFBLL, 0), 10);
    EXPECT_EQ(rivu::HostClockValue(0x700000000LL + 42, 0x300000000LL + 2, 0), 40);
    // Past 2^31 - 1 ms the value wraps to negative, as a 32-bit tick does.
    EXPECT_EQ(rivu::HostClockValue(0x7FFFFFFFLL, 0, 1), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(rivu::HostClockValue(10, 0, std::numeric_limits<std::int32_t>::max()),
              std::numeric_limits<std::int32_t>::min() + 9);
}

TEST(ActivationLibrary, LivesBesideTheHostExecutable) {
    EXPECT_EQ(rivu::ActivationLibraryPath(u"C:\\Program Files\\Host\\Host.exe"), u"C:\\Program Files\\Host\\Kofra.dll");
    EXPECT_EQ(rivu::ActivationLibraryPath(u"C:\\Host\\.\\bin\\..\\Host.exe"), u"C:\\Host\\Kofra.dll");
    EXPECT_EQ(rivu::ActivationLibraryPath(u"C:\\..\\..\\Host.exe"), u"C:\\Kofra.dll");
    EXPECT_EQ(rivu::ActivationLibraryPath(u"\\\\server\\share\\Host.exe"), u"\\\\server\\share\\Kofra.dll");
    EXPECT_EQ(rivu::ActivationLibraryPath(u"/opt/host/bin/host"), u"/opt/host/bin/Kofra.dll");
    EXPECT_EQ(rivu::ActivationLibraryPath(u"/opt/host/../host"), u"/opt/Kofra.dll");
    EXPECT_EQ(rivu::ActivationLibraryPath(u"Host.exe"), u"Kofra.dll");
    EXPECT_EQ(rivu::ActivationLibraryPath(u""), u"Kofra.dll");
}

TEST(ActivationLibrary, FailureMessageStaysWithin511Characters) {
    EXPECT_EQ(rivu::ActivationFailureMessage(u"C:\\Host\\Kofra.dll"), u"Velmar failed to load C:\\Host\\Kofra.dll");
    std::u16string longPath = u"C:\\" + std::u16string(600, u'd') + u"\\Kofra.dll";
    std::u16string message = rivu::ActivationFailureMessage(longPath);
    EXPECT_EQ(message.size(), 511u);
    EXPECT_EQ(message, u"Velmar failed to load " + longPath.substr(0, 511 - 22));
    std::u16string exact(511 - 22, u'p');
    EXPECT_EQ(rivu::ActivationFailureMessage(exact).size(), 511u);
}

TEST(StartUpErrors, HResultErrorsAreReportedOnTheErrorStream) {
    std::wostringstream captured;
    std::wstreambuf* previous = std::wcerr.rdbuf(captured.rdbuf());
    ZVC::XZVC fromCode(static_cast<rivu::HResult>(0x80010106u));
    ZVC::XZVC fromText("no code");
    ZVC::XHResult failedCall(rivu::kClassNotAvailable);
    std::wcerr.rdbuf(previous);

    EXPECT_EQ(captured.str(), L"ZVCBOOTLOG: XZVC: HRESULT 0x80010106\n");
    EXPECT_EQ(fromCode.Code(), static_cast<rivu::HResult>(0x80010106u));
    EXPECT_STREQ(fromText.what(), "no code");
    EXPECT_EQ(failedCall.Code(), rivu::kClassNotAvailable);
    EXPECT_STREQ(failedCall.what(), "HRESULT 0x80040111");
    EXPECT_EQ(ZVC::HResultText(1), "0x00000001");
}

}  // namespace
