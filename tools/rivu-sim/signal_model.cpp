#include "rivu-sim/signal_model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace rivu::sim {

namespace {

// A plausible resting value and swing for a column name, in thousandths of
// the column's unit (small-animal physiology: mouse-sized volumes, rodent
// heart and breathing rates).
struct Physiology {
    std::string_view name;
    std::int64_t baseMilli;
    std::int64_t amplitudeMilli;
};

constexpr Physiology kPhysiology[] = {
    {"systol", 120000, 6000}, {"diasto", 82000, 4000},  {"mean B", 95000, 4000},  {"HR", 450000, 30000},
    {"volume", 35000, 8000},  {"flow", 12000, 3000},    {"Pad", 37000, 500},      {"Body", 36800, 400},
    {"Peak P", 14000, 1500},  {"PeakPr", 14000, 1500},  {"PEEP", 3000, 300},      {"MeasRR", 90000, 4000},
    {"RR", 90000, 0},         {"SetRR", 90000, 0},      {"Tidal", 250, 30},       {"MeasTV", 250, 30},
    {"MeasMV", 22500, 2000},  {"MinVol", 22500, 2000},  {"Target P", 15000, 0},   {"TargPr", 15000, 0},
    {"Press", 8000, 6000},    {"SpO2", 97000, 1500},    {"Perfus", 4000, 1000},   {"MinCO2", 2000, 1000},
    {"Peak CO", 38000, 2500}, {"PeakCO", 38000, 2500},  {"InstCO", 20000, 18000}, {"%Anest", 1800, 200},
    {"VolRem", 6000, 500},    {"TargTV", 250, 0},       {"SetMV", 22500, 0},      {"PeakFl", 30000, 3000},
    {"InstPr", 8000, 7000},   {"InstFl", 25000, 20000}, {"InstVo", 150, 120},
};

constexpr int kMaxDecimals = 9;

std::int64_t PowerOfTen(int exponent) {
    std::int64_t value = 1;
    for (int i = 0; i < exponent; ++i) value *= 10;
    return value;
}

// Thousandths to ticks of the given decimals, halves away from zero.
std::int64_t MilliToTicks(std::int64_t milli, int decimals) {
    if (decimals >= 3) return milli * PowerOfTen(decimals - 3);
    const std::int64_t divisor = PowerOfTen(3 - decimals);
    const std::int64_t half = divisor / 2;
    return milli >= 0 ? (milli + half) / divisor : -((-milli + half) / divisor);
}

// A limit text read exactly as ticks of the given decimals: plain decimal
// notation is read digit by digit (extra decimals cut off); anything else
// numeric goes through strtod. False when the text is not a number.
bool LimitToTicks(const std::string& text, int decimals, std::int64_t& ticks) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::int64_t value = 0;
    int digits = 0, fraction = 0;
    bool point = false, plain = true;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            if (point && fraction >= decimals) continue;
            if (++digits > 17) {
                plain = false;
                break;
            }
            value = value * 10 + (c - '0');
            if (point) ++fraction;
        } else {
            plain = false;
            break;
        }
    }
    if (plain && digits > 0) {
        value *= PowerOfTen(decimals - fraction);
        ticks = negative ? -value : value;
        return true;
    }
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(parsed) || std::fabs(parsed) > 1e15) return false;
    ticks = std::llround(parsed * static_cast<double>(PowerOfTen(decimals)));
    return true;
}

// A triangle wave from -amplitude to +amplitude over cycle steps (even).
std::int64_t Triangle(std::int64_t amplitude, std::int64_t step, std::int64_t cycle) {
    const std::int64_t phase = step % cycle;
    const std::int64_t distance = phase * 2 > cycle ? phase * 2 - cycle : cycle - phase * 2;  // 0 .. cycle
    return amplitude * (2 * distance - cycle) / cycle;
}

std::string JoinFields(const std::vector<std::string>& fields) {
    std::string text;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) text += ',';
        text += fields[i];
    }
    return text;
}

}  // namespace

