// Discovery over the POSIX port inventory: the ports named in
// RIVU_SERIAL_PORTS, then a sysfs tree made in a temporary directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "discovery/port_discovery.h"
#include "serial/rivu_serial.h"

namespace rivu {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// A sysfs tree with USB serial ports (FTDI and CDC-ACM), an on-board port
// and a virtual terminal, made in reverse name order.
class FakeSysfs {
public:
    FakeSysfs() {
        root_ = fs::temp_directory_path() / ("rivu-sysfs-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        AddUsbPort("ttyUSB1", "1-2", "ftdi_sio", "0403", "6015", "ZVCCODA0007A", true);
        AddUsbPort("ttyUSB0", "1-1", "ftdi_sio", "0403", "6001", "KSC01234A", true);
        AddUsbPort("ttyACM0", "1-3", "cdc_acm", "2341", "0043", "8513", false);
        const fs::path onboard = root_ / "devices/platform/serial8250/tty/ttyS0";
        fs::create_directories(onboard);
        fs::create_directories(root_ / "class/tty/ttyS0");
        fs::create_directory_symlink(onboard.parent_path().parent_path(), root_ / "class/tty/ttyS0/device");
        fs::create_directories(root_ / "class/tty/tty0");
    }
    ~FakeSysfs() { fs::remove_all(root_); }

    const fs::path& Root() const { return root_; }

    // usb-serial ports sit one level below the USB interface, CDC-ACM ports are the interface itself.
    void AddUsbPort(const std::string& name, const std::string& usbName, const std::string& driver,
                    const std::string& vendor, const std::string& product, const std::string& serial,
                    bool usbSerialPort) {
        const fs::path usbDevice = root_ / "devices/pci0000:00/usb1" / usbName;
        WriteFile(usbDevice / "idVendor", vendor + "\n");
        WriteFile(usbDevice / "idProduct", product + "\n");
        WriteFile(usbDevice / "serial", serial + "\n");
        WriteFile(usbDevice / "manufacturer", "Maker\n");
        fs::path device = usbDevice / (usbName + ":1.0");
        if (usbSerialPort) device /= name;
        fs::create_directories(device);
        const fs::path driverDir = root_ / "bus/drivers" / driver;
        fs::create_directories(driverDir);
        fs::create_directory_symlink(driverDir, device / "driver");
        fs::create_directories(root_ / "class/tty" / name);
        fs::create_directory_symlink(device, root_ / "class/tty" / name / "device");
    }

private:
    fs::path root_;
};

struct Found {
    std::u16string path;
    std::string serialNumber;
    bool isZvcCoda;
    friend bool operator==(const Found&, const Found&) = default;
};

class PosixPortWalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ShutdownDiscovery();
        setenv("RIVU_SYSFS_ROOT", sysfs_.Root().c_str(), 1);
        setenv("RIVU_SERIAL_PORTS",
               "/dev/pts/9=FTDIBUS\\VID_0403+PID_6001+A800123X\\0000;;/tmp/rivu-a8007;"
               "/dev/pts/7=FTDIBUS\\VID_0403+PID_6001+\\0000",
               1);
    }
    void TearDown() override {
        ShutdownDiscovery();
        unsetenv("RIVU_SYSFS_ROOT");
        unsetenv("RIVU_SERIAL_PORTS");
    }

    // Devices of successive calls until one returns nothing.
    std::vector<Found> Pass(const char* selection) {
        std::vector<Found> found;
        while (std::unique_ptr<RivuSerial> device = DiscoverNextDevice(selection)) {
            found.push_back({device->devicePath, device->serialNumber, device->isZvcCoda});
            if (found.size() > 20) break;
        }
        return found;
    }

    FakeSysfs sysfs_;
};

