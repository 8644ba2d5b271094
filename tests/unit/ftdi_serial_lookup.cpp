#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "discovery/ftdi_driver_binding.h"
#include "discovery/port_discovery.h"

namespace rivu {
namespace {

using platform::FtHandle;
using platform::FtStatus;
using platform::kFtOk;

struct FakeDevice {
    std::string serial;  // copied without a NUL when it has 16 bytes
    std::int32_t comPort;
};

// A D2XX driver with a list of devices; one call may be made to fail. Records
// which handles are open.
struct DriverLog {
    std::vector<std::string> calls;
    std::map<std::intptr_t, bool> open;
};

class FakeDriver : public platform::FtdiDriver {
public:
    FakeDriver(std::vector<FakeDevice> devices, DriverLog& log, std::string failing = "")
        : devices_(std::move(devices)), log_(log), failing_(std::move(failing)) {}

    FtStatus Open(std::int32_t index, FtHandle& handle) override {
        log_.calls.push_back("Open " + std::to_string(index));
        if (failing_ == "Open" || index < 0 || static_cast<std::size_t>(index) >= devices_.size()) return 2;
        handle = reinterpret_cast<FtHandle>(static_cast<std::intptr_t>(index + 1));
        log_.open[index + 1] = true;
        return kFtOk;
    }
    FtStatus GetDeviceInfo(FtHandle handle, std::uint32_t& type, std::uint32_t& id, char* serial,
                           char* description) override {
        if (failing_ == "GetDeviceInfo") return 4;
        const std::string& text = Device(handle).serial;
        std::memcpy(serial, text.data(), std::min<std::size_t>(text.size() + 1, platform::kFtSerialNumberSize));
        std::strcpy(description, "Fake UART");
        type = 5;
        id = 0x04036001;
        return kFtOk;
    }
    FtStatus GetComPortNumber(FtHandle handle, std::int32_t& number) override {
        if (failing_ == "GetComPortNumber") return 4;
        number = Device(handle).comPort;
        return kFtOk;
    }
    FtStatus Close(FtHandle handle) override {
        log_.open[reinterpret_cast<std::intptr_t>(handle)] = false;
        return kFtOk;
    }

private:
    const FakeDevice& Device(FtHandle handle) const {
        return devices_.at(static_cast<std::size_t>(reinterpret_cast<std::intptr_t>(handle) - 1));
    }
    std::vector<FakeDevice> devices_;
    DriverLog& log_;
    std::string failing_;
};

class FtdiLookupTest : public ::testing::Test {
protected:
    FtdiDriverBinding Bind(std::vector<FakeDevice> devices, std::string failing = "") {
        return FtdiDriverBinding(platform::FtdiLoadResult::kLoaded,
                                 std::make_unique<FakeDriver>(std::move(devices), log_, std::move(failing)));
    }
    int OpenHandles() const {
        int count = 0;
        for (const auto& [handle, isOpen] : log_.open) count += isOpen ? 1 : 0;
        return count;
    }
    DriverLog log_;
};

const std::vector<FakeDevice> kThreeDevices = {{"FT111", 3}, {"FT777", 7}, {"FT010", 10}};

TEST_F(FtdiLookupTest, FindsTheDeviceOnThePortWhateverTheCaseOfItsName) {
    FtdiDriverBinding binding = Bind(kThreeDevices);
    std::u16string serial;
    ASSERT_TRUE(LookupFtdiSerial(binding, u"com7", serial));
    EXPECT_EQ(serial, u"FT777");
    ASSERT_TRUE(LookupFtdiSerial(binding, u"CoM10", serial));
    EXPECT_EQ(serial, u"FT010");
    EXPECT_EQ(OpenHandles(), 0);
    EXPECT_TRUE(binding.Usable());
}

TEST_F(FtdiLookupTest, NoMatchLeavesTheSerialUntouchedAndEveryHandleClosed) {
    FtdiDriverBinding binding = Bind(kThreeDevices);
    std::u16string serial = u"before";
    EXPECT_FALSE(LookupFtdiSerial(binding, u"COM1", serial));  // COM10 is not COM1
    EXPECT_FALSE(LookupFtdiSerial(binding, u"COM", serial));
    EXPECT_FALSE(LookupFtdiSerial(binding, u"", serial));
    EXPECT_EQ(serial, u"before");
    EXPECT_EQ(OpenHandles(), 0);
}

TEST_F(FtdiLookupTest, ADeviceWithoutComPortGivesNoRealPortName) {
    FtdiDriverBinding binding = Bind({{"NOPORT", -1}, {"FT005", 5}});
    std::u16string serial;
    ASSERT_TRUE(LookupFtdiSerial(binding, u"COM5", serial));
    EXPECT_EQ(serial, u"FT005");
}

TEST_F(FtdiLookupTest, AFailingCallEndsTheLookupAndClosesWhatItOpened) {
    for (const char* failing : {"Open", "GetDeviceInfo", "GetComPortNumber"}) {
        SCOPED_TRACE(failing);
        log_ = {};
        FtdiDriverBinding binding = Bind(kThreeDevices, failing);
        std::u16string serial;
        EXPECT_FALSE(LookupFtdiSerial(binding, u"COM7", serial));
        EXPECT_EQ(serial, u"");
        EXPECT_EQ(OpenHandles(), 0);
        EXPECT_EQ(log_.calls, std::vector<std::string>{"Open 0"});  // later devices are not tried
        EXPECT_TRUE(binding.Usable());
    }
}

TEST_F(FtdiLookupTest, ASerialFillingTheWholeBufferIsReadNoFurther) {
    FtdiDriverBinding binding = Bind({{"0123456789ABCDEF", 4}});
    std::u16string serial;
    ASSERT_TRUE(LookupFtdiSerial(binding, u"COM4", serial));
    EXPECT_EQ(serial, u"0123456789ABCDEF");
}

TEST_F(FtdiLookupTest, ADriverThatOpensEveryIndexDoesNotKeepTheLookupGoing) {
    FtdiDriverBinding binding = Bind(std::vector<FakeDevice>(100000, FakeDevice{"SAME", 1}));
    std::u16string serial;
    EXPECT_FALSE(LookupFtdiSerial(binding, u"COM2", serial));
    EXPECT_LE(log_.calls.size(), 4096u);
    EXPECT_EQ(OpenHandles(), 0);
}

TEST(FtdiDriverBindingState, FlagsSayWhyTheDriverCannotBeUsed) {
    FtdiDriverBinding missing(platform::FtdiLoadResult::kNotInstalled, nullptr);
    EXPECT_TRUE(missing.driverNotInstalled);
    EXPECT_FALSE(missing.driverCannotLoad);
    EXPECT_FALSE(missing.Usable());

    FtdiDriverBinding incomplete(platform::FtdiLoadResult::kEntryPointMissing, nullptr);
    EXPECT_FALSE(incomplete.driverNotInstalled);
    EXPECT_TRUE(incomplete.driverCannotLoad);
    EXPECT_FALSE(incomplete.Usable());
}

TEST_F(FtdiLookupTest, ACallOnAnUnloadedBindingIsNotMadeAndMarksItUnloadable) {
    FtdiDriverBinding binding = Bind(kThreeDevices);
    binding.Unload();
    FtHandle handle = nullptr;
    EXPECT_NE(binding.Open(0, handle), kFtOk);
    EXPECT_TRUE(log_.calls.empty());
    EXPECT_TRUE(binding.driverCannotLoad);

    std::u16string serial;
    EXPECT_FALSE(LookupFtdiSerial(binding, u"COM7", serial));
    EXPECT_TRUE(log_.calls.empty());
}

}  // namespace
}  // namespace rivu
