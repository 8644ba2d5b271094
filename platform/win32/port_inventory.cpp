// COM-port interfaces through the Windows setup API. SETUPAPI.DLL is bound at
// run time (never linked) and stays bound until the library is unloaded.
#include "platform/port_inventory.h"

#include <windows.h>
// setupapi.h needs windows.h before it.
#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_error.h"

namespace rivu::platform {
namespace {

static_assert(sizeof(Guid) == sizeof(GUID));

using GetInstanceIdFn = decltype(&::SetupDiGetDeviceInstanceIdW);
using GetInterfaceDetailFn = decltype(&::SetupDiGetDeviceInterfaceDetailW);
using EnumInterfacesFn = decltype(&::SetupDiEnumDeviceInterfaces);
using GetClassDevsFn = decltype(&::SetupDiGetClassDevsW);
using DestroyInfoListFn = decltype(&::SetupDiDestroyDeviceInfoList);
using GetRegistryPropertyFn = decltype(&::SetupDiGetDeviceRegistryPropertyW);

// The setup API as bound once per load of the enabler. Plain data: nothing
// of it is torn down by a static destructor.
struct SetupApiBinding {
    LONG loadCount;
    HMODULE module;
    GetInstanceIdFn getInstanceId;
    GetInterfaceDetailFn getInterfaceDetail;
    EnumInterfacesFn enumInterfaces;
    GetClassDevsFn getClassDevs;
    DestroyInfoListFn destroyInfoList;
    GetRegistryPropertyFn getRegistryProperty;
    FARPROC enumDeviceInfo;  // required, never called
};
SetupApiBinding setupApi = {};
bool setupApiBindTried = false;

// Why the setup API could not be bound: kept with the binding, because the
// bind runs once per load and discovery reports it at every pass (on the
// thread that runs discovery, where the failure must be recorded).
struct BindFailure {
    char call[96];
    DWORD code;
    bool present;
};
BindFailure setupApiBindFailure = {};

// Records the calling thread's error code as the failure of call, and keeps it.
void NoteBindFailure(std::string_view call) {
    const DWORD code = GetLastError();
    const std::size_t length = std::min(call.size(), sizeof setupApiBindFailure.call - 1);
    std::memcpy(setupApiBindFailure.call, call.data(), length);
    setupApiBindFailure.call[length] = '\0';
    setupApiBindFailure.code = code;
    setupApiBindFailure.present = true;
    RecordFailure(call, code);
}

// The first of the names that the module exports, or null.
void (*ResolveAny(HMODULE module, std::initializer_list<const char*> names))() {
    for (const char* name : names) {
        // Through a generic function pointer type: FARPROC does not convert to the real type without a warning.
        if (FARPROC address = GetProcAddress(module, name)) return reinterpret_cast<void (*)()>(address);
    }
    NoteBindFailure(std::string("GetProcAddress ") + *names.begin());
    return nullptr;
}

template <typename Fn>
bool ResolveInto(Fn& target, std::initializer_list<const char*> names) {
    target = reinterpret_cast<Fn>(ResolveAny(setupApi.module, names));
    return target != nullptr;
}

void BindSetupApi() {
    if (setupApi.loadCount++ != 0) return;
    setupApi.module = LoadLibraryW(L"SETUPAPI.DLL");
    if (setupApi.module == nullptr) {
        NoteBindFailure("LoadLibraryW SETUPAPI.DLL");
        setupApi.loadCount = 0;
        return;
    }
    // In this order, stopping at the first entry point that cannot be found.
    const bool complete =
        ResolveInto(setupApi.getInstanceId, {"SetupDiGetDeviceInstanceIdW"}) &&
        ResolveInto(setupApi.getInterfaceDetail,
                    {"SetupDiGetDeviceInterfaceDetailW", "SetupDiGetInterfaceDeviceDetailW"}) &&
        ResolveInto(setupApi.enumInterfaces, {"SetupDiEnumInterfaceDevice", "SetupDiEnumDeviceInterfaces"}) &&
        ResolveInto(setupApi.getClassDevs, {"SetupDiGetClassDevsW"}) &&
        ResolveInto(setupApi.destroyInfoList, {"SetupDiDestroyDeviceInfoList"}) &&
        ResolveInto(setupApi.getRegistryProperty, {"SetupDiGetDeviceRegistryPropertyW"}) &&
        ResolveInto(setupApi.enumDeviceInfo, {"SetupDiEnumDeviceInfo"});
    if (!complete) {
        FreeLibrary(setupApi.module);
        setupApi = {};
    }
}

void UnbindSetupApi() {
    if (setupApi.loadCount == 0) return;
    if (--setupApi.loadCount == 0) {
        if (setupApi.module != nullptr) FreeLibrary(setupApi.module);
        setupApi = {};
    }
}

void EnsureSetupApiBound() {
    if (setupApiBindTried) return;
    setupApiBindTried = true;
    BindSetupApi();
}

bool SetupApiUsable() {
    return setupApi.loadCount != 0 && setupApi.module != nullptr && setupApi.enumInterfaces != nullptr &&
           setupApi.getInterfaceDetail != nullptr && setupApi.getInstanceId != nullptr;
}

// The characters up to the first NUL among the first count.
std::u16string TextUpToNul(const wchar_t* text, std::size_t count) {
    const wchar_t* end = std::find(text, text + count, L'\0');
    return std::u16string(reinterpret_cast<const char16_t*>(text), static_cast<std::size_t>(end - text));
}

class SetupApiPortInventory final : public PortInventory {
public:
    SetupApiPortInventory() { EnsureSetupApiBound(); }
    ~SetupApiPortInventory() override { CloseSnapshot(); }

