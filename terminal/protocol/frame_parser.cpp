#include "terminal/protocol/frame_parser.h"

#include <algorithm>

#include "terminal/protocol/crc.h"

namespace terminal::protocol {

FrameParser::FrameParser(std::size_t maxPayload) : maxPayload_(std::min(maxPayload, kMaxPayload)) {}

void FrameParser::Feed(std::span<const std::uint8_t> bytes) {
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  Scan();
  // Drop what has been decided so the buffer never grows beyond one undecided frame.
  if (pos_ > 0) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos_));
    pos_ = 0;
  }
}

void FrameParser::Skip(std::size_t count) {
  stats_.skippedBytes += count;
  pos_ += count;
}

void FrameParser::Scan() {
  while (pos_ < pending_.size()) {
    const std::size_t available = pending_.size() - pos_;
    const std::uint8_t* at = pending_.data() + pos_;
    if (at[0] != kStart1) {
      const std::uint8_t* end = pending_.data() + pending_.size();
      const std::uint8_t* found = std::find(at, end, kStart1);
      Skip(static_cast<std::size_t>(found - at));
      continue;
    }
    if (available < 2) return;
    if (at[1] != kStart2) {
      Skip(1);
      continue;
    }
    if (available < kHeaderSize) return;
    if (Crc8(std::span(at + 2, 5)) != at[7]) {
      ++stats_.badHeaders;
      Skip(1);
      continue;
    }
    const std::size_t length = static_cast<std::size_t>(at[5]) | (static_cast<std::size_t>(at[6]) << 8);
    if (length > maxPayload_) {
      ++stats_.oversized;
      Skip(1);
      continue;
    }
    const std::size_t total = kFrameOverhead + length;
    if (available < total) return;
    const std::uint16_t expected = static_cast<std::uint16_t>((at[total - 2] << 8) | at[total - 1]);
    if (Crc16(std::span(at + 2, total - 4)) != expected) {
      ++stats_.badCrc;
      Skip(1);
      continue;
    }
    Frame frame;
    frame.address = at[2];
    frame.command = at[3];
    frame.sequence = at[4];
    frame.payload.assign(at + kHeaderSize, at + kHeaderSize + length);
    ready_.push_back(std::move(frame));
    ++stats_.frames;
    pos_ += total;
  }
}

std::optional<Frame> FrameParser::Next() {
  if (ready_.empty()) return std::nullopt;
  Frame frame = std::move(ready_.front());
  ready_.pop_front();
  return frame;
}

bool FrameParser::SawDamage() const {
  return stats_.skippedBytes != atReset_.skippedBytes || HoldsPartialFrame();
}

void FrameParser::Reset() {
  pending_.clear();
  pos_ = 0;
  ready_.clear();
  atReset_ = stats_;
}

}  // namespace terminal::protocol
