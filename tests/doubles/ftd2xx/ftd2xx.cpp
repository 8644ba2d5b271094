// Test double of ftd2xx.dll. The file named by RIVU_FTD2XX_CONFIG is read at
// every FT_Open; its lines:
//   device SERIAL COM   a device with this serial number ("-" for none) on
//                       COM port COM (-1: no COM port); in order of index
//   fail CALL           CALL (FT_Open, FT_GetDeviceInfo, FT_GetComPortNumber
//                       or FT_Close) answers FT_IO_ERROR
//   log PATH            every call is appended to PATH as "CALL ARG STATUS"
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr ULONG kOk = 0;
constexpr ULONG kInvalidHandle = 1;
constexpr ULONG kDeviceNotFound = 2;
constexpr ULONG kIoError = 4;

struct Device {
    std::string serial;
    LONG comPort;
};

struct Config {
    std::vector<Device> devices;
    std::vector<std::string> failing;
    std::string logPath;
};

Config config;

void ReadConfig() {
    config = {};
    char path[MAX_PATH] = {};
    if (GetEnvironmentVariableA("RIVU_FTD2XX_CONFIG", path, MAX_PATH) == 0) return;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        if (keyword == "device") {
            Device device;
            words >> device.serial >> device.comPort;
            if (device.serial == "-") device.serial.clear();
            config.devices.push_back(device);
        } else if (keyword == "fail") {
            std::string call;
            words >> call;
            config.failing.push_back(call);
        } else if (keyword == "log") {
            std::getline(words >> std::ws, config.logPath);
        }
    }
}

bool Fails(const char* call) {
    for (const std::string& failing : config.failing) {
        if (failing == call) return true;
    }
    return false;
}

ULONG Logged(const char* call, long long argument, ULONG status) {
    if (!config.logPath.empty()) {
        if (FILE* log = std::fopen(config.logPath.c_str(), "a")) {
            std::fprintf(log, "%s %lld %lu\n", call, argument, status);
            std::fclose(log);
        }
    }
    return status;
}

// Handles are device index + 1.
const Device* DeviceOf(void* handle) {
    const auto index = reinterpret_cast<std::intptr_t>(handle) - 1;
    if (index < 0 || static_cast<std::size_t>(index) >= config.devices.size()) return nullptr;
    return &config.devices[static_cast<std::size_t>(index)];
}

long long Number(void* handle) { return static_cast<long long>(reinterpret_cast<std::intptr_t>(handle)); }

}  // namespace

extern "C" {

__declspec(dllexport) ULONG WINAPI FT_Open(int deviceNumber, void** handle) {
    ReadConfig();
    if (handle == nullptr) return Logged("FT_Open", deviceNumber, kInvalidHandle);
    if (Fails("FT_Open")) return Logged("FT_Open", deviceNumber, kIoError);
    if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= config.devices.size()) {
        return Logged("FT_Open", deviceNumber, kDeviceNotFound);
    }
    *handle = reinterpret_cast<void*>(static_cast<std::intptr_t>(deviceNumber) + 1);
    return Logged("FT_Open", deviceNumber, kOk);
}

__declspec(dllexport) ULONG WINAPI
    FT_GetDeviceInfo(void* handle, ULONG* deviceType, DWORD* deviceId, char* serialNumber, char* description, void*) {
    const Device* device = DeviceOf(handle);
    if (device == nullptr) return Logged("FT_GetDeviceInfo", Number(handle), kInvalidHandle);
    if (Fails("FT_GetDeviceInfo")) return Logged("FT_GetDeviceInfo", Number(handle), kIoError);
    if (deviceType != nullptr) *deviceType = 5;  // FT232R
    if (deviceId != nullptr) *deviceId = 0x04036001;
    // Like the driver: at most 16 bytes; a 16-byte serial number has no NUL.
    if (serialNumber != nullptr) std::strncpy(serialNumber, device->serial.c_str(), 16);
    if (description != nullptr) std::strcpy(description, "Test double UART");
    return Logged("FT_GetDeviceInfo", Number(handle), kOk);
}

#ifndef RIVU_FTD2XX_WITHOUT_COM_PORT_NUMBER
__declspec(dllexport) ULONG WINAPI FT_GetComPortNumber(void* handle, LONG* comPortNumber) {
    const Device* device = DeviceOf(handle);
    if (device == nullptr || comPortNumber == nullptr) {
        return Logged("FT_GetComPortNumber", Number(handle), kInvalidHandle);
    }
    if (Fails("FT_GetComPortNumber")) return Logged("FT_GetComPortNumber", Number(handle), kIoError);
    *comPortNumber = device->comPort;
    return Logged("FT_GetComPortNumber", Number(handle), kOk);
}
#endif

__declspec(dllexport) ULONG WINAPI FT_Close(void* handle) {
    if (DeviceOf(handle) == nullptr) return Logged("FT_Close", Number(handle), kInvalidHandle);
    if (Fails("FT_Close")) return Logged("FT_Close", Number(handle), kIoError);
    return Logged("FT_Close", Number(handle), kOk);
}

}  // extern "C"
