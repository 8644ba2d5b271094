// The simulated instrument driven through its pseudo-terminal the way the
// enabler drives a port: framed commands in, CR LF lines out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "rivu-sim/handshake_replies.h"
#include "rivu-sim/signal_model.h"
#include "rivu-sim/simulator.h"
#include "tests/support/test_support.h"

namespace rivu::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The enabler's side of the line: the slave opened raw, commands written as
// frames, received bytes cut at CR LF.
class PortSide {
public:
    explicit PortSide(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return;
        termios settings{};
        tcgetattr(fd_, &settings);
        cfmakeraw(&settings);
        tcsetattr(fd_, TCSANOW, &settings);
    }
    ~PortSide() {
        if (fd_ >= 0) close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }

    void SendRaw(std::string_view bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    // Each command framed, one write each.
    template <typename... Commands>
    void Send(const Commands&... commands) {
        (SendRaw(":" + std::string(commands) + "\n"), ...);
    }

    // The next line ending in CR LF, without them; bytes of other lines
    // (noise ending in a bare LF) are skipped and kept in Raw().
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = Clock::now() + timeout;
        while (true) {
            const std::size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending_.substr(0, lf);
                pending_.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                    return line;
                }
                continue;
            }
            if (!Fill(deadline)) return std::nullopt;
        }
    }
    std::vector<std::string> ReadLines(std::size_t count) {
        std::vector<std::string> lines;
        while (lines.size() < count) {
            std::optional<std::string> line = ReadLine();
            if (!line) break;
            lines.push_back(*line);
        }
        return lines;
    }
    // Reads until the line matches; the lines before it are returned too.
    std::vector<std::string> ReadUntil(const std::function<bool(const std::string&)>& last,
                                       std::chrono::milliseconds timeout = 10s) {
        std::vector<std::string> lines;
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            std::optional<std::string> line =
                ReadLine(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
            if (!line) break;
            lines.push_back(*line);
            if (last(*line)) break;
        }
        return lines;
    }
    // Everything that arrives within the period.
    std::string Collect(std::chrono::milliseconds period) {
        const auto deadline = Clock::now() + period;
        while (Fill(deadline)) {
        }
        std::string all = std::move(pending_);
        pending_.clear();
        return all;
    }
    // The line was hung up: reading reports end of file or EIO.
    bool SeesHangUp(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            pollfd fd{fd_, POLLIN, 0};
            poll(&fd, 1, 50);
            char buffer[4096];
            const ssize_t count = read(fd_, buffer, sizeof buffer);
            if (count == 0 || (count < 0 && errno == EIO)) return true;
            if (count > 0) raw_.append(buffer, static_cast<std::size_t>(count));
        }
        return false;
    }
    const std::string& Raw() const { return raw_; }

private:
    bool Fill(Clock::time_point deadline) {
        while (true) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd fd{fd_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[16384];
            const ssize_t count = read(fd_, buffer, sizeof buffer);
            if (count > 0) {
                pending_.append(buffer, static_cast<std::size_t>(count));
                raw_.append(buffer, static_cast<std::size_t>(count));
                return true;
            }
            if (count == 0 || errno != EAGAIN) return false;
        }
    }
    int fd_ = -1;
    std::string pending_;
    std::string raw_;
};

using test::Split;

SimulatorConfig SmallCoda() {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    config.waveformLength = 40;
    config.chunkValues = 10;
    config.chunkIntervalMs = 20;
    config.cycleDelayMs = 0;
    config.cyclePeriodMs = 400;
    return config;
}

// A started simulator with the port side open on it.
struct Bench {
    explicit Bench(SimulatorConfig config) : sim(std::move(config)) {
        started = sim.Start();
        if (started) port.emplace(sim.SlavePath());
    }
    Simulator sim;
    bool started = false;
    std::optional<PortSide> port;
};

#define START_BENCH(bench, config)                       \
    Bench bench(config);                                 \
    ASSERT_TRUE(bench.started) << bench.sim.LastError(); \
    ASSERT_TRUE(bench.port->IsOpen());                   \
    PortSide& port = *bench.port

