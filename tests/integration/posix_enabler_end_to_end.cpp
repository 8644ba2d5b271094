// The enabler as the host uses it: librivu.so loaded by path, simulated
// instruments on pseudo-terminals found through the port walk, real reader
// threads, samples read back through ReadLine and comments through the host's
// objects.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <ctime>
#include <vector>

#include <unistd.h>

#include "tests/support/child_host.h"
#include "tests/support/enabler_under_test.h"
#include "tests/support/log_capture.h"
#include "tests/support/posix_simulated_port.h"
#include "tests/support/test_support.h"
#include "tools/host-objects/test_host.h"

extern char** environ;

namespace rivu::test {
namespace {

using namespace std::chrono_literals;
using sim::InstrumentKind;
using sim::SimulatorConfig;

constexpr unsigned int kNoDevice = 0xFFFFFFFFu;
const std::string kMonitorId = "FTDIBUS\\VID_0403+PID_6001+KSC01234A\\0000";
const std::string kCodaId = "FTDIBUS\\VID_0403+PID_6001+ZVCCODA0001A\\0000";

// Processor time the calling thread has used.
std::int64_t ThreadCpuMicroseconds() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<std::int64_t>(used.tv_sec) * 1000000 + used.tv_nsec / 1000;
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

bool EveryChannelHas(const Samples& samples, int channels, std::size_t count) {
    for (int c = 1; c <= channels; ++c) {
        if (!samples.contains(c) || samples.at(c).size() < count) return false;
    }
    return true;
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

    // Publishes the port alone, then finds the device the selection accepts and
    // initialises it: its index and channel count in index and channels.
    bool Start(const SimulatedPort& port, const char* selection) {
        EXPECT_EQ(SimulatedPort::Publish({&port}), "");
        EXPECT_EQ(Enabler().FindDevice(&index, selection), 1) << selection;
        EXPECT_EQ(Enabler().Initialise(index), 1) << Enabler().LastError(kNoDevice);
        channels = CommandValue(index, RIVU_CMD_CHANNEL_COUNT);
        return !HasFailure();
    }
    int index = -1;
    int channels = 0;

    // Every channel holds at least rows samples, the first rows of them the
    // instrument's (a "*" field repeats the value of the row before).
    void ExpectRows(Samples& samples, const sim::DataModel& model, std::size_t rows) {
        for (int c = 1; c <= channels; ++c) {
            ASSERT_GE(samples[c].size(), rows) << "channel " << c;
            for (std::size_t row = 0, source = 0; row < rows; ++row) {
                for (source = row; source > 0 && model.IsRepeatMark(static_cast<std::size_t>(c), source);) --source;
                ASSERT_EQ(samples[c][row], model.Ticks(static_cast<std::size_t>(c), source))
                    << "channel " << c << " row " << row;
            }
        }
    }
    void Stop() {
        RivuCommandRecord stop{};
        EXPECT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop), 1);
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
    ASSERT_EQ(SimulatedPort::Publish({&monitor, &coda}), "");

    index = -7;
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
    ASSERT_TRUE(Start(monitor, "KSC"));
    EXPECT_EQ(Enabler().Initialise(index), 1);  // already ready: nothing sent again
    EXPECT_EQ(Enabler().IsFailed(index), 0);
    EXPECT_EQ(Enabler().GetBaudRate(index), 115200);

    EXPECT_EQ(CommandText(index, RIVU_CMD_DEVICE_NAME), "RV-2000");
    EXPECT_EQ(CommandText(index, RIVU_CMD_VENDOR_NAME), "Rivu Scientific");
    EXPECT_EQ(CommandText(index, RIVU_CMD_FIRMWARE_VERSION), "2.1.0.1");
    EXPECT_EQ(CommandText(index, RIVU_CMD_SERIAL_NUMBER), "01234");
    EXPECT_EQ(CommandText(index, RIVU_CMD_DATA_FORMAT), "text");
    ASSERT_EQ(channels, 10);  // every column but "Time"
    EXPECT_EQ(CommandText(index, RIVU_CMD_CHANNEL_NAME, 1), "Peak Pressure");
    EXPECT_EQ(CommandText(index, RIVU_CMD_CHANNEL_SCALING, 1), "-100,-10;500,50;cmH\xE2\x82\x82O;1;");
    EXPECT_EQ(CommandText(index, RIVU_CMD_CHANNEL_NAME, 3), "Resp. Rate");
    EXPECT_EQ(CommandText(index, RIVU_CMD_CHANNEL_SCALING, 6), "0,0;1000,100;%;1;");

    const std::vector<std::string> handshake = {"S", "V", "F", "U11111111111", "I"};
    EXPECT_EQ(monitor.Instrument().Received(), handshake);

