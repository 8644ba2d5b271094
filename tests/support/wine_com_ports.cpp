#include "tests/support/wine_com_ports.h"

#ifdef _WIN32
#include <windows.h>
// setupapi.h needs windows.h before it.
#include <setupapi.h>

#include "tests/support/wine_unix_command.h"

namespace rivu::test {
namespace {

// GUID_DEVCLASS_PORTS and GUID_DEVINTERFACE_COMPORT.
constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr wchar_t kDeviceClassesKey[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{86E0D1E0-8089-11D0-9CE4-08003E301F73}\\";

bool SetValue(const std::wstring& keyPath, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const bool done = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return done;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

WineComPorts::~WineComPorts() {
    EndPseudoTerminals();
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) return;
    for (const Port& port : ports_) {
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        if (SetupDiOpenDeviceInfoW(set, port.instanceId.c_str(), nullptr, 0, &device)) {
            SetupDiRemoveDevice(set, &device);  // the device's keys and its interfaces go with it
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

std::wstring WineComPorts::Add(const std::wstring& instanceId, const std::wstring& portName) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) return {};
    std::wstring path;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    const bool created =
        SetupDiCreateDeviceInfoW(set, instanceId.c_str(), &kPortsClass, nullptr, nullptr, 0, &device) &&
        SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr);
    if (created || SetupDiOpenDeviceInfoW(set, instanceId.c_str(), nullptr, 0, &device)) {
        SP_DEVICE_INTERFACE_DATA interface = {};
        interface.cbSize = sizeof interface;
        wchar_t buffer[512] = {};
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
        detail->cbSize = sizeof *detail;
        if (SetupDiCreateDeviceInterfaceW(set, &device, &kComPortInterface, nullptr, 0, &interface) &&
            SetupDiGetDeviceInterfaceDetailW(set, &interface, detail, sizeof buffer - sizeof(wchar_t), nullptr,
                                             nullptr)) {
            path = detail->DevicePath;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    if (path.empty()) return {};

    const std::wstring parameters = L"System\\CurrentControlSet\\Enum\\" + instanceId + L"\\Device Parameters";
    if (!SetValue(parameters, L"PortName", REG_SZ, portName.c_str(),
                  static_cast<DWORD>((portName.size() + 1) * sizeof(wchar_t)))) {
        return {};
    }
    ports_.push_back({instanceId, path});
    return SetPresent(path, true) ? path : std::wstring();
}

bool WineComPorts::SetPresent(const std::wstring& interfacePath, bool present) {
    // \\?\ftdibus#... is listed under the key ##?#ftdibus#...
    if (interfacePath.size() < 4) return false;
    const std::wstring key = kDeviceClassesKey + (L"##?#" + interfacePath.substr(4)) + L"\\#\\Control";
    const DWORD linked = present ? 1 : 0;
    return SetValue(key, L"Linked", REG_DWORD, &linked, sizeof linked);
}

bool WineComPorts::MapToPseudoTerminals() {
    EndPseudoTerminals();
    terminalDirectory_ = "/tmp/rivu-wine-ports-" + std::to_string(GetCurrentProcessId());
    std::string script =
        "command -v socat >/dev/null || exit 3\n"
        "dir='" +
        terminalDirectory_ +
        "'\nmkdir -p \"$dir\"\n"
        "dosdevices=\"${WINEPREFIX:-$HOME/.wine}/dosdevices\"\n";
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        const std::string n = std::to_string(i);
        // The device end's link is named by the interface path without its \\?\ prefix.
        const std::string name = Narrow(ports_[i].interfacePath.substr(4));
        script += "socat PTY,link=\"$dir/port" + n + "\",raw,echo=0 PTY,link=\"$dir/peer" + n +
                  "\",raw,echo=0 >/dev/null 2>&1 &\necho $! >> \"$dir/pids\"\n"
                  "for _ in $(seq 100); do [ -e \"$dir/port" +
                  n +
                  "\" ] && break; sleep 0.05; done\n"
                  "ln -sfn \"$(readlink -f \"$dir/port" +
                  n + "\")\" \"$dosdevices/" + name +
                  "\" || exit 4\n"
                  "echo \"$dosdevices/" +
                  name + "\" >> \"$dir/links\"\n";
    }
    return RunUnixScript(script);
}

bool WineComPorts::MapToSimulators(const std::vector<std::string>& simulatorArguments) {
    EndPseudoTerminals();
    char program[1024] = {};
    if (GetEnvironmentVariableA("RIVU_SIM_PROGRAM", program, sizeof program) == 0) return false;
    if (simulatorArguments.size() != ports_.size()) return false;
    terminalDirectory_ = "/tmp/rivu-wine-sims-" + std::to_string(GetCurrentProcessId());
    std::string script = "dir='" + terminalDirectory_ +
                         "'\nmkdir -p \"$dir\"\n"
                         "dosdevices=\"${WINEPREFIX:-$HOME/.wine}/dosdevices\"\n";
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        const std::string n = std::to_string(i);
        const std::string name = Narrow(ports_[i].interfacePath.substr(4));
        script += "'" + std::string(program) + "' " + simulatorArguments[i] + " --port-file \"$dir/sim" + n +
                  "\" >\"$dir/sim" + n + ".log\" 2>&1 &\necho $! >> \"$dir/pids\"\n"
                  "for _ in $(seq 100); do [ -s \"$dir/sim" + n + "\" ] && break; sleep 0.05; done\n"
                  "ln -sfn \"$(cat \"$dir/sim" + n + "\")\" \"$dosdevices/" + name + "\" || exit 4\n"
                  "echo \"$dosdevices/" + name + "\" >> \"$dir/links\"\n";
    }
    return RunUnixScript(script);
}

void WineComPorts::EndPseudoTerminals() {
    if (terminalDirectory_.empty()) return;
    RunUnixScript("dir='" + terminalDirectory_ +
                  "'\n"
                  "[ -f \"$dir/pids\" ] && kill $(cat \"$dir/pids\") 2>/dev/null\n"
                  "[ -f \"$dir/links\" ] && while read -r link; do rm -f \"$link\"; done < \"$dir/links\"\n"
                  "rm -rf \"$dir\"\ntrue");
    terminalDirectory_.clear();
}

}  // namespace rivu::test

#else

namespace rivu::test {

WineComPorts::~WineComPorts() = default;
std::wstring WineComPorts::Add(const std::wstring&, const std::wstring&) { return {}; }
bool WineComPorts::SetPresent(const std::wstring&, bool) { return false; }
bool WineComPorts::MapToPseudoTerminals() { return false; }
bool WineComPorts::MapToSimulators(const std::vector<std::string>&) { return false; }
void WineComPorts::EndPseudoTerminals() {}

}  // namespace rivu::test

#endif
