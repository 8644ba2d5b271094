#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/sample_rings.h"

namespace rivu {

// One channel offered to the host: display name, limits, decimals, the
// calibration texts, and a ring of scaled integer samples with one producer
// (the reader thread) and one consumer (the host thread in ReadLine or
// FlushReadBuffer). The ring holds at most kRingSize - 1 samples; it is the
// record's own or one of a batch's interleaved rings.
class ChannelRecord {
public:
    static constexpr std::uint32_t kRingSize = SampleRings::kSlots;
    static constexpr std::uint32_t kRingMask = kRingSize - 1;
    static constexpr std::size_t kCacheLine = 64;

    // Announces the record on the log ("channel: N | ..."). The samples go to
    // ring ringIndex of rings, or to a ring of the record's own without rings
    // (or with an index they do not have).
    ChannelRecord(std::string name, double upper, double lower, std::int32_t periodUs,
                  const std::string& unit, std::int32_t decimals,
                  std::shared_ptr<SampleRings> rings = nullptr, std::size_t ringIndex = 0);
    ChannelRecord(const ChannelRecord&) = delete;
    ChannelRecord& operator=(const ChannelRecord&) = delete;

    const std::string& Name() const { return name_; }
    const std::string& Title() const { return title_; }
    double Upper() const { return upper_; }
    double Lower() const { return lower_; }
    std::int32_t Period() const { return period_; }
    std::int32_t Decimals() const { return decimals_; }
    const std::string& GainList() const { return gainList_; }
    const std::string& BaseScaling() const { return baseScaling_; }

    bool IsEnabled() const { return enabled_.load(); }
    void SetEnabled(bool enabled) { enabled_.store(enabled); }

    // Clamps to the limits and scales by 10^decimals (see the .cpp).
    std::int32_t ScaleSample(double value) const;

    // Producer side (reader thread).
    // Stores value's sample as lastSample and appends it.
    void StoreValue(double value);
    // Appends lastSample again.
    void RepeatValue() { AppendSample(lastSample_); }
    // Appends unless the ring is full (then the sample is dropped).
    void AppendSample(std::int32_t sample);
    // Computes value's sample as lastSample without appending it (a row that
    // is dropped whole still sets the value a later "*" repeats).
    void NoteValue(double value) { lastSample_ = ScaleSample(value); }
    // The ring has room for one more sample (the consumer only ever makes more).
    bool HasRoom();
    std::int32_t LastSample() const { return lastSample_; }

    // Consumer side (host thread).
    std::uint32_t SamplesHeld() const;
    // Takes the oldest sample; false when empty.
    bool TakeSample(std::int32_t& sample);
    // Discards every queued sample.
    void Flush();

    std::uint32_t SampleWrite() const { return sampleWrite_.load(); }
    std::uint32_t SampleRead() const { return sampleRead_.load(); }

private:
    // Laid out for the reader thread, which after each wake touches every
    // channel: what scaling and appending a sample read and write shares one
    // cache line, the host's index has another, and the ring is elsewhere.
    alignas(kCacheLine) double upper_;
    double lower_;
    double factor_ = 1;         // 10^decimals_, fixed once decimals_ is
    double inverseFactor_ = 1;  // 10^-decimals_
    std::int32_t decimals_;
    std::int32_t lastSample_ = 0;
    std::atomic<std::uint32_t> sampleWrite_{0};
    // sampleRead_ as the producer last read it. The consumer only moves
    // sampleRead_ forward, so a ring that is not full by this value is not
    // full; sampleRead_ itself is read only when the ring looks full.
    std::uint32_t readSeen_ = 0;
    std::uint32_t ringStride_ = 1;   // slot i is ring_[i * ringStride_]
    std::int32_t* ring_ = nullptr;

    std::string name_;
    std::int32_t period_;
    std::string title_;
    std::atomic<bool> enabled_{true};
    std::string gainList_;
    std::string baseScaling_;

    std::shared_ptr<SampleRings> rings_;

    alignas(kCacheLine) std::atomic<std::uint32_t> sampleRead_{0};
};

// Number of records created in the process; numbers the log lines.
std::uint32_t ChannelLogCounter();

}  // namespace rivu
