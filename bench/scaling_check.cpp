// rivu-scaling-check: every value text an instrument can send reads and
// scales to the same sample as the general reader and the plain arithmetic
// of the instruments' contract give.
//   rivu-scaling-check          the channels' values at 0 to 2 decimals and the
//                               direct reader's mantissas up to 2^17 (well under
//                               a second; run by ctest)
//   rivu-scaling-check --all    the channels' values at 0 to 4 decimals and every
//                               text the direct reader takes (2^24 mantissas at
//                               0 to 10 decimals, both signs: about 20 s)
// Prints what it checked, or the first texts that differ; exits 1 on a
// difference.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <mutex>
#include <vector>

#include "protocol/channel_catalogue.h"
#include "protocol/channel_record.h"
#include "protocol/fields.h"

namespace {

using rivu::ChannelRecord;

// The short names, units and limit texts of every channel the instruments
// describe: the display names with a fixed range replace these limits, the
// others (Pressure's lower limit, names outside the table) keep them.
struct Column {
    const char* name;
    const char* unit;
    double upper;
    double lower;
};
constexpr Column kColumns[] = {
    {"systol", "mmHg", 500, 0},   {"diasto", "mmHg", 500, 0},  {"mean B", "mmHg", 500, 0},  {"HR", "bpm", 1000, 0},
    {"volume", "uliters", 500, 0}, {"flow", "ml/min", 50, 0},   {"Pad", "degC", 50, 0},      {"Body", "degC", 50, 0},
    {"Peak P", "cmH2O", 50, -10}, {"Tidal", "ml", 100, 0},      {"MeasMV", "ml/min", 2000, 0}, {"RR", "bpm", 500, 0},
    {"MeasRR", "bpm", 500, 0},    {"TargPr", "cmH2O", 50, 0},   {"PEEP", "cmH20", 50, 0},    {"Press", "cmH2O", 60, -10},
    {"Press", "cmH2O", 60, 0},    {"SpO2", "%", 100, 0},        {"Perfus", "%", 20, 0},      {"MinCO2", "mmHg", 120, 0},
    {"PeakCO", "mmHg", 120, 0},   {"InstCO", "mmHg", 120, 0},   {"%Anest", "%", 10, 0},      {"VolRem", "ml", 10, 0},
    {"TargTV", "ml", 100, 0},     {"SetMV", "ml/min", 2000, 0}, {"PeakFl", "ml/min", 2000, 0}, {"InstPr", "cmH2O", 50, -10},
    {"InstFl", "ml/min", 500, 0}, {"InstVo", "ml", 500, 0},
    // The two waveform channels of a Zarvonic CODA.
    {"O-Cuff", "mmHg", 300, 0},   {"VPR", "mmHg", 300, 0},
};

constexpr std::int64_t PowerOfTen(int exponent) {
    std::int64_t value = 1;
    for (int i = 0; i < exponent; ++i) value *= 10;
    return value;
}

// ticks / 10^decimals as an instrument writes it: "-12.50", "0.05", "7".
std::size_t FormatTicks(std::int64_t ticks, int decimals, char* out) {
    char digits[24];
    const std::uint64_t magnitude = ticks < 0 ? 0 - static_cast<std::uint64_t>(ticks) : static_cast<std::uint64_t>(ticks);
    const std::size_t count = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, magnitude).ptr - digits);
    const auto places = static_cast<std::size_t>(decimals);
    const std::size_t width = std::max(count, places + 1);  // a digit before the point
    std::size_t length = 0;
    if (ticks < 0) out[length++] = '-';
    for (std::size_t i = 0; i < width; ++i) {
        if (places > 0 && i == width - places) out[length++] = '.';
        out[length++] = i < width - count ? '0' : digits[i - (width - count)];
    }
    return length;
}

std::u16string_view Widen(const char* text, std::size_t length, char16_t* out) {
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<unsigned char>(text[i]);
    return {out, length};
}

// The general reader's result: the magnitude read by std::from_chars, then
// the sign, as the reader does it for every form it accepts.
float ReferenceNumber(const char* text, std::size_t length) {
    const bool negative = length > 0 && text[0] == '-';
    const char* first = negative ? text + 1 : text;
    float value = 0.0f;
    std::from_chars(first, text + length, value);
    return negative ? -value : value;
}