std::vector<ChannelDescription> DefaultChannels(InstrumentKind kind) {
    if (kind == InstrumentKind::kCoda) {
        return {
            {"Time", "s", "86400", "0"},       {"systol", "mmHg", "500", "0"}, {"diasto", "mmHg", "500", "0"},
            {"mean B", "mmHg", "500", "0"},    {"HR", "bpm", "1000", "0"},     {"volume", "uliters", "500", "0"},
            {"flow", "ml/min", "50.0", "0.0"},
        };
    }
    return {
        {"Time", "s", "86400", "0"},      {"PeakPr", "cmH2O", "50.0", "-10.0"}, {"PEEP", "cmH20", "50.0", "0.0"},
        {"MeasRR", "bpm", "500", "0"},    {"MeasTV", "ml", "100.00", "0.00"},   {"MeasMV", "ml/min", "2000", "0"},
        {"SpO2", "%", "100.0", "0.0"},    {"HR", "bpm", "1000", "0"},           {"PeakCO", "mmHg", "120.0", "0.0"},
        {"%Anest", "%", "10.00", "0.00"}, {"Body", "degC", "50.0", "0.0"},
    };
}

int DecimalsOf(std::string_view limitText) {
    const std::size_t point = limitText.find('.');
    if (point == std::string_view::npos || limitText.find('.', point + 1) != std::string_view::npos) return 0;
    return static_cast<int>(limitText.size() - point - 1);
}

std::string FormatTicks(std::int64_t ticks, int decimals) {
    const bool negative = ticks < 0;
    std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(ticks) : static_cast<std::uint64_t>(ticks);
    std::string digits = std::to_string(magnitude);
    if (decimals > 0) {
        const auto width = static_cast<std::size_t>(decimals) + 1;
        if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
        digits.insert(digits.size() - static_cast<std::size_t>(decimals), 1, '.');
    }
    return negative ? "-" + digits : digits;
}

DataModel::DataModel(std::vector<ChannelDescription> channels, int repeatEvery) : repeatEvery_(repeatEvery) {
    columns_.reserve(channels.size());
    for (const ChannelDescription& channel : channels) {
        Column column;
        if (channel.name == "Time") {
            column.isTime = true;
            columns_.push_back(column);
            continue;
        }
        const auto index = static_cast<std::int64_t>(dataColumns_++);
        column.decimals = std::min(DecimalsOf(channel.maxText), kMaxDecimals);
        column.hasMax = LimitToTicks(channel.maxText, column.decimals, column.max);
        column.hasMin = LimitToTicks(channel.minText, column.decimals, column.min);
        const auto known = std::find_if(std::begin(kPhysiology), std::end(kPhysiology),
                                        [&](const Physiology& entry) { return entry.name == channel.name; });
        if (known != std::end(kPhysiology)) {
            column.base = MilliToTicks(known->baseMilli, column.decimals);
            column.amplitude = MilliToTicks(known->amplitudeMilli, column.decimals);
        } else if (column.hasMin && column.hasMax) {
            column.base = column.min + (column.max - column.min) / 2;
            column.amplitude = (column.max - column.min) / 10;
        } else if (column.hasMax) {
            column.base = column.max / 2;
            column.amplitude = column.max / 10;
        }
        column.cycleRows = 2 * (100 + 23 * index);
        column.phase = 37 * index;
        columns_.push_back(column);
    }
}

std::int64_t DataModel::Ticks(std::size_t column, std::uint64_t row) const {
    const Column& c = columns_[column];
    if (c.isTime) return 0;
    const auto step = static_cast<std::int64_t>(row % static_cast<std::uint64_t>(c.cycleRows)) + c.phase;
    std::int64_t value = c.base + Triangle(c.amplitude, step, c.cycleRows);
    if (c.hasMax) value = std::min(value, c.max);
    if (c.hasMin) value = std::max(value, c.min);
    return value;
}

double DataModel::Value(std::size_t column, std::uint64_t row) const {
    return std::strtod(FormatTicks(Ticks(column, row), Decimals(column)).c_str(), nullptr);
}

bool DataModel::IsRepeatMark(std::size_t column, std::uint64_t row) const {
    if (repeatEvery_ < 2 || dataColumns_ == 0 || columns_[column].isTime) return false;
    const std::uint64_t every = static_cast<std::uint64_t>(repeatEvery_);
    if ((row + 1) % every != 0) return false;
    const std::uint64_t marked = ((row + 1) / every - 1) % dataColumns_;
    std::uint64_t dataIndex = 0;
    for (std::size_t i = 0; i < column; ++i) {
        if (!columns_[i].isTime) ++dataIndex;
    }
    return dataIndex == marked;
}