    // Waiting for samples sleeps: a host polling with long time-outs keeps no
    // processor busy. Once rows flow, a long wait ends with the first of them.
    static char first[32768];
    const std::int64_t cpuBefore = ThreadCpuMicroseconds();
    const auto waitStart = std::chrono::steady_clock::now();
    EXPECT_EQ(Enabler().ReadLine(index, first, sizeof first, 400), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - waitStart, 399ms);  // counted in whole milliseconds
    EXPECT_LT(ThreadCpuMicroseconds() - cpuBefore, 40000) << "ReadLine spun while it waited";

    ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);
    const auto firstStart = std::chrono::steady_clock::now();
    ASSERT_EQ(Enabler().ReadLine(index, first, sizeof first, 5000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - firstStart, 2s);
    const std::size_t wanted = 120;
    Samples samples;
    ASSERT_TRUE(TakeDelivery(first, samples)) << first;
    Samples rest = ReadUntil(
        index, [&](const Samples& s) { return EveryChannelHas(s, channels, wanted); }, 20s);
    for (auto& [channel, values] : rest) samples[channel].insert(samples[channel].end(), values.begin(), values.end());
    Stop();
    ExpectRows(samples, sim::DataModel(config.channels, config.repeatEvery), wanted);
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

TEST_F(EnablerEndToEnd, CodaCycleFillsTheWaveformChannelsAndCommentsAtTheirRows) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    SimulatedPort coda(config, "zvccoda0001", kCodaId);
    ASSERT_TRUE(Start(coda, "ZVCCODA"));
    EXPECT_EQ(CommandText(index, RIVU_CMD_DEVICE_NAME), "Zarvonic CODA");
    EXPECT_EQ(CommandText(index, RIVU_CMD_VENDOR_NAME), "Zarvonic NZ Ltd.");
    ASSERT_EQ(channels, 8);
    ASSERT_EQ(CommandText(index, RIVU_CMD_CHANNEL_TITLE, 7), "O-Cuff");
    ASSERT_EQ(CommandText(index, RIVU_CMD_CHANNEL_TITLE, 8), "VPR");

    StartCodaWithHost(index, host, 0.001);
    host.SetRecordCount(3);

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
    Stop();
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

// A host that stops during an upload and starts again at once, round after
// round: every stop runs to its end (WN5, then S) before the next start, and
// every interrupted upload is reported exactly once.
TEST_F(EnablerEndToEnd, CodaStoppedMidUploadAndStartedAgainAtOnceCompletesEveryStop) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    config.cycleDelayMs = 100;  // the upload begins soon after each start and lasts about 3 s
    SimulatedPort coda(config, "zvccoda0001", kCodaId);
    ASSERT_TRUE(Start(coda, "ZVCCODA"));
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
    ASSERT_TRUE(Start(coda, "ZVCCODA"));
    // Rows are placed with the period selected before the start (100 ms, the
    // first below): one host unit per row.
    const int cuff = StartCodaWithHost(index, host, 0.1) - 1;

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
    Stop();
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
    ASSERT_EQ(SimulatedPort::Publish({&monitor}), "");

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
    ASSERT_EQ(SimulatedPort::Publish({&monitor, &coda}), "");

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

// Data rows a monitor sent after its start echo.
std::size_t RowsSent(const std::vector<std::string>& sent) {
    const auto start = std::find(sent.begin(), sent.end(), "B");
    return start == sent.end() ? 0 : static_cast<std::size_t>(sent.end() - start - 1);
}

bool Logged(const std::string& prefix) {
    for (const std::string& line : LogCapture::Instance().Lines()) {
        if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// Reads until ReadLine has had nothing for a while.
Samples Drain(unsigned int index) {
    Samples samples;
    static char buffer[32768];
    for (int idle = 0; idle < 5;) {
        if (Enabler().ReadLine(index, buffer, sizeof buffer, 100) == 1) {
            EXPECT_TRUE(TakeDelivery(buffer, samples)) << buffer;
            idle = 0;
        } else {
            ++idle;
        }
    }
    return samples;
}

// The instrument is unplugged while it streams (its pseudo-terminal closes
// once the port has read everything sent), then plugged in again: every row
// it sent is delivered, the device reads as failed with the line's failure in
// the log, and a new Initialise brings it back.
TEST_F(EnablerEndToEnd, MonitorUnpluggedMidStreamKeepsEveryRowAndComesBackOnInitialise) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.faults.Set(sim::Fault::kHangUp);
    config.faultAfterLines = 80;
    SimulatedPort monitor(config, "ksc01234", kMonitorId);
    SimulatedPort replugged(SimulatorConfig::ForKind(InstrumentKind::kRivu), "ksc01234", kMonitorId);
    ASSERT_EQ(replugged.Problem(), "");
    ASSERT_TRUE(Start(monitor, "KSC"));
    ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);

    Samples samples = ReadUntil(
        index, [&](const Samples&) { return monitor.Instrument().HungUp() && Enabler().IsFailed(index) == 1; }, 10s);
    ASSERT_TRUE(monitor.Instrument().HungUp());
    EXPECT_EQ(Enabler().IsFailed(index), 1);
    for (auto& [channel, values] : Drain(index)) {
        samples[channel].insert(samples[channel].end(), values.begin(), values.end());
    }
    const std::size_t rows = RowsSent(monitor.Instrument().Sent());
    ASSERT_GT(rows, 50u);
    const sim::DataModel model(config.channels);
    ExpectRows(samples, model, rows);
    for (int c = 1; c <= channels; ++c) EXPECT_EQ(samples[c].size(), rows) << "channel " << c;
    EXPECT_EQ(Enabler().LastError(kNoDevice), "The device is not responding or powered off.");
    EXPECT_EQ(Enabler().LastError(index), "");
    EXPECT_TRUE(Logged("!!! serial line of " + monitor.Path() + " failed: poll failed: the line hung up"));

    // Initialise while it is still away: the failed port is closed (stopping
    // the instrument cannot be written any more) and the port is not there.
    ASSERT_EQ(::unlink(monitor.Path().c_str()), 0);
    ASSERT_EQ(::symlink((monitor.Path() + ".unplugged").c_str(), monitor.Path().c_str()), 0);
    EXPECT_EQ(Enabler().Initialise(index), 0);
    EXPECT_EQ(Enabler().IsFailed(index), 1);
    EXPECT_TRUE(Logged("!!! command X not sent: write failed: error 5 (Input/output error)"));
    EXPECT_TRUE(Logged("!!! port " + monitor.Path() + " not opened: open failed: error 2 (No such file or directory)"));

    // Plugged in again where it was: Initialise starts afresh. The device
    // keeps reading as failed once it was.
    ASSERT_EQ(::unlink(monitor.Path().c_str()), 0);
    ASSERT_EQ(::symlink(replugged.Instrument().SlavePath().c_str(), monitor.Path().c_str()), 0);
    ASSERT_EQ(Enabler().Initialise(index), 1) << Enabler().LastError(kNoDevice);
    EXPECT_EQ(Enabler().IsFailed(index), 1);
    ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);
    samples = ReadUntil(index, [&](const Samples& s) { return EveryChannelHas(s, channels, 50); }, 10s);
    ExpectRows(samples, model, 50);
}

// Noise between the rows and one run of 9000 bytes without a line feed (the
// noise's line feed ends it): no row is lost, the run is dropped with a log
// line, and the device goes on unharmed.
TEST_F(EnablerEndToEnd, NoisyLineWithAnOverlongRunLosesNoRow) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.faults.Set(sim::Fault::kGarbage);
    config.faults.Set(sim::Fault::kOverlongLine);
    config.faultAfterLines = 40;
    config.overlongBytes = 9000;
    SimulatedPort monitor(config, "ksc01234", kMonitorId);
    ASSERT_TRUE(Start(monitor, "KSC"));
    ASSERT_EQ(channels, 10);
    ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);
    const std::size_t wanted = 100;  // the run comes after row 27
    Samples samples = ReadUntil(index, [&](const Samples& s) { return EveryChannelHas(s, channels, wanted); }, 20s);
    Stop();
    ExpectRows(samples, sim::DataModel(config.channels), wanted);
    EXPECT_EQ(Enabler().IsFailed(index), 0);
    EXPECT_EQ(Enabler().LastError(index), "");
    EXPECT_TRUE(Logged("!!! line longer than the receive ring dropped up to its line feed"));
}

