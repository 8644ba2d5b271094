// The simulated instrument's logic without a pseudo-terminal: value model,
// timing of rows and measurement cycles on a made-up clock, program options.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "rivu-sim/instrument.h"
#include "rivu-sim/program_options.h"
#include "rivu-sim/signal_model.h"
#include "tests/support/test_support.h"

namespace rivu::sim {
namespace {

using namespace std::chrono_literals;
using TimePoint = Instrument::TimePoint;

using test::Split;

// Runs the instrument's clock from `from` to `to` in 1 ms steps and returns
// each line with the time it was due.
struct TimedLine {
    std::chrono::milliseconds at;
    std::string text;
};
std::vector<TimedLine> RunClock(Instrument& instrument, TimePoint origin, std::chrono::milliseconds from,
                                std::chrono::milliseconds to) {
    std::vector<TimedLine> timed;
    std::vector<std::string> lines;
    for (auto t = from; t <= to; t += 1ms) {
        instrument.OnTime(origin + t, lines);
        for (std::string& line : lines) timed.push_back({t, std::move(line)});
        lines.clear();
    }
    return timed;
}

TEST(SimulatorModel, DefaultRowsStayPlausibleAndInsideTheLimits) {
    for (const InstrumentKind kind : {InstrumentKind::kRivu, InstrumentKind::kCoda}) {
        const std::vector<ChannelDescription> channels = DefaultChannels(kind);
        ASSERT_EQ(channels[0].name, "Time");
        const DataModel model(channels);
        for (std::size_t column = 1; column < channels.size(); ++column) {
            const double upper = std::stod(channels[column].maxText);
            const double lower = std::stod(channels[column].minText);
            double least = upper, most = lower;
            for (std::uint64_t row = 0; row < 2000; ++row) {
                const double value = model.Value(column, row);
                least = std::min(least, value);
                most = std::max(most, value);
                // The text carries exactly the decimals of the upper limit.
                const std::string text = model.FieldText(column, row);
                EXPECT_EQ(DecimalsOf(text), DecimalsOf(channels[column].maxText)) << text;
            }
            EXPECT_GT(least, lower) << channels[column].name;
            EXPECT_LT(most, upper) << channels[column].name;
            EXPECT_LT(least, most) << channels[column].name << " never changes";
        }
    }
    const DataModel coda(DefaultChannels(InstrumentKind::kCoda));
    EXPECT_NEAR(coda.Value(1, 0), 120, 10);  // systolic
    EXPECT_NEAR(coda.Value(2, 0), 80, 10);   // diastolic
}

TEST(SimulatorModel, ValuesAreWrittenExactlyAndClampedToTheirOwnLimits) {
    EXPECT_EQ(FormatTicks(-25, 1), "-2.5");
    EXPECT_EQ(FormatTicks(7, 3), "0.007");
    EXPECT_EQ(FormatTicks(-7, 2), "-0.07");
    EXPECT_EQ(FormatTicks(120, 0), "120");
    EXPECT_EQ(DecimalsOf("250.00"), 2);
    EXPECT_EQ(DecimalsOf("1.2.3"), 0);

    // An unknown name swings around the middle of its limits; a known one
    // whose plausible value lies outside narrow limits is held at a limit.
    const DataModel model({{"Gizmo", "V", "10.0", "-10.0"}, {"HR", "bpm", "100", "0"}});
    for (std::uint64_t row = 0; row < 500; ++row) {
        EXPECT_LE(std::abs(model.Value(0, row)), 2.0);
        EXPECT_EQ(model.FieldText(1, row), "100");
    }
    // Repeat marks walk round the data columns and never touch the time column.
    const DataModel marked({{"Time", "s", "1", "0"}, {"a", "", "9", "0"}, {"b", "", "9", "0"}}, 2);
    EXPECT_EQ(Split(marked.RowText(0, 20)),
              (std::vector<std::string>{"0.020", marked.FieldText(1, 0), marked.FieldText(2, 0)}));
    EXPECT_EQ(Split(marked.RowText(1, 40))[1], "*");
    EXPECT_EQ(Split(marked.RowText(3, 80))[2], "*");
    EXPECT_NE(Split(marked.RowText(3, 80))[1], "*");
}

TEST(SimulatorModel, CycleResultPointsLieOnTheWaveform) {
    const CycleModel model(400);
    for (std::uint32_t cycle = 0; cycle < 20; ++cycle) {
        const CycleResult result = model.Result(cycle);
        EXPECT_GT(result.systolic, result.diastolic);
        EXPECT_LT(result.systolicPoint, result.diastolicPoint);
        // The points are the first deflation pairs at or below each pressure.
        const auto cuff = [&](int pair) { return model.WaveformTicks(cycle, static_cast<std::uint32_t>(2 * pair)); };
        EXPECT_LE(cuff(result.systolicPoint), result.systolic * 10);
        EXPECT_GT(cuff(result.systolicPoint - 1), result.systolic * 10);
        EXPECT_LE(cuff(result.diastolicPoint), result.diastolic * 10);
        EXPECT_GT(cuff(result.diastolicPoint - 1), result.diastolic * 10);

        const std::vector<std::string> line = Split(model.MeasurementLine(cycle));
        ASSERT_EQ(line.size(), 16u);
        EXPECT_EQ(line[6], std::to_string(result.diastolic));
        EXPECT_EQ(line[7], std::to_string(result.systolic));
        EXPECT_EQ(line[12], "0");
        EXPECT_EQ(line[13], std::to_string(result.diastolicPoint));
        EXPECT_EQ(line[14], std::to_string(result.systolicPoint));
    }
    // The waveform starts and ends deflated and stays within the channels' 0..300 mmHg.
    EXPECT_EQ(model.WaveformTicks(0, 0), 0);
    EXPECT_EQ(model.WaveformTicks(0, 398), 0);
    for (std::uint32_t v = 0; v < 400; ++v) {
        EXPECT_GE(model.WaveformTicks(3, v), 0);
        EXPECT_LE(model.WaveformTicks(3, v), 3000);
    }
    const std::vector<std::string> chunk = Split(model.WaveformLine(2, 10, 4));
    EXPECT_EQ(chunk,
              (std::vector<std::string>{
                  "w5", "10", FormatTicks(model.WaveformTicks(2, 10), 1), FormatTicks(model.WaveformTicks(2, 11), 1),
                  FormatTicks(model.WaveformTicks(2, 12), 1), FormatTicks(model.WaveformTicks(2, 13), 1)}));
}

TEST(SimulatorTiming, RowsRunAtThePeriodAndFollowRateCommands) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kRivu);
    Instrument instrument(config);
    const TimePoint origin{};
    std::vector<std::string> lines;
    instrument.OnCommand("B", origin, lines);
    EXPECT_EQ(lines, std::vector<std::string>{"B"});
    std::vector<TimedLine> rows = RunClock(instrument, origin, 0ms, 100ms);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].at, 20ms);
    EXPECT_EQ(rows[4].at, 100ms);
    EXPECT_EQ(Split(rows[4].text)[0], "0.100");

    lines.clear();
    instrument.OnCommand("P3", origin + 100ms, lines);  // 0.01 s
    instrument.OnCommand("P6", origin + 100ms, lines);  // EndOfCycle: no change
    instrument.OnCommand("P99", origin + 100ms, lines);
    EXPECT_TRUE(lines.empty());
    rows = RunClock(instrument, origin, 101ms, 130ms);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].at, 110ms);
    EXPECT_EQ(Split(rows[2].text)[0], "0.130");

    // A clock far behind starts over instead of sending every missed row.
    lines.clear();
    instrument.OnTime(origin + 10s, lines);
    EXPECT_LT(lines.size(), 150u);
    lines.clear();
    instrument.OnCommand("S", origin + 10s, lines);
    EXPECT_EQ(lines, std::vector<std::string>{"S"});
    EXPECT_FALSE(instrument.NextDeadline());
}

