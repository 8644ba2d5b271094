// The enabler as the host uses it: librivu.so loaded by path, simulated
// instruments on pseudo-terminals found through the port walk, real reader
// threads, samples read back through ReadLine and comments through the host's
// objects.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_host.h"
#include "tests/support/enabler_under_test.h"
#include "tests/support/posix_simulated_port.h"
#include "tests/support/test_support.h"
#include "tools/host-objects/host_objects.h"

namespace rivu::test {
namespace {

using namespace std::chrono_literals;
using sim::InstrumentKind;
using sim::SimulatorConfig;

constexpr unsigned int kNoDevice = 0xFFFFFFFFu;
const std::string kMonitorId = "FTDIBUS\\VID_0403+PID_6001+KSC01234A\\0000";
const std::string kCodaId = "FTDIBUS\\VID_0403+PID_6001+ZVCCODA0001A\\0000";

// Samples per host channel (from 1), as ReadLine delivered them.
using Samples = std::map<int, std::vector<std::int32_t>>;

bool TakeDelivery(const char* text, Samples& samples) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 2 || line[0] != '+') return false;
        std::istringstream fields(line.substr(1));
        std::string field;
        std::getline(fields, field, ',');
        auto& channel = samples[std::stoi(field)];
        while (std::getline(fields, field, ',')) channel.push_back(std::stoi(field));
    }
    return true;
}

// Bytes as code units, the way the enabler reads the host's titles back.
std::u16string Wide(const std::string& text) {
    std::u16string wide;
    for (unsigned char c : text) wide += static_cast<char16_t>(c);
    return wide;
}

std::string CommandText(unsigned int index, int code, int argument = 0) {
    char text[256] = {};
    RivuCommandRecord record{};
    record.text = text;
    record.textSize = sizeof text;
    record.argument = argument;
    EXPECT_EQ(Enabler().DeviceCommand(index, code, &record), 1) << "command " << code;
    return text;
}

int CommandValue(unsigned int index, int code) {
    RivuCommandRecord record{};
    EXPECT_EQ(Enabler().DeviceCommand(index, code, &record), 1) << "command " << code;
    return record.value;
}

class EnablerEndToEnd : public ::testing::Test {
protected:
    // The host's objects outlive every device (TearDown closes them first).
    host::HostObjects host{FailOnHostProblem};

    void SetUp() override { ASSERT_NE(Enabler().FindDevice, nullptr); }
    void TearDown() override {
        EXPECT_EQ(Enabler().CloseAll(), 1);
        SimulatedPort::Unpublish();
    }

    // Reads until done(samples) holds or timeout passes.
    template <typename Done>
    Samples ReadUntil(unsigned int index, Done done, std::chrono::milliseconds timeout) {
        Samples samples;
        static char buffer[32768];
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done(samples) && std::chrono::steady_clock::now() < end) {
            if (Enabler().ReadLine(index, buffer, sizeof buffer, 20) == 1) {
                EXPECT_TRUE(TakeDelivery(buffer, samples)) << buffer;
            }
        }
        return samples;
    }
};

