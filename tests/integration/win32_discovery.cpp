// Discovery on Windows, run under Wine: virtual FTDI COM ports registered with
// Wine's setup API, and a test double of ftd2xx.dll in the system directory.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "discovery/port_discovery.h"
#include "serial/rivu_serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/wine_com_ports.h"
#include "tests/support/wine_unix_command.h"

namespace rivu {
namespace {

namespace fs = std::filesystem;

constexpr char kDriverMissingLine[] = "!!! Device driver not installed or missing.";

// The ports, listed by Wine in the order of their interface key names.
constexpr wchar_t kKscId[] = L"FTDIBUS\\VID_0403+PID_6001+QZKSC01234A\\0000";
constexpr wchar_t kCodaId[] = L"FTDIBUS\\VID_0403+PID_6015+QZZVCCODA0007A\\0000";
constexpr wchar_t kNoSerialId[] = L"FTDIBUS\\VID_0403+PID_60F1+\\0000";  // identity from the driver

std::u16string U16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

fs::path SystemDirectory() {
    wchar_t directory[MAX_PATH] = {};
    GetSystemDirectoryW(directory, MAX_PATH);
    return directory;
}

fs::path ProgramDirectory() {
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    return fs::path(program).parent_path();
}

bool DriverLoaded() { return GetModuleHandleW((SystemDirectory() / L"ftd2xx.dll").c_str()) != nullptr; }

// Ports, driver double and scratch files for the whole suite; the prefix is
// left as it was found.
struct Environment {
    test::WineComPorts ports;
    std::wstring kscPath;
    std::wstring codaPath;
    std::wstring noSerialPath;
    fs::path scratch;
    fs::path savedDriver;  // a driver that was there before, moved aside
    bool terminalsMapped = false;
};
Environment* environment = nullptr;

class WineDiscoveryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        environment = new Environment;
        environment->scratch = test::WinePathOf("/tmp/rivu-wine-discovery-" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(environment->scratch);
        environment->kscPath = environment->ports.Add(kKscId, L"COM31");
        environment->codaPath = environment->ports.Add(kCodaId, L"COM32");
        environment->noSerialPath = environment->ports.Add(kNoSerialId, L"com37");
        environment->terminalsMapped = environment->ports.MapToPseudoTerminals();

        const fs::path driver = SystemDirectory() / L"ftd2xx.dll";
        if (fs::exists(driver)) {
            environment->savedDriver = environment->scratch / L"saved-ftd2xx.dll";
            fs::copy_file(driver, environment->savedDriver, fs::copy_options::overwrite_existing);
        }
        SetEnvironmentVariableW(L"RIVU_FTD2XX_CONFIG", (environment->scratch / L"ftd2xx.cfg").c_str());
        test::LogCapture::Instance();
    }

    static void TearDownTestSuite() {
        ShutdownDiscovery();
        std::error_code ignored;
        fs::remove(SystemDirectory() / L"ftd2xx.dll", ignored);
        if (!environment->savedDriver.empty()) {
            fs::copy_file(environment->savedDriver, SystemDirectory() / L"ftd2xx.dll", ignored);
        }
        fs::remove_all(environment->scratch, ignored);
        delete environment;  // removes the ports
        environment = nullptr;
    }

    void SetUp() override {
        ASSERT_FALSE(environment->kscPath.empty());
        ASSERT_FALSE(environment->codaPath.empty());
        ASSERT_FALSE(environment->noSerialPath.empty());
        ShutdownDiscovery();
        InstallDriver(test::WinePathOf(RIVU_FTD2XX_DOUBLE));
        ConfigureDriver({"device QZNOPORT -1", "device QZDECOY 3", "device QZA800555 37"});
        test::LogCapture::Instance().Clear();
    }

    void TearDown() override { ShutdownDiscovery(); }

    static void InstallDriver(const fs::path& library) {
        ASSERT_FALSE(DriverLoaded());
        fs::copy_file(library, SystemDirectory() / L"ftd2xx.dll", fs::copy_options::overwrite_existing);
    }
    static void RemoveDriver() {
        ASSERT_FALSE(DriverLoaded());
        fs::remove(SystemDirectory() / L"ftd2xx.dll");
    }