TEST(SimulatorTiming, CodaCyclesKeepEveryChunkWithinTheUploadTimeOut) {
    SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    config.cyclePeriodMs = 1000;  // shorter than one upload: cycles must not overlap
    config.waveformLength = 1000;
    config.chunkValues = 100;
    config.chunkIntervalMs = 400;
    Instrument instrument(config);
    const TimePoint origin{};
    std::vector<std::string> lines;
    instrument.OnCommand("B", origin, lines);
    EXPECT_FALSE(instrument.RowsRunning());
    instrument.OnCommand("WA5", origin, lines);
    EXPECT_TRUE(instrument.RowsRunning());

    std::vector<TimedLine> cycle;
    for (TimedLine& line : RunClock(instrument, origin, 0ms, 12000ms)) {
        if (line.text[0] == 'w' || line.text[0] == 'm') cycle.push_back(std::move(line));
    }
    // Two whole cycles: ten chunks each, then the result.
    ASSERT_GE(cycle.size(), 22u);
    for (std::size_t i = 0; i < 22; ++i) {
        const std::size_t place = i % 11;
        if (place < 10) {
            EXPECT_EQ(Split(cycle[i].text)[1], std::to_string(place * 100)) << cycle[i].text;
        } else {
            EXPECT_EQ(cycle[i].text[0], 'm');
        }
        if (place > 0) {
            EXPECT_LT(cycle[i].at - cycle[i - 1].at, 450ms);
        }
    }
    EXPECT_EQ(cycle[0].at, 500ms);
    EXPECT_GT(cycle[11].at, cycle[10].at);

    lines.clear();
    instrument.OnCommand("WN5", origin + 12s, lines);
    EXPECT_EQ(lines, std::vector<std::string>{"WN5"});
    for (const TimedLine& line : RunClock(instrument, origin, 12001ms, 14000ms)) EXPECT_NE(line.text[0], 'w');
    EXPECT_TRUE(instrument.RowsRunning());
}

