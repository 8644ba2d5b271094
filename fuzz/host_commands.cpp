// Host commands with arbitrary code, argument, record, text pointer and text
// size, on a Rivu monitor or a Zarvonic CODA in any protocol state, its
// description present (catalogue built or refused). A command writes no text
// past the size it is given, and a text it writes ends within it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "coda/host_commands.h"
#include "fuzz/harness.h"
#include "protocol/channel_catalogue.h"

namespace {

constexpr std::int32_t kStates[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 18, 19, 20};
constexpr std::int32_t kCodes[] = {
    RIVU_CMD_DEVICE_NAME,       RIVU_CMD_MAX_LINE_LENGTH,  RIVU_CMD_VENDOR_NAME,       RIVU_CMD_FIRMWARE_VERSION,
    RIVU_CMD_SERIAL_NUMBER,     RIVU_CMD_CHANNEL_COUNT,    RIVU_CMD_CHANNEL_NAME,      RIVU_CMD_CHANNEL_SCALING,
    RIVU_CMD_SAMPLE_PERIOD,     RIVU_CMD_SAMPLE_PERIOD_TEXT, RIVU_CMD_SET_SAMPLE_PERIOD, RIVU_CMD_START_SAMPLING,
    RIVU_CMD_STOP_SAMPLING,     RIVU_CMD_DATA_FORMAT,      RIVU_CMD_DISABLE_CHANNEL,   RIVU_CMD_ENABLE_CHANNEL,
    RIVU_CMD_IS_CHANNEL_ENABLED, RIVU_CMD_SAMPLE_PERIOD_2, RIVU_CMD_CAPABILITY_56,     RIVU_CMD_CHANNEL_TITLE,
};
constexpr char kGuard = '\x5A';

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace rivu;
    using namespace rivu::fuzz;
    FuzzedDataProvider input(data, size);
    MemoryDevice memory(input.ConsumeBool());
    RivuSerial& device = *memory.device;
    device.modelName = input.ConsumeRandomLengthString(80);
    device.firmwareVersion = input.ConsumeRandomLengthString(80);
    device.samplePeriodUs = input.ConsumeIntegral<std::int32_t>();
    for (int rate = input.ConsumeIntegralInRange(0, 4); rate > 0; --rate) {
        device.uploadRates[input.ConsumeIntegral<std::int32_t>()] = input.ConsumeIntegral<std::int32_t>();
    }
    const bool refused = input.ConsumeBool();
    device.channelNamesReply.Set(refused ? u"Time,HR,SpO2,,x" : u"Time,HR,SpO2,MinVol");
    device.channelUnitsReply.Set(u"s,bpm,%,ml");
    device.channelMaxReply.Set(u"10,1000,100.0,2000");
    device.channelMinReply.Set(u"0,0,0.0,0");
    if (!refused) Check(BuildChannelCatalogue(device), "catalogue of the fixed description refused");
    device.protocolState.store(input.PickValueInArray(kStates));

    while (input.remaining_bytes() > 0) {
        const std::int32_t code = input.ConsumeBool() ? input.PickValueInArray(kCodes) : input.ConsumeIntegral<std::int32_t>();
        const int mode = input.ConsumeIntegralInRange(0, 2);  // no record, no text, a text buffer
        const int room = input.ConsumeIntegralInRange(0, 300);
        std::int32_t stated = room;
        if (input.ConsumeBool()) stated = input.ConsumeIntegralInRange<std::int32_t>(INT32_MIN, room);
        std::vector<char> text(static_cast<std::size_t>(room) + 1);
        std::memset(text.data(), kGuard, text.size());

        RivuCommandRecord record{};
        record.text = mode == 2 ? text.data() : nullptr;
        record.textSize = stated;
        record.argument = input.ConsumeBool() ? input.ConsumeIntegralInRange(-1, 6) : input.ConsumeIntegral<std::int32_t>();
        const std::int32_t argument = record.argument;
        const bool result = HandleHostCommand(device, code, mode == 0 ? nullptr : &record);

        Check(IsProtocolState(device.protocolState.load()), "protocol state out of range");
        Check(record.text == (mode == 2 ? text.data() : nullptr) && record.textSize == stated &&
                  record.argument == argument,
              "command changed the host's record fields");
        const std::size_t usable = stated > 0 ? static_cast<std::size_t>(stated) : 0;
        for (std::size_t i = usable; i < text.size(); ++i) Check(text[i] == kGuard, "text written past its size");
        if (usable > 0 && text[0] != kGuard) {
            Check(std::memchr(text.data(), '\0', usable) != nullptr, "text written without its NUL");
        }
        if (code == RIVU_CMD_CHANNEL_COUNT && mode != 0) {
            Check(result && record.value == static_cast<std::int32_t>(device.channels.Count()),
                  "channel count not the catalogue's");
        }
    }
    return 0;
}
