#pragma once
// The values the simulated instrument reports: data rows, cuff waveforms and
// blood-pressure results, each a pure function of its row, value or cycle
// number. Integer arithmetic only, so every platform computes the same text.
// No platform headers: a test built for Windows compiles this file to know
// what the simulator (running elsewhere) sent.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rivu::sim {

enum class InstrumentKind { kRivu, kCoda };

// One column as the instrument describes it after "I": short name, unit, and
// the upper and lower limit texts exactly as written on the line.
struct ChannelDescription {
    std::string name;
    std::string unit;
    std::string maxText;
    std::string minText;
};

// The columns a Rivu monitor or a CODA describes by default; "Time" first.
//   Rivu: Time, PeakPr, PEEP, MeasRR, MeasTV, MeasMV, SpO2, HR, PeakCO, %Anest, Body
//   CODA: Time, systol, diasto, mean B, HR, volume, flow
std::vector<ChannelDescription> DefaultChannels(InstrumentKind kind);

// Digits after the only "." of a limit text; 0 without a "." or with several.
int DecimalsOf(std::string_view limitText);

// An integer count of 10^-decimals units written as fixed-point text, a minus
// sign when negative: FormatTicks(-25, 1) is "-2.5", FormatTicks(7, 3) "0.007".
std::string FormatTicks(std::int64_t ticks, int decimals);

// The data rows. Row k (k = 0 for the first row after a start) holds, for each
// column, a slow triangle wave around a plausible value for the column's name
// (or the middle of its limits for an unknown name), kept inside the limits
// and written with the number of decimals of the column's upper-limit text.
// The "Time" column carries the time of the row in seconds, 3 decimals.
class DataModel {
public:
    // repeatEvery > 1: in row repeatEvery-1, 2*repeatEvery-1, ... one data
    // column (the next one each time, round robin) reports "*" ("same as the
    // previous row") instead of its value. 0 turns this off.
    explicit DataModel(std::vector<ChannelDescription> channels, int repeatEvery = 0);

    std::size_t ColumnCount() const { return columns_.size(); }
    bool IsTimeColumn(std::size_t column) const { return columns_[column].isTime; }
    int Decimals(std::size_t column) const { return columns_[column].decimals; }

    // The model's value of a data column in row k, in 10^-Decimals units.
    // For a column that reports "*" in row k, the receiver keeps the value of
    // row k-1: Ticks gives the model value all the same.
    std::int64_t Ticks(std::size_t column, std::uint64_t row) const;
    // Ticks as a number (what the text reads as).
    double Value(std::size_t column, std::uint64_t row) const;
    bool IsRepeatMark(std::size_t column, std::uint64_t row) const;
    // The field as sent: the value text, or "*".
    std::string FieldText(std::size_t column, std::uint64_t row) const;
    // The whole row without its line end; timeMs is what the "Time" column shows.
    std::string RowText(std::uint64_t row, std::int64_t timeMs) const;

private:
    struct Column {
        bool isTime = false;
        int decimals = 0;
        std::int64_t base = 0;       // in ticks
        std::int64_t amplitude = 0;  // in ticks
        std::int64_t cycleRows = 2;  // even
        std::int64_t phase = 0;
        bool hasMin = false, hasMax = false;
        std::int64_t min = 0, max = 0;  // in ticks
    };
    std::vector<Column> columns_;
    std::size_t dataColumns_ = 0;
    int repeatEvery_ = 0;
};

// One blood-pressure cycle's result as the CODA reports it. Points are
// counted in O-Cuff/VPR value pairs from the start of the cycle's waveform.
struct CycleResult {
    int systolic = 0;
    int diastolic = 0;
    int mean = 0;
    int heartRate = 0;
    int tailVolume = 0;  // uL
    int flow = 0;        // mL/min
    bool failed = false;
    int systolicPoint = 0;
    int diastolicPoint = 0;
};

// The CODA's measurement cycles. Each cycle uploads waveformLength values,
// alternately occlusion cuff (even positions) and VPR cuff (odd positions), in
// tenths of mmHg written with one decimal: the occlusion cuff inflates to
// 250 mmHg over the first tenth of the pairs and deflates linearly to 0; the
// VPR cuff sits at 20 mmHg and swells with a pulse once the occlusion
// pressure falls below the cycle's systolic pressure. The result's points are
// the first pairs of the deflation at or below the systolic and diastolic
// pressures.
class CycleModel {
public:
    explicit CycleModel(int waveformLength);

    int WaveformLength() const { return length_; }
    int Pairs() const { return length_ / 2; }

    // Cycle c (0 for the first cycle after the waveform arm). With failed set
    // the instrument reports the error flag, zero pressures and zero points.
    CycleResult Result(std::uint32_t cycle, bool failed = false) const;
    // Waveform value at position v (0 <= v < WaveformLength) in tenths of mmHg.
    std::int64_t WaveformTicks(std::uint32_t cycle, std::uint32_t value) const;
    // "w5,<start>,<value>,<value>,..." for count values from start.
    std::string WaveformLine(std::uint32_t cycle, std::uint32_t start, std::uint32_t count) const;
    // "m,..." with 16 fields: 0 "m", 1 cycle number from 1, 2 "1", 3 peak cuff
    // pressure, 4 pairs, 5 "0", 6 diastolic, 7 systolic, 8 mean, 9 heart rate,
    // 10 tail volume, 11 flow, 12 error flag, 13 diastolic point,
    // 14 systolic point, 15 "0".
    std::string MeasurementLine(std::uint32_t cycle, bool failed = false) const;

    static constexpr std::int64_t kPeakCuffTicks = 2500;

private:
    std::int64_t CuffTicks(std::int64_t pair) const;
    std::int64_t FirstPairAtOrBelow(std::int64_t ticks) const;
    int length_;
    std::int64_t inflatePairs_;
};

}  // namespace rivu::sim