TEST_F(EnablerEndToEnd, FindsPortsInWalkOrderAndStartsAgainAfterThePassEnds) {
    SimulatedPort monitor(SimulatorConfig::ForKind(InstrumentKind::kRivu), "ksc01234", kMonitorId);
    SimulatedPort coda(SimulatorConfig::ForKind(InstrumentKind::kCoda), "zvccoda0001", kCodaId);
    ASSERT_EQ(monitor.Problem(), "");
    ASSERT_EQ(coda.Problem(), "");
    SimulatedPort::Publish({&monitor, &coda});

    int index = -7;
    ASSERT_EQ(Enabler().FindDevice(&index, ""), 1);
    EXPECT_EQ(index, 0);
    ASSERT_EQ(Enabler().FindDevice(&index, ""), 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(Enabler().FindDevice(&index, ""), 0);
    EXPECT_EQ(index, 1);  // untouched
    ASSERT_EQ(Enabler().FindDevice(&index, ""), 1);
    EXPECT_EQ(index, 2);  // the first port again, as a new device

    // Which port is which: the unique id follows the path Windows gives the
    // port's instance (\\?\ftdibus#vid_0403+pid_6001+ksc01234a#0000#{...}),
    // so it is the one the same instrument has on Windows.
    int first = 0, again = 0;
    EXPECT_EQ(Enabler().GetUniqueID(0, &first), 1);
    EXPECT_EQ(Enabler().GetUniqueID(2, &again), 1);
    EXPECT_EQ(first, 13537);
    EXPECT_EQ(first, again);
    EXPECT_EQ(Enabler().CloseAll(), 1);

    // Tokens are looked for in the identity, case-sensitively.
    ASSERT_EQ(Enabler().FindDevice(&index, "A800,ZVC"), 1);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(Enabler().FindDevice(&index, "A800,ZVC"), 0);
    EXPECT_EQ(Enabler().CloseAll(), 1);
    EXPECT_EQ(Enabler().FindDevice(&index, "ksc"), 0);
    EXPECT_EQ(Enabler().LastError(kNoDevice),
              "The device cannot be found.\nPlease plug in your device and restart Vexamora.");
}

TEST_F(EnablerEndToEnd, MonitorDeliversExactlyTheValuesItSentChannelByChannel) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.repeatEvery = 7;  // some "*" fields: the previous value again
    SimulatedPort monitor(config, "ksc01234", kMonitorId);
    ASSERT_EQ(monitor.Problem(), "");
    SimulatedPort::Publish({&monitor});

    int index = -1;
    ASSERT_EQ(Enabler().FindDevice(&index, "KSC"), 1);
    ASSERT_EQ(Enabler().Initialise(index), 1) << Enabler().LastError(kNoDevice);
    EXPECT_EQ(Enabler().Initialise(index), 1);  // already ready: nothing sent again
    EXPECT_EQ(Enabler().IsFailed(index), 0);
    EXPECT_EQ(Enabler().GetBaudRate(index), 115200);

    EXPECT_EQ(CommandText(index, RIVU_CMD_DEVICE_NAME), "RV-2000");
    EXPECT_EQ(CommandText(index, RIVU_CMD_VENDOR_NAME), "Rivu Scientific");
    EXPECT_EQ(CommandText(index, RIVU_CMD_FIRMWARE_VERSION), "2.1.0.1");
    EXPECT_EQ(CommandText(index, RIVU_CMD_SERIAL_NUMBER), "01234");
    EXPECT_EQ(CommandText(index, RIVU_CMD_DATA_FORMAT), "text");
    const int channels = CommandValue(index, RIVU_CMD_CHANNEL_COUNT);
    ASSERT_EQ(channels, 10);  // every column but "Time"
    EXPECT_EQ(CommandText(index, RIVU_CMD_CHANNEL_NAME, 1), "Peak Pressure");
    EXPECT_EQ(CommandText(index, RIVU_CMD_CHANNEL_SCALING, 1), "-100,-10;500,50;cmH\xE2\x82\x82O;1;");
    EXPECT_EQ(CommandText(index, RIVU_CMD_CHANNEL_NAME, 3), "Resp. Rate");
    EXPECT_EQ(CommandText(index, RIVU_CMD_CHANNEL_SCALING, 6), "0,0;1000,100;%;1;");

    const std::vector<std::string> handshake = {"S", "V", "F", "U11111111111", "I"};
    EXPECT_EQ(monitor.Instrument().Received(), handshake);

    ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);
    const std::size_t wanted = 120;
    Samples samples = ReadUntil(
        index,
        [&](const Samples& s) {
            for (int c = 1; c <= channels; ++c) {
                auto found = s.find(c);
                if (found == s.end() || found->second.size() < wanted) return false;
            }
            return true;
        },
        20s);
    RivuCommandRecord stop{};
    EXPECT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop), 1);

    const sim::DataModel model(config.channels, config.repeatEvery);
    for (int c = 1; c <= channels; ++c) {
        const auto& got = samples[c];
        ASSERT_GE(got.size(), wanted) << "channel " << c;
        for (std::size_t row = 0; row < wanted; ++row) {
            // A "*" field repeats the value of the row before.
            std::size_t source = row;
            while (source > 0 && model.IsRepeatMark(c, source)) --source;
            ASSERT_EQ(got[row], model.Ticks(c, source)) << "channel " << c << " row " << row;
        }
    }
}

