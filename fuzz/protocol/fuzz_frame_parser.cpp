// Feeds arbitrary bytes to the frame parser in arbitrary pieces and decodes every payload it
// accepts as every kind of answer. Checks that accepted frames re-encode to valid frames and that
// decoded records survive a second encoding unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "terminal/protocol/frame_parser.h"
#include "terminal/protocol/messages.h"

using namespace terminal::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte picks the piece size, the rest is the line.
  const std::size_t piece = (data[0] % 31) + 1;
  FrameParser parser(data[0] & 0x80 ? 64 : kMaxPayload);
  std::span<const std::uint8_t> line(data + 1, size - 1);
  for (std::size_t at = 0; at < line.size(); at += piece) {
    parser.Feed(line.subspan(at, std::min(piece, line.size() - at)));
    while (auto frame = parser.Next()) {
      const auto again = EncodeFrame(*frame);
      FrameParser check;
      check.Feed(again);
      auto same = check.Next();
      if (!same || !(*same == *frame)) std::abort();
      DecodeProbeAnswer(frame->payload);
      DecodeBeginReadAnswer(frame->payload);
      DecodeNextRecordsRequest(frame->payload);
      DecodeEnrolmentKey(frame->payload);
      DecodeEnrolmentData(frame->payload);
      DecodeEnrolmentAnswer(frame->payload);
      DecodePrepareRequest(frame->payload);
      DecodeRefusal(frame->payload);
      DecodeClearRecordsRequest(frame->payload);
      DecodeClearRecordsAnswer(frame->payload);
      if (auto answer = DecodeNextRecordsAnswer(frame->payload)) {
        // A terminal may send the raw form where the compact one would do; the values count.
        auto back = DecodeNextRecordsAnswer(Encode(*answer));
        if (!back || back->records != answer->records || back->start != answer->start) std::abort();
      }
    }
  }
  return 0;
}
