// Discovery over the POSIX port inventory: the ports named in
// RIVU_SERIAL_PORTS, then a sysfs tree made in a temporary directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
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

// One tty of a USB device as sysfs shows it. usb-serial ports (FTDI) sit one
// level below their USB interface, CDC-ACM ports are the interface itself.
struct UsbPort {
    std::string name;
    std::string usbName;  // the USB device's directory
    std::optional<std::string> serial;
    std::optional<std::string> interfaceNumber = "00";  // bInterfaceNumber as sysfs writes it
    std::string interface = "1.0";
    std::string driver = "ftdi_sio";
    std::string vendor = "0403";
    std::string product = "6001";
};

// A sysfs tree with USB serial ports (FTDI and CDC-ACM), an on-board port
// and a virtual terminal, made in reverse name order.
class FakeSysfs {
public:
    FakeSysfs() {
        root_ = fs::temp_directory_path() / ("rivu-sysfs-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        AddUsbPort({.name = "ttyUSB1", .usbName = "1-2", .serial = "ZVCCODA0007", .product = "6015"});
        AddUsbPort({.name = "ttyUSB0", .usbName = "1-1", .serial = "KSC01234"});
        AddUsbPort({.name = "ttyACM0",
                    .usbName = "1-3",
                    .serial = "8513",
                    .driver = "cdc_acm",
                    .vendor = "2341",
                    .product = "0043"});
        const fs::path onboard = root_ / "devices/platform/serial8250/tty/ttyS0";
        fs::create_directories(onboard);
        fs::create_directories(root_ / "class/tty/ttyS0");
        fs::create_directory_symlink(onboard.parent_path().parent_path(), root_ / "class/tty/ttyS0/device");
        fs::create_directories(root_ / "class/tty/tty0");
    }
    ~FakeSysfs() { fs::remove_all(root_); }

    const fs::path& Root() const { return root_; }
    fs::path UsbDevice(const std::string& usbName) const { return root_ / "devices/pci0000:00/usb1" / usbName; }

    void AddUsbPort(const UsbPort& port) {
        const fs::path usbDevice = UsbDevice(port.usbName);
        WriteFile(usbDevice / "idVendor", port.vendor + "\n");
        WriteFile(usbDevice / "idProduct", port.product + "\n");
        if (port.serial) WriteFile(usbDevice / "serial", *port.serial + "\n");
        WriteFile(usbDevice / "manufacturer", "Maker\n");
        const fs::path usbInterface = usbDevice / (port.usbName + ":" + port.interface);
        fs::create_directories(usbInterface);
        if (port.interfaceNumber) WriteFile(usbInterface / "bInterfaceNumber", *port.interfaceNumber + "\n");
        const fs::path device = port.driver == "cdc_acm" ? usbInterface : usbInterface / port.name;
        fs::create_directories(device);
        const fs::path driverDir = root_ / "bus/drivers" / port.driver;
        fs::create_directories(driverDir);
        fs::create_directory_symlink(driverDir, device / "driver");
        fs::create_directories(root_ / "class/tty" / port.name);
        fs::create_directory_symlink(device, root_ / "class/tty" / port.name / "device");
    }

private:
    fs::path root_;
};

struct Found {
    std::u16string path;
    std::string serialNumber;
    bool isZvcCoda;
    std::u16string interfacePath;  // the identity shows in it, lower-cased
    friend bool operator==(const Found&, const Found&) = default;
};

// The interface path Windows gives a COM port of this instance.
std::u16string WindowsPath(std::u16string_view instance) {
    return u"\\\\?\\" + std::u16string(instance) + u"#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
}

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
            found.push_back({device->devicePath, device->serialNumber, device->isZvcCoda, device->interfacePath});
            if (found.size() > 20) break;
        }
        return found;
    }

    FakeSysfs sysfs_;
};

// The port opened is the path listed; serial number and unique id come from
// the path Windows would give the same instance, so they match Windows'.
const Found kKsc = {u"/dev/ttyUSB0", "01234", false, WindowsPath(u"ftdibus#vid_0403+pid_6001+ksc01234a#0000")};
const Found kZvcCoda = {u"/dev/ttyUSB1", "0007", true, WindowsPath(u"ftdibus#vid_0403+pid_6015+zvccoda0007a#0000")};
const Found kAcm = {u"/dev/ttyACM0", "", false, WindowsPath(u"usb#vid_2341&pid_0043#8513")};  // identity "USB"
const Found kA800 = {u"/dev/pts/9", "123", false, WindowsPath(u"ftdibus#vid_0403+pid_6001+a800123x#0000")};
// No instance id: the path is all there is.
const Found kNoInstance = {u"/tmp/rivu-a8007", "7", false, u"/tmp/rivu-a8007"};
const Found kNoSerial = {u"/dev/pts/7", "", false, WindowsPath(u"ftdibus#vid_0403+pid_6001+#0000")};