std::string DataModel::FieldText(std::size_t column, std::uint64_t row) const {
    if (IsRepeatMark(column, row)) return "*";
    return FormatTicks(Ticks(column, row), Decimals(column));
}

std::string DataModel::RowText(std::uint64_t row, std::int64_t timeMs) const {
    std::vector<std::string> fields;
    fields.reserve(columns_.size());
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        fields.push_back(columns_[i].isTime ? FormatTicks(timeMs, 3) : FieldText(i, row));
    }
    return JoinFields(fields);
}

CycleModel::CycleModel(int waveformLength)
    : length_(std::max(waveformLength, 4)), inflatePairs_(std::max<std::int64_t>(1, length_ / 2 / 10)) {}

std::int64_t CycleModel::CuffTicks(std::int64_t pair) const {
    if (pair < inflatePairs_) return kPeakCuffTicks * pair / inflatePairs_;
    const std::int64_t deflatePairs = Pairs() - 1 - inflatePairs_;
    if (deflatePairs <= 0) return 0;
    return kPeakCuffTicks * (Pairs() - 1 - pair) / deflatePairs;
}

std::int64_t CycleModel::FirstPairAtOrBelow(std::int64_t ticks) const {
    for (std::int64_t pair = inflatePairs_; pair < Pairs(); ++pair) {
        if (CuffTicks(pair) <= ticks) return pair;
    }
    return Pairs() - 1;
}

CycleResult CycleModel::Result(std::uint32_t cycle, bool failed) const {
    CycleResult result;
    result.systolic = 113 + static_cast<int>(cycle * 7u % 11u);
    result.diastolic = 76 + static_cast<int>(cycle * 5u % 9u);
    result.mean = result.diastolic + (result.systolic - result.diastolic) / 3;
    result.heartRate = 430 + static_cast<int>(cycle * 13u % 41u);
    result.tailVolume = 30 + static_cast<int>(cycle * 3u % 7u);
    result.flow = 10 + static_cast<int>(cycle % 5u);
    result.systolicPoint = static_cast<int>(FirstPairAtOrBelow(result.systolic * 10));
    result.diastolicPoint = static_cast<int>(FirstPairAtOrBelow(result.diastolic * 10));
    if (failed) {
        result.failed = true;
        result.systolic = result.diastolic = result.mean = 0;
        result.systolicPoint = result.diastolicPoint = 0;
    }
    return result;
}

std::int64_t CycleModel::WaveformTicks(std::uint32_t cycle, std::uint32_t value) const {
    const std::int64_t pair = value / 2;
    const std::int64_t cuff = CuffTicks(pair);
    if (value % 2 == 0) return cuff;
    const CycleResult result = Result(cycle);
    constexpr std::int64_t kBaseline = 200, kSwell = 120, kPulse = 15, kBeatPairs = 10;
    if (pair < inflatePairs_ || pair < result.systolicPoint) return kBaseline;
    const std::int64_t systolic = result.systolic * 10;
    const std::int64_t span = std::max<std::int64_t>(1, systolic - result.diastolic * 10);
    const std::int64_t swell = kSwell * std::min(systolic - cuff, span) / span;
    return kBaseline + swell + Triangle(kPulse, pair, kBeatPairs);
}

std::string CycleModel::WaveformLine(std::uint32_t cycle, std::uint32_t start, std::uint32_t count) const {
    std::string line = "w5," + std::to_string(start);
    for (std::uint32_t v = start; v < start + count; ++v) {
        line += ',';
        line += FormatTicks(WaveformTicks(cycle, v), 1);
    }
    return line;
}

std::string CycleModel::MeasurementLine(std::uint32_t cycle, bool failed) const {
    const CycleResult r = Result(cycle, failed);
    return JoinFields({"m", std::to_string(cycle + 1), "1", std::to_string(kPeakCuffTicks / 10),
                       std::to_string(Pairs()), "0", std::to_string(r.diastolic), std::to_string(r.systolic),
                       std::to_string(r.mean), std::to_string(r.heartRate), std::to_string(r.tailVolume),
                       std::to_string(r.flow), r.failed ? "1" : "0", std::to_string(r.diastolicPoint),
                       std::to_string(r.systolicPoint), "0"});
}

}  // namespace rivu::sim