    // The double's configuration; its calls are logged to a fresh file.
    void ConfigureDriver(const std::vector<std::string>& lines) {
        std::ofstream config(environment->scratch / L"ftd2xx.cfg", std::ios::trunc);
        for (const std::string& line : lines) config << line << "\n";
        config << "log " << (environment->scratch / L"ftd2xx.log").string() << "\n";
        std::ofstream(environment->scratch / L"ftd2xx.log", std::ios::trunc);
    }

    // Handles the driver opened and did not close, and how often each call was made.
    std::map<std::string, int> DriverCalls(int* openHandles) const {
        std::map<std::string, int> calls;
        std::map<long long, int> open;
        std::ifstream log(environment->scratch / L"ftd2xx.log");
        std::string call;
        long long argument = 0;
        unsigned long status = 0;
        while (log >> call >> argument >> status) {
            ++calls[call];
            if (call == "FT_Open" && status == 0) ++open[argument + 1];
            if (call == "FT_Close") --open[argument];
        }
        *openHandles = 0;
        for (const auto& [handle, count] : open) *openHandles += count;
        return calls;
    }

    static std::vector<std::u16string> PassPaths(const char* selection) {
        std::vector<std::u16string> paths;
        while (std::unique_ptr<RivuSerial> device = DiscoverNextDevice(selection)) {
            paths.push_back(device->devicePath);
            if (paths.size() > 10) break;
        }
        return paths;
    }

    static int LogCount(const std::string& text) {
        const std::vector<std::string> lines = test::LogCapture::Instance().Lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), text));
    }
    static int LogCountStartingWith(const std::string& prefix) {
        const std::vector<std::string> lines = test::LogCapture::Instance().Lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
    }
};

TEST_F(WineDiscoveryTest, TokensMatchTheSerialInTheInstanceId) {
    std::unique_ptr<RivuSerial> device = DiscoverNextDevice("QZKSC");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->devicePath, U16(environment->kscPath));
    EXPECT_EQ(device->serialNumber, "01234");
    EXPECT_FALSE(device->isZvcCoda);
    EXPECT_TRUE(DriverLoaded());  // stays loaded while the pass walks
    EXPECT_TRUE(CurrentDriverBindingStatus().exists);

    EXPECT_EQ(DiscoverNextDevice("QZKSC"), nullptr);
    EXPECT_FALSE(DriverLoaded());  // the pass ended: driver freed, binding discarded
    EXPECT_FALSE(CurrentDriverBindingStatus().exists);
    EXPECT_EQ(DiscoverNextDevice("qzksc"), nullptr);  // case-sensitive

    // Library unload releases the setup API; a later load binds it again.
    UnloadDiscovery();
    EXPECT_NE(DiscoverNextDevice("QZKSC"), nullptr);
}

TEST_F(WineDiscoveryTest, SuccessivePassesListThePortsInSetupApiOrder) {
    const std::vector<std::u16string> expected = {U16(environment->kscPath), U16(environment->codaPath),
                                                  U16(environment->noSerialPath)};
    EXPECT_EQ(PassPaths("QZ"), expected);
    EXPECT_EQ(PassPaths("QZ"), expected);

    ASSERT_TRUE(environment->ports.SetPresent(environment->codaPath, false));
    EXPECT_EQ(PassPaths("QZ"), (std::vector<std::u16string>{expected[0], expected[2]}));
    ASSERT_TRUE(environment->ports.SetPresent(environment->codaPath, true));
}

TEST_F(WineDiscoveryTest, AnEmptyIdentityIsTheDriverSerialOfTheDeviceOnThePortsComNumber) {
    std::unique_ptr<RivuSerial> device = DiscoverNextDevice("QZA800");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->devicePath, U16(environment->noSerialPath));
    EXPECT_FALSE(device->isZvcCoda);
    int openHandles = -1;
    std::map<std::string, int> calls = DriverCalls(&openHandles);
    EXPECT_EQ(openHandles, 0);
    EXPECT_EQ(calls["FT_GetComPortNumber"], 3);  // "com37" is the third device's COM 37

    // The driver's serial number also carries the CODA mark.
    ConfigureDriver({"device QZZVCCODA0009 37"});
    ShutdownDiscovery();
    device = DiscoverNextDevice("QZZVCCODA0009");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->devicePath, U16(environment->noSerialPath));
    EXPECT_TRUE(device->isZvcCoda);
}