TEST_F(PosixPortWalkTest, ConfiguredPortsFirstThenUsbSerialPortsInNameOrder) {
    const std::vector<Found> expected = {kA800, kNoInstance, kNoSerial, kAcm, kKsc, kZvcCoda};
    EXPECT_EQ(Pass(""), expected);
    EXPECT_EQ(Pass(""), expected);  // a new pass lists them again
}

TEST_F(PosixPortWalkTest, TokensSelectByIdentity) {
    // FTDI identities end in the interface's letter, as Windows' do.
    EXPECT_EQ(Pass("234A"), (std::vector<Found>{kKsc}));
    EXPECT_EQ(Pass("KSC,ZVCCODA"), (std::vector<Found>{kKsc, kZvcCoda}));
    EXPECT_EQ(Pass("USB"), (std::vector<Found>{kAcm}));
    EXPECT_EQ(Pass("A800"), (std::vector<Found>{kA800}));
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

// Attributes that are missing, unreadable, empty, oversized or not what they
// should be give an FTDI port no identity and no serial number, never a cut
// or made-up one; a second interface of a chip gets the letter B.
TEST_F(PosixPortWalkTest, UnusableSysfsAttributesGiveNoIdentity) {
    unsetenv("RIVU_SERIAL_PORTS");
    sysfs_.AddUsbPort({.name = "ttyUSB2", .usbName = "1-4", .serial = std::nullopt});
    sysfs_.AddUsbPort({.name = "ttyUSB3", .usbName = "1-5", .serial = ""});
    sysfs_.AddUsbPort({.name = "ttyUSB4", .usbName = "1-6", .serial = "KSC" + std::string(600, '7')});
    sysfs_.AddUsbPort({.name = "ttyUSB5", .usbName = "1-7", .serial = std::nullopt});
    fs::create_directories(sysfs_.UsbDevice("1-7") / "serial");  // cannot be read as text
    sysfs_.AddUsbPort({.name = "ttyUSB6", .usbName = "1-8", .serial = "KSC02222", .interfaceNumber = "zz"});
    sysfs_.AddUsbPort({.name = "ttyUSB7", .usbName = "1-9", .serial = "KSC03333", .interfaceNumber = std::nullopt});
    sysfs_.AddUsbPort({.name = "ttyUSB8", .usbName = "2-1", .serial = "KSC\\04444"});
    sysfs_.AddUsbPort(
        {.name = "ttyUSB9", .usbName = "1-1", .serial = "KSC01234", .interfaceNumber = "01", .interface = "1.1"});

    const std::u16string none = WindowsPath(u"ftdibus#vid_0403+pid_6001+#0000");
    std::vector<Found> expected = {kAcm, kKsc, kZvcCoda};
    for (char n = '2'; n <= '8'; ++n) expected.push_back({u"/dev/ttyUSB" + std::u16string(1, n), "", false, none});
    expected.push_back({u"/dev/ttyUSB9", "01234", false, WindowsPath(u"ftdibus#vid_0403+pid_6001+ksc01234b#0000")});
    EXPECT_EQ(Pass(""), expected);
    EXPECT_EQ(Pass("KSC"), (std::vector<Found>{kKsc, expected.back()}));
}

// A USB port also named in RIVU_SERIAL_PORTS is listed once, in the place it
// was named: with the instance id given there, or with what sysfs knows when
// none was given.
TEST_F(PosixPortWalkTest, UsbPortAlsoNamedInTheVariableIsListedOnce) {
    setenv("RIVU_SERIAL_PORTS", "/dev/ttyUSB1=FTDIBUS\\VID_0403+PID_6001+A800123X\\0000;/dev/ttyUSB0", 1);
    const Found namedCoda = {u"/dev/ttyUSB1", "123", false, kA800.interfacePath};
    EXPECT_EQ(Pass(""), (std::vector<Found>{namedCoda, kKsc, kAcm}));
    EXPECT_EQ(Pass("KSC"), (std::vector<Found>{kKsc}));
}

TEST_F(PosixPortWalkTest, NoPortsAtAll) {
    unsetenv("RIVU_SERIAL_PORTS");
    setenv("RIVU_SYSFS_ROOT", (sysfs_.Root() / "missing").c_str(), 1);
    EXPECT_EQ(DiscoverNextDevice(""), nullptr);
    EXPECT_FALSE(CurrentDriverBindingStatus().exists);
}

}  // namespace
}  // namespace rivu