TEST(SimulatorHandshake, MonitorAnswersTheStartUpCommandsInOrder) {
    const SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    START_BENCH(bench, config);
    const std::size_t columns = config.channels.size();
    const std::string ack = "U" + std::string(columns, '1');

    port.Send("S");
    EXPECT_EQ(port.ReadLine(), "S");
    port.Send("V");
    EXPECT_EQ(port.ReadLine(), "V,2,1,0,1,RV-2000,1");
    port.Send("F");
    const std::vector<std::string> params = port.ReadLines(3);
    ASSERT_EQ(params.size(), 3u);
    EXPECT_EQ(params[0], "F");
    EXPECT_EQ(Split(params[1]).size(), columns);
    EXPECT_EQ(params[2], "0.1,0.05,0.02,0.01,0.005,EndOfCycle,EndOfCycle,EndOfCycle,EndOfCycle,EndOfCycle,EndOfCycle");
    port.Send(ack);
    EXPECT_EQ(port.ReadLine(), ack);
    port.Send("I");
    const std::vector<std::string> description = port.ReadLines(5);
    ASSERT_EQ(description.size(), 5u);
    EXPECT_EQ(description[0], "I");
    EXPECT_EQ(description[1], "Time,PeakPr,PEEP,MeasRR,MeasTV,MeasMV,SpO2,HR,PeakCO,%Anest,Body");
    for (std::size_t i = 2; i < 5; ++i) EXPECT_EQ(Split(description[i]).size(), columns) << description[i];

    // Every line went out with CR LF and nothing else on the line.
    std::string expected;
    for (const std::string& line : bench.sim.Sent()) expected += line + "\r\n";
    EXPECT_EQ(port.Raw(), expected);
    EXPECT_EQ(bench.sim.Received(), (std::vector<std::string>{"S", "V", "F", ack, "I"}));
    EXPECT_TRUE(bench.sim.WaitForCommand("I", 1s));
    EXPECT_FALSE(bench.sim.WaitForCommand("I", 50ms, 2));

    // Commands only a CODA knows get no answer from a monitor.
    port.Send("WN5", "ZvC", "WI5");
    EXPECT_TRUE(bench.sim.WaitForCommand("WI5", 2s));
    EXPECT_EQ(port.Collect(100ms), "");
}

TEST(SimulatorHandshake, CodaAnswersItsOwnSteps) {
    START_BENCH(bench, SimulatorConfig::ForKind(InstrumentKind::kCoda));
    port.Send("S", "WN5", "V", "ZvC", "WI5");
    const std::vector<std::string> lines = port.ReadLines(5);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "S");
    EXPECT_EQ(lines[1], "WN5");
    const std::vector<std::string> version = Split(lines[2]);
    ASSERT_EQ(version.size(), 8u);
    EXPECT_EQ(version[4], "1");
    EXPECT_EQ(version[5], "CODA");
    EXPECT_EQ(version[7], "ZVC");
    EXPECT_EQ(lines[3].substr(0, 1), "A");
    const std::vector<std::string> info = Split(lines[4]);
    EXPECT_EQ(info[0], "WI5");
    EXPECT_GE(info.size(), 12u);
    EXPECT_EQ(info[2], std::to_string(bench.sim.Config().waveformLength));
}

TEST(SimulatorHandshake, TakesCommandsFromNoisyAndSplitFrames) {
    START_BENCH(bench, SimulatorConfig::ForKind(InstrumentKind::kRivu));
    port.SendRaw("hello\n");         // no frame: ignored
    port.SendRaw("\x01junk:S\r\n");  // noise before the colon, CR before the LF
    port.SendRaw(":V");
    EXPECT_EQ(port.ReadLine(), "S");
    port.SendRaw("\n");
    EXPECT_EQ(port.ReadLine(), "V,2,1,0,1,RV-2000,1");
    port.SendRaw(":" + std::string(5000, 'U') + "\n:I\n");  // an overlong frame is dropped whole
    EXPECT_EQ(port.ReadLine(), "I");
    EXPECT_EQ(bench.sim.Received(), (std::vector<std::string>{"S", "V", "I"}));
}