TEST_F(EnablerEndToEnd, CodaCycleFillsTheWaveformChannelsAndCommentsAtTheirRows) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    SimulatedPort coda(config, "zvccoda0001", kCodaId);
    ASSERT_EQ(coda.Problem(), "");
    SimulatedPort::Publish({&coda});

    int index = -1;
    ASSERT_EQ(Enabler().FindDevice(&index, "ZVCCODA"), 1);
    ASSERT_EQ(Enabler().Initialise(index), 1) << Enabler().LastError(kNoDevice);
    EXPECT_EQ(CommandText(index, RIVU_CMD_DEVICE_NAME), "Zarvonic CODA");
    EXPECT_EQ(CommandText(index, RIVU_CMD_VENDOR_NAME), "Zarvonic NZ Ltd.");
    const int channels = CommandValue(index, RIVU_CMD_CHANNEL_COUNT);
    ASSERT_EQ(channels, 8);
    ASSERT_EQ(CommandText(index, RIVU_CMD_CHANNEL_TITLE, 7), "O-Cuff");
    ASSERT_EQ(CommandText(index, RIVU_CMD_CHANNEL_TITLE, 8), "VPR");

    std::vector<std::u16string> titles;
    for (int c = 1; c <= channels; ++c) {
        titles.push_back(Wide(CommandText(index, RIVU_CMD_CHANNEL_TITLE, c)));
    }
    host.SetChannelTitles(titles);
    host.SetSecondsPerUnit(0.001);
    host.SetRecordCount(3);
    EXPECT_EQ(Enabler().SetControllingProxy(index, host.ControllingProxy()), 0);

    ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);
    const sim::CycleModel cycle(config.waveformLength);
    const std::size_t uploadRows = static_cast<std::size_t>(cycle.Pairs()) * 4 / 2;
    Samples samples = ReadUntil(
        index,
        [&](const Samples& s) {
            auto cuff = s.find(7);
            return host.Comments().size() >= 2 && cuff != s.end() && cuff->second.size() > 600 + uploadRows;
        },
        20s);
    RivuCommandRecord stop{};
    EXPECT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop), 1);
    EXPECT_EQ(Enabler().CloseAll(), 1);

    const auto comments = host.Comments();
    ASSERT_GE(comments.size(), 2u);
    const sim::CycleResult result = cycle.Result(0);
    EXPECT_EQ(comments[0].text, u"Systolic BP = " + Wide(std::to_string(result.systolic)) + u" mmHg");
    EXPECT_EQ(comments[1].text, u"Diastolic BP = " + Wide(std::to_string(result.diastolic)) + u" mmHg");
    for (const auto& comment : comments) {
        EXPECT_EQ(comment.channel, 7);  // the host channel titled "VPR"
        EXPECT_EQ(comment.record, 2);   // the record being written
    }
    // 1 ms host units and 20 ms rows: 20 units a row. Both comments lead back
    // to the same cycle start, two rows per waveform pair.
    ASSERT_EQ(comments[0].position % 20, 0);
    const int cycleStartRow = comments[0].position / 20 - 2 * result.systolicPoint;
    EXPECT_EQ(comments[1].position, (cycleStartRow + 2 * result.diastolicPoint) * 20);
    ASSERT_GE(cycleStartRow, 0);

    // The uploaded waveform sits in O-Cuff and VPR from the cycle start, every
    // value twice, in whole mmHg.
    const auto& cuff = samples[7];
    const auto& vpr = samples[8];
    ASSERT_GE(cuff.size(), static_cast<std::size_t>(cycleStartRow) + uploadRows);
    ASSERT_GE(vpr.size(), static_cast<std::size_t>(cycleStartRow) + uploadRows);
    for (int pair = 0; pair < cycle.Pairs(); ++pair) {
        const std::int64_t cuffValue = (cycle.WaveformTicks(0, 2 * pair) + 5) / 10;
        const std::int64_t vprValue = (cycle.WaveformTicks(0, 2 * pair + 1) + 5) / 10;
        for (int copy = 0; copy < 2; ++copy) {
            const std::size_t row = static_cast<std::size_t>(cycleStartRow + 2 * pair + copy);
            ASSERT_EQ(cuff[row], cuffValue) << "pair " << pair;
            ASSERT_EQ(vpr[row], vprValue) << "pair " << pair;
        }
    }
    // Before the cycle both channels trailed the data rows with zeros.
    for (int row = 0; row < cycleStartRow; ++row) ASSERT_EQ(cuff[static_cast<std::size_t>(row)], 0);
    EXPECT_EQ(host.OutstandingReferences(), 0);  // the device released the host's sampling interface
}

