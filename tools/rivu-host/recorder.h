#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "rivu-host/recording_sink.h"
#include "tools/host-objects/enabler_library.h"

namespace rivu::host {

// Puts the samples that ReadLine delivers channel by channel together into
// rows (one sample of every channel) and hands each row on as soon as every
// channel has delivered its sample for it. A channel that falls more than
// kMaxLagRows behind the others does not hold the rest back: those rows go
// out with its cell empty, and its samples for rows already handed on are
// counted as late and dropped.
class RowAssembler {
public:
    using RowHandler = std::function<void(std::size_t row, const std::vector<std::optional<std::int32_t>>&)>;
    static constexpr std::size_t kMaxLagRows = 4096;

    RowAssembler(std::size_t channels, RowHandler onRow);

    // Takes one delivery of ReadLine: lines "+<channel>,<v>,<v>...\n". A
    // line not of that form is counted and skipped. Complete rows go out.
    void TakeDelivery(const char* text);
    // Hands on every row still held, with empty cells where channels
    // delivered nothing.
    void Finish();

    std::size_t Rows() const { return nextRow_; }
    std::size_t Received(std::size_t channel) const { return received_[channel]; }
    // The most rows any channel has delivered: rows handed on or still held.
    std::size_t RowsHeld() const;
    std::size_t Channels() const { return pending_.size(); }
    std::size_t MalformedLines() const { return malformed_; }
    std::size_t LateSamples() const { return late_; }

private:
    bool TakeLine(const std::string& line);
    void EmitRow();

    std::vector<std::deque<std::int32_t>> pending_;
    std::vector<std::size_t> received_;
    std::size_t nextRow_ = 0;
    std::size_t malformed_ = 0;
    std::size_t late_ = 0;
    RowHandler onRow_;
};

// Why a recording ended.
enum class RecordingEnd { kTimeUp, kStopped, kPortFailed, kOutputFailed };

struct RecordingLoop {
    EnablerLibrary& enabler;
    unsigned int index;
    double seconds;
    RowAssembler& rows;
    // Called with every new batch of comments and once a second to flush the
    // outputs; false ends the recording (an output cannot be written).
    std::function<bool()> takeComments;
    std::function<bool()> flushOutputs;
    const std::atomic<int>& stopSignal;
    std::FILE* progress;  // samples received per channel, once a second; null: none
    double periodSeconds = 0;  // the sampling interval in force
    // Called before each round of ReadLine calls (may be empty): what the
    // enabler logged until then came after the rows it had stored by then.
    std::function<void()> beforeDrain = {};
    // Called after each round (may be empty); `emptied`: the round ended
    // because the enabler had no more to deliver.
    std::function<void(bool emptied)> afterDrain = {};
};

struct RecordingOutcome {
    RecordingEnd end = RecordingEnd::kTimeUp;
    double seconds = 0;       // from the start to the moment the recording was ended
    std::size_t rowsDue = 0;  // rows the instrument sent by then, from the sampling interval
    bool caughtUp = true;     // the enabler delivered them before the stop was sent
};

// Drains ReadLine until the time is up, a stop signal arrives, the port fails
// (noticed within a poll) or an output fails. Between polls that find
// nothing it sleeps, so waiting costs no processor time. Once the time is up
// or a signal came, it goes on reading (for at most kCatchUpSeconds) until
// the enabler has delivered every row the instrument sent until then: the
// enabler delivers no sample once it has asked the instrument to stop, so
// what it still holds or has not yet received then would be lost.
RecordingOutcome RecordFor(const RecordingLoop& loop);
constexpr double kCatchUpSeconds = 1.0;

}  // namespace rivu::host
