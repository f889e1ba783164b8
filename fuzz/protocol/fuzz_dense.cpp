// Feeds arbitrary payloads to the version 3 and 4 decoders: dense next-records answers (plain and
// checked) and clock values. Whatever the dense decoder accepts is a batch of at most 255 records whose every record
// the encoder carries back unchanged in both person codings and in the one it picks; the clock
// decoder takes exactly 7 bytes and its values survive encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "terminal/protocol/dense.h"

using namespace terminal::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> payload(data + 1, size - 1);
  if (data[0] & 1) {
    const auto time = DecodeClockTime(payload);
    if (time.has_value() != (payload.size() == kClockTimeSize)) std::abort();
    if (time && (Encode(*time) != std::vector<std::uint8_t>(payload.begin(), payload.end()))) std::abort();
    if (time && IsValidClockTime(*time) && !(FromWallSeconds(WallSeconds(*time)) == *time)) std::abort();
    return 0;
  }
  const auto answer = DecodeDenseRecordsAnswer(payload);
  if (!answer) return 0;
  if (answer->records.size() > 255) std::abort();
  for (const PersonCoding coding : {PersonCoding::kDifferences, PersonCoding::kTable}) {
    const auto bytes = EncodeDense(*answer, coding);
    const auto back = DecodeDenseRecordsAnswer(bytes);
    if (!back || back->records != answer->records || back->start != answer->start || back->last != answer->last)
      std::abort();
  }
  const auto chosen = EncodeDense(*answer);
  const auto picked = DecodeDenseRecordsAnswer(chosen);
  if (!picked || picked->records != answer->records) std::abort();
  // Version 4: the checked form of the same batch decodes to it; any other digest does not.
  auto checked = EncodeCheckedDense(*answer);
  const auto sure = DecodeCheckedDenseAnswer(checked);
  if (!sure || sure->records != answer->records) std::abort();
  checked.back() ^= 0x01;
  if (DecodeCheckedDenseAnswer(checked)) std::abort();
  return 0;
}
