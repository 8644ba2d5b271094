#include "plugin/error_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "plugin/device_table.h"
#include "serial/rivu_serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"

namespace rivu {
namespace {

// Devices log when they are made: the host's log service comes first.
[[maybe_unused]] const test::LogCapture& kLog = test::LogCapture::Instance();

class ErrorMessages : public ::testing::Test {
protected:
    void TearDown() override { device_table::CloseAllDevices(); }

    RivuSerial& AddDevice() {
        auto device = test::NewDevice(u"", u"");
        RivuSerial& added = *device;
        device_table::Append(std::move(device));
        return added;
    }

    // As a host asks: the size first, then the text.
    static std::string Deliver(std::uint32_t index) {
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_LE(DeliverErrorMessage(index, nullptr), static_cast<int>(sizeof buffer));
        const int size = DeliverErrorMessage(index, buffer);
        EXPECT_EQ(std::strlen(buffer) + 1, static_cast<std::size_t>(size));
        return buffer;
    }
};

TEST_F(ErrorMessages, WithoutDevicesExplainTheMissingDevice) {
    EXPECT_EQ(DeliverErrorMessage(kNoDeviceIndex, nullptr), 77);
    EXPECT_EQ(Deliver(kNoDeviceIndex), "The device cannot be found.\nPlease plug in your device and restart Vexamora.");
    // Asked again: the table text is not consumed.
    EXPECT_EQ(DeliverErrorMessage(kNoDeviceIndex, nullptr), 77);
}

TEST_F(ErrorMessages, WithDevicesFirmwareWinsOverNotResponding) {
    RivuSerial& first = AddDevice();
    RivuSerial& second = AddDevice();
    EXPECT_EQ(Deliver(kNoDeviceIndex), "The device is not responding or powered off.");

    first.notResponding = true;
    EXPECT_EQ(DeliverErrorMessage(kNoDeviceIndex, nullptr), 82);
    EXPECT_EQ(Deliver(kNoDeviceIndex),
              "The device is not responding. Please power cycle the device and restart Vexamora.");

    second.wrongFirmware = true;
    EXPECT_EQ(Deliver(kNoDeviceIndex),
              "A device is connected, but can't be used due\nto wrong firmware version. Please contact support for a "
              "firmware update.");
}

TEST_F(ErrorMessages, DeviceMessageIsSizedFirstThenDeliveredOnce) {
    RivuSerial& device = AddDevice();
    device.lastError.Set(ZVC::ZVCString(u"Rivu CODA Monitor is not supported by Vexamora."));

    EXPECT_EQ(DeliverErrorMessage(0, nullptr), 48);
    EXPECT_EQ(DeliverErrorMessage(0, nullptr), 48);  // sizing keeps the message
    EXPECT_EQ(Deliver(0), "Rivu CODA Monitor is not supported by Vexamora.");
    EXPECT_EQ(DeliverErrorMessage(0, nullptr), 1);
    EXPECT_EQ(Deliver(0), "");
}

TEST_F(ErrorMessages, UnknownIndicesHaveNoMessage) {
    char buffer[8] = "intact";
    EXPECT_EQ(DeliverErrorMessage(0, buffer), 0);
    EXPECT_STREQ(buffer, "intact");
    AddDevice();
    EXPECT_EQ(DeliverErrorMessage(1, buffer), 0);
    EXPECT_EQ(DeliverErrorMessage(0xFFFFFFFEu, buffer), 0);
}

TEST_F(ErrorMessages, NeverWritesMoreThanTheSizeItReported) {
    RivuSerial& device = AddDevice();
    // Characters outside the OEM code page still take one byte each at most.
    device.lastError.Set(ZVC::ZVCString(u"\u20AC\u4E2D!"));
    const int size = DeliverErrorMessage(0, nullptr);
    ASSERT_EQ(size, 4);
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(DeliverErrorMessage(0, buffer), 4);
    EXPECT_EQ(buffer[size], 'x');
    EXPECT_LE(std::strlen(buffer), 3u);
}

// The host sizes its buffer with the first call and copies with the second;
// a message that grew in between must not run past that buffer.
TEST_F(ErrorMessages, AMessageLongerThanTheSizeTheHostLearnedIsNotWritten) {
    RivuSerial& device = AddDevice();
    device.lastError.Set(ZVC::ZVCString(u"short"));
    ASSERT_EQ(DeliverErrorMessage(0, nullptr), 6);
    device.lastError.Set(ZVC::ZVCString(u"The device reports 600 parameters, more than the 508 that can be used."));
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(DeliverErrorMessage(0, buffer), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), '\0' + std::string(7, 'x'));  // an empty text, nothing more
    // Kept for the host's next attempt, which sizes anew and gets it once.
    EXPECT_EQ(DeliverErrorMessage(0, nullptr), 71);
    EXPECT_EQ(Deliver(0), "The device reports 600 parameters, more than the 508 that can be used.");
    EXPECT_EQ(DeliverErrorMessage(0, nullptr), 1);

    // A message that shrank is delivered.
    device.lastError.Set(ZVC::ZVCString(u"a longer message"));
    ASSERT_EQ(DeliverErrorMessage(0, nullptr), 17);
    device.lastError.Set(ZVC::ZVCString(u"shorter"));
    EXPECT_EQ(Deliver(0), "shorter");

    // The no-device message changes with the devices' flags.
    ASSERT_EQ(DeliverErrorMessage(kNoDeviceIndex, nullptr), 45);  // not responding or powered off
    device.wrongFirmware = true;
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(DeliverErrorMessage(kNoDeviceIndex, buffer), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), '\0' + std::string(7, 'x'));
    EXPECT_EQ(DeliverErrorMessage(kNoDeviceIndex, nullptr), 118);
    EXPECT_EQ(Deliver(kNoDeviceIndex).size(), 117u);
}

// A delivered message forgets the size told for it: a host that reads the
// text again later, into a buffer that holds it, gets it.
TEST_F(ErrorMessages, ASizeIsForgottenOnceItsMessageIsDelivered) {
    AddDevice();
    EXPECT_EQ(Deliver(kNoDeviceIndex), "The device is not responding or powered off.");
    device_table::CloseAllDevices();
    char buffer[512];
    EXPECT_EQ(DeliverErrorMessage(kNoDeviceIndex, buffer), 77);
    EXPECT_STREQ(buffer, "The device cannot be found.\nPlease plug in your device and restart Vexamora.");

    RivuSerial& again = AddDevice();
    again.lastError.Set(ZVC::ZVCString(u"short"));
    EXPECT_EQ(Deliver(0), "short");
    again.lastError.Set(ZVC::ZVCString(u"Rivu CODA Monitor is not supported by Vexamora."));
    EXPECT_EQ(DeliverErrorMessage(0, buffer), 48);
    EXPECT_STREQ(buffer, "Rivu CODA Monitor is not supported by Vexamora.");
}

}  // namespace
}  // namespace rivu
