// The channel catalogue from four arbitrary description texts, taken by the
// dispatcher in the description states, once or twice on the same device (a
// second handshake after an accepted or refused one). A catalogue is built
// only from a description within the bounds, and then fits it exactly; a
// refused one leaves a failed device with a text for the host and no channels.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "protocol/channel_catalogue.h"
#include "protocol/fields.h"
#include "protocol/reply_dispatcher.h"
#include "serial/sample_delivery.h"

namespace {

void Reply(rivu::RivuSerial& device, const std::string& text) { rivu::HandleReply(device, text.data(), text.size()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace rivu;
    using namespace rivu::fuzz;
    FuzzedDataProvider input(data, size);
    MemoryDevice memory(input.ConsumeBool());
    RivuSerial& device = *memory.device;
    device.paramCount = input.ConsumeIntegralInRange<std::uint32_t>(0, 600);
    device.samplePeriodUs = 20000;

    std::size_t published = 0;
    for (int round = 0; round < 2 && input.remaining_bytes() > 0; ++round) {
        device.failed = false;
        device.lastError.Set(ZVC::ZVCString());
        device.protocolState.store(kAwaitChannelNames);
        Reply(device, "I");
        // Each list as the dispatcher reads it: up to a NUL, if any.
        std::string lists[4];
        for (std::string& list : lists) {
            const std::string line = input.ConsumeRandomLengthString(RivuSerial::kRxRingSize);
            Reply(device, line);
            list = line.substr(0, line.find('\0'));
        }

        const std::u16string names(device.channelNamesReply.Get().View());
        const std::size_t columns = CountFields(names);
        bool usable = columns > 0 && columns <= kMaxDescriptionColumns && columns <= device.paramCount;
        for (const std::string& list : lists) {
            // Decoded the way the dispatcher decodes (one code unit per byte).
            usable = usable && CountFields(std::u16string(list.begin(), list.end())) == columns;
        }
        // A names line starting with "I" is taken as a second echo: the lists
        // then shift by one and the description is not complete.
        const bool shifted = !lists[0].empty() && lists[0][0] == 'I';
        const std::int32_t state = device.protocolState.load();
        if (shifted) {
            usable = false;
        } else if (usable) {
            Check(state == kReady && !device.failed, "usable description not accepted");
        } else {
            Check(state == kAwaitChannelMin && device.failed && !device.lastError.IsEmpty(),
                  "refused description without a failed device and a text");
        }

        const std::size_t count = device.channels.Count();
        Check(count <= kMaxDescriptionColumns + 2, "more channels than the bound");
        if (published == 0 && count != 0) {
            Check(usable, "channels made for a refused description");
            Check(count == ExpectedChannels(device, names), "channel count differs from the description");
            published = count;
        }
        Check(count == published, "channel list changed after it was published");
    }

    // Every channel takes one data row of values from the input and hands its
    // samples over in the host's line format.
    if (published == 0 || device.paramCount == 0) return 0;
    device.protocolState.store(kRunning);
    std::string row;
    for (std::uint32_t field = 0; field < device.paramCount; ++field) {
        if (field != 0) row += ',';
        row += input.ConsumeRandomLengthString(24);
    }
    Reply(device, row);
    char buffer[4096];
    for (std::size_t call = 0; call <= published; ++call) {
        const bool delivered = TakeSampleLines(device, buffer, sizeof buffer);
        CheckSampleText(device, buffer, sizeof buffer, delivered);
    }
    return 0;
}