// A host that stops reading while rows pour in: each channel's ring fills
// (32767 samples) and drops what comes while it is full; after the host
// reads again the later rows are exact. Ten rows a millisecond fill the rings
// in seconds rather than the minutes a real rate would take.
TEST_F(EnablerEndToEnd, SlowHostLosesOnlyWhatArrivesWhileARingIsFull) {
    constexpr std::size_t kRingHolds = 32767;
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.channels.resize(3);  // the time column and two channels: short rows
    config.periodMs = 1;
    config.rowsPerPeriod = 10;
    config.keepSentLines = false;
    SimulatedPort monitor(config, "ksc01234", kMonitorId);
    ASSERT_TRUE(Start(monitor, "KSC"));
    ASSERT_EQ(channels, 2);
    const std::uint64_t handshakeLines = monitor.Instrument().SentCount();
    ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);

    // No ReadLine until well past the rings' capacity; then the instrument
    // slows to 100 rows a second, which the host keeps up with.
    ASSERT_TRUE(monitor.Instrument().WaitUntil(
        [&](const sim::Exchange& e) { return e.sentCount >= handshakeLines + 1 + kRingHolds + 5000; }, 60s));
    RivuCommandRecord slow{};
    slow.argument = 100000;
    ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_SET_SAMPLE_PERIOD, &slow), 1);
    std::this_thread::sleep_for(1s);  // the rows already sent reach the rings

    Samples samples = ReadUntil(
        index, [&](const Samples& s) { return EveryChannelHas(s, channels, kRingHolds + 100); }, 30s);
    Stop();

    const sim::DataModel model(config.channels);
    const std::size_t rowsSent = monitor.Instrument().SentCount() - handshakeLines;
    std::size_t tail = SIZE_MAX;
    for (int c = 1; c <= channels; ++c) {
        const auto& got = samples[c];
        ASSERT_GE(got.size(), kRingHolds + 100) << "channel " << c;
        for (std::size_t row = 0; row < kRingHolds; ++row) {
            ASSERT_EQ(got[row], model.Ticks(static_cast<std::size_t>(c), row)) << "channel " << c << " row " << row;
        }
        tail = std::min(tail, got.size() - kRingHolds);
    }
    // The rest is one run of consecutive rows that starts after a gap, the
    // same rows on every channel: a row is dropped on every channel or on
    // none, so position by position the channels still hold the same rows
    // (the host lines them up by position).
    auto everyChannelMatchesFrom = [&](std::size_t first) {
        for (int c = 1; c <= channels; ++c) {
            for (std::size_t k = 0; k < tail; ++k) {
                if (samples[c][kRingHolds + k] != model.Ticks(static_cast<std::size_t>(c), first + k)) return false;
            }
        }
        return true;
    };
    std::size_t resumed = kRingHolds;
    while (resumed + tail <= rowsSent && !everyChannelMatchesFrom(resumed)) ++resumed;
    EXPECT_LE(resumed + tail, rowsSent) << "after the gap the channels do not hold the same consecutive rows";
    EXPECT_GT(resumed, kRingHolds) << "nothing was dropped, the rings never filled";
    EXPECT_EQ(Enabler().IsFailed(index), 0);
}

// A host whose controlling proxy hands out nothing at one step of the chain
// to the comments: samples flow as ever, the result finds no place (or no
// channel) in the recording, and every reference taken is given back.
TEST_F(EnablerEndToEnd, CodaWithAHostThatHandsOutNothingStillDeliversItsRows) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    config.waveformLength = 16;
    config.chunkValues = 8;
    config.cycleDelayMs = 100;
    SimulatedPort coda(config, "zvccoda0001", kCodaId);
    ASSERT_TRUE(Start(coda, "ZVCCODA"));
    StartCodaWithHost(index, host, 0.001);
    const sim::DataModel model(config.channels);

    std::size_t results = 0;
    for (host::Step step : {host::Step::ProxyObject, host::Step::Session, host::Step::SamplingObject,
                            host::Step::Sampling, host::Step::Document, host::Step::Comments,
                            host::Step::ChannelTitle}) {
        SCOPED_TRACE(static_cast<int>(step));
        host.FailStep(step);
        host.ClearComments();
        Enabler().FlushReadBuffer(index);  // rows of the round before
        ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_START_SAMPLING, nullptr), 1);
        ASSERT_TRUE(coda.Instrument().WaitForSent("m,", 5s, ++results));
        const Samples samples =
            ReadUntil(index, [&](const Samples& s) { return s.contains(1) && s.at(1).size() >= 50; }, 5s);
        RivuCommandRecord stop{};
        ASSERT_EQ(Enabler().DeviceCommand(index, RIVU_CMD_STOP_SAMPLING, &stop), 1);
        ASSERT_TRUE(coda.Instrument().WaitForCommand("S", 2s, results + 1));

        // This round's rows from its first, after any the round before left
        // on their way when the flush ran.
        ASSERT_TRUE(samples.contains(1));
        const auto& got = samples.at(1);
        ASSERT_GE(got.size(), 50u);
        std::size_t first = 0;
        auto fromHere = [&](std::size_t at) {
            for (std::size_t row = 0; row < 40; ++row) {
                if (got[at + row] != model.Ticks(1, row)) return false;
            }
            return true;
        };
        while (first < 10 && !fromHere(first)) ++first;
        EXPECT_LT(first, 10u) << "the rows of this round are not the instrument's rows";
        const auto comments = host.Comments();
        if (step == host::Step::ChannelTitle) {
            // Without titles the comments go to no channel.
            ASSERT_EQ(comments.size(), 2u);
            for (const auto& comment : comments) EXPECT_EQ(comment.channel, -1);
        } else {
            EXPECT_TRUE(comments.empty());
        }
        EXPECT_EQ(Enabler().IsFailed(index), 0);
    }
    host.FailStep(host::Step::None);
    EXPECT_EQ(Enabler().CloseAll(), 1);
    EXPECT_EQ(host.OutstandingReferences(), 0);
}

// A host that ends while the monitor streams, without CloseAll: by exit() or
// by dlclose, run as a child process and timed from here. Either ends within
// 2 s and leaves the port free for the next host.
TEST_F(EnablerEndToEnd, HostThatLeavesTheMonitorStreamingEndsAtOnce) {
    SimulatedPort monitor(SimulatorConfig::ForKind(InstrumentKind::kRivu), "ksc01234", kMonitorId);
    ASSERT_EQ(SimulatedPort::Publish({&monitor}), "");
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
        ASSERT_EQ(Enabler().FindDevice(&index, "KSC"), 1);
        EXPECT_EQ(Enabler().Initialise(index), 1) << Enabler().LastError(kNoDevice);
        EXPECT_EQ(Enabler().CloseAll(), 1);
    }

    // A reader that does not end within the unload's bounds (here blocked in
    // a log line) is waited for: the library is not unmapped under it.
    SimulatorConfig dropped = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    for (const auto& channel : dropped.channels) dropped.paramsText += channel.name + ",";
    dropped.paramsText += "Extra";  // one field more than the rows carry: every row is dropped, the first logged
    SimulatedPort busy(dropped, "ksc01235", kMonitorId);
    ASSERT_EQ(SimulatedPort::Publish({&busy}), "");
    const ChildHostRun run = RunChildHost("unload-busy");
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(run.exitCode, 0) << run.output;
    ExpectChildHostEndedAtOnce(run);
    EXPECT_TRUE(busy.Instrument().WaitForCommand("X", 1s));
}