    // An unusable setup API records why, for the caller to report.
    bool Usable() const override {
        if (SetupApiUsable()) return true;
        if (setupApiBindFailure.present) RecordFailure(setupApiBindFailure.call, setupApiBindFailure.code);
        return false;
    }

    bool OpenSnapshot(const Guid& interfaceClass, std::uint32_t flags) override {
        if (set_ != INVALID_HANDLE_VALUE) return true;
        if (!Usable() || setupApi.getClassDevs == nullptr) return false;
        set_ = setupApi.getClassDevs(reinterpret_cast<const GUID*>(&interfaceClass), nullptr, nullptr, flags);
        return set_ != INVALID_HANDLE_VALUE || RecordFailure("SetupDiGetClassDevsW");
    }
    bool SnapshotOpen() const override { return set_ != INVALID_HANDLE_VALUE; }
    void CloseSnapshot() override {
        if (set_ != INVALID_HANDLE_VALUE && setupApi.destroyInfoList != nullptr) setupApi.destroyInfoList(set_);
        set_ = INVALID_HANDLE_VALUE;
        interfaceSelected_ = false;
        deviceKnown_ = false;
    }

    bool SelectInterface(const Guid& interfaceClass, std::int32_t index) override {
        interfaceSelected_ = false;
        deviceKnown_ = false;
        if (set_ == INVALID_HANDLE_VALUE || !Usable() || index < 0) return false;
        interface_ = {};
        interface_.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        interfaceSelected_ = setupApi.enumInterfaces(set_, nullptr, reinterpret_cast<const GUID*>(&interfaceClass),
                                                     static_cast<DWORD>(index), &interface_) != FALSE;
        // ERROR_NO_MORE_ITEMS is the end of the list, not a failure.
        if (!interfaceSelected_ && GetLastError() != ERROR_NO_MORE_ITEMS) RecordFailure("SetupDiEnumDeviceInterfaces");
        return interfaceSelected_;
    }

