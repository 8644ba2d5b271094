#pragma once
// Turns protocol lines into the bytes put on the line: CR LF after each line,
// and the line-level faults (noise between lines, an overlong run without a
// line feed, the end of output before a hang-up). Portable.
#include <cstdint>
#include <string>
#include <vector>

#include "rivu-sim/simulator_config.h"

namespace rivu::sim {

// Bytes to write: a protocol line (line holds its text) or one of the faults.
struct OutputPiece {
    enum class Kind { kLine, kNoise, kOverlongRun };
    Kind kind = Kind::kLine;
    std::string bytes;
    std::string line;
};

class LineOutput {
public:
    explicit LineOutput(const SimulatorConfig& config);

    // Appends the pieces that carry one line. With the hang-up fault nothing is
    // appended once faultAfterLines lines were framed.
    void Frame(const std::string& line, std::vector<OutputPiece>& out);

    // The hang-up fault is set and its last line has been framed.
    bool HangUpReached() const;
    std::uint64_t LinesFramed() const { return linesFramed_; }

private:
    std::string NextNoise();

    bool garbage_;
    bool overlong_;
    bool hangUp_;
    std::uint64_t faultAfter_;
    std::size_t overlongBytes_;
    std::uint64_t linesFramed_ = 0;
    std::uint32_t noiseState_ = 0x2545F491u;
};

}  // namespace rivu::sim