// Starts a simulated CODA's enabler device with host objects whose titles are
// the channel titles; returns the channel count.
int StartCodaWithHost(unsigned int index, host::HostObjects& host, double secondsPerUnit) {
    const int channels = CommandValue(index, RIVU_CMD_CHANNEL_COUNT);
    std::vector<std::u16string> titles;
    for (int c = 1; c <= channels; ++c) titles.push_back(Wide(CommandText(index, RIVU_CMD_CHANNEL_TITLE, c)));
    host.SetChannelTitles(titles);
    host.SetSecondsPerUnit(secondsPerUnit);
    host.ExpectVprChannel(channels - 1);
    EXPECT_EQ(Enabler().SetControllingProxy(index, host.ControllingProxy()), 0);
    return channels;
}

// A host that stops during an upload and starts again at once, round after
// round: every stop runs to its end (WN5, then S) before the next start, and
// every interrupted upload is reported exactly once.
TEST_F(EnablerEndToEnd, CodaStoppedMidUploadAndStartedAgainAtOnceCompletesEveryStop) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    config.cycleDelayMs = 100;  // the upload begins soon after each start and lasts about 3 s
    SimulatedPort coda(config, "zvccoda0001", kCodaId);
    ASSERT_EQ(coda.Problem(), "");
    SimulatedPort::Publish({&coda});

    int index = -1;
    ASSERT_EQ(Enabler().FindDevice(&index, "ZVCCODA"), 1);
    ASSERT_EQ(Enabler().Initialise(index), 1) << Enabler().LastError(kNoDevice);
    const int vpr = StartCodaWithHost(index, host, 0.001);  // the last channel, numbered from 1

    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1) << "round " << round;
        // Stopped once the first chunk has reached the O-Cuff channel: the
        // samples left from the round before are discarded first.
        Enabler().FlushReadBuffer(index);
        const Samples samples = ReadUntil(index, [&](const Samples& s) { return s.contains(vpr - 1); }, 5s);
        ASSERT_TRUE(samples.contains(vpr - 1)) << "round " << round;
        RivuCommandRecord stop{};
        ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop), 1);
    }
    ASSERT_TRUE(coda.Instrument().WaitForCommand("S", 2s, 1 + kRounds));  // the handshake's and every stop's

    const std::vector<std::string> received = coda.Instrument().Received();
    const auto first = std::find(received.begin(), received.end(), "WI5");
    std::vector<std::string> expected;
    for (int round = 0; round < kRounds; ++round) expected.insert(expected.end(), {"WI5", "B", "WA5", "WN5", "S"});
    EXPECT_EQ(std::vector<std::string>(first, received.end()), expected);
    const std::vector<host::RecordedComment> comments = host.Comments();
    EXPECT_EQ(comments.size(), static_cast<std::size_t>(kRounds));
    for (const auto& comment : comments) {
        EXPECT_EQ(comment.text, u"error: incomplete waveform upload");
        EXPECT_EQ(comment.channel, vpr - 1);
    }
    EXPECT_EQ(Enabler().CloseAll(), 1);
}