// PortName values of any type and size, under a device key of their own.
class PortNameValue {
public:
    static constexpr wchar_t kInstance[] = L"QZTEST\\PORTNAME\\0000";
    PortNameValue(DWORD type, const void* data, DWORD size) {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
        RegSetValueExW(key_, L"PortName", 0, type, static_cast<const BYTE*>(data), size);
    }
    ~PortNameValue() {
        RegCloseKey(key_);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Enum\\QZTEST");
    }
    static std::pair<bool, std::u16string> Read() {
        std::u16string port = u"unchanged";
        const bool found = ReadPortName(U16(kInstance), port);
        return {found, port};
    }

private:
    static constexpr wchar_t kKey[] = L"System\\CurrentControlSet\\Enum\\QZTEST\\PORTNAME\\0000\\Device Parameters";
    HKEY key_ = nullptr;
};

TEST(WinePortName, OnlyTextValuesAreReadAndNeverPastTheirEnd) {
    using Result = std::pair<bool, std::u16string>;
    EXPECT_EQ(PortNameValue::Read(), (Result{false, u""}));  // no key
    {
        PortNameValue value(REG_SZ, L"COM7", 10);
        EXPECT_EQ(PortNameValue::Read(), (Result{true, u"COM7"}));
    }
    {
        PortNameValue value(REG_SZ, L"COM12", 10);  // stored without its NUL
        EXPECT_EQ(PortNameValue::Read(), (Result{true, u"COM12"}));
    }
    {
        PortNameValue value(REG_SZ, L"COM8\0junk", 20);
        EXPECT_EQ(PortNameValue::Read(), (Result{true, u"COM8"}));
    }
    {
        PortNameValue value(REG_SZ, L"COM9", 7);  // odd size: the half character is dropped
        EXPECT_EQ(PortNameValue::Read(), (Result{true, u"COM"}));
    }
    {
        PortNameValue value(REG_SZ, L"", 0);
        EXPECT_EQ(PortNameValue::Read(), (Result{true, u""}));
    }
    {
        const DWORD number = 0x004F0043;  // "CO" if read as text
        PortNameValue value(REG_DWORD, &number, sizeof number);
        EXPECT_EQ(PortNameValue::Read(), (Result{false, u""}));
    }
    {
        const BYTE bytes[] = {'C', 0, 'O', 0, 'M', 0, '5', 0};
        PortNameValue value(REG_BINARY, bytes, sizeof bytes);
        EXPECT_EQ(PortNameValue::Read(), (Result{false, u""}));
    }
}

TEST_F(WineDiscoveryTest, APortNameThatIsNotTextSkipsTheDriverLookup) {
    const std::wstring parameters =
        std::wstring(L"System\\CurrentControlSet\\Enum\\") + kNoSerialId + L"\\Device Parameters";
    const DWORD number = 37;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters.c_str(), L"PortName", REG_DWORD, &number, sizeof number),
              ERROR_SUCCESS);
    EXPECT_EQ(PassPaths("QZA800"), std::vector<std::u16string>{});
    int openHandles = -1;
    EXPECT_TRUE(DriverCalls(&openHandles).empty());
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters.c_str(), L"PortName", REG_SZ, L"com37", 12),
              ERROR_SUCCESS);
}

TEST_F(WineDiscoveryTest, ACodaIsRecognisedByTheMarkInItsIdentity) {
    std::unique_ptr<RivuSerial> device = DiscoverNextDevice("ZVCCODA");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->devicePath, U16(environment->codaPath));
    EXPECT_TRUE(device->isZvcCoda);
    EXPECT_EQ(device->serialNumber, "0007");
}

