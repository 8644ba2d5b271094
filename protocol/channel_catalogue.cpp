#include "protocol/channel_catalogue.h"

#include <memory>
#include <utility>
#include <vector>

#include "platform/code_pages.h"
#include "protocol/fields.h"
#include "protocol/sample_rings.h"
#include "serial/rivu_serial.h"

namespace rivu {

namespace {

// Display names, UTF-8. Compared by FixedRangeFor and MapChannelUnit.
constexpr char kSystolicBp[] = "Systolic BP";
constexpr char kDiastolicBp[] = "Diastolic BP";
constexpr char kMeanBp[] = "Mean BP";
constexpr char kHeartRate[] = "Heart Rate";
constexpr char kTailVolume[] = "Tail Volume";
constexpr char kFlowSysToMax[] = "Flow Sys To Max";
constexpr char kPadTemp[] = "Pad Temp'";
constexpr char kBodyTemp[] = "Body Temp'";
constexpr char kPeakPressure[] = "Peak Pressure";
constexpr char kTidalVolume[] = "Tidal Volume";
constexpr char kMinuteVolume[] = "Minute Volume";
constexpr char kSetRespRate[] = "Set Resp. Rate";
constexpr char kRespRate[] = "Resp. Rate";
constexpr char kTargetPressure[] = "Target Pressure";
constexpr char kPeep[] = "PEEP";
constexpr char kPressure[] = "Pressure";
constexpr char kSpO2[] = "SpO\xE2\x82\x82";
constexpr char kPerfusion[] = "Perfusion";
constexpr char kMinCo2[] = "Min CO\xE2\x82\x82";
constexpr char kPeakCo2[] = "Peak CO\xE2\x82\x82";
constexpr char kInstantCo2[] = "Instant' CO\xE2\x82\x82";
constexpr char kAnesthetic[] = "Anesthetic";
constexpr char kVolumeRemaining[] = "Volume Remaining";
constexpr char kTargetTv[] = "Target TV";
constexpr char kSetMv[] = "Set MV";
constexpr char kPeakFlow[] = "Peak Flow";
constexpr char kInstantPressure[] = "Instant' Pressure";
constexpr char kInstantFlow[] = "Instant' Flow";
constexpr char kInstantVolume[] = "Instant' Volume";

// The two waveform channels of a Zarvonic CODA.
constexpr char kCuffName[] = "O-Cuff";
constexpr char kVprName[] = "VPR";
constexpr char kWaveformUnit[] = "mmHg";
constexpr double kWaveformUpper = 300.0;

constexpr char16_t kTimeColumn[] = u"Time";

struct NameEntry {
    const char* shortName;
    const char* displayName;
};

// In lookup order; the first exact match wins. Nothing matches on a prefix.
// clang-format off
constexpr NameEntry kNames[] = {
    {"systol", kSystolicBp},     {"diasto", kDiastolicBp},     {"mean B", kMeanBp},
    {"HR", kHeartRate},          {"volume", kTailVolume},      {"flow", kFlowSysToMax},
    {"Pad", kPadTemp},           {"Body", kBodyTemp},          {"Peak P", kPeakPressure},
    {"PeakPr", kPeakPressure},   {"Tidal", kTidalVolume},      {"MeasTV", kTidalVolume},
    {"MeasMV", kMinuteVolume},   {"MinVol", kMinuteVolume},    {"RR", kSetRespRate},
    {"SetRR", kSetRespRate},     {"MeasRR", kRespRate},        {"Target P", kTargetPressure},
    {"TargPr", kTargetPressure}, {"PEEP", kPeep},              {"Press", kPressure},
    {"SpO2", kSpO2},             {"Perfus", kPerfusion},       {"MinCO2", kMinCo2},
    {"Peak CO", kPeakCo2},       {"PeakCO", kPeakCo2},         {"InstCO", kInstantCo2},
    {"%Anest", kAnesthetic},     {"VolRem", kVolumeRemaining}, {"TargTV", kTargetTv},
    {"SetMV", kSetMv},           {"PeakFl", kPeakFlow},        {"InstPr", kInstantPressure},
    {"InstFl", kInstantFlow},    {"InstVo", kInstantVolume},
};
// clang-format on

struct UnitEntry {
    const char* unit;
    const char* replacement;
};

// In lookup order, after the breaths-per-minute rule.
constexpr UnitEntry kUnits[] = {
    {"uliters", "\xC2\xB5L"},
    {"ml/min", "mL/min"},
    {"degC",
     "\xC2\xB0"
     "C"},
    {"deg C",
     "\xC2\xB0"
     "C"},
    {"cmH2O", "cmH\xE2\x82\x82O"},
    {"cmH20", "cmH\xE2\x82\x82O"},  // written with a digit zero by some firmware
    {"ml", "mL"},
};

struct RangeEntry {
    const char* displayName;
    double upper;
    double lower;
    bool keepLower;  // only the upper limit is fixed
};

// Display ranges that replace the instrument's limits.
// clang-format off
constexpr RangeEntry kRanges[] = {
    {kSystolicBp, 500, 0, false},     {kDiastolicBp, 500, 0, false},   {kMeanBp, 500, 0, false},
    {kHeartRate, 1000, 0, false},     {kTailVolume, 500, 0, false},    {kFlowSysToMax, 50, 0, false},
    {kPadTemp, 50, 0, false},         {kBodyTemp, 50, 0, false},       {kPeakPressure, 50, -10, false},
    {kTidalVolume, 100, 0, false},    {kMinuteVolume, 2000, 0, false}, {kRespRate, 500, 0, false},
    {kTargetPressure, 50, 0, false},  {kPeep, 50, 0, false},           {kPressure, 50, 0, true},
    {kSpO2, 100, 0, false},           {kPerfusion, 20, 0, false},      {kMinCo2, 120, 0, false},
    {kPeakCo2, 120, 0, false},        {kInstantCo2, 120, 0, false},    {kAnesthetic, 10, 0, false},
    {kVolumeRemaining, 10, 0, false}, {kTargetTv, 100, 0, false},      {kSetRespRate, 500, 0, false},
    {kSetMv, 2000, 0, false},         {kPeakFlow, 2000, 0, false},     {kInstantPressure, 50, -10, false},
    {kInstantFlow, 500, 0, false},    {kInstantVolume, 500, 0, false},
};
// clang-format on

}  // namespace

std::string MapChannelName(const std::string& shortName) {
    for (const NameEntry& entry : kNames) {
        if (shortName == entry.shortName) return entry.displayName;
    }
    return shortName;
}

std::string MapChannelUnit(const std::string& unit, const std::string& displayName) {
    if (unit == "bpm" && (displayName == kRespRate || displayName == kSetRespRate)) return "breaths/min";
    for (const UnitEntry& entry : kUnits) {
        if (unit == entry.unit) return entry.replacement;
    }
    return unit;
}

std::int32_t DecimalsOf(const std::string& upperLimitText) {
    // The text cut into pieces at its points, where a final point ends the last
    // piece instead of starting an empty one; exactly two pieces give the
    // length of the second.
    std::string_view text = upperLimitText;
    if (text.find('.') == std::string_view::npos) return 0;
    if (text.back() == '.') text.remove_suffix(1);
    std::size_t point = text.find('.');
    if (point == std::string_view::npos || text.find('.', point + 1) != std::string_view::npos) return 0;
    return static_cast<std::int32_t>(text.size() - point - 1);
}

void FixedRangeFor(const std::string& displayName, double& upper, double& lower) {
    for (const RangeEntry& entry : kRanges) {
        if (displayName == entry.displayName) {
            upper = entry.upper;
            if (!entry.keepLower) lower = entry.lower;
            return;
        }
    }
}

std::string DescriptionProblem(std::u16string_view names, std::u16string_view units, std::u16string_view maxima,
                               std::u16string_view minima) {
    const std::size_t count = CountFields(names);
    const std::size_t unitCount = CountFields(units);
    const std::size_t maxCount = CountFields(maxima);
    const std::size_t minCount = CountFields(minima);
    if (count == 0 || unitCount == 0 || maxCount == 0 || minCount == 0) return "a list is empty";
    if (unitCount != count || maxCount != count || minCount != count) {
        return "its lists differ in length: " + std::to_string(count) + " names, " + std::to_string(unitCount) +
               " units, " + std::to_string(maxCount) + " upper and " + std::to_string(minCount) + " lower limits";
    }
    if (count > kMaxDescriptionColumns) {
        return std::to_string(count) + " columns, more than the " + std::to_string(kMaxDescriptionColumns) +
               " that can be used";
    }
    return {};
}

bool BuildChannelCatalogue(RivuSerial& device) {
    return BuildChannelCatalogue(device, device.channelMinReply.Get().View());
}

bool BuildChannelCatalogue(RivuSerial& device, std::u16string_view minValsLine, std::string* problem) {
    ZVC::ZVCString names = device.channelNamesReply.Get();
    ZVC::ZVCString units = device.channelUnitsReply.Get();
    ZVC::ZVCString maxima = device.channelMaxReply.Get();
    // Checked on counts before anything is split or built: a description
    // must not cost memory beyond its bound.
    std::string refusal = DescriptionProblem(names.View(), units.View(), maxima.View(), minValsLine);
    if (!refusal.empty()) {
        if (problem != nullptr) *problem = std::move(refusal);
        return false;
    }

    std::vector<std::u16string> nameFields = SplitFields(names.View());
    std::vector<std::u16string> unitFields = SplitFields(units.View());
    std::vector<std::u16string> maxFields = SplitFields(maxima.View());
    std::vector<std::u16string> minFields = SplitFields(minValsLine);
    const std::size_t count = nameFields.size();

    // The catalogue is built once per device. The host has learned the
    // channels from the first list and may hold its records (sample rings,
    // enabled flags), and records are never removed while the device lives,
    // so a second handshake on the same device keeps the list it has.
    if (device.channels.Count() != 0) return true;

    const std::int32_t period = device.samplePeriodUs.load();
    // Only a leading "Time" is the time column that HandleDataLine skips; a
    // later one is an ordinary column, so every data field keeps its channel.
    const bool timeColumn = count > 0 && nameFields[0] == kTimeColumn;
    const std::size_t channelCount = count - (timeColumn ? 1 : 0) + (device.isZvcCoda ? 2 : 0);
    const auto rings = std::make_shared<SampleRings>(channelCount);
    std::vector<std::unique_ptr<ChannelRecord>> batch;
    for (std::size_t i = 0; i < count; ++i) {
        if (i == 0 && timeColumn) {
            device.hasTimeColumn = true;
            continue;
        }
        std::string displayName = MapChannelName(platform::WideToAnsi(nameFields[i]));
        std::string unit = MapChannelUnit(platform::WideToAnsi(unitFields[i]), displayName);
        std::int32_t decimals = DecimalsOf(platform::WideToAnsi(maxFields[i]));
        double upper = ParseNumber(maxFields[i]);
        double lower = ParseNumber(minFields[i]);
        FixedRangeFor(displayName, upper, lower);
        batch.push_back(std::make_unique<ChannelRecord>(std::move(displayName), upper, lower, period, unit, decimals,
                                                        rings, batch.size()));
    }
    if (device.isZvcCoda) {
        auto waveformChannel = [&](const char* name) {
            return std::make_unique<ChannelRecord>(name, kWaveformUpper, 0.0, period, kWaveformUnit, 0, rings,
                                                   batch.size());
        };
        batch.push_back(waveformChannel(kCuffName));
        device.cuffChannel.store(static_cast<std::int32_t>(batch.size() - 1));
        batch.push_back(waveformChannel(kVprName));
        device.vprChannel.store(static_cast<std::int32_t>(batch.size() - 1));
    }
    device.channels.Append(std::move(batch));
    return true;
}

}  // namespace rivu