// rivu-host as a user runs it: a child process with its own standard output
// and error, sent `signal` once `when` holds for what it printed so far (or
// never), ended with SIGKILL after `limit` seconds.
struct HostRun {
    std::string out, err;
    int exitCode = -1;                          // -1: did not exit by itself
    double seconds = 0;                         // from start to end
    double signalledAt = -1, afterSignal = -1;  // seconds from start; from the signal to the end
    double cpuSeconds = 0;                      // user and system time of the child
};

HostRun RunCommand(std::vector<std::string> words, const std::function<bool(const HostRun&)>& when = {},
                   int signal = SIGTERM, double limit = 60) {
    HostRun run;
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    for (int fd : {out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    const bool spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (!spawned) return run;
    pollfd ends[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&run.out, &run.err};
    for (int open = 2; open > 0 && elapsed() < limit;) {
        if (::poll(ends, 2, 50) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (ends[i].fd < 0 || ends[i].revents == 0) continue;
                char chunk[4096];
                const ssize_t count = ::read(ends[i].fd, chunk, sizeof chunk);
                if (count > 0) {
                    texts[i]->append(chunk, static_cast<std::size_t>(count));
                } else {
                    ::close(ends[i].fd);
                    ends[i].fd = -1;
                    --open;
                }
            }
        }
        if (when && run.signalledAt < 0 && when(run)) {
            run.signalledAt = elapsed();
            ::kill(child, signal);
        }
    }
    for (const pollfd& end : ends) {
        if (end.fd >= 0) ::close(end.fd);
    }
    int status = 0;
    rusage usage = {};
    pid_t ended = 0;
    while ((ended = ::wait4(child, &status, WNOHANG, &usage)) == 0 && elapsed() < limit) {
        std::this_thread::sleep_for(5ms);
    }
    if (ended != child) {
        ::kill(child, SIGKILL);
        ::wait4(child, &status, 0, &usage);
    } else if (WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    }
    run.seconds = elapsed();
    if (run.signalledAt >= 0) run.afterSignal = run.seconds - run.signalledAt;
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return run;
}

HostRun RunHost(const std::vector<std::string>& arguments, const std::function<bool(const HostRun&)>& when = {},
                int signal = SIGTERM) {
    std::vector<std::string> words = {HostProgramPath()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return RunCommand(words, when, signal);
}

std::string Shown(const HostRun& run) { return "stdout:\n" + run.out + "\nstderr:\n" + run.err; }

// A table as rivu-host writes it: the "# " fact lines, the header, the rows.
struct Table {
    std::map<std::string, std::string> facts;
    std::string header;
    std::vector<std::string> rows;
    bool endsWhole = false;  // the last line has its line feed
};

Table ReadTable(const std::string& text) {
    Table table;
    table.endsWhole = !text.empty() && text.back() == '\n';
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# ", 0) == 0 && table.header.empty()) {
            const std::size_t colon = line.find(": ");
            if (colon != std::string::npos) table.facts[line.substr(2, colon - 2)] = line.substr(colon + 2);
        } else if (table.header.empty()) {
            table.header = line;
        } else {
            table.rows.push_back(line);
        }
    }
    return table;
}

std::size_t Fields(const std::string& row) {
    std::size_t fields = 1;
    bool quoted = false;
    for (char c : row) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) ++fields;
    }
    return fields;
}

// "" when rivu-host accounts for every row the simulated instrument sent:
// all in the file, `dropped` said to be dropped by the enabler, or the few
// that came while the stop was on its way.
std::string SentRowsNotRecorded(const std::string& out, std::size_t rows, std::size_t dropped = 0) {
    std::size_t sent = 0, missing = 0, saidDropped = 0;
    if (const std::size_t every = out.find("Every row the simulated instrument sent ("); every != std::string::npos) {
        sent = std::stoul(out.substr(every + 41));
    } else if (const std::size_t some = out.find("The simulated instrument sent "); some != std::string::npos) {
        sent = std::stoul(out.substr(some + 30));
        if (const std::size_t by = out.find("; the enabler dropped ", some); by != std::string::npos) {
            saidDropped = std::stoul(out.substr(by + 22));
        }
        if (const std::size_t last = out.find("; the last ", some); last != std::string::npos) {
            missing = std::stoul(out.substr(last + 11));
        } else if (out.find("; every other one is in the files.", some) == std::string::npos) {
            return "no count of the missing rows";
        }
    } else {
        return "no account of the rows sent";
    }
    if (saidDropped != dropped) {
        return std::to_string(saidDropped) + " said to be dropped by the enabler, " + std::to_string(dropped) +
               " were";
    }
    if (sent != rows + missing + saidDropped) {
        return std::to_string(sent) + " sent, " + std::to_string(rows) + " in the file, " + std::to_string(missing) +
               " said to be missing";
    }
    return missing <= 3 ? "" : std::to_string(missing) + " rows missing";
}

// The temporary folder of the simulated instrument, from "... on /tmp/x/link -> ...".
std::string SimulatorFolder(const std::string& out) {
    const std::size_t on = out.find(" on /tmp/");
    if (on == std::string::npos) return {};
    const std::size_t slash = out.find('/', on + 9);
    return out.substr(on + 4, slash - on - 4);
}

class RivuHostEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() / ("rivu-host-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string File(const std::string& name) const { return (folder_ / name).string(); }

    std::filesystem::path folder_;
};