// At every rate the simulator offers, one measurement cycle: the data rows
// arrive complete and in order, the waveform sits in O-Cuff and VPR at the
// rows the comments name, and no channel that has nothing to deliver holds the
// others back for much longer than the 20-row trail of the waveform channels.
TEST_F(EnablerEndToEnd, CodaDeliversEveryChannelAtEveryOfferedRate) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    config.waveformLength = 16;
    config.chunkValues = 8;
    config.cycleDelayMs = 100;
    config.cyclePeriodMs = 2500;  // room for a whole cycle at 100 ms a row
    SimulatedPort coda(config, "zvccoda0001", kCodaId);
    ASSERT_EQ(coda.Problem(), "");
    SimulatedPort::Publish({&coda});

    int index = -1;
    ASSERT_EQ(Enabler().FindDevice(&index, "ZVCCODA"), 1);
    ASSERT_EQ(Enabler().Initialise(index), 1) << Enabler().LastError(kNoDevice);
    // The VPR channel was built at 20 ms a row: one host unit per row.
    const int channels = StartCodaWithHost(index, host, 0.02);
    const int cuff = channels - 1;

    // The intervals of the default upload-rates line, one cycle each; the
    // next is selected once the cycle's result has been posted.
    const std::vector<int> periodsUs = {100000, 50000, 20000, 10000, 5000};
    auto select = [&](std::size_t cycle) {
        RivuCommandRecord record{};
        record.argument = periodsUs[cycle];
        EXPECT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_SET_SAMPLE_PERIOD, &record), 1);
    };
    select(0);
    ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);

    // A channel may be held back by the trail, plus what arrives while this
    // thread is not scheduled (up to 300 ms). The rates go from slow to fast,
    // so the current one bounds the rows in flight.
    constexpr std::size_t kTrail = 21;
    Samples samples;
    std::size_t cycle = 0;
    static char buffer[32768];
    const auto end = std::chrono::steady_clock::now() + 25s;
    while (cycle < periodsUs.size() && std::chrono::steady_clock::now() < end) {
        if (Enabler().ReadLine(index, buffer, sizeof buffer, 20) == 1) {
            Samples delivery;
            ASSERT_TRUE(TakeDelivery(buffer, delivery)) << buffer;
            const std::size_t bound = kTrail + static_cast<std::size_t>(300000 / periodsUs[cycle]);
            for (const auto& [channel, values] : delivery) {
                EXPECT_LE(values.size(), bound) << "channel " << channel << " at " << periodsUs[cycle] << " us";
                samples[channel].insert(samples[channel].end(), values.begin(), values.end());
            }
        }
        if (host.Comments().size() >= 2 * (cycle + 1) && ++cycle < periodsUs.size()) select(cycle);
    }
    ASSERT_EQ(cycle, periodsUs.size()) << "results posted: " << host.Comments().size();
    // The last cycle's upload is followed by a trail of rows.
    const std::size_t rowsBefore = samples[1].size();
    Samples tail = ReadUntil(index, [&](const Samples& s) { return s.contains(1) && s.at(1).size() >= 60; }, 5s);
    for (auto& [channel, values] : tail) samples[channel].insert(samples[channel].end(), values.begin(), values.end());
    RivuCommandRecord stop{};
    EXPECT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop), 1);
    EXPECT_EQ(Enabler().CloseAll(), 1);
    ASSERT_GE(samples[1].size(), rowsBefore + 60);

    const sim::DataModel model(config.channels);
    for (int c = 1; c < cuff; ++c) {
        for (std::size_t row = 0; row < samples[c].size(); ++row) {
            ASSERT_EQ(samples[c][row], model.Ticks(static_cast<std::size_t>(c), row)) << "channel " << c << " row " << row;
        }
    }
    const sim::CycleModel cycles(config.waveformLength);
    const auto comments = host.Comments();
    for (std::uint32_t c = 0; c < periodsUs.size(); ++c) {
        const sim::CycleResult result = cycles.Result(c);
        const auto& systolic = comments[2 * c];
        ASSERT_EQ(systolic.text, u"Systolic BP = " + Wide(std::to_string(result.systolic)) + u" mmHg");
        const int cycleStartRow = systolic.position - 2 * result.systolicPoint;
        EXPECT_EQ(comments[2 * c + 1].position, cycleStartRow + 2 * result.diastolicPoint);
        for (int pair = 0; pair < cycles.Pairs(); ++pair) {
            for (int copy = 0; copy < 2; ++copy) {
                const std::size_t row = static_cast<std::size_t>(cycleStartRow + 2 * pair + copy);
                ASSERT_GT(samples[cuff].size(), row) << "cycle " << c;
                ASSERT_GT(samples[cuff + 1].size(), row) << "cycle " << c;
                EXPECT_EQ(samples[cuff][row], (cycles.WaveformTicks(c, 2 * pair) + 5) / 10) << "cycle " << c;
                EXPECT_EQ(samples[cuff + 1][row], (cycles.WaveformTicks(c, 2 * pair + 1) + 5) / 10) << "cycle " << c;
            }
        }
    }
}