// Each waveform value fills two rows of its channel in the enabler, which only
// pads those channels while they trail the data rows. An upload that ran ahead
// of the rows would leave the waveform channels empty long after it while the
// host waits on them, so by default the upload keeps pace with the rows at
// every offered rate (P0 to P4: 100, 50, 20, 10 and 5 ms), with chunks inside
// the upload time-out.
TEST(SimulatorTiming, DefaultUploadKeepsPaceWithTheRowsAtEveryRate) {
    const SimulatorConfig config = SimulatorConfig::ForKind(InstrumentKind::kCoda);
    const std::vector<std::pair<int, int>> expected = {{4, 400}, {8, 400}, {16, 320}, {16, 160}, {16, 80}};
    for (int position = 0; position < 5; ++position) {
        SCOPED_TRACE("P" + std::to_string(position));
        Instrument instrument(config);
        const TimePoint origin{};
        std::vector<std::string> lines;
        instrument.OnCommand("P" + std::to_string(position), origin, lines);
        instrument.OnCommand("WA5", origin, lines);
        EXPECT_EQ(instrument.ChunkValues(), expected[static_cast<std::size_t>(position)].first);
        const std::chrono::milliseconds interval(expected[static_cast<std::size_t>(position)].second);
        EXPECT_EQ(instrument.ChunkIntervalMs(), interval.count());

        std::int64_t rows = 0, values = 0, rowsAtCycleStart = -1;
        std::chrono::milliseconds lastChunk{};
        bool result = false;  // 40 chunks of 400 ms at the slowest rate
        for (const TimedLine& line : RunClock(instrument, origin, 0ms, 20000ms)) {
            if (line.text.starts_with("w5,")) {
                if (rowsAtCycleStart < 0) rowsAtCycleStart = rows;
                if (values > 0) {
                    EXPECT_EQ(line.at - lastChunk, interval);
                }
                lastChunk = line.at;
                values += static_cast<std::int64_t>(Split(line.text).size()) - 2;
                EXPECT_LE(values, rows - rowsAtCycleStart + instrument.ChunkValues());
            } else if (line.text[0] == 'm') {
                result = true;
                break;
            } else {
                ++rows;
            }
        }
        EXPECT_TRUE(result);
        EXPECT_EQ(values, config.waveformLength);
    }
}

TEST(SimulatorOptions, KindSetsTheDefaultsOtherOptionsChange) {
    ProgramOptions options;
    EXPECT_EQ(ParseProgramOptions({"--fault", "garbage,hang-up", "--kind=coda", "--cycle-s", "0.5", "--firmware",
                                   "4.5.6", "--no-mark", "--port-file", "/tmp/port", "--fixed-period"},
                                  options),
              "");
    const SimulatorConfig& config = options.config;
    EXPECT_EQ(config.kind, InstrumentKind::kCoda);
    EXPECT_EQ(config.channels[1].name, "systol");
    EXPECT_EQ(config.model, "CODA");
    EXPECT_EQ(config.versionMark, "");
    EXPECT_EQ(config.cyclePeriodMs, 500);
    EXPECT_EQ(config.firmware[2], "6");
    EXPECT_EQ(options.portFile, "/tmp/port");
    EXPECT_FALSE(config.followRateCommands);
    EXPECT_TRUE(config.faults.Has(Fault::kGarbage));
    EXPECT_TRUE(config.faults.Has(Fault::kHangUp));
    EXPECT_FALSE(config.faults.Has(Fault::kSilent));

    EXPECT_EQ(
        ParseProgramOptions({"--channels", "Time,HR", "--units", "s,bpm", "--max", "60,1000", "--min=0,0"}, options),
        "");
    ASSERT_EQ(options.config.channels.size(), 2u);
    EXPECT_EQ(options.config.channels[1].maxText, "1000");
    EXPECT_EQ(options.config.versionMark, "");

    EXPECT_TRUE(ParseProgramOptions({"--kind", "coda", "--help"}, options).empty());
    EXPECT_TRUE(options.help);
    EXPECT_NE(ProgramHelp().find("--fault-after"), std::string::npos);
}

TEST(SimulatorOptions, BadOptionsAreNamed) {
    ProgramOptions options;
    EXPECT_NE(ParseProgramOptions({"--kind", "vent"}, options).find("rivu or coda"), std::string::npos);
    EXPECT_NE(ParseProgramOptions({"--fault", "loud"}, options).find("loud"), std::string::npos);
    EXPECT_NE(ParseProgramOptions({"--period-ms", "20x"}, options).find("--period-ms"), std::string::npos);
    EXPECT_NE(ParseProgramOptions({"--period-ms"}, options).find("needs a value"), std::string::npos);
    EXPECT_NE(ParseProgramOptions({"--period-ms", "0"}, options).find("period"), std::string::npos);
    EXPECT_NE(ParseProgramOptions({"--channels", "Time,HR,SpO2"}, options).find("same number"), std::string::npos);
    EXPECT_NE(ParseProgramOptions({"--firmware", "1.2"}, options).find("A.B.C"), std::string::npos);
    EXPECT_NE(ParseProgramOptions({"--chunk-ms", "450"}, options).find("450"), std::string::npos);
    EXPECT_NE(ParseProgramOptions({"--model", "A,B"}, options).find("commas"), std::string::npos);
    EXPECT_NE(ParseProgramOptions({"--verbose"}, options).find("--verbose"), std::string::npos);
}

}  // namespace
}  // namespace rivu::sim
