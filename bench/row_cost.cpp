// rivu-row-cost (Linux): the enabler's own work on one data row, without the
// wake, the read and the signal that the line-rate run also pays for. A Rivu
// monitor's rows (the benchmark's instrument, ten channels) go through line
// cutting, the dispatcher, number reading, scaling and the sample rings of a
// device in the Running state, in this process and on no port.
//   rivu-row-cost [--rows N]
// Prints the median time per row with warm caches (rows back to back) and
// with cold ones (32 MiB written between rows, as other work on the machine
// does between two rows at the line rate).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "discovery/identification.h"
#include "protocol/channel_catalogue.h"
#include "protocol/reply_dispatcher.h"
#include "rivu-sim/signal_model.h"
#include "serial/receive_ring.h"
#include "serial/rivu_serial.h"
#include "serial/sample_delivery.h"

namespace {

using rivu::RivuSerial;

std::u16string Join(const std::vector<rivu::sim::ChannelDescription>& channels,
                    std::string rivu::sim::ChannelDescription::*field) {
    std::string text;
    for (const auto& channel : channels) text += (text.empty() ? "" : ",") + channel.*field;
    return std::u16string(text.begin(), text.end());
}

// A monitor's device after its handshake, sampling: the catalogue built from
// the benchmark instrument's description and the state Running.
std::unique_ptr<RivuSerial> RunningDevice(const std::vector<rivu::sim::ChannelDescription>& channels) {
    const std::u16string path = u"/dev/row-cost";
    auto device = std::make_unique<RivuSerial>(path, rivu::IdentifyDevice(path, u"KSC01234A"));
    device->paramCount = static_cast<std::uint32_t>(channels.size());
    device->channelNamesReply.Set(ZVC::ZVCString(Join(channels, &rivu::sim::ChannelDescription::name)));
    device->channelUnitsReply.Set(ZVC::ZVCString(Join(channels, &rivu::sim::ChannelDescription::unit)));
    device->channelMaxReply.Set(ZVC::ZVCString(Join(channels, &rivu::sim::ChannelDescription::maxText)));
    device->channelMinReply.Set(ZVC::ZVCString(Join(channels, &rivu::sim::ChannelDescription::minText)));
    if (!rivu::BuildChannelCatalogue(*device)) return nullptr;
    device->protocolState.store(rivu::kRunning);
    return device;
}

double MedianNs(std::vector<std::int64_t> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : static_cast<double>(values[values.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t rows = 20000;
    if (argc == 3 && std::string(argv[1]) == "--rows") {
        rows = std::strtoull(argv[2], nullptr, 10);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: rivu-row-cost [--rows N]\n");
        return 2;
    }
    if (rows == 0 || rows > 1000000) {
        std::fprintf(stderr, "rivu-row-cost: --rows takes 1 to 1000000\n");
        return 2;
    }
    const auto channels = rivu::sim::DefaultChannels(rivu::sim::InstrumentKind::kRivu);
    const rivu::sim::DataModel model(channels, 0);
    std::vector<std::string> texts;
    for (std::uint64_t row = 0; row < rows; ++row) {
        texts.push_back(model.RowText(row, static_cast<std::int64_t>(row) * 5) + "\r\n");
    }
    std::unique_ptr<RivuSerial> device = RunningDevice(channels);
    if (!device) {
        std::fprintf(stderr, "rivu-row-cost: the channel description was refused\n");
        return 1;
    }
    std::vector<std::uint8_t> evict(32u << 20);
    std::vector<std::int64_t> warm, cold;
    warm.reserve(rows);
    cold.reserve(rows);
    // One round with warm caches, then one with cold ones. The rings are
    // drained outside the timed part, as the host does on its own thread.
    for (int round = 0; round < 2; ++round) {
        for (std::uint64_t row = 0; row < rows; ++row) {
            if (round == 1) {
                for (std::size_t i = 0; i < evict.size(); i += 64) evict[i] = static_cast<std::uint8_t>(row + i);
            }
            const std::string& text = texts[row];
            const std::int64_t start = rivu::bench::NowNanoseconds();
            rivu::StoreAndCutLines(*device, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                                   rivu::HandleReply);
            const std::int64_t end = rivu::bench::NowNanoseconds();
            (round == 0 ? warm : cold).push_back(end - start);
            if (row % 1000 == 999) rivu::FlushSamples(*device);
        }
        rivu::FlushSamples(*device);
    }
    const std::uint64_t expected = rows * 2;
    if (device->rowsAhead != static_cast<std::int32_t>(expected)) {
        std::fprintf(stderr, "rivu-row-cost: %d of %llu rows were taken as data rows\n", device->rowsAhead,
                     static_cast<unsigned long long>(expected));
        return 1;
    }
    std::printf("RESULT rows=%llu channels=%zu warm_ns_per_row=%.0f cold_ns_per_row=%.0f\n",
                static_cast<unsigned long long>(rows), channels.size() - 1, MedianNs(warm), MedianNs(cold));
    return 0;
}