TEST_F(EnablerEndToEnd, WrongInterfaceVersionIsRefusedWithTheFirmwareMessage) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.faults.Set(sim::Fault::kWrongInterface);
    SimulatedPort monitor(config, "ksc01234", kMonitorId);
    ASSERT_EQ(monitor.Problem(), "");
    SimulatedPort::Publish({&monitor});

    int index = -1;
    ASSERT_EQ(Enabler().FindDevice(&index, ""), 1);
    EXPECT_EQ(Enabler().Initialise(index), 0);
    EXPECT_EQ(Enabler().IsFailed(index), 1);
    EXPECT_EQ(Enabler().LastError(kNoDevice),
              "A device is connected, but can't be used due\nto wrong firmware version. Please contact support for a "
              "firmware update.");
}

TEST_F(EnablerEndToEnd, CloseAllWhileStreamingStopsEverythingOnce) {
    SimulatedPort monitor(SimulatorConfig::ForKind(InstrumentKind::kRivu), "ksc01234", kMonitorId);
    SimulatedPort coda(SimulatorConfig::ForKind(InstrumentKind::kCoda), "zvccoda0001", kCodaId);
    ASSERT_EQ(monitor.Problem(), "");
    ASSERT_EQ(coda.Problem(), "");
    SimulatedPort::Publish({&monitor, &coda});

    int index = -1;
    ASSERT_EQ(Enabler().FindDevice(&index, ""), 1);
    ASSERT_EQ(Enabler().FindDevice(&index, ""), 1);
    for (unsigned int i = 0; i < 2; ++i) {
        ASSERT_EQ(Enabler().Initialise(i), 1);
        ASSERT_EQ(Enabler().DeviceCommand(i, RIVU_CMD_START_SAMPLING, nullptr), 1);
    }
    ReadUntil(
        0, [](const Samples& s) { return s.size() >= 3; }, 5s);

    EXPECT_EQ(Enabler().CloseAll(), 1);
    EXPECT_TRUE(monitor.Instrument().WaitForCommand("X", 1s));
    EXPECT_TRUE(coda.Instrument().WaitForCommand("X", 1s));
    EXPECT_EQ(Enabler().CloseAll(), 1);
    // The ports are free again: a new pass finds and opens them.
    ASSERT_EQ(Enabler().FindDevice(&index, ""), 1);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(Enabler().Initialise(0), 1);
}

// A host that ends while the monitor streams, without CloseAll: by exit() or
// by dlclose, run as a child process and timed from here. Either ends within
// 2 s and leaves the port free for the next host.
TEST_F(EnablerEndToEnd, HostThatLeavesTheMonitorStreamingEndsAtOnce) {
    SimulatedPort monitor(SimulatorConfig::ForKind(InstrumentKind::kRivu), "ksc01234", kMonitorId);
    ASSERT_EQ(monitor.Problem(), "");
    SimulatedPort::Publish({&monitor});
    for (const char* ending : {"return", "unload"}) {
        SCOPED_TRACE(ending);
        const auto received = monitor.Instrument().Received();
        const std::size_t stops = static_cast<std::size_t>(std::count(received.begin(), received.end(), "X"));
        const ChildHostRun run = RunChildHost(ending);
        ASSERT_TRUE(run.ended) << run.output;
        EXPECT_EQ(run.exitCode, 0) << run.output;
        ExpectChildHostEndedAtOnce(run);
        // The library stopped the instrument on its way out.
        EXPECT_TRUE(monitor.Instrument().WaitForCommand("X", 1s, stops + 1));
        int index = -1;
        ASSERT_EQ(Enabler().FindDevice(&index, "KSC"), 1);
        EXPECT_EQ(Enabler().Initialise(index), 1) << Enabler().LastError(kNoDevice);
        EXPECT_EQ(Enabler().CloseAll(), 1);
    }
}

// The output and exit status of a shell command.
std::string RunCommand(const std::string& command, int& status) {
    FILE* program = ::popen(command.c_str(), "r");
    std::string output;
    if (program == nullptr) return output;
    char chunk[4096];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, program)) output.append(chunk, n);
    status = ::pclose(program);
    return output;
}