TEST_F(PosixPortWalkTest, ConfiguredPortsFirstThenUsbSerialPortsInNameOrder) {
    const std::vector<Found> expected = {
        {u"/dev/pts/9", "", false},        // identity A800123X
        {u"/tmp/rivu-a8007", "7", false},  // serial number from the path; no identity
        {u"/dev/pts/7", "", false},        // empty serial in the instance id
        {u"/dev/ttyACM0", "", false},      // identity "USB" from USB\VID_2341&PID_0043\8513
        {u"/dev/ttyUSB0", "", false},     {u"/dev/ttyUSB1", "", true},  // identity ZVCCODA0007A
    };
    EXPECT_EQ(Pass(""), expected);
    EXPECT_EQ(Pass(""), expected);  // a new pass lists them again
}

TEST_F(PosixPortWalkTest, TokensSelectByIdentity) {
    EXPECT_EQ(Pass("KSC,ZVCCODA"), (std::vector<Found>{{u"/dev/ttyUSB0", "", false}, {u"/dev/ttyUSB1", "", true}}));
    EXPECT_EQ(Pass("USB"), (std::vector<Found>{{u"/dev/ttyACM0", "", false}}));
    EXPECT_EQ(Pass("A800"), (std::vector<Found>{{u"/dev/pts/9", "", false}}));
    EXPECT_TRUE(Pass("ksc").empty());  // case-sensitive
    EXPECT_TRUE(Pass(" KSC").empty());
    EXPECT_EQ(Pass("XYZ,").size(), 0u);
    EXPECT_EQ(Pass("XYZ,,").size(), 6u);  // an empty token takes every port
}

TEST_F(PosixPortWalkTest, TwoMatchesThenNothingThenTheFirstAgain) {
    auto first = DiscoverNextDevice("KSC,ZVC");
    auto second = DiscoverNextDevice("KSC,ZVC");
    auto third = DiscoverNextDevice("KSC,ZVC");
    auto fourth = DiscoverNextDevice("KSC,ZVC");
    ASSERT_TRUE(first && second && fourth);
    EXPECT_EQ(first->devicePath, u"/dev/ttyUSB0");
    EXPECT_EQ(second->devicePath, u"/dev/ttyUSB1");
    EXPECT_EQ(third, nullptr);
    EXPECT_EQ(fourth->devicePath, u"/dev/ttyUSB0");
}

TEST_F(PosixPortWalkTest, TheDriverBindingLivesWhileAPassWalks) {
    EXPECT_FALSE(CurrentDriverBindingStatus().exists);
    auto device = DiscoverNextDevice("KSC");
    ASSERT_NE(device, nullptr);
    const DriverBindingStatus walking = CurrentDriverBindingStatus();
    EXPECT_TRUE(walking.exists);
    EXPECT_FALSE(walking.driverNotInstalled);
    EXPECT_FALSE(walking.driverCannotLoad);
    EXPECT_EQ(DiscoverNextDevice("KSC"), nullptr);
    EXPECT_FALSE(CurrentDriverBindingStatus().exists);  // the pass ended and discarded it
}

TEST_F(PosixPortWalkTest, PortNamesOfInstances) {
    std::u16string port;
    EXPECT_TRUE(ReadPortName(u"FTDIBUS\\VID_0403+PID_6001+KSC01234A\\0000", port));
    EXPECT_EQ(port, u"ttyUSB0");
    EXPECT_TRUE(ReadPortName(u"USB\\VID_2341&PID_0043\\8513", port));
    EXPECT_EQ(port, u"ttyACM0");
    EXPECT_TRUE(ReadPortName(u"FTDIBUS\\VID_0403+PID_6001+A800123X\\0000", port));
    EXPECT_EQ(port, u"9");
    EXPECT_FALSE(ReadPortName(u"FTDIBUS\\VID_0403+PID_6001+NOPE\\0000", port));
    EXPECT_EQ(port, u"");
    EXPECT_FALSE(ReadPortName(u"", port));
}

TEST_F(PosixPortWalkTest, NoPortsAtAll) {
    unsetenv("RIVU_SERIAL_PORTS");
    setenv("RIVU_SYSFS_ROOT", (sysfs_.Root() / "missing").c_str(), 1);
    EXPECT_EQ(DiscoverNextDevice(""), nullptr);
    EXPECT_FALSE(CurrentDriverBindingStatus().exists);
}

}  // namespace
}  // namespace rivu
