#include "rivu-sim/line_output.h"

namespace rivu::sim {

LineOutput::LineOutput(const SimulatorConfig& config)
    : garbage_(config.faults.Has(Fault::kGarbage)),
      overlong_(config.faults.Has(Fault::kOverlongLine)),
      hangUp_(config.faults.Has(Fault::kHangUp)),
      faultAfter_(static_cast<std::uint64_t>(config.faultAfterLines)),
      overlongBytes_(static_cast<std::size_t>(config.overlongBytes)) {}

bool LineOutput::HangUpReached() const { return hangUp_ && linesFramed_ >= faultAfter_; }

void LineOutput::Frame(const std::string& line, std::vector<OutputPiece>& out) {
    if (HangUpReached()) return;
    if (overlong_ && linesFramed_ == faultAfter_) {
        // A runaway row: digits and commas, never a CR or LF.
        static const std::string kPattern = "1234.5,";
        std::string run;
        run.reserve(overlongBytes_);
        while (run.size() < overlongBytes_) run += kPattern[run.size() % kPattern.size()];
        out.push_back({OutputPiece::Kind::kOverlongRun, std::move(run), ""});
    }
    if (garbage_) out.push_back({OutputPiece::Kind::kNoise, NextNoise(), ""});
    out.push_back({OutputPiece::Kind::kLine, line + "\r\n", line});
    ++linesFramed_;
}

// 1 to 16 bytes of line noise ending in a bare line feed: never a carriage
// return, so a receiver that wants CR LF drops it, and never all blanks.
std::string LineOutput::NextNoise() {
    auto next = [this] {
        noiseState_ = noiseState_ * 1664525u + 1013904223u;
        return noiseState_ >> 24;
    };
    const std::uint32_t length = 1 + next() % 16;
    std::string noise;
    for (std::uint32_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(next());
        if (byte == '\r' || byte == '\n') byte = '~';
        if (i == 0 && (byte == ' ' || (byte >= '\t' && byte <= '\r'))) byte = '#';
        noise += static_cast<char>(byte);
    }
    noise += '\n';
    return noise;
}

}  // namespace rivu::sim
