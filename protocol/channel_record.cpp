#include "protocol/channel_record.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "platform/code_pages.h"
#include "support/log.h"

namespace rivu {

namespace {

std::atomic<std::uint32_t> channelLogCounter{0};

// Truncation toward zero to a signed 32-bit integer. Values outside the range
// saturate and NaN gives 0, so absurd limits give absurd but defined texts.
std::int32_t IntegerPart(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

double PowerOfTen(std::int32_t exponent) { return std::pow(10.0, static_cast<double>(exponent)); }

// A limit as calibration text. A fraction strictly between 0.0001 and 0.9999
// in magnitude is its six-decimal fixed form cut to decimals + 2 characters
// ("0.5" for 0.5 with one decimal, "-0." for -0.25 with one). A larger limit
// with a fractional part is the value its calibration point's raw sample
// stands for, raw / 10^scaledDecimals ("2.5" for 2.5 with one decimal, where
// the integer part would put the point at 25 = 2 and read every sample 20 %
// low). Anything else is its integer part.
std::string LimitText(double limit, std::int32_t decimals, std::int32_t scaledDecimals, double scale) {
    double magnitude = std::fabs(limit);
    if (magnitude > 0.0001 && magnitude < 0.9999) {
        char buffer[32];
        // to_chars is the classic-locale "%f" whatever the process locale.
        auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, limit, std::chars_format::fixed, 6);
        std::string text(buffer, error == std::errc() ? end : buffer);
        std::int64_t keep = static_cast<std::int64_t>(decimals) + 2;
        if (keep < 0) keep = 0;
        if (static_cast<std::uint64_t>(keep) < text.size()) text.resize(static_cast<std::size_t>(keep));
        return text;
    }
    if (magnitude >= 0.9999 && std::isfinite(limit) && limit != std::trunc(limit) && scaledDecimals > 0) {
        const std::int64_t raw = IntegerPart(scale * limit);
        const std::uint64_t units = static_cast<std::uint64_t>(raw < 0 ? -raw : raw);
        std::uint64_t divisor = 1;
        for (std::int32_t i = 0; i < scaledDecimals; ++i) divisor *= 10;
        std::string fraction = std::to_string(units % divisor);
        fraction.insert(0, static_cast<std::size_t>(scaledDecimals) - fraction.size(), '0');
        return (raw < 0 ? "-" : "") + std::to_string(units / divisor) + "." + fraction;
    }
    return std::to_string(IntegerPart(limit));
}

// Decodes a text for the log: valid UTF-8 (the fixed display names and units)
// as UTF-8, anything else (a name or unit as the instrument sent it) in the
// ANSI code page.
std::u16string LogText(const std::string& text) {
    std::u16string wide;
    wide.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t count = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 0;
        if (count == 0 || i + count > text.size()) return platform::AnsiToWide(text.data(), text.size());
        char32_t point = count == 1 ? lead : count == 2 ? (lead & 0x1F) : (lead & 0x0F);
        for (std::size_t k = 1; k < count; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return platform::AnsiToWide(text.data(), text.size());
            point = (point << 6) | (next & 0x3F);
        }
        bool overlong = (count == 2 && point < 0x80) || (count == 3 && point < 0x800);
        bool surrogate = point >= 0xD800 && point <= 0xDFFF;
        if (overlong || surrogate) return platform::AnsiToWide(text.data(), text.size());
        wide.push_back(static_cast<char16_t>(point));
        i += count;
    }
    return wide;
}

}  // namespace

std::uint32_t ChannelLogCounter() { return channelLogCounter.load(); }

