// Incremental frame parser: takes bytes in whatever pieces the line delivers them, finds frames,
// and resynchronises after garbage, damaged or oversized frames by rescanning from the byte after
// the rejected start marker. It keeps at most one frame's worth of undecided bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "terminal/protocol/frame.h"

namespace terminal::protocol {

struct ParserStats {
  std::uint64_t frames = 0;
  std::uint64_t skippedBytes = 0;  // bytes that belonged to no accepted frame
  std::uint64_t badHeaders = 0;    // start marker followed by a header whose check failed
  std::uint64_t oversized = 0;     // header announcing more than the parser's payload limit
  std::uint64_t badCrc = 0;        // complete frame whose CRC-16 failed
};

class FrameParser {
 public:
  explicit FrameParser(std::size_t maxPayload = kMaxPayload);

  void Feed(std::span<const std::uint8_t> bytes);
  // The oldest complete frame, if any.
  std::optional<Frame> Next();
  // True when bytes are held that may still become a frame (a started but unfinished frame).
  bool HoldsPartialFrame() const { return pending_.size() > pos_; }
  // True when anything other than accepted frames has been seen since the last Reset.
  bool SawDamage() const;
  void Reset();
  const ParserStats& Stats() const { return stats_; }

 private:
  void Scan();
  void Skip(std::size_t count);

  std::size_t maxPayload_;
  std::vector<std::uint8_t> pending_;
  std::size_t pos_ = 0;
  std::deque<Frame> ready_;
  ParserStats stats_;
  ParserStats atReset_;
};

}  // namespace terminal::protocol
