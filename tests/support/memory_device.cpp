#include "tests/support/memory_device.h"

#include "discovery/identification.h"
#include "protocol/channel_catalogue.h"

namespace rivu::test {

std::unique_ptr<RivuSerial> NewDevice(const std::u16string& path, const std::u16string& identity) {
    return std::make_unique<RivuSerial>(path, IdentifyDevice(path, identity));
}

MemoryDevice::MemoryDevice(const std::u16string& identity, const std::u16string& path)
    : owned(NewDevice(path, identity)), device(*owned) {
    device.SetCommandWriter(&recorder);
    device.clock = &clock;
    device.uploadTimerStart = clock.now;  // as if made on this clock
}

bool Describe(RivuSerial& device, std::u16string_view names, std::u16string_view units, std::u16string_view maxima,
              std::u16string_view minima) {
    device.channelNamesReply.Set(ZVC::ZVCString(names));
    device.channelUnitsReply.Set(ZVC::ZVCString(units));
    device.channelMaxReply.Set(ZVC::ZVCString(maxima));
    device.channelMinReply.Set(ZVC::ZVCString(minima));
    return BuildChannelCatalogue(device);
}

}  // namespace rivu::test