// Item by item of a recording: samples with the recording's facts, and the
// blood-pressure results beside them at the sample they belong to. The demo's
// recording, shorter: it too ends between measurement cycles. The EDF+ file
// goes through an independent reader (MNE) against the CSV and the printed
// comments, and the picture is drawn from it.
TEST_F(RivuHostEndToEnd, RecordsASimulatedCodaWithItsCommentsBesideTheSamples) {
    const std::string csv = File("coda.csv"), edf = File("coda.edf"), png = File("coda.png");
    const HostRun run = RunHost({"--simulate", "coda", "--seconds", "6", "--csv", csv, "--edf", edf});
    ASSERT_EQ(run.exitCode, 0) << Shown(run);
    EXPECT_EQ(run.out.find("error:"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "") << run.err;
    EXPECT_NE(run.out.find("Zarvonic CODA by Zarvonic NZ Ltd."), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("VPR"), std::string::npos) << run.out;
    // The channel table's scaling column starts in one column on every row, "µL" included.
    std::set<std::size_t> scalingColumns;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t scaling = line.find("0,0;");
        if (scaling == std::string::npos) continue;
        scalingColumns.insert(static_cast<std::size_t>(
            std::count_if(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(scaling),
                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; })));
    }
    EXPECT_EQ(scalingColumns.size(), 1u) << run.out;
    // One cycle in 6 s, on the VPR channel, the eighth of the channel table.
    EXPECT_NE(run.out.find("Blood-pressure results: 1, notes and errors: 0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("channel 8): Systolic BP = "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("channel 8): Diastolic BP = "), std::string::npos) << run.out;

    Table samples = ReadTable(ReadWholeFile(csv));
    EXPECT_EQ(samples.header.rfind("time_s,\"Systolic BP (mmHg)\"", 0), 0u) << samples.header;
    EXPECT_NE(samples.header.find("\"VPR (mmHg)\""), std::string::npos) << samples.header;
    EXPECT_GT(samples.rows.size(), 200u);
    EXPECT_TRUE(samples.endsWhole);
    for (const std::string& row : samples.rows) ASSERT_EQ(Fields(row), 9u) << row;
    EXPECT_EQ(samples.facts["device"], "Zarvonic CODA by Zarvonic NZ Ltd.");
    EXPECT_EQ(samples.facts["serial number"], "0001");
    EXPECT_EQ(samples.facts["sample period"], "20000 us");
    EXPECT_EQ(samples.facts["firmware"].empty(), false);
    EXPECT_EQ(samples.facts["start"].size(), 24u) << samples.facts["start"];  // 2026-12-08T13:45:00.125Z
    // Every row the instrument sent is accounted for: in the file, or said
    // to have come while the stop was on its way.
    EXPECT_GE(samples.rows.size(), 300u);  // 6 s at 20 ms
    EXPECT_EQ(SentRowsNotRecorded(run.out, samples.rows.size()), "") << run.out;

    const Table comments = ReadTable(ReadWholeFile(File("coda-comments.csv")));
    EXPECT_EQ(comments.facts, samples.facts);
    EXPECT_EQ(comments.header, "time_s,sample,channel,text");
    ASSERT_EQ(comments.rows.size(), 2u) << ReadWholeFile(File("coda-comments.csv"));
    // time_s,sample,channel,"text": the sample's row exists and its time matches.
    for (std::size_t i = 0; i < 2; ++i) {
        std::istringstream fields(comments.rows[i]);
        std::string time, sample, channel, text;
        std::getline(fields, time, ',');
        std::getline(fields, sample, ',');
        std::getline(fields, channel, ',');
        std::getline(fields, text);
        EXPECT_EQ(channel, "8");
        EXPECT_EQ(text.rfind(i == 0 ? "\"Systolic BP = " : "\"Diastolic BP = ", 0), 0u) << text;
        ASSERT_LT(std::stoul(sample), samples.rows.size());
        EXPECT_EQ(samples.rows[std::stoul(sample)].substr(0, time.size()), time);
    }
    EXPECT_EQ(SimulatorFolder(run.out).empty(), false) << run.out;
    EXPECT_FALSE(std::filesystem::exists(SimulatorFolder(run.out)));

    const std::string source = RIVU_SOURCE_DIR;
    const HostRun plot = RunCommand({"/usr/bin/python3", source + "/tools/plot-recording.py", edf, png});
    EXPECT_EQ(plot.exitCode, 0) << Shown(plot);
    std::ofstream(File("printed.txt")) << run.out;
    const HostRun checks = RunCommand(
        {"/usr/bin/python3", source + "/tests/resources/check_recording.py", edf, csv, File("printed.txt"), png});
    EXPECT_EQ(checks.exitCode, 0) << Shown(checks);
}

// Rows are in the file while recording; TERM, HUP and Ctrl-C end it at once
// with the files whole and nothing left behind. Outputs are checked before
// the instrument starts: an existing file is kept unless --force, a path that
// cannot be written is refused at once, and "-" is standard output.
TEST_F(RivuHostEndToEnd, KeepsTheRecordingWhenStoppedAndChecksItsOutputsFirst) {
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(signal);
        const std::string csv = File("stopped-" + std::to_string(signal) + ".csv");
        const std::string edf = File("stopped-" + std::to_string(signal) + ".edf");
        // Signalled once 60 rows are in the file, long before the 60 s are up.
        const HostRun run = RunHost(
            {"--simulate", "coda", "--seconds", "60", "--csv", csv, "--edf", edf},
            [&](const HostRun&) { return ReadTable(ReadWholeFile(csv)).rows.size() >= 60; }, signal);
        ASSERT_GE(run.signalledAt, 0) << Shown(run);
        EXPECT_EQ(run.exitCode, 0) << Shown(run);
        EXPECT_LT(run.afterSignal, 2.0) << Shown(run);
        EXPECT_NE(run.err.find("stopped by "), std::string::npos) << run.err;
        const Table samples = ReadTable(ReadWholeFile(csv));
        EXPECT_TRUE(samples.endsWhole);
        EXPECT_GE(samples.rows.size(), 60u);
        for (const std::string& row : samples.rows) ASSERT_EQ(Fields(row), 9u) << row;
        EXPECT_NE(run.out.find(std::to_string(samples.rows.size()) + " rows"), std::string::npos) << run.out;
        // The EDF+ file is closed whole too: its header counts the data
        // records that follow it.
        const std::string file = ReadWholeFile(edf);
        ASSERT_GT(file.size(), 256u) << Shown(run);
        const long records = std::stol(file.substr(236, 8)), headerBytes = std::stol(file.substr(184, 8));
        EXPECT_GE(records, 1) << file.substr(0, 256);
        EXPECT_EQ((static_cast<long>(file.size()) - headerBytes) % records, 0) << file.substr(0, 256);
        EXPECT_EQ(ReadTable(ReadWholeFile(File("stopped-" + std::to_string(signal) + "-comments.csv"))).header,
                  "time_s,sample,channel,text");
        EXPECT_FALSE(std::filesystem::exists(SimulatorFolder(run.out))) << run.out;
    }

    const std::string kept = File("stopped-" + std::to_string(SIGTERM) + ".csv");
    const std::string before = ReadWholeFile(kept);
    HostRun run = RunHost({"--simulate", "coda", "--seconds", "1", "--csv", kept});
    EXPECT_EQ(run.exitCode, 13) << Shown(run);
    EXPECT_NE(run.err.find(kept + " exists; give --force to overwrite it"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");  // the instrument was never started
    EXPECT_EQ(ReadWholeFile(kept), before);
    // A comments file in the way refuses the run too, and the samples' file
    // it had made is gone again.
    const std::string fresh = File("fresh.csv");
    std::ofstream(File("fresh-comments.csv")) << "notes\n";
    run = RunHost({"--simulate", "coda", "--seconds", "1", "--csv", fresh});
    EXPECT_EQ(run.exitCode, 13) << Shown(run);
    EXPECT_FALSE(std::filesystem::exists(fresh));
    EXPECT_EQ(ReadWholeFile(File("fresh-comments.csv")), "notes\n");

    run = RunHost({"--simulate", "coda", "--seconds", "1", "--csv", kept, "--force"});
    EXPECT_EQ(run.exitCode, 0) << Shown(run);
    EXPECT_LT(ReadTable(ReadWholeFile(kept)).rows.size(), 60u);

    run = RunHost({"--simulate", "coda", "--seconds", "1", "--csv", File("missing/folder.csv")});
    EXPECT_EQ(run.exitCode, 9) << Shown(run);
    EXPECT_NE(run.err.find("cannot write " + File("missing/folder.csv") + ": No such file or directory"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");  // refused before the instrument or the enabler was started

    // A directory is not a file that exists; a disk full from the start is
    // found before the instrument starts.
    std::filesystem::create_directories(File("adir"));
    run = RunHost({"--simulate", "coda", "--seconds", "1", "--csv", File("adir")});
    EXPECT_EQ(run.exitCode, 9) << Shown(run);
    EXPECT_NE(run.err.find("cannot write " + File("adir") + ": Is a directory"), std::string::npos) << run.err;
    run = RunHost({"--simulate", "coda", "--seconds", "1", "--csv", "/dev/full", "--force"});
    EXPECT_EQ(run.exitCode, 9) << Shown(run);
    EXPECT_NE(run.err.find("cannot write /dev/full: No space left on device\nrivu-host: the instrument was not started"),
              std::string::npos)
        << run.err;
    // A disk that fills during the recording (a small tmpfs, where this
    // process may mount one): the recording stops at the first failure, one
    // message per file, every file whole to its last row or data record.
    const std::string small = File("small");
    std::filesystem::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") == 0) {
        // Unmounted however the checks below end (an ASSERT returns early).
        struct Unmount {
            const std::string& at;
            ~Unmount() { ::umount(at.c_str()); }
        } unmount{small};
        run = RunHost({"--simulate", "rivu", "--period-us", "5000", "--seconds", "30", "--csv", small + "/full.csv",
                       "--edf", small + "/full.edf"});
        EXPECT_EQ(run.exitCode, 9) << Shown(run);
        for (const std::string name : {"full.csv", "full.edf"}) {
            const std::string message = "cannot write " + small + "/" + name + ": No space left on device";
            const std::size_t first = run.err.find(message);
            EXPECT_NE(first, std::string::npos) << run.err;
            EXPECT_EQ(run.err.find(message, first + 1), std::string::npos) << run.err;
        }
        EXPECT_NE(run.out.find(" rows, "), std::string::npos) << run.out;
        const Table full = ReadTable(ReadWholeFile(small + "/full.csv"));
        EXPECT_TRUE(full.endsWhole);
        for (const std::string& row : full.rows) ASSERT_EQ(Fields(row), 11u) << row;
        const std::string edf = ReadWholeFile(small + "/full.edf");
        ASSERT_GT(edf.size(), 256u);
        const long records = std::stol(edf.substr(236, 8)), headerBytes = std::stol(edf.substr(184, 8));
        EXPECT_GE(records, 1) << edf.substr(0, 256);
        EXPECT_EQ((static_cast<long>(edf.size()) - headerBytes) % records, 0) << edf.substr(0, 256);
        const HostRun mne = RunCommand({"/usr/bin/python3", "-c",
                                        "import mne,sys; print(mne.io.read_raw_edf(sys.argv[1], verbose=False).n_times)",
                                        small + "/full.edf"});
        EXPECT_EQ(mne.out, std::to_string(records * 200) + "\n") << Shown(mne);
    }

    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(folder_);
    run = RunHost({"--simulate", "rivu", "--seconds", "2", "--csv", "-"});
    std::filesystem::current_path(here);
    EXPECT_EQ(run.exitCode, 0) << Shown(run);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "-"));
    EXPECT_FALSE(std::filesystem::exists(folder_ / "--comments.csv"));
    const Table written = ReadTable(run.out);
    EXPECT_EQ(written.header.rfind("time_s,", 0), 0u) << run.out;
    EXPECT_GT(written.rows.size(), 50u);
    EXPECT_NE(run.err.find("Recording instrument 0"), std::string::npos) << run.err;
}