TEST(SimulatorData, MonitorRowsFollowTheModelUntilStopped) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.repeatEvery = 4;
    START_BENCH(bench, config);
    const DataModel model(config.channels, config.repeatEvery);

    port.Send("B");
    EXPECT_EQ(port.ReadLine(), "B");
    for (std::uint64_t row = 0; row < 10; ++row) {
        const std::optional<std::string> line = port.ReadLine();
        ASSERT_TRUE(line);
        EXPECT_EQ(*line, model.RowText(row, static_cast<std::int64_t>(row + 1) * config.periodMs));
        EXPECT_EQ(Split(*line).size(), config.channels.size());
    }
    EXPECT_NE(model.RowText(3, 80).find('*'), std::string::npos);

    // P0 selects the first upload rate (0.1 s): the time column steps by 0.100.
    port.Send("P0");
    ASSERT_TRUE(bench.sim.WaitForCommand("P0", 2s));
    port.Collect(50ms);  // rows sent before the change
    const std::vector<std::string> slower = port.ReadLines(3);
    ASSERT_EQ(slower.size(), 3u);
    EXPECT_NEAR(std::stod(Split(slower[2])[0]) - std::stod(Split(slower[1])[0]), 0.1, 1e-9);

    port.Send("S");
    const std::vector<std::string> tail = port.ReadUntil([](const std::string& line) { return line == "S"; });
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.back(), "S");
    EXPECT_EQ(port.Collect(300ms), "");

    // X also ends the output, without a reply.
    port.Send("B");
    port.ReadLines(2);
    port.Send("X");
    ASSERT_TRUE(bench.sim.WaitForCommand("X", 2s));
    port.Collect(50ms);
    EXPECT_EQ(port.Collect(300ms), "");
}

TEST(SimulatorCycles, CodaUploadsEachCycleThenItsResult) {
    const SimulatorConfig config = SmallCoda();
    START_BENCH(bench, config);
    const CycleModel model(config.waveformLength);
    const DataModel data(config.channels);

    port.Send("WI5", "B");
    const std::vector<std::string> start = port.ReadLines(2);
    ASSERT_EQ(start.size(), 2u);
    EXPECT_EQ(start[1], "B");
    EXPECT_EQ(port.Collect(100ms), "");  // a CODA's rows wait for the waveform arm
    port.Send("WA5");
    EXPECT_EQ(port.ReadLine(), "WA5");

    int results = 0;
    const std::vector<std::string> lines =
        port.ReadUntil([&](const std::string& line) { return line.starts_with("m,") && ++results == 2; });
    ASSERT_EQ(results, 2);
    std::vector<std::string> cycleLines;
    std::uint64_t rows = 0;
    for (const std::string& line : lines) {
        if (line[0] == 'w' || line[0] == 'm') {
            cycleLines.push_back(line);
        } else {
            EXPECT_EQ(Split(line).size(), config.channels.size());
            EXPECT_EQ(Split(line)[1], data.FieldText(1, rows++));
        }
    }
    std::vector<std::string> expected;
    for (std::uint32_t cycle = 0; cycle < 2; ++cycle) {
        for (std::uint32_t startValue = 0; startValue < 40; startValue += 10) {
            expected.push_back(model.WaveformLine(cycle, startValue, 10));
        }
        expected.push_back(model.MeasurementLine(cycle));
    }
    EXPECT_EQ(cycleLines, expected);
    EXPECT_GT(rows, 0u);
}

TEST(SimulatorCycles, WaveStopEndsTheUploadButNotTheRows) {
    SimulatorConfig config = SmallCoda();
    config.chunkIntervalMs = 200;
    START_BENCH(bench, config);
    port.Send("WA5");
    port.ReadUntil([](const std::string& line) { return line.starts_with("w5,0,"); });
    port.Send("WN5");
    const std::vector<std::string> lines = port.ReadUntil([](const std::string& line) { return line == "WN5"; });
    ASSERT_EQ(lines.back(), "WN5");
    const std::vector<std::string> after = port.ReadUntil([](const std::string&) { return false; }, 600ms);
    EXPECT_GE(after.size(), 5u);
    for (const std::string& line : after) EXPECT_TRUE(line[0] != 'w' && line[0] != 'm') << line;
}

TEST(SimulatorFaults, SilentInstrumentAnswersNothing) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.faults.Set(Fault::kSilent);
    START_BENCH(bench, config);
    port.Send("S", "V", "B");
    ASSERT_TRUE(bench.sim.WaitForCommand("B", 2s));
    EXPECT_EQ(port.Collect(200ms), "");
    EXPECT_EQ(bench.sim.Received(), (std::vector<std::string>{"S", "V", "B"}));
}

TEST(SimulatorFaults, VersionRepliesOfRefusedAndWrongInstruments) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.faults.Set(Fault::kRivuCoda);
    EXPECT_EQ(VersionReply(config), "V,2,1,0,1,CODA,1");
    config.versionMark = "ZVC";  // rivu-coda leaves the mark out whatever the configuration says
    EXPECT_EQ(VersionReply(config), "V,2,1,0,1,CODA,1");

    SimulatorConfig marked = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    marked.faults.Set(Fault::kRivuCodaZvc);
    marked.faults.Set(Fault::kWrongInterface);
    START_BENCH(bench, marked);
    port.Send("V");
    EXPECT_EQ(port.ReadLine(), "V,2,1,0,2,CODA,1,ZVC");
}

