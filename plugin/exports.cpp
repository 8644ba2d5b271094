// The functions the host application calls. Each selects a device from the
// device table and forwards; none lets an exception reach the host.
#include "rivu/enabler.h"

#include <algorithm>
#include <cstdint>

#include "coda/host_commands.h"
#include "discovery/port_discovery.h"
#include "platform/clock.h"
#include "plugin/device_startup.h"
#include "plugin/device_table.h"
#include "plugin/error_messages.h"
#include "plugin/host_services.h"
#include "plugin/unique_id.h"
#include "serial/rivu_serial.h"
#include "serial/sample_delivery.h"

using rivu::RivuSerial;
namespace device_table = rivu::device_table;

namespace {

// {A440D267-D1C2-4C34-8EE8-A642EB10B717}
constexpr RivuDeviceClassInfo kClassInfoTemplate = {
    0xA440D267, 0xD1C2, 0x4C34, {0x8E, 0xE8, 0xA6, 0x42, 0xEB, 0x10, 0xB7, 0x17}, nullptr, nullptr};
const RivuWideChar kDeviceClassName[] = {'R', 'i', 'v', 'u', ' ', 'D', 'e', 'v', 'i', 'c', 'e', 0};

// Longest sleep of ReadLine between two attempts: the reader's cycle.
constexpr std::int64_t kReadLineWaitSliceMs = 20;

// Runs body; any exception becomes the export's failure value.
template <typename Result, typename Body>
Result Guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <typename Body>
void Guarded(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

}  // namespace

extern "C" {

RIVU_API int GetDeviceClassInfo(RivuDeviceClassInfo* info) {
    if (info == nullptr) return 0;
    *info = kClassInfoTemplate;
    info->firstName = kDeviceClassName;
    info->secondName = kDeviceClassName;
    return 1;
}

RIVU_API int FindDevice(int* index, const char* selection) {
    return Guarded(0, [&] {
        std::unique_ptr<RivuSerial> device = rivu::DiscoverNextDevice(selection != nullptr ? selection : "");
        if (!device) return 0;
        const std::uint32_t position = device_table::Append(std::move(device));
        if (index != nullptr) *index = static_cast<int>(position);
        return 1;
    });
}

RIVU_API int Initialise(unsigned int index) {
    return Guarded(0, [&] {
        RivuSerial* device = device_table::At(index);
        return device != nullptr && rivu::InitialiseDevice(*device) ? 1 : 0;
    });
}

RIVU_API int CloseAll(void) {
    Guarded([] { device_table::CloseAllDevices(); });
    return 1;
}

RIVU_API int IsFailed(unsigned int index) {
    return Guarded(1, [&] {
        RivuSerial* device = device_table::At(index);
        return device == nullptr || device->failed.load() ? 1 : 0;
    });
}

RIVU_API int CanUseBaudRate(unsigned int index, int rate) {
    return Guarded(0, [&] {
        RivuSerial* device = device_table::At(index);
        return device != nullptr && device->CanUseBaudRate(rate) ? 1 : 0;
    });
}

RIVU_API void SetBaudRate(unsigned int index, int rate) {
    Guarded([&] {
        if (RivuSerial* device = device_table::At(index)) device->SetBaudRate(rate);
    });
}

RIVU_API int GetBaudRate(unsigned int index) {
    return Guarded(0, [&] {
        RivuSerial* device = device_table::At(index);
        return device != nullptr ? device->GetBaudRate() : 0;
    });
}

RIVU_API int ReadLine(unsigned int index, char* buffer, int size, int timeoutMs) {
    return Guarded(0, [&] {
        RivuSerial* device = device_table::At(index);
        if (device == nullptr) return 0;
        // Between attempts the thread sleeps on the reader's data signal, which
        // follows every receive pass that delivered, so samples are taken as
        // soon as they exist without spinning. A pass cut short by a rejected
        // line does not signal: no wait lasts longer than one reader cycle.
        const std::int64_t start = rivu::platform::SteadyMilliseconds();
        for (;;) {
            if (rivu::TakeSampleLines(*device, buffer, size)) return 1;
            const std::int64_t left = start + timeoutMs - rivu::platform::SteadyMilliseconds();
            if (left <= 0) return 0;
            device->dataEvent.Wait(static_cast<std::uint32_t>(std::min<std::int64_t>(left, kReadLineWaitSliceMs)));
        }
    });
}

RIVU_API void FlushReadBuffer(unsigned int index) {
    Guarded([&] {
        if (RivuSerial* device = device_table::At(index)) rivu::FlushSamples(*device);
    });
}

RIVU_API int GetUniqueID(unsigned int index, int* id) {
    return Guarded(0, [&] {
        RivuSerial* device = device_table::At(index);
        if (device == nullptr) return 0;
        const std::int32_t value = rivu::MakeUniqueId(device->interfacePath);
        if (id != nullptr) *id = value;
        return 1;
    });
}

RIVU_API int DeviceCommand(unsigned int index, int code, RivuCommandRecord* record) {
    return Guarded(0, [&] {
        RivuSerial* device = device_table::At(index);
        return device != nullptr && rivu::HandleHostCommand(*device, code, record) ? 1 : 0;
    });
}

RIVU_API int GetLastErrorMsg(unsigned int index, char* buffer) {
    return Guarded(0, [&] { return rivu::DeliverErrorMessage(index, buffer); });
}

RIVU_API int InitOnMainThread(void) {
    return Guarded(0, [] { return static_cast<int>(rivu::HostMilliseconds()); });
}

RIVU_API int SetControllingProxy(unsigned int index, void* proxy) {
    Guarded([&] {
        if (RivuSerial* device = device_table::At(index)) device->controllingProxy = proxy;
    });
    return 0;
}

// ReadBuffSize, ReadBuffer and WriteBuffer: one function that ignores its
// arguments and returns 0 (the byte-buffer side of the host is unused). The
// three names are given to it at link time (rivu.def; --defsym on ELF).
RIVU_API int UnusedBufferCall(void) { return 0; }

}  // extern "C"