// The instruments' contract written out plainly: clamp to the limits, then
// with d decimals floor(x * 10^d + 0.5) for d <= 0, floor(10^d * (x * 10^d)
// + 0.5) * 10^-d for d >= 1, and the integer part of that.
std::int32_t ReferenceSample(const ChannelRecord& record, double value) {
    const double clamped = value > record.Upper() ? record.Upper() : std::fmax(record.Lower(), value);
    const int d = record.Decimals();
    const double scale = std::pow(10.0, d);
    const double scaled = d <= 0 ? std::floor(clamped * scale + 0.5)
                                 : std::floor(scale * (clamped * scale) + 0.5) * std::pow(10.0, -d);
    if (std::isnan(scaled)) return 0;
    if (scaled >= 2147483647.0) return INT32_MAX;
    if (scaled <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(scaled);
}

std::uint32_t Bits(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

class Checker {
public:
    bool Passed() const { return differences_ == 0; }

    // Every text of m / 10^k for m in [0, largest] and k in [0, maxDecimals],
    // with and without a minus sign: ParseNumber gives the reference's float,
    // bit for bit (-0 included). The decimals are shared out over the cores.
    void CheckNumbers(std::uint32_t largest, int maxDecimals) {
        struct Difference {
            std::string text;
            std::uint32_t got, want;
        };
        std::atomic<int> nextDecimals{0};
        std::atomic<std::uint64_t> checked{0};
        std::mutex found;
        std::vector<Difference> differences;
        auto work = [&] {
            char text[48];
            char16_t wide[48];
            for (int k; (k = nextDecimals++) <= maxDecimals;) {
                std::uint64_t count = 0;
                for (std::uint64_t m = 0; m <= largest; ++m) {
                    for (const std::int64_t ticks : {static_cast<std::int64_t>(m), -static_cast<std::int64_t>(m)}) {
                        const std::size_t length = FormatTicks(ticks, k, text);
                        const float got = rivu::ParseNumber(Widen(text, length, wide));
                        const float want = ReferenceNumber(text, length);
                        ++count;
                        if (Bits(got) != Bits(want)) {
                            std::lock_guard lock(found);
                            differences.push_back({std::string(text, length), Bits(got), Bits(want)});
                        }
                    }
                }
                checked += count;
            }
        };
        std::vector<std::thread> threads(std::max(1u, std::thread::hardware_concurrency()));
        for (std::thread& thread : threads) thread = std::thread(work);
        for (std::thread& thread : threads) thread.join();
        std::sort(differences.begin(), differences.end(),
                  [](const Difference& a, const Difference& b) { return a.text < b.text; });
        for (const Difference& difference : differences) Report("number", difference.text, difference.got, difference.want);
        std::printf("numbers: %llu texts (mantissas 0 to %u, 0 to %d decimals, both signs) read as the general reader reads them\n",
                    static_cast<unsigned long long>(checked.load()), largest, maxDecimals);
    }

    // For every channel the instruments describe, built with each number of
    // decimals from 0 to maxDecimals as the catalogue builds it: every value
    // text at those decimals from one unit below the lower limit to one unit
    // above the upper one is stored as the reference sample.
    void CheckSamples(int maxDecimals) {
        std::uint64_t checked = 0;
        std::size_t channels = 0;
        char text[48];
        char16_t wide[48];
        for (const Column& column : kColumns) {
            const std::string display = rivu::MapChannelName(column.name);
            for (int k = 0; k <= maxDecimals; ++k) {
                double upper = column.upper;
                double lower = column.lower;
                rivu::FixedRangeFor(display, upper, lower);
                ChannelRecord record(display, upper, lower, 20000, rivu::MapChannelUnit(column.unit, display), k);
                ++channels;
                const std::int64_t unit = PowerOfTen(k);
                const auto first = static_cast<std::int64_t>(std::floor(lower * static_cast<double>(unit))) - unit;
                const auto last = static_cast<std::int64_t>(std::ceil(upper * static_cast<double>(unit))) + unit;
                for (std::int64_t ticks = first; ticks <= last; ++ticks) {
                    const std::size_t length = FormatTicks(ticks, k, text);
                    record.StoreValue(rivu::ParseNumber(Widen(text, length, wide)));
                    std::int32_t stored = 0;
                    const bool taken = record.TakeSample(stored);
                    const std::int32_t want = ReferenceSample(record, ReferenceNumber(text, length));
                    ++checked;
                    if (!taken || stored != want) {
                        Report(display.c_str(), std::string_view(text, length), static_cast<std::uint32_t>(stored),
                               static_cast<std::uint32_t>(want));
                    }
                }
            }
        }
        std::printf("samples: %llu values on %zu channels (0 to %d decimals) stored as the contract's arithmetic gives\n",
                    static_cast<unsigned long long>(checked), channels, maxDecimals);
    }

private:
    void Report(const char* what, std::string_view text, std::uint32_t got, std::uint32_t want) {
        if (++differences_ <= 20) {
            std::fprintf(stderr, "rivu-scaling-check: %s \"%.*s\": 0x%08x, the reference gives 0x%08x\n", what,
                         static_cast<int>(text.size()), text.data(), got, want);
        }
    }

    std::uint64_t differences_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const bool all = argc == 2 && std::string_view(argv[1]) == "--all";
    if (argc > 2 || (argc == 2 && !all)) {
        std::fprintf(stderr, "usage: rivu-scaling-check [--all]\n");
        return 2;
    }
    Checker checker;
    checker.CheckSamples(all ? 4 : 2);
    checker.CheckNumbers(all ? (1u << 24) + 16 : 1u << 17, all ? 11 : 10);
    if (!checker.Passed()) {
        std::fprintf(stderr, "rivu-scaling-check: texts read or scaled differently (see above)\n");
        return 1;
    }
    return 0;
}