TEST(SimulatorFaults, GarbageBetweenLinesNeverHidesALine) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.faults.Set(Fault::kGarbage);
    START_BENCH(bench, config);
    port.Send("S", "F", "B");
    const std::vector<std::string> lines = port.ReadLines(12);
    ASSERT_EQ(lines.size(), 12u);
    const std::vector<std::string> sent = bench.sim.Sent();
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 12), lines);

    // Between lines only noise ending in a bare LF: no CR anywhere in it.
    std::size_t noise = 0, begin = 0;
    const std::string& raw = port.Raw();
    for (std::size_t lf = raw.find('\n'); lf != std::string::npos; begin = lf + 1, lf = raw.find('\n', begin)) {
        const std::string piece = raw.substr(begin, lf - begin);
        if (piece.empty() || piece.back() != '\r') {
            ++noise;
            EXPECT_EQ(piece.find('\r'), std::string::npos);
            EXPECT_NE(piece.find_first_not_of(" \t\v\f"), std::string::npos);
        }
    }
    EXPECT_GE(noise, 12u);
}

TEST(SimulatorFaults, OverlongRunComesOnceAfterTheGivenLines) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.faults.Set(Fault::kOverlongLine);
    config.faultAfterLines = 2;
    START_BENCH(bench, config);
    port.Send("S", "V");
    EXPECT_EQ(port.ReadLines(2).size(), 2u);
    port.Send("F");
    // The run has no line end of its own: it swallows the line after it, and
    // the lines behind that arrive whole.
    const std::vector<std::string> lines = port.ReadLines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), 9000u + 1);
    EXPECT_EQ(lines[0].find_first_of("\r\n"), std::string::npos);
    EXPECT_TRUE(lines[0].ends_with("F"));
    EXPECT_EQ(lines[1], ParamsLine(config));
    EXPECT_EQ(lines[2], UploadRatesLine(config));

    port.Send("S");
    EXPECT_EQ(port.ReadLine(), "S");
    std::size_t lineBytes = 0;
    for (const std::string& line : bench.sim.Sent()) lineBytes += line.size() + 2;
    EXPECT_EQ(bench.sim.Sent().size(), 6u);
    EXPECT_EQ(port.Raw().size(), lineBytes + 9000);  // once only
}

// Arms the waveform upload and reads until count chunk and result lines came.
std::vector<std::string> ArmAndReadCycleLines(PortSide& port, std::size_t count) {
    port.Send("WA5");
    std::vector<std::string> cycle;
    port.ReadUntil([&](const std::string& line) {
        if (line[0] == 'w' || line[0] == 'm') cycle.push_back(line);
        return cycle.size() == count;
    });
    return cycle;
}

TEST(SimulatorFaults, UploadFaultsOfTheCoda) {
    const CycleModel model(40);
    {
        SimulatorConfig config = SmallCoda();
        config.faults.Set(Fault::kStalledUpload);
        START_BENCH(bench, config);
        const std::vector<std::string> cycle = ArmAndReadCycleLines(port, 3);
        // Half the chunks, no result, and the next cycle starts from 0 again.
        EXPECT_EQ(cycle, (std::vector<std::string>{model.WaveformLine(0, 0, 10), model.WaveformLine(0, 10, 10),
                                                   model.WaveformLine(1, 0, 10)}));
    }
    {
        SimulatorConfig config = SmallCoda();
        config.faults.Set(Fault::kEarlyResult);
        config.faults.Set(Fault::kErrorFlag);
        START_BENCH(bench, config);
        const std::vector<std::string> cycle = ArmAndReadCycleLines(port, 5);
        ASSERT_EQ(cycle.size(), 5u);
        EXPECT_EQ(cycle[3], model.MeasurementLine(0, true));
        EXPECT_EQ(cycle[4], model.WaveformLine(0, 30, 10));
        const std::vector<std::string> result = Split(cycle[3]);
        ASSERT_GE(result.size(), 16u);
        EXPECT_EQ(result[12], "1");
    }
}

