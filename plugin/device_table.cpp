#include "plugin/device_table.h"

#include <vector>

#include "discovery/port_discovery.h"
#include "platform/library_entry.h"
#include "serial/rivu_serial.h"
#include "support/never_destroyed.h"

namespace rivu::device_table {
namespace {

// Created on first use and never destroyed by a static destructor: the
// library's unload code empties it explicitly.
std::vector<std::unique_ptr<RivuSerial>>& Table() {
    static NeverDestroyed<std::vector<std::unique_ptr<RivuSerial>>> table;
    return table.Get();
}

}  // namespace

RivuSerial* At(std::uint32_t index) {
    auto& table = Table();
    return index < table.size() ? table[index].get() : nullptr;
}

std::uint32_t Size() { return static_cast<std::uint32_t>(Table().size()); }

std::uint32_t Append(std::unique_ptr<RivuSerial> device) {
    auto& table = Table();
    table.push_back(std::move(device));
    return static_cast<std::uint32_t>(table.size() - 1);
}

void CloseAllDevices() {
    auto& table = Table();
    for (std::size_t n = table.size(); n > 0; --n) {
        table.back().reset();  // stops the instrument and its reader, closes the port
        table.pop_back();
    }
    ShutdownDiscovery();
}

bool CloseAllDevicesForUnload() {
    auto& table = Table();
    const bool leaveRunningReaders = platform::RunningThreadsKeepLibraryLoaded();
    bool allEnded = true;
    for (std::size_t n = table.size(); n > 0; --n) {
        RivuSerial& device = *table.back();
        device.Close();
        if (!leaveRunningReaders || device.readerThread.WaitFor(0)) {
            table.back().reset();  // waits for a reader that is still running
        } else {
            allEnded = false;
            (void)table.back().release();
        }
        table.pop_back();
    }
    if (!allEnded) return false;
    std::vector<std::unique_ptr<RivuSerial>>().swap(table);  // its storage too
    ShutdownDiscovery();
    return true;
}

}  // namespace rivu::device_table