// Waiting for samples costs (almost) no processor time: at 10 rows a second
// the host (simulated instrument included) mostly waits. A host that polls
// without pausing gets as much processor time as a busy loop running beside
// it, however loaded the machine is.
TEST_F(RivuHostEndToEnd, IdlesWhileRecording) {
    std::atomic<bool> done{false};
    double busyLoopSeconds = 0;
    std::thread busyLoop([&] {
        while (!done.load(std::memory_order_relaxed)) {
        }
        timespec used = {};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
        busyLoopSeconds = static_cast<double>(used.tv_sec) + used.tv_nsec / 1e9;
    });
    const HostRun run =
        RunHost({"--simulate", "rivu", "--period-us", "100000", "--seconds", "4", "--csv", File("idle.csv")});
    done.store(true);
    busyLoop.join();
    ASSERT_EQ(run.exitCode, 0) << Shown(run);
    EXPECT_GT(ReadTable(ReadWholeFile(File("idle.csv"))).rows.size(), 30u);
    EXPECT_LT(run.cpuSeconds, 0.5 * busyLoopSeconds)
        << run.cpuSeconds << " s of processor time in " << run.seconds << " s; a busy loop got " << busyLoopSeconds;
}

// Failures are told at once and by the message that applies.
TEST_F(RivuHostEndToEnd, TellsFailuresAtOnceWithTheMessageThatApplies) {
    // The port vanishes soon after sampling starts: told within about a
    // second, with what was recorded until then kept.
    const std::string csv = File("vanished.csv");
    HostRun run = RunHost({"--simulate", "coda,hang-up", "--seconds", "30", "--csv", csv});
    EXPECT_EQ(run.exitCode, 11) << Shown(run);
    const std::size_t failed = run.err.find("port failed after ");
    ASSERT_NE(failed, std::string::npos) << run.err;
    EXPECT_LT(std::stod(run.err.substr(failed + 18)), 1.5) << run.err;
    EXPECT_TRUE(ReadTable(ReadWholeFile(csv)).endsWhole);

    // A silent instrument: the wait shows, and Ctrl-C ends it at once.
    run = RunHost(
        {"--simulate", "coda,silent", "--csv", File("silent.csv")},
        [](const HostRun& r) { return r.out.find("waiting for instrument 0 to answer") != std::string::npos; }, SIGINT);
    EXPECT_EQ(run.exitCode, 12) << Shown(run);
    EXPECT_LT(run.signalledAt, 3.0) << Shown(run);
    EXPECT_LT(run.afterSignal, 1.0) << Shown(run);
    EXPECT_NE(run.err.find("stopped by Ctrl-C (SIGINT) while waiting for instrument 0"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(File("silent.csv")));
    EXPECT_FALSE(std::filesystem::exists(File("silent-comments.csv")));
    EXPECT_FALSE(std::filesystem::exists(SimulatorFolder(run.out))) << run.out;

    // With EDF+ too, a port that vanishes is exit code 11, and an EDF+ file
    // without a data record is not left behind.
    run = RunHost({"--simulate", "coda,hang-up", "--seconds", "30", "--csv", File("gone.csv"), "--edf", File("gone.edf")});
    EXPECT_EQ(run.exitCode, 11) << Shown(run);
    EXPECT_FALSE(std::filesystem::exists(File("gone.edf"))) << Shown(run);
    EXPECT_TRUE(ReadTable(ReadWholeFile(File("gone.csv"))).endsWhole);

    // A Rivu CODA is refused as soon as it has said what it is (the wait
    // ends there), with that message and a hint for a CODA named without
    // its id.
    run = RunHost({"--simulate", "rivu,rivu-coda", "--csv", File("refused.csv")});
    EXPECT_EQ(run.exitCode, 5) << Shown(run);
    EXPECT_LT(run.seconds, 6.0) << Shown(run);
    EXPECT_NE(run.err.find("rivu-host: instrument 0 cannot be used: Rivu CODA Monitor is not supported by Vexamora."),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("=ZVCCODA0001A"), std::string::npos) << run.err;
    EXPECT_EQ(Shown(run).find("power cycle"), std::string::npos) << Shown(run);
    EXPECT_FALSE(std::filesystem::exists(File("refused.csv")));

    // One unusable port does not hide a good one: each is described, the
    // unusable one with the system's reason, and the first usable one is
    // recorded from unless --device names another. A regular file as the
    // port says what the system said, with the enabler's own message.
    std::ofstream(File("not-a-port")) << "x\n";
    run = RunHost({"--simulate", "coda", "--port", File("not-a-port"), "--list", "--json"});
    EXPECT_EQ(run.exitCode, 0) << Shown(run);
    EXPECT_NE(run.out.find("\"usable\": false, \"problem\": \"port " + File("not-a-port") +
                           " not opened: isatty failed: error 25 (Inappropriate ioctl for device)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"identity\": \"ZVCCODA0001A\""), std::string::npos) << run.out;
    run = RunHost({"--simulate", "coda", "--port", File("not-a-port"), "--seconds", "1", "--csv", File("first.csv")});
    EXPECT_EQ(run.exitCode, 0) << Shown(run);
    EXPECT_NE(run.out.find("Device 1: cannot be used"), std::string::npos) << run.out;
    run = RunHost({"--simulate", "coda", "--port", File("not-a-port"), "--device", "1", "--csv", File("second.csv")});
    EXPECT_EQ(run.exitCode, 5) << Shown(run);
    EXPECT_NE(run.err.find("the enabler's message: The device is not responding or powered off."), std::string::npos)
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(File("second.csv")));

    // A port that cannot be opened says why, from the system.
    run = RunHost({"--port", File("no-such-port") + "=ZVCCODA0001A", "--list"});
    EXPECT_EQ(run.exitCode, 5) << Shown(run);
    EXPECT_NE(run.err.find("cannot open " + File("no-such-port") + ": No such file or directory"), std::string::npos)
        << run.err;
    const std::string hostFolder = std::filesystem::path(HostProgramPath()).parent_path().parent_path().string();
    const auto asNobody = [](std::vector<std::string> command) {
        command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return command;
    };
    // The check needs a user who can reach the build but not the port: a
    // checkout in a folder only root may enter (mktemp -d) leaves it out.
    if (::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0 &&
        RunCommand(asNobody({"/usr/bin/test", "-x", hostFolder})).exitCode == 0) {
        // Run as a user who may not open the port (root may open any).
        SimulatedPort coda(SimulatorConfig::ForKind(InstrumentKind::kCoda), "zvccoda0001", kCodaId);
        ASSERT_EQ(coda.Problem(), "");
        const std::string port = std::filesystem::canonical(coda.Path()).string();
        ASSERT_EQ(::chmod(port.c_str(), 0600), 0);
        run = RunCommand(asNobody({HostProgramPath(), "--port", port + "=ZVCCODA0001A", "--list"}));
        EXPECT_EQ(run.exitCode, 5) << Shown(run);
        EXPECT_NE(run.err.find("cannot open " + port +
                               ": Permission denied (permission denied: add your user to the "
                               "group that owns the port, usually dialout"),
                  std::string::npos)
            << run.err;
    }
}