    // The size query, then the detail in a buffer of twice that size, which
    // also names the interface's device for the reads that follow.
    bool ReadInterfacePath(std::u16string& path) override {
        deviceKnown_ = false;
        if (!interfaceSelected_) return false;
        DWORD required = 0;
        setupApi.getInterfaceDetail(set_, &interface_, nullptr, 0, &required, nullptr);
        if (required == 0) return RecordFailure("SetupDiGetDeviceInterfaceDetailW");

        const std::size_t bytes =
            std::max<std::size_t>(2 * static_cast<std::size_t>(required), sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        std::vector<DWORD> buffer((bytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        device_ = {};
        device_.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!setupApi.getInterfaceDetail(set_, &interface_, detail, required, nullptr, &device_)) {
            return RecordFailure("SetupDiGetDeviceInterfaceDetailW");
        }

        const std::size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        path = TextUpToNul(detail->DevicePath, (buffer.size() * sizeof(DWORD) - pathOffset) / sizeof(wchar_t));
        deviceKnown_ = true;
        return true;
    }

    bool ReadInstanceId(std::u16string& instanceId) override {
        if (!deviceKnown_) return false;
        DWORD required = 0;
        setupApi.getInstanceId(set_, &device_, nullptr, 0, &required);
        if (required == 0) return RecordFailure("SetupDiGetDeviceInstanceIdW");
        std::vector<wchar_t> text(static_cast<std::size_t>(required) + 1, L'\0');
        if (!setupApi.getInstanceId(set_, &device_, text.data(), required, nullptr)) {
            return RecordFailure("SetupDiGetDeviceInstanceIdW");
        }
        instanceId = TextUpToNul(text.data(), required);
        return true;
    }

    // The size query (a device without the property answers
    // ERROR_INVALID_DATA), then the value in a buffer of twice that size.
    std::optional<std::u16string> ReadProperty(DeviceProperty property) override {
        if (!deviceKnown_ || setupApi.getRegistryProperty == nullptr) return std::nullopt;
        const DWORD code = static_cast<DWORD>(property);
        DWORD type = 0;
        DWORD required = 0;
        if (!setupApi.getRegistryProperty(set_, &device_, code, &type, nullptr, 0, &required) &&
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return std::nullopt;
        }
        // One character more than the read may fill, so the text always ends.
        std::vector<wchar_t> text(static_cast<std::size_t>(required) + 1, L'\0');
        if (!setupApi.getRegistryProperty(set_, &device_, code, &type, reinterpret_cast<BYTE*>(text.data()),
                                          2 * required, nullptr)) {
            return std::nullopt;
        }
        return TextUpToNul(text.data(), required);
    }

private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA interface_ = {};
    SP_DEVINFO_DATA device_ = {};
    bool interfaceSelected_ = false;
    bool deviceKnown_ = false;
};

}  // namespace

std::unique_ptr<PortInventory> CreatePortInventory() { return std::make_unique<SetupApiPortInventory>(); }

// PortName is read only when it is a text, into a buffer one character longer
// than the value, so a value of any size or type never overflows or yields
// bytes that are not text.
bool ReadDevicePortName(const std::u16string& instanceId, std::u16string& portName) {
    std::wstring keyPath = L"System\\CurrentControlSet\\Enum\\";
    keyPath.append(reinterpret_cast<const wchar_t*>(instanceId.data()), instanceId.size());
    keyPath.append(L"\\Device Parameters");

    HKEY key = nullptr;
    // Registry calls return their error code rather than setting the thread's.
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS) return RecordFailure("RegOpenKeyExW", static_cast<std::uint32_t>(opened));

    bool found = false;
    DWORD type = REG_NONE;
    DWORD size = 0;
    const LSTATUS queried = RegQueryValueExW(key, L"PortName", nullptr, &type, nullptr, &size);
    if (queried != ERROR_SUCCESS) {
        RecordFailure("RegQueryValueExW PortName", static_cast<std::uint32_t>(queried));
    } else if (type != REG_SZ && type != REG_EXPAND_SZ) {
        RecordFailure("RegQueryValueExW PortName", "the value is not a text");
    } else {
        std::vector<wchar_t> text(static_cast<std::size_t>(size) / sizeof(wchar_t) + 1, L'\0');
        DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        const LSTATUS read =
            RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes);
        if (read == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
            portName = TextUpToNul(text.data(), std::min<std::size_t>(bytes / sizeof(wchar_t), text.size()));
            found = true;
        } else {
            RecordFailure("RegQueryValueExW PortName", static_cast<std::uint32_t>(read));
        }
    }
    RegCloseKey(key);
    return found;
}

void ReleasePortInventory() {
    if (!setupApiBindTried) return;
    setupApiBindTried = false;
    setupApiBindFailure = {};
    UnbindSetupApi();
}

}  // namespace rivu::platform