TEST_F(WineDiscoveryTest, AFailingDriverCallLeavesTheIdentityEmptyAndThePassGoesOn) {
    for (const char* call : {"FT_Open", "FT_GetDeviceInfo", "FT_GetComPortNumber"}) {
        SCOPED_TRACE(call);
        ShutdownDiscovery();
        ConfigureDriver({"device QZA800555 37", std::string("fail ") + call});
        EXPECT_EQ(PassPaths("QZA800,QZKSC"), std::vector<std::u16string>{U16(environment->kscPath)});
        int openHandles = -1;
        std::map<std::string, int> calls = DriverCalls(&openHandles);
        EXPECT_EQ(openHandles, 0);
        EXPECT_EQ(calls["FT_Open"], 1);  // the lookup ends at the failure
        // The identity stays empty, which an empty token still takes.
        const std::vector<std::u16string> all = PassPaths(",QZ");
        EXPECT_NE(std::find(all.begin(), all.end(), U16(environment->noSerialPath)), all.end());
    }

    // The status of FT_Close is not looked at.
    ShutdownDiscovery();
    ConfigureDriver({"device QZA800555 37", "fail FT_Close"});
    EXPECT_EQ(PassPaths("QZA800"), std::vector<std::u16string>{U16(environment->noSerialPath)});
}

TEST_F(WineDiscoveryTest, WithoutTheDriverLibraryNothingIsEnumerated) {
    RemoveDriver();
    // A driver beside the program must not be taken: only the system directory counts.
    const fs::path besideProgram = ProgramDirectory() / L"ftd2xx.dll";
    fs::copy_file(test::WinePathOf(RIVU_FTD2XX_DOUBLE), besideProgram, fs::copy_options::overwrite_existing);

    EXPECT_EQ(DiscoverNextDevice("QZ"), nullptr);
    EXPECT_EQ(DiscoverNextDevice("QZ"), nullptr);
    const DriverBindingStatus status = CurrentDriverBindingStatus();
    EXPECT_TRUE(status.exists);
    EXPECT_TRUE(status.driverNotInstalled);
    EXPECT_FALSE(status.driverCannotLoad);
    EXPECT_EQ(LogCount(kDriverMissingLine), 2);
    // Why, in the system's words, once: the binding stays until CloseAll.
    EXPECT_EQ(LogCountStartingWith("!!! ftd2xx.dll not bound: LoadLibraryW failed: error 126 ("), 1);
    int openHandles = -1;
    EXPECT_TRUE(DriverCalls(&openHandles).empty());

    ShutdownDiscovery();  // CloseAll forgets the binding
    EXPECT_FALSE(CurrentDriverBindingStatus().exists);
    std::error_code ignored;
    fs::remove(besideProgram, ignored);
}

TEST_F(WineDiscoveryTest, ADriverWithoutAnEntryPointIsUnloadedAndReported) {
    ShutdownDiscovery();
    InstallDriver(test::WinePathOf(RIVU_FTD2XX_DOUBLE_NO_COM_PORT));
    EXPECT_EQ(DiscoverNextDevice("QZ"), nullptr);
    const DriverBindingStatus status = CurrentDriverBindingStatus();
    EXPECT_TRUE(status.exists);
    EXPECT_FALSE(status.driverNotInstalled);
    EXPECT_TRUE(status.driverCannotLoad);
    EXPECT_FALSE(DriverLoaded());
    EXPECT_EQ(LogCount(kDriverMissingLine), 1);
    EXPECT_EQ(LogCountStartingWith("!!! ftd2xx.dll not bound: GetProcAddress FT_GetComPortNumber failed: error 127 ("),
              1);

    // The unusable binding stays until CloseAll, even once a good driver is there.
    InstallDriver(test::WinePathOf(RIVU_FTD2XX_DOUBLE));
    EXPECT_EQ(DiscoverNextDevice("QZKSC"), nullptr);
    EXPECT_TRUE(CurrentDriverBindingStatus().driverCannotLoad);
    ShutdownDiscovery();
    EXPECT_NE(DiscoverNextDevice("QZKSC"), nullptr);
}

TEST_F(WineDiscoveryTest, TheFoundDevicePathOpensAsASerialPort) {
    if (!environment->terminalsMapped) GTEST_SKIP() << "no pseudo-terminals behind the ports (socat missing)";
    std::unique_ptr<RivuSerial> device = DiscoverNextDevice("QZKSC");
    ASSERT_NE(device, nullptr);
    const std::wstring path(device->devicePath.begin(), device->devicePath.end());
    HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DCB settings = {};
    settings.DCBlength = sizeof settings;
    EXPECT_TRUE(GetCommState(port, &settings));
    CloseHandle(port);
}

}  // namespace
}  // namespace rivu