TEST_F(EnablerEndToEnd, RivuHostRecordsASimulatedCodaAsAUserWould) {
    // The demo's recording, shorter: it too ends between measurement cycles.
    const std::string files = "/tmp/rivu-host-test-" + std::to_string(::getpid());
    const std::string csv = files + ".csv", edf = files + ".edf", png = files + ".png", printed = files + ".txt";
    const std::string source = RIVU_SOURCE_DIR;
    int status = -1;
    const std::string output =
        RunCommand(HostProgramPath() + " --simulate coda --seconds 6 --csv " + csv + " --edf " + edf + " 2>&1", status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("error:"), std::string::npos) << output;
    EXPECT_NE(output.find("Zarvonic CODA by Zarvonic NZ Ltd."), std::string::npos) << output;
    EXPECT_NE(output.find("VPR"), std::string::npos) << output;
    // The channel table's scaling column starts in one column on every row, "µL" included.
    std::set<std::size_t> scalingColumns;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t scaling = line.find("0,0;");
        if (scaling == std::string::npos) continue;
        scalingColumns.insert(static_cast<std::size_t>(
            std::count_if(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(scaling),
                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; })));
    }
    EXPECT_EQ(scalingColumns.size(), 1u) << output;
    // One cycle in 6 s, on the VPR channel, the eighth of the channel table.
    EXPECT_NE(output.find("Blood-pressure results: 1, notes and errors: 0"), std::string::npos) << output;
    EXPECT_NE(output.find("channel 8, record 0): Systolic BP = "), std::string::npos) << output;
    EXPECT_NE(output.find("channel 8, record 0): Diastolic BP = "), std::string::npos) << output;

    // The EDF+ file through an independent reader (MNE) against the CSV and the
    // printed comments, and the picture drawn from it.
    {
        FILE* copy = std::fopen(printed.c_str(), "w");
        ASSERT_NE(copy, nullptr);
        std::fputs(output.c_str(), copy);
        std::fclose(copy);
    }
    const std::string plot =
        RunCommand("/usr/bin/python3 " + source + "/tools/plot-recording.py " + edf + " " + png + " 2>&1", status);
    EXPECT_EQ(status, 0) << plot;
    const std::string checks = RunCommand("cd " + source + "/tests/resources && /usr/bin/python3 check_recording.py " +
                                              edf + " " + csv + " " + printed + " " + png + " 2>&1",
                                          status);
    EXPECT_EQ(status, 0) << checks;
    for (const std::string& file : {edf, png, printed}) std::remove(file.c_str());

    const std::string table = ReadWholeFile(csv);
    std::remove(csv.c_str());
    std::istringstream rows(table);
    std::string header;
    std::getline(rows, header);
    EXPECT_EQ(header.rfind("time_s,\"Systolic BP (mmHg)\"", 0), 0u) << header;
    EXPECT_NE(header.find("\"VPR (mmHg)\""), std::string::npos) << header;
    std::size_t count = 0;
    for (std::string row; std::getline(rows, row);) ++count;
    EXPECT_GT(count, 100u);
}

TEST_F(EnablerEndToEnd, RivuHostReportsAsTheReadmeSays) {
    // The device report as JSON, read by a JSON parser; the progress lines stay off standard output.
    int status = -1;
    const std::string json =
        RunCommand(HostProgramPath() +
                       " --simulate coda --list --json 2>/dev/null | /usr/bin/python3 -c '"
                       "import json,sys; d=json.load(sys.stdin)[0]; c=d[\"channels\"]; "
                       "print(d[\"vendor\"], d[\"model\"], len(c), c[4][\"unit\"], c[5][\"raw_high\"])'",
                   status);
    EXPECT_EQ(status, 0) << json;
    EXPECT_EQ(json, "Zarvonic NZ Ltd. Zarvonic CODA 8 \u00b5L 500\n");

    // The README shows the --help text as it is; a path that cannot be written ends before recording.
    const std::string help = RunCommand(HostProgramPath() + " --help", status);
    EXPECT_NE(ReadWholeFile(std::string(RIVU_SOURCE_DIR) + "/README.md").find(help), std::string::npos) << help;
    const std::string refused = RunCommand(
        HostProgramPath() + " --simulate coda --seconds 1 --csv /dev/null --edf /nonexistent/x.edf 2>&1", status);
    EXPECT_EQ(WEXITSTATUS(status), 11) << refused;
    EXPECT_NE(refused.find("cannot record EDF+ to /nonexistent/x.edf"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("Recording instrument"), std::string::npos) << refused;
}

}  // namespace
}  // namespace rivu::test

// The test program is also the child host of the test above.
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == rivu::test::kChildHostFlag) return rivu::test::PlayChildHost(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
