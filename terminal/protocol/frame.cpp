#include "terminal/protocol/frame.h"

#include <stdexcept>

#include "terminal/protocol/crc.h"

namespace terminal::protocol {

std::string_view RefusalName(std::uint8_t code) {
  switch (static_cast<RefusalCode>(code)) {
    case RefusalCode::kUnknownCommand: return "unknown command";
    case RefusalCode::kBadPayload: return "bad payload";
    case RefusalCode::kNoEnrolment: return "no such enrolment";
    case RefusalCode::kStorageFull: return "storage full";
    case RefusalCode::kBusy: return "busy";
    case RefusalCode::kBadIndex: return "record index out of range";
    case RefusalCode::kBadEnrolmentNumber: return "bad enrolment number";
    case RefusalCode::kRecordsChanged: return "records changed";
    case RefusalCode::kBadClockTime: return "bad clock time";
    case RefusalCode::kClockLocked: return "clock locked";
  }
  return "unknown refusal";
}

void AppendFrame(const Frame& frame, std::vector<std::uint8_t>& out) {
  if (frame.payload.size() > kMaxPayload) throw std::length_error("frame payload too large");
  const std::size_t start = out.size();
  const auto length = static_cast<std::uint16_t>(frame.payload.size());
  out.insert(out.end(), {kStart1, kStart2, frame.address, frame.command, frame.sequence,
                         static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(length >> 8)});
  out.push_back(Crc8(std::span(out).subspan(start + 2, 5)));
  out.insert(out.end(), frame.payload.begin(), frame.payload.end());
  const std::uint16_t crc = Crc16(std::span(out).subspan(start + 2));
  out.push_back(static_cast<std::uint8_t>(crc >> 8));
  out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
}

std::vector<std::uint8_t> EncodeFrame(const Frame& frame) {
  std::vector<std::uint8_t> out;
  out.reserve(kFrameOverhead + frame.payload.size());
  AppendFrame(frame, out);
  return out;
}

}  // namespace terminal::protocol