// A line the enabler drops (an overlong run swallows the row after it) makes
// every later row one period early: rivu-host marks it among the comments,
// CSV and EDF+, at the row where it noticed it (never before the row that was
// lost, as the instrument's values show), and counts it at the end.
TEST_F(RivuHostEndToEnd, MarksALineTheEnablerDroppedAtItsRow) {
    const std::string csv = File("dropped.csv"), edf = File("dropped.edf");
    const HostRun run = RunHost({"--simulate", "rivu,overlong-line", "--seconds", "3", "--csv", csv, "--edf", edf});
    ASSERT_EQ(run.exitCode, 0) << Shown(run);
    const Table samples = ReadTable(ReadWholeFile(csv));
    const Table comments = ReadTable(ReadWholeFile(File("dropped-comments.csv")));
    ASSERT_EQ(comments.rows.size(), 1u) << Shown(run);
    const std::string& comment = comments.rows[0];
    EXPECT_NE(comment.find(",,\"enabler: line longer than the receive ring dropped up to its line feed; later rows "
                           "are one sample period early\""),
              std::string::npos)
        << comment;
    const std::size_t noticed = std::stoul(comment.substr(comment.find(',') + 1));

    // The rows the files can have lost: from row d on, each holds the
    // instrument's row d + 1.
    const sim::DataModel model(SimulatorConfig::ForKind(InstrumentKind::kRivu).channels);
    auto holds = [&](std::size_t row, std::uint64_t sent) {
        std::istringstream fields(samples.rows[row]);
        std::string field;
        std::getline(fields, field, ',');  // time_s
        for (std::size_t column = 1; std::getline(fields, field, ','); ++column) {
            if (std::fabs(std::stod(field) - model.Value(column, sent)) > 1e-6) return false;
        }
        return true;
    };
    std::vector<std::size_t> lost;
    for (std::size_t d = 0; d < samples.rows.size(); ++d) {
        bool fits = true;
        for (std::size_t row = 0; row < samples.rows.size() && fits; ++row) fits = holds(row, row < d ? row : row + 1);
        if (fits) lost.push_back(d);
    }
    ASSERT_FALSE(lost.empty()) << "the rows are not the instrument's with one row lost";
    // Noticed within half a second of the loss (the host reads every 10 ms).
    EXPECT_GE(noticed, lost.front()) << noticed << " " << ::testing::PrintToString(lost);
    EXPECT_LE(noticed, lost.back() + 25) << noticed << " " << ::testing::PrintToString(lost);

    // The same comment as an EDF+ annotation at its row's time.
    const long long onsetUs = static_cast<long long>(noticed) * 20000;
    std::string onset = std::to_string(onsetUs / 1000000);
    if (const long long fraction = onsetUs % 1000000; fraction != 0) {
        std::string digits = std::to_string(1000000 + fraction).substr(1);
        digits.erase(digits.find_last_not_of('0') + 1);
        onset += "." + digits;
    }
    EXPECT_NE(ReadWholeFile(edf).find("+" + onset + "\x14" + "enabler: line longer than the receive ring"),
              std::string::npos)
        << onset;
    EXPECT_NE(run.err.find("rivu-host: 1 line the instrument sent was dropped by the enabler; later rows are shifted "
                           "one sample period earlier for each (noticed at row " +
                           std::to_string(noticed) + ", marked there among the comments)"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(SentRowsNotRecorded(run.out, samples.rows.size(), 1), "") << run.out;
}

// Simulated instruments and named ports: --port with a serial, fault modes
// through --simulate, the offered periods in the device report.
TEST_F(RivuHostEndToEnd, ReachesSimulatedInstrumentsOnNamedPorts) {
    SimulatedPort coda(SimulatorConfig::ForKind(InstrumentKind::kCoda), "port-without-a-serial", kCodaId);
    ASSERT_EQ(coda.Problem(), "");
    HostRun run = RunHost({"--port", coda.Path() + "=ZVCCODA0001A", "--list"});
    EXPECT_EQ(run.exitCode, 0) << Shown(run);
    EXPECT_NE(run.out.find("Zarvonic CODA by Zarvonic NZ Ltd."), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("offered sample periods (us): 5000, 10000, 20000, 50000, 100000"), std::string::npos)
        << run.out;

    // Recorded through a named port: the rows the instrument sent until the
    // stop are in the file (bar those sent while the stop was on its way).
    run = RunHost({"--port", coda.Path() + "=ZVCCODA0001A", "--seconds", "2", "--csv", File("named.csv")});
    EXPECT_EQ(run.exitCode, 0) << Shown(run);
    const std::size_t named = ReadTable(ReadWholeFile(File("named.csv"))).rows.size();
    EXPECT_GE(named, 100u) << run.out;
    EXPECT_LE(coda.Instrument().RowsSent(), named + 3) << run.out;

    run = RunHost({"--port", coda.Path() + "=ZVCCODA0001A", "--period-us", "7000", "--csv", File("rate.csv")});
    EXPECT_EQ(run.exitCode, 7) << Shown(run);
    EXPECT_NE(run.err.find("7000 us (offered: 5000, 10000, 20000, 50000, 100000)"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(File("rate.csv")));

    run = RunHost({"--simulate", "coda,no-such-fault", "--list"});
    EXPECT_EQ(run.exitCode, 10) << Shown(run);
    EXPECT_NE(run.err.find("unknown fault \"no-such-fault\" (faults: silent, "), std::string::npos) << run.err;

    run = RunHost({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("exit codes:"), std::string::npos) << run.out;
}

// The device report as JSON, read by a JSON parser, with the progress lines
// off standard output; --help as the README shows it; an EDF+ path that
// cannot be written (or standard output) is refused before anything starts,
// with the exit code of any output that cannot be written.
TEST_F(RivuHostEndToEnd, ReportsAsTheReadmeSays) {
    HostRun run = RunHost({"--simulate", "coda", "--list", "--json"});
    ASSERT_EQ(run.exitCode, 0) << Shown(run);
    std::ofstream(File("report.json")) << run.out;
    const HostRun json = RunCommand({"/usr/bin/python3", "-c",
                                     "import json,sys; d=json.load(open(sys.argv[1]))[0]; c=d['channels']; "
                                     "print(d['vendor'], d['model'], len(c), c[4]['unit'], c[5]['raw_high'], "
                                     "d['offered_sample_periods_us'])",
                                     File("report.json")});
    EXPECT_EQ(json.exitCode, 0) << Shown(json);
    EXPECT_EQ(json.out, "Zarvonic NZ Ltd. Zarvonic CODA 8 \u00b5L 500 [5000, 10000, 20000, 50000, 100000]\n")
        << Shown(json);
    EXPECT_NE(run.err.find("Found 1 instrument(s)"), std::string::npos) << run.err;

    // No instrument: still JSON. Bad options: one line each, exit code 2.
    run = RunHost({"--port", File("no-port"), "--select", "NOTHING-MATCHES", "--list", "--json"});
    EXPECT_EQ(run.exitCode, 4) << Shown(run);
    EXPECT_EQ(run.out, "[]\n") << Shown(run);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--csv", "--csv"}, {"--period-us", "20000.5"}, {"--bogus"}, {"--csv", "a.csv", "--comments", "a.csv"}}) {
        run = RunHost(bad);
        EXPECT_EQ(run.exitCode, 2) << Shown(run);
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_NE(run.err.find("see rivu-host --help"), std::string::npos) << run.err;
    }
    run = RunHost({"--library", "/nonexistent.so", "--list"});
    EXPECT_EQ(run.exitCode, 3) << Shown(run);
    EXPECT_NE(run.err.find("No such file or directory"), std::string::npos) << run.err;
    run = RunCommand({std::filesystem::path(HostProgramPath()).parent_path().string() + "/rivu-sim", "--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("rivu-sim ", 0), 0u) << run.out;
    // -q: errors and warnings only; the default name carries the start time.
    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(folder_);
    run = RunHost({"--simulate", "rivu", "--seconds", "1", "-q"});
    std::filesystem::current_path(here);
    EXPECT_EQ(run.exitCode, 0) << Shown(run);
    EXPECT_EQ(run.out, "");
    std::size_t named = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == 24 && name.rfind("rivu-", 0) == 0 && name.ends_with(".csv")) ++named;
    }
    EXPECT_EQ(named, 1u);

    run = RunHost({"--help"});
    EXPECT_NE(ReadWholeFile(std::string(RIVU_SOURCE_DIR) + "/README.md").find(run.out), std::string::npos) << run.out;
    run = RunHost({"--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("rivu-host ", 0), 0u) << run.out;

    run = RunHost({"--simulate", "coda", "--seconds", "1", "--csv", File("x.csv"), "--edf", "/nonexistent/x.edf"});
    EXPECT_EQ(run.exitCode, 9) << Shown(run);
    EXPECT_NE(run.err.find("cannot write /nonexistent/x.edf"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");  // refused before the enabler or the instrument was started
    EXPECT_FALSE(std::filesystem::exists(File("x.csv")));
    run = RunHost({"--simulate", "coda", "--seconds", "1", "--csv", File("x.csv"), "--edf", "-"});
    EXPECT_EQ(run.exitCode, 2) << Shown(run);
    // An EDF+ file in the way is kept unless --force, like the CSV.
    std::ofstream(File("kept.edf")) << "kept\n";
    run = RunHost({"--simulate", "coda", "--seconds", "1", "--csv", File("x.csv"), "--edf", File("kept.edf")});
    EXPECT_EQ(run.exitCode, 13) << Shown(run);
    EXPECT_EQ(ReadWholeFile(File("kept.edf")), "kept\n");
}

}  // namespace
}  // namespace rivu::test

// The test program is also the child host of the test above.
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == rivu::test::kChildHostFlag) return rivu::test::PlayChildHost(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
