// Arbitrary bytes in arbitrary chunks through the receive ring into the
// dispatcher, for a Rivu monitor or a Zarvonic CODA, starting in any protocol
// state: the input picks how far a plausible handshake (and start and stop of
// sampling) goes before its own bytes, chunk sizes and host calls follow.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "coda/host_commands.h"
#include "fuzz/harness.h"
#include "protocol/fields.h"
#include "protocol/reply_dispatcher.h"
#include "serial/receive_ring.h"
#include "serial/sample_delivery.h"
#include "tools/host-objects/test_host.h"

namespace rivu::fuzz {
namespace {

// One step of a plausible session: a host action or an instrument line.
struct Step {
    enum Kind { Line, Initialise, Start, Stop } kind;
    std::string line;
};

// Descriptions the handshake can carry: params line, names, units, maxima, minima.
struct Description {
    const char* params;
    const char* names;
    const char* units;
    const char* maxima;
    const char* minima;
};
constexpr Description kDescriptions[] = {
    {"t,a,b,c", "Time,HR,SpO2,MinVol", "s,bpm,%,ml", "100,1000,100.0,2000", "0,0,0.0,0"},
    {"a,b,c,", "HR,Press,RR", "bpm,cmH2O,bpm", "1000,50.5,100", "0,-10,0"},
    {"t,s,d,m", "Time,systol,diasto,mean B", "s,mmHg,mmHg,mmHg", "10,500,500,500", "0,0,0,0"},
    {"a", "x", "u", "1.00", "-1.00"},
};

std::vector<Step> Script(bool coda, const Description& description) {
    std::vector<Step> steps = {{Step::Initialise, ""}, {Step::Line, "S"}};
    if (coda) {
        steps.push_back({Step::Line, "WN5"});
        steps.push_back({Step::Line, "V,1,0,3,1,CODA,x,ZVC"});
        steps.push_back({Step::Line, "A"});
    } else {
        steps.push_back({Step::Line, "V,1,0,3,1,Monitor"});
    }
    steps.push_back({Step::Line, "F"});
    steps.push_back({Step::Line, description.params});
    steps.push_back({Step::Line, "0.005,0.02,0.1,EndOfCycle"});
    steps.push_back({Step::Line, "U1111"});
    steps.push_back({Step::Line, "I"});
    steps.push_back({Step::Line, description.names});
    steps.push_back({Step::Line, description.units});
    steps.push_back({Step::Line, description.maxima});
    steps.push_back({Step::Line, description.minima});
    steps.push_back({Step::Start, ""});
    if (coda) {
        steps.push_back({Step::Line, "WI5,1,1000,3,4,5,6,7,8,9,10,11"});
        steps.push_back({Step::Line, "B"});
        steps.push_back({Step::Line, "WA5"});
    } else {
        steps.push_back({Step::Line, "B"});
    }
    steps.push_back({Step::Stop, ""});
    steps.push_back({Step::Line, coda ? "WN5" : "S"});
    if (coda) steps.push_back({Step::Line, "S"});
    return steps;
}

void Feed(RivuSerial& device, const std::uint8_t* bytes, std::size_t count) {
    StoreAndCutLines(device, bytes, count, HandleReply);
}

void FeedLine(RivuSerial& device, const std::string& line) {
    const std::string framed = line + "\r\n";
    Feed(device, reinterpret_cast<const std::uint8_t*>(framed.data()), framed.size());
}

bool HostCommand(RivuSerial& device, std::int32_t code) {
    RivuCommandRecord record{};
    return HandleHostCommand(device, code, &record);
}

// The catalogue is built once, whole, from the names the handshake stored.
struct CatalogueWatch {
    std::size_t count = 0;
    void Check(const RivuSerial& device) {
        const std::size_t now = device.channels.Count();
        if (count != 0) {
            fuzz::Check(now == count, "channel list changed after it was published");
            return;
        }
        if (now == 0) return;
        fuzz::Check(now == ExpectedChannels(device, device.channelNamesReply.Get().View()),
                    "channel count differs from the description");
        count = now;
    }
};

void CheckDevice(const RivuSerial& device, CatalogueWatch& catalogue) {
    Check(IsProtocolState(device.protocolState.load()), "protocol state out of range");
    Check(device.rxWrite >= 0 && device.rxWrite < RivuSerial::kRxRingSize && device.rxRead >= 0 &&
              device.rxRead < RivuSerial::kRxRingSize,
          "receive ring index out of range");
    Check(!device.failed.load() || !device.lastError.IsEmpty(), "device failed without a text for the host");
    catalogue.Check(device);
}

}  // namespace
}  // namespace rivu::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace rivu;
    using namespace rivu::fuzz;
    FuzzedDataProvider input(data, size);
    const bool coda = input.ConsumeBool();
    const Description& description =
        kDescriptions[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kDescriptions) - 1)];
    const std::vector<Step> script = Script(coda, description);
    const std::size_t steps = input.ConsumeIntegralInRange<std::size_t>(0, script.size());

    host::HostObjects host([](const std::string& problem) { Fail("host object misused:", problem); });
    host.SetChannelTitles({u"HR", u"O-Cuff", u"VPR"});
    // Now and then a step of the host's chain hands out nothing.
    const std::uint8_t failing = input.ConsumeIntegral<std::uint8_t>();
    if (failing <= static_cast<std::uint8_t>(host::Step::ChannelTitle)) host.FailStep(static_cast<host::Step>(failing));
    MemoryDevice memory(coda);
    RivuSerial& device = *memory.device;
    device.controllingProxy = host.ControllingProxy();
    CatalogueWatch catalogue;

    for (std::size_t i = 0; i < steps; ++i) {
        const Step& step = script[i];
        switch (step.kind) {
            case Step::Line:
                FeedLine(device, step.line);
                break;
            case Step::Initialise:
                // What Initialise does after opening the port.
                device.protocolState.store(kAwaitStopEcho);
                device.SendCommand("S");
                break;
            case Step::Start:
                HostCommand(device, RIVU_CMD_START_SAMPLING);
                break;
            case Step::Stop:
                HostCommand(device, RIVU_CMD_STOP_SAMPLING);
                break;
        }
        CheckDevice(device, catalogue);
    }

    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
            case 1:
            case 2:
            case 3: {
                const std::vector<std::uint8_t> chunk = input.ConsumeBytes<std::uint8_t>(
                    input.ConsumeIntegralInRange<std::size_t>(0, 64));
                Feed(device, chunk.data(), chunk.size());
                break;
            }
            case 4: {
                // Bursts up to beyond the receive ring.
                const std::vector<std::uint8_t> chunk = input.ConsumeBytes<std::uint8_t>(
                    input.ConsumeIntegralInRange<std::size_t>(0, 3 * RivuSerial::kRxRingSize));
                Feed(device, chunk.data(), chunk.size());
                break;
            }
            case 5: {
                // The host reads into a buffer of exactly the size it names.
                const int bufferSize = input.ConsumeIntegralInRange<int>(0, 6000);
                std::vector<char> buffer(static_cast<std::size_t>(bufferSize == 0 ? 1 : bufferSize), 'x');
                const bool delivered = TakeSampleLines(device, buffer.data(), bufferSize);
                CheckSampleText(device, buffer.data(), bufferSize, delivered);
                break;
            }
            case 6:
                HostCommand(device, RIVU_CMD_START_SAMPLING);
                break;
            case 7:
                HostCommand(device, RIVU_CMD_STOP_SAMPLING);
                break;
            case 8:
                FlushSamples(device);
                break;
            case 9:
                // Upload time-outs and the like see time pass.
                memory.clock.now += input.ConsumeIntegralInRange<int>(0, 1000);
                break;
        }
        CheckDevice(device, catalogue);
    }
    // Comments go only to the host channel titled like the VPR channel (or to
    // none when its title could not be read), always with a text.
    for (const host::RecordedComment& comment : host.Comments()) {
        Check(comment.channel == 2 || comment.channel == -1, "comment on another host channel");
        Check(!comment.text.empty(), "comment without text");
    }
    return 0;
}