TEST(SimulatorFaults, HangUpAfterTheGivenLinesOnceTheyWereRead) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.faults.Set(Fault::kHangUp);
    config.faultAfterLines = 4;
    START_BENCH(bench, config);
    port.Send("S", "V", "F");  // three lines, of which only the first two go out
    const std::vector<std::string> lines = port.ReadLines(4);
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_TRUE(port.SeesHangUp());
    EXPECT_TRUE(bench.sim.WaitUntil([](const Exchange& exchange) { return exchange.finished; }, 5s));
    EXPECT_TRUE(bench.sim.HungUp());
    EXPECT_FALSE(bench.sim.IsRunning());
    EXPECT_EQ(bench.sim.Sent(), lines);
    EXPECT_EQ(port.Raw().size(), [&] {
        std::size_t total = 0;
        for (const std::string& line : lines) total += line.size() + 2;
        return total;
    }());
}

TEST(SimulatorLifecycle, StopIsPromptEvenWhenThePortStoppedReading) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.periodMs = 1;
    Simulator sim(config);
    ASSERT_TRUE(sim.Start()) << sim.LastError();
    PortSide port(sim.SlavePath());
    port.Send("B");
    ASSERT_TRUE(sim.WaitUntil([](const Exchange& exchange) { return exchange.sentCount > 50; }, 10s));
    std::this_thread::sleep_for(300ms);  // the pseudo-terminal fills up, output queues behind it
    EXPECT_TRUE(sim.IsRunning());
    const auto before = Clock::now();
    sim.Stop();
    EXPECT_LT(Clock::now() - before, 2s);  // a hang, not a speed check
    EXPECT_FALSE(sim.IsRunning());
    EXPECT_TRUE(port.SeesHangUp());
    EXPECT_FALSE(sim.WaitForCommand("never", 10s));  // a stopped simulator is not waited on
    sim.Stop();
}

TEST(SimulatorLifecycle, PortThatFallsBehindLosesWholeLinesOnly) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.periodMs = 1;
    config.maxQueuedBytes = 16 * 1024;
    START_BENCH(bench, config);
    port.Send("B");
    std::this_thread::sleep_for(1500ms);  // far more rows than the line and the queue hold
    // The simulator still streams when the collection ends, so the last line
    // may be cut by the deadline: only the complete lines are looked at.
    std::string backlog = port.Collect(300ms);
    const std::size_t lastEnd = backlog.rfind("\r\n");
    ASSERT_NE(lastEnd, std::string::npos);
    backlog.erase(lastEnd + 2);
    double lastTime = -1, widestGap = 0;
    for (std::size_t begin = 0, end; (end = backlog.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
        const std::string line = backlog.substr(begin, end - begin);
        if (line == "B") continue;
        const std::vector<std::string> fields = Split(line);
        ASSERT_EQ(fields.size(), config.channels.size()) << line;
        const double time = std::stod(fields[0]);
        EXPECT_GT(time, lastTime);
        if (lastTime >= 0) widestGap = std::max(widestGap, time - lastTime);
        lastTime = time;
    }
    EXPECT_GT(widestGap, 0.0015);  // rows were lost, and only whole
}

TEST(SimulatorLifecycle, StartsOnceAndRefusesBadConfigurations) {
    Simulator unused;
    unused.Stop();

    SimulatorConfig bad = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    bad.chunkValues = bad.waveformLength;
    Simulator refused(bad);
    EXPECT_FALSE(refused.Start());
    EXPECT_NE(refused.LastError().find("two chunks"), std::string::npos);
    EXPECT_TRUE(refused.SlavePath().empty());

    Simulator sim;
    ASSERT_TRUE(sim.Start());
    EXPECT_FALSE(sim.Start());
    EXPECT_FALSE(sim.SlavePath().empty());
}

TEST(SimulatorLifecycle, LogFileHoldsBothDirections) {
    char directory[] = "/tmp/rivu-sim-log-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/exchange.log";
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    config.logPath = path;
    config.keepSentLines = false;
    {
        START_BENCH(bench, config);
        port.Send("S");
        EXPECT_EQ(port.ReadLine(), "S");
        EXPECT_TRUE(bench.sim.Sent().empty());
        EXPECT_EQ(bench.sim.SentCount(), 1u);
    }
    const std::string log = rivu::test::ReadWholeFile(path);
    EXPECT_NE(log.find(" < S\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" > S\n"), std::string::npos) << log;
    unlink(path.c_str());
    rmdir(directory);
}

}  // namespace
}  // namespace rivu::sim