ChannelRecord::ChannelRecord(std::string name, double upper, double lower, std::int32_t periodUs,
                             const std::string& unit, std::int32_t decimals, std::shared_ptr<SampleRings> rings,
                             std::size_t ringIndex)
    : upper_(upper), lower_(lower), decimals_(decimals), name_(std::move(name)), period_(periodUs), title_(name_),
      rings_(std::move(rings)) {
    if (!rings_ || ringIndex >= rings_->Channels()) {
        rings_ = std::make_shared<SampleRings>(1);
        ringIndex = 0;
    }
    ring_ = rings_->First(ringIndex);
    ringStride_ = static_cast<std::uint32_t>(rings_->Channels());
    // Fewer decimals until the larger limit, scaled, stays within 32000.
    double largest = std::fmax(std::fabs(upper), std::fabs(lower));
    while (decimals_ > 0 && PowerOfTen(decimals_) * largest > 32000.0) --decimals_;
    double scale = PowerOfTen(decimals_);
    // Scaling every sample needs these two; they are computed once here.
    factor_ = scale;
    inverseFactor_ = PowerOfTen(-decimals_);

    std::string lowerText = LimitText(lower, decimals, decimals_, scale);
    std::string upperText = LimitText(upper, decimals, decimals_, scale);
    gainList_ = lowerText + "," + upperText;

    baseScaling_ = std::to_string(IntegerPart(scale * lower)) + "," + lowerText + ";" +
                   std::to_string(IntegerPart(scale * upper)) + "," + upperText + ";" + unit + ";" +
                   std::to_string(decimals_) + ";";

    std::uint32_t number = channelLogCounter.fetch_add(1) + 1;
    LogEvent("channel: ", LogText(std::to_string(number)) + u" | " + LogText(name_) + u" | gainlist: " +
                              LogText(gainList_) + u" | basescaling: " + LogText(baseScaling_));
}

std::int32_t ChannelRecord::ScaleSample(double value) const {
    double clamped;
    if (value > upper_) {
        clamped = upper_;
    } else if (value > lower_) {
        clamped = value;
    } else {
        clamped = lower_;  // also NaN: it is never larger than the lower limit
    }
    double scaled;
    if (decimals_ <= 0) {
        scaled = std::floor(clamped * factor_ + 0.5);
    } else {
        // Rounded at twice as many places and then cut: 12.36 with one decimal
        // gives 123, not 124. Instruments and stored recordings rely on it.
        scaled = std::floor(factor_ * (clamped * factor_) + 0.5) * inverseFactor_;
    }
    return IntegerPart(scaled);
}

void ChannelRecord::StoreValue(double value) {
    lastSample_ = ScaleSample(value);
    AppendSample(lastSample_);
}

void ChannelRecord::AppendSample(std::int32_t sample) {
    std::uint32_t write = sampleWrite_.load(std::memory_order_relaxed);
    std::uint32_t next = (write + 1) & kRingMask;
    if (next == readSeen_) {
        readSeen_ = sampleRead_.load(std::memory_order_acquire);
        if (next == readSeen_) return;  // full: the new sample is dropped
    }
    ring_[static_cast<std::size_t>(write) * ringStride_] = sample;
    sampleWrite_.store(next, std::memory_order_release);
}

bool ChannelRecord::HasRoom() {
    const std::uint32_t next = (sampleWrite_.load(std::memory_order_relaxed) + 1) & kRingMask;
    if (next != readSeen_) return true;
    readSeen_ = sampleRead_.load(std::memory_order_acquire);
    return next != readSeen_;
}

std::uint32_t ChannelRecord::SamplesHeld() const {
    std::uint32_t write = sampleWrite_.load(std::memory_order_acquire);
    std::uint32_t read = sampleRead_.load(std::memory_order_relaxed);
    return (write - read) & kRingMask;
}

bool ChannelRecord::TakeSample(std::int32_t& sample) {
    std::uint32_t read = sampleRead_.load(std::memory_order_relaxed);
    if (read == sampleWrite_.load(std::memory_order_acquire)) return false;
    sample = ring_[static_cast<std::size_t>(read) * ringStride_];
    sampleRead_.store((read + 1) & kRingMask, std::memory_order_release);
    return true;
}

void ChannelRecord::Flush() {
    sampleRead_.store(sampleWrite_.load(std::memory_order_acquire), std::memory_order_release);
}

}  // namespace rivu
